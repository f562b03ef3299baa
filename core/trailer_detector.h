// What follows an alarm call: the intermittent wake tone (2600 Hz) or a
// siren double tone (675 Hz with a second tone: fire, test, civil-protection
// alarm, warning, all clear). The detector runs beside the decoders on the
// same capture buffers and reports a class once it has been heard for 2 s.
//
// How it works (first channel only, 6000 Hz):
//  1. A 2nd-order Butterworth high-pass at 300 Hz (hum and DC would
//     otherwise count as band power); the energy of the filtered audio is
//     summed over windows of 100 ms (600 samples).
//  2. For every tone frequency of the table, complex sums over sub-blocks of
//     40 samples at the nominal frequency; 15 sub-blocks make a window.
//  3. Per window and tone, the sub-block sums are turned by a grid of offsets
//     5 Hz apart, from below -1.5 % to above +1.5 % of the tone, and added:
//     a 100 ms DFT per offset. The peak is refined between its neighbours and
//     the sum formed again there. A peak on the grid's edge, or refined
//     beyond +/-1.5 %, is out of tolerance (so a tone 1 % off is taken and
//     one 2 % off is not). The share of the tone is its power over the
//     window's power: 1 for a clean tone, whatever the level. A tone whose
//     sub-block powers cannot reach the smallest share any class needs is
//     skipped, so quiet bands cost only the sub-block sums.
//  4. A window holds a single-tone class when its tone is in tolerance and
//     holds at least 60 % of the power; a double-tone class when both tones
//     are in tolerance and each holds at least a tenth of the power and more
//     than all the rest of the band together (a lone 675 Hz tone is not
//     "fire").
//  5. Runs per class: windows that hold the class count; a run ends after
//     more than 5 windows (0.5 s) without it. An intermittent class counts
//     only its on-periods of at least 3 windows (shorter flickers count as
//     gap), needs two on-periods or more, and no on-period may last longer
//     than 2 s (a steady tone is no wake tone). When a run has counted 2 s
//     it is reported, once; the next run reports again.
//
// Thread use: one thread (the analysing thread). Allocation happens in the
// constructor only; AnalyseBuffer allocates nothing.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/buffer_analysis.h"

namespace sequelo::core {

// One kind of signal after a call: a single tone (highHz 0) or two tones
// sent at once.
struct TrailerClass {
  std::string name;
  int lowHz = 0;
  int highHz = 0;             // 0 for a single tone
  bool intermittent = false;  // sent as on-periods with short gaps
};

// The wake tone and the five siren double tones.
std::vector<TrailerClass> DefaultTrailerClasses();

namespace trailer {
inline constexpr int kWindowSamples = 600;  // 100 ms
inline constexpr int kWindowMs = 100;
inline constexpr int kSubBlockSamples = 40;
inline constexpr int kSubBlocks = kWindowSamples / kSubBlockSamples;
inline constexpr double kGridStepHz = 5.0;
inline constexpr double kTolerance = 0.015;  // relative, each tone
inline constexpr double kSingleShare = 0.6;  // of the window's power
inline constexpr double kPairEachShare = 0.1;
inline constexpr double kMinLevelDbfs = -60.0;  // a quieter window holds nothing
inline constexpr int kReportWindows = 20;       // 2 s counted
inline constexpr int kMaxGapWindows = 5;        // a longer pause ends a run
inline constexpr int kMinOnWindows = 3;         // intermittent: shortest on-period counted
inline constexpr int kMaxOnWindows = 20;        // intermittent: longest on-period
inline constexpr int kMinOnPeriods = 2;         // intermittent: on-periods before a report
inline constexpr int kMinHz = 300;
inline constexpr int kMaxHz = 2900;
inline constexpr int kMaxClasses = 16;
inline constexpr int kLanes = 8;  // tones are handled in groups of eight
}  // namespace trailer

// A class usable by the detector: a name, tones in 300..2900 Hz, and the two
// tones of a pair at least 6 % apart.
bool IsUsableTrailerClass(const TrailerClass& trailerClass);

// A class heard for 2 s. `name` is valid during the call only.
struct TrailerHeard {
  std::string_view name;
  int classIndex = 0;         // in TrailerDetector::Classes()
  std::uint32_t startMs = 0;  // tick of the start of the run
  std::uint32_t heardMs = 0;  // tick at which the run reached 2 s
};

// Receives the classes heard, on the analysing thread.
class TrailerSink {
 public:
  virtual ~TrailerSink() = default;
  virtual void OnTrailer(const TrailerHeard& heard) = 0;
};

class TrailerDetector {
 public:
  // Keeps the usable classes of `classes` (up to trailer::kMaxClasses, in
  // order); `sink` may be null and must outlive the detector.
  explicit TrailerDetector(std::vector<TrailerClass> classes = DefaultTrailerClasses(),
                           TrailerSink* sink = nullptr);
  TrailerDetector(const TrailerDetector&) = delete;
  TrailerDetector& operator=(const TrailerDetector&) = delete;

