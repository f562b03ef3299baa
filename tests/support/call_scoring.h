// Scoring either decoder on generated calls: batches of random calls at a
// signal-to-noise ratio, offset, level and tone length; hours of noise fed
// buffer by buffer without holding them in memory. Fixed seeds throughout.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/selectable_decoder.h"
#include "tests/support/decode_helpers.h"
#include "tests/support/signal_generator.h"

namespace sequelo::testsupport {

// Decodes mono 6000 Hz samples (first channel) with the chosen decoder behind
// a SelectableDecoder, with the audio clock. `lines` (optional) receives the
// chosen decoder's analysis lines; `everyRun` has the enhanced decoder report
// every framed run of 3 to 16 tones.
std::vector<DecodedCode> DecodeMono6000With(core::DecoderChoice choice,
                                            const std::vector<double>& samples, int modeIndex,
                                            std::vector<std::string>* lines = nullptr,
                                            bool everyRun = false);

struct CallBatch {
  int modeIndex = core::kModeZvei;
  double snrDb = 0.0;  // tone power / noise power in 0..3000 Hz
  double toneMs = 70.0;
  double offsetRelative = 0.0;  // frequency offset of the sender
  double levelDbfs = -20.0;     // peak level of the tones
  int calls = 100;
  std::uint32_t seed = 1;
  // A special letter: each call is a sequence of a called code, this
  // separator and a caller's code (eleven tones).
  char separator = '\0';
  double speedRelative = 0.0;  // the recording played this much fast
  bool radioBand = false;      // through a receiver's 300-3000 Hz audio band
  // Speech or music (an InterferenceKind) running through the whole signal,
  // lead-in and tail included, at `sirDb` tone power over its mean power;
  // -1 for none.
  int interference = -1;
  double sirDb = 0.0;
};

struct BatchScore {
  int calls = 0;
  int decoded = 0;  // calls whose own code came out (once or more)
  int wrong = 0;    // codes that came out but were not sent
  int Missed() const { return calls - decoded; }
  double Share() const { return calls > 0 ? static_cast<double>(decoded) / calls : 0.0; }
};

// Clean calls (SNR 30 dB) of a set at its own tone length with interference
// `kind` (an InterferenceKind) running through them at `sirDb`; the point's
// seed is `seedBase` + 10 x the set + the SIR, as the bench's tables and the
// tests draw the same stretches.
CallBatch ThroughInterference(int modeIndex, int kind, double sirDb, int calls,
                              std::uint32_t seedBase);

// Random codes (with repeats now and then), each in its own stretch of noise
// with a varied lead-in (so tones fall anywhere in the buffers) and phase.
BatchScore ScoreCalls(core::DecoderChoice choice, const CallBatch& batch);

// Call `index` of a batch: a random code (drawn from `codeState`, which the
// batch starts at BatchCodeState) with the batch's conditions, its own noise
// seed, lead-in and start phase. Every scorer of a batch sends these calls.
std::uint32_t BatchCodeState(const CallBatch& batch);
CallSignal BatchCall(const CallBatch& batch, int index, std::uint32_t& codeState);

// Gaussian noise, fast enough for hours of audio (xoshiro256** and the
// Marsaglia polar method). Deterministic for a seed.
class FastGaussian {
 public:
  explicit FastGaussian(std::uint64_t seed);
  double Next();  // standard normal

 private:
  std::uint64_t NextBits();
  std::uint64_t s_[4];
  double spare_ = 0.0;
  bool hasSpare_ = false;
};

// Feeds `seconds` of audio to the chosen decoder, `fill` writing each buffer's
// 128 mono samples (normalised, clipped and rounded to 16 bit here). Returns
// the codes reported.
std::vector<std::string> FeedAudio(core::DecoderChoice choice, int modeIndex, double seconds,
                                   const std::function<void(double* mono, std::size_t n)>& fill);

}  // namespace sequelo::testsupport