  // Before audio starts.
  void SetSink(TrailerSink* sink) { sink_ = sink; }

  const std::vector<TrailerClass>& Classes() const { return classes_; }

  // One capture buffer; `tickMs` is the tick of its first frame.
  void AnalyseBuffer(CaptureBuffer buffer, std::uint32_t tickMs);

  // Forgets the audio and every run.
  void Reset();

 private:
  struct Tone {
    double hz = 0.0;
    int gridSteps = 0;       // the grid runs over -gridSteps..+gridSteps
    double needShare = 1.0;  // smallest share any class of this tone needs
    std::array<std::complex<float>, trailer::kSubBlocks> blockTurn{};  // e^(-i w k L)
  };
  struct ToneResult {
    bool inTolerance = false;
    double share = 0.0;
  };
  struct Run {
    bool active = false;
    bool reported = false;
    bool spoiled = false;  // an on-period too long for an intermittent class
    int counted = 0;       // windows counted
    int onPeriods = 0;
    int currentOn = 0;  // present windows in a row
    int gap = 0;        // windows since the last counted one
    std::uint32_t onStartMs = 0;
    std::uint32_t startMs = 0;
  };
  struct ClassTones {
    int low = 0;
    int high = -1;  // -1 for a single tone
  };

  int AddTone(int hz);
  void EndSubBlock();
  void EndWindow();
  ToneResult MeasureTone(int t, double windowEnergy);
  void Advance(int c, bool present);

  std::vector<TrailerClass> classes_;
  std::vector<ClassTones> classTones_;
  std::vector<Tone> tones_;
  int lanes_ = 0;  // tones rounded up to a multiple of trailer::kLanes
  // Sub-block coefficients: [m * lanes_ + t] = cos / -sin of w_t m.
  std::vector<float> cosTable_;
  std::vector<float> sinTable_;
  std::vector<float> accRe_;  // per lane, the sub-block being summed
  std::vector<float> accIm_;
  // [t * kSubBlocks + k]: the window's sub-block sums, phase-aligned.
  std::vector<std::complex<float>> blockSums_;
  std::vector<double> blockPower_;  // per tone, sum of |sub-block sum|^2
  // [(h + maxSteps_) * kSubBlocks + k]: e^(-2 pi i h step k L / rate).
  std::vector<std::complex<float>> gridTurn_;
  std::vector<double> gridGain_;  // per offset: 1 / sub-block response^2
  int maxSteps_ = 0;
  std::vector<double> gridMagnitude_;  // scratch, per offset
  std::vector<ToneResult> results_;
  std::vector<Run> runs_;
  TrailerSink* sink_ = nullptr;

  // High-pass state and the window being summed.
  double x1_ = 0.0, x2_ = 0.0, y1_ = 0.0, y2_ = 0.0;
  int sample_ = 0;  // in the window
  double energy_ = 0.0;
  std::uint32_t windowStartMs_ = 0;
};

}  // namespace sequelo::core
