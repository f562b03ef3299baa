// The enhanced five-tone decoder: a second decoder beside ToneDecoder, built
// for weak, off-frequency calls and for rejecting melodies, wake tones and
// other tonal interference. Same input (6000 Hz capture buffers) and the same
// code and analysis-log sinks; it shows no spectrum (that stays with
// ToneDecoder::AnalyseBuffer).
//
// How it works, per 6000 Hz input sample (first channel only):
//  1. A 2nd-order Butterworth high-pass at 300 Hz (DC and hum would otherwise
//     dominate the energy normaliser). The filtered audio also goes into a
//     ring of 2.7 s for the framing guard.
//  2. For the sixteen tones of the set (ten digits, '*', the repeat tone, the
//     special tones; a set without some special tones leaves them out),
//     complex sums over blocks of 20 samples (3.33 ms) at the nominal
//     frequency.
//  3. For each tone and each of 9 frequency offsets (-3 % .. +3 % in 0.75 %
//     steps), the last 8 block sums, each turned by the offset frequency's
//     phase advance, are added: a 26.7 ms DFT every 2 blocks (a frame, 150 per
//     second). z = |S|^2 / E with E the energy of the same 160 samples: about
//     1 for white noise, about 80 for a clean tone, whatever the level.
//  4. A Viterbi tracker over an idle state and, per tone, a chain of 3 states
//     (at least 20 ms of tone): emission 0 for idle, (best z over the
//     offsets) - 5 for a tone, a penalty of 10 per change. Frames are
//     committed as soon as every surviving path agrees on them (looked at
//     every third frame), at the latest after 20 frames (133 ms): a code comes
//     within about 300 ms of the end of its last tone.
//  5. Tone segments with at most 2 idle frames between them form a group; a
//     segment too weak to belong to any call (mean z below 5, or below 0.3 x
//     the segments before it) ends the group. When the group ends, every run
//     of five consecutive segments is a candidate call
//     (enhanced_candidate.cpp): one common offset for the call, the edge
//     tones trimmed, every tone classified again at that offset, then the
//     guard and the framing guard decide; a repeating pattern or an
//     ambiguous pair of candidates gives no code.
//
// Thread use: AnalyseBuffer and SetSinks on one thread (the analysing
// thread). SetToneSet and SetAnalysisLog from any thread; they take effect
// with the next buffer. A change of tone set restarts the analysis.
// Allocation happens in the constructor only.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "core/buffer_analysis.h"
#include "core/decoder_sinks.h"
#include "core/radix2_fft.h"
#include "core/tone_set.h"
#include "core/whole_call_search.h"

namespace sequelo::core {

namespace enhanced {
inline constexpr int kTones = 16;                // '0'..'9', '*', the repeat tone, 4 special
inline constexpr int kRepeatTone = 11;           // index of the repeat tone
inline constexpr int kStarTone = 10;             // index of '*'
inline constexpr int kFirstSpecialTone = 12;     // index of the first special tone
inline constexpr int kOffsets = 9;               // offset hypotheses
inline constexpr double kOffsetStep = 0.0075;    // relative, between hypotheses
inline constexpr int kBins = kTones * kOffsets;  // z values per frame
inline constexpr int kBlockSamples = 20;         // 3.33 ms
inline constexpr int kWindowBlocks = 8;          // 160 samples = 26.7 ms per DFT
inline constexpr int kHopBlocks = 2;             // 40 samples = 6.67 ms per frame
inline constexpr int kWindowSamples = kBlockSamples * kWindowBlocks;
inline constexpr int kHopSamples = kBlockSamples * kHopBlocks;
inline constexpr int kChainStates = 3;  // minimum tone: 3 frames (20 ms)
inline constexpr int kStates = 1 + kTones * kChainStates;
inline constexpr int kMaxRunTones = 16;       // the longest sequence reported
inline constexpr int kMaxGroupSegments = 18;  // a longer group keeps its newest segments
inline constexpr int kFrameRing = 512;        // frames of z values kept (3.4 s)
inline constexpr int kTraceRing = 128;        // frames of Viterbi back-pointers kept
inline constexpr int kMaxLagFrames = 20;      // forced commit after 133 ms
inline constexpr int kAudioRing = 16384;      // filtered samples kept (2.7 s)
inline constexpr int kGuardFftSize = 2048;
}  // namespace enhanced

// The outcome of one candidate call or sequence, as the analysis log line
// tells it.
struct EnhancedVerdict {
  bool accepted = false;
  int count = 0;  // tones of the candidate: 5 for a call, 3..16 for a sequence
  // Classified tones, 'R' for the repeat tone, NUL-terminated.
  std::array<char, enhanced::kMaxRunTones + 1> tones{};
  // The code the tones stand for (repeat tones resolved), NUL-terminated.
  std::array<char, enhanced::kMaxRunTones + 1> code{};
  double offsetRelative = 0.0;                                // the call's common offset
  double evidence = 0.0;                                      // summed z of the tones
  std::array<double, enhanced::kMaxRunTones> toneEvidence{};  // summed z of each tone
  double callMeanZ = 0.0;
  double weakestMeanZ = 0.0;
  std::uint64_t startSample = 0;  // estimated start of the first tone, samples since start
  std::uint64_t endSample = 0;    // estimated end of the last tone
  const char* reason = "";        // why rejected; "" when accepted
  int reasonTone = -1;            // the tone (from 0) the reason is about, -1 for the call
  double reasonValue = 0.0;       // the offending figure, in the unit the reason names
  // The search's calls: the strongest tone of the set in the slots right
  // before and after the call, W; -1 for the tracker's.
  double besideW = -1.0;
};

class EnhancedDecoder {
 public:
  // Starts without a tone set: nothing is decoded until SetToneSet.
  EnhancedDecoder();
  EnhancedDecoder(const EnhancedDecoder&) = delete;
  EnhancedDecoder& operator=(const EnhancedDecoder&) = delete;

  // Registers the sinks (the spectrum observer is not used); call before audio
  // starts, on the analysing thread.
  void SetSinks(const DecoderSinks& sinks) { sinks_ = sinks; }

  // The tone set to decode; it must outlive its use (the built-in tables do).
  // Any thread; takes effect with the next buffer. nullptr: no tone set.
  void SetToneSet(const ToneSet* toneSet) { toneSet_.store(toneSet, std::memory_order_release); }
  const ToneSet* CurrentToneSet() const { return toneSet_.load(std::memory_order_acquire); }

  // Which framed runs of tones are reported. Always five-tone calls, and
  // sequences of up to 16 tones made of codes of three tones or more joined
  // by separator tones (a called code, a separator and the caller's code),
  // each as one, never a five-tone window of them. With `every`, any framed
  // run of 3 to 16 tones too: a file decode shows them; a station does not
  // take them for calls (melodies make such runs, a separator they lack).
  // Before audio starts.
  void SetEveryRun(bool every) { everyRun_ = every; }

  // One analysis line per candidate call while on. Any thread.
  bool AnalysisLogOn() const { return analysisLogOn_.load(std::memory_order_relaxed); }
  void SetAnalysisLog(bool on) { analysisLogOn_.store(on, std::memory_order_relaxed); }

  // Analyses one buffer (first channel); a code is reported from inside this
  // call, in the buffer in which it is decided. Always returns 1. Allocates
  // nothing.
  int AnalyseBuffer(CaptureBuffer buffer);

  // Views for tests and benchmarks (analysing thread only). Sample counts
  // run from the first buffer analysed.
  std::uint64_t SamplesAnalysed() const { return samples_; }
  std::uint64_t CodesReported() const { return codesReported_; }
  std::uint64_t CandidatesSeen() const { return candidates_; }
  // The last accepted call (its end sample says when its last tone ended),
  // and the sample count at which it was reported.
  const EnhancedVerdict& LastReported() const { return lastReported_; }
  // Memory of the decoder: the object and what its constructor allocated.
  std::size_t MemoryBytes() const;
  std::uint64_t LastReportSample() const { return lastReportSample_; }

 private:
  struct ReportedSpan {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::array<char, enhanced::kMaxRunTones + 1> code{};
  };
  struct Segment {
    int tone = 0;            // Viterbi label: tone index
    std::int64_t first = 0;  // first frame
    std::int64_t last = 0;   // last frame
    double meanZ = 1e30;     // mean z at its best offset, once it has ended
  };
  struct Group {
    std::array<Segment, enhanced::kMaxGroupSegments> segments{};
    int count = 0;
  };

  void Configure(const ToneSet* toneSet);
  void Restart();
  void ProcessBlock(const float* block);
  void ProcessFrame();
  void TrackerStep(const std::array<float, enhanced::kTones>& emission);
  void CommitConverged();
  void CommitFrame(std::int64_t frame, int label);
  double SegmentMeanZ(const Segment& segment) const;
  void CloseGroup();

  // enhanced_candidate.cpp
  void EvaluateGroup(const Group& group);
  // The run of `count` segments from `start` as a call (5) or sequence.
  EnhancedVerdict EvaluateCandidate(const Group& group, int start, int count) const;
  // The run's edges: its start, the changes between its tones, its end.
  using Bounds = std::array<std::int64_t, enhanced::kMaxRunTones + 1>;
  // A peak just outside the run that does not sound on inside it: the run
  // is part of a melody, or a call read one tone off. With `heardThrough`
  // (the search's calls, whose slots beside are measured as well) a peak no
  // louder than twice the other sound inside the edge tone is excused: the
  // music the call is heard through goes on around it.
  bool FramingViolation(const Bounds& bounds, int count, double firstHz, double lastHz,
                        double tonePower, bool heardThrough, EnhancedVerdict& verdict) const;
  // The sample where tone `hzA` gives way to `hzB`, within `reach` samples
  // of `around`: the split of the stretch around it that the two tones fit
  // best, each measured over its side (good to a sample or two on a strong
  // call, where the tracker's frames are good to some 5 ms).
  std::int64_t FineChange(std::int64_t around, int reach, double hzA, double hzB) const;
  // True (with the reason) when the three inner tones of a five-tone call
  // differ in length by more than a sender's timing allows.
  bool UnevenInnerTones(const Bounds& bounds, const int* tones, double scale,
                        EnhancedVerdict& verdict) const;
  // A verdict of the tracker.
  void Report(const EnhancedVerdict& verdict);
  // An accepted call of either detector against the other's held calls over
  // the same stretch: the same code is reported once; different codes give
  // the search's where the tracker's is the same tones a slot away and the
  // search heard nothing beside its call, else the tracker's if it is
  // strong, else neither. Two different readings of the search: neither. A
  // call without such a partner is held (the search's, the tracker's weak
  // ones and its strong ones of the search's kind) or announced.
  void Arbitrate(const EnhancedVerdict& verdict, bool tracker);
  // Remembers a reading the search turned down for a reason the tracker
  // cannot see, so that the tracker's same reading (whatever tone it holds
  // in `slot`) fails with `why`.
  void Doubt(const EnhancedVerdict& verdict, const char* why, int slot = -1, bool asStrong = false);
  // Turns down a reading of the tracker the search doubted.
  void ApplyDoubts(EnhancedVerdict& verdict, bool asStrongOnly = false) const;
  // Remembers a reading of the search turned down for what a note of the
  // music makes (tones of the set on both sides, a second tone in a slot),
  // and turns down the search's held reading of the same tones a slot apart
  // (the tracker's held ones meet it when they are released).
  void DoubtNeighbours(const EnhancedVerdict& verdict);
  // Turns down (true) a reading whose same tones a slot apart the search
  // turned down so.
  bool NeighbourDoubted(EnhancedVerdict& verdict) const;
  // The search found a reading of this stretch sure enough to weigh (one
  // that passed its error estimate), whatever became of it.
  bool SearchLookedAt(const EnhancedVerdict& verdict) const;
  // The search's reading of this stretch, sure enough to weigh, holds
  // another tone than the verdict's in an edge slot only.
  bool SearchReadAnotherEdge(const EnhancedVerdict& verdict) const;
  // Logs the verdict; reports the code when it was accepted, unless an
  // overlapping call was reported already (the same code: silently).
  void Announce(const EnhancedVerdict& verdict);
  // A call of the whole-call search: the guards that need the audio, then
  // the report.
  void EvaluateSearchCall(const SearchCall& call);
  // Purity: a tone of the call must stand alone in its span, but for peaks
  // that go on around the call (the music or voice it is heard through).
  bool ImpureTone(const SearchCall& call, EnhancedVerdict& verdict) const;
  // A glide (a siren, a slide in music) read as five tones: every tone's
  // pitch moves the same way, and by much, from its first half to its
  // second. A sender's tones hold their pitch.
  bool Gliding(EnhancedVerdict& verdict) const;
  // Across each change between two tones, what one pitch moving from the
  // one tone to the other holds over what the two tones held steady do: a
  // glide over short tones holds more moving.
  double MovingOverHeldAcrossChanges(std::int64_t start, double length,
                                     const std::array<double, search::kSlots>& pitch) const;
  // A call reported already that overlaps this one by more than half the
  // shorter of the two, or nullptr: the same call found by both detectors is
  // reported once.
  const ReportedSpan* OverlapsReported(const EnhancedVerdict& verdict) const;
  // Power spectra (outside_, inside_) of the two Hann-windowed looks of the
  // framing guard, in squared tone amplitude.
  void GuardSpectra(std::int64_t outsideStart, std::int64_t outsideCount, std::int64_t insideStart,
                    std::int64_t insideCount) const;
  double TonePower(std::int64_t centre, double hz) const;
  void LogVerdict(const EnhancedVerdict& verdict) const;

  const float* FrameZ(std::int64_t frame) const {
    return &frameZ_[static_cast<std::size_t>(frame % enhanced::kFrameRing) * enhanced::kBins];
  }
  // Sample count at which frame `frame`'s window ends.
  std::int64_t WindowEnd(std::int64_t frame) const {
    return origin_ + frame * enhanced::kHopSamples + enhanced::kWindowSamples;
  }
  float AudioAt(std::int64_t sample) const {
    return audio_[static_cast<std::size_t>(sample) & (enhanced::kAudioRing - 1)];
  }

  std::atomic<const ToneSet*> toneSet_{nullptr};
  std::atomic<bool> analysisLogOn_{false};
  DecoderSinks sinks_;
  const ToneSet* configured_ = nullptr;

  // Tone table of the configured set.
  std::array<double, enhanced::kTones> toneHz_{};
  std::array<char, enhanced::kTones> toneChar_{};
  std::array<bool, enhanced::kTones> toneUsed_{};  // false: the set has no such tone
  std::array<int, enhanced::kTones> toneRank_{};   // place in the set's tones by frequency
  // The offsets looked at: kOffsets / 2 +/- offsetSteps_. A set whose tones
  // lie closer than twice the full range (CCIR, EEA, EIA: 6.2 to 6.5 %)
  // looks less far, so that a call off frequency cannot pass for the
  // neighbouring code read the other way.
  bool shortTones_ = false;  // the set's tones last under 60 ms
  int ownOffsetSteps_ = 1;   // how far a tone's own offset may lie from the call's
  int firstOffset_ = 0;
  int lastOffset_ = enhanced::kOffsets - 1;
  // The hot loops keep their per-bin arrays offset-major (bin e * kTones + k)
  // so that the sixteen tones of one offset are adjacent and vectorise; the
  // z values kept for the candidates are tone-major (k * kOffsets + e).
  // e^(-j w m) of each tone over a block, real and imaginary parts.
  std::array<std::array<float, enhanced::kTones>, enhanced::kBlockSamples> mixRe_{}, mixIm_{};
  // e^(-j theta) of each tone and offset: the phase advance per block
  // (step), per pair of blocks (step2) and the running phasor of the pair,
  // renormalised every 32 pairs.
  std::array<float, enhanced::kBins> stepRe_{}, stepIm_{};
  std::array<float, enhanced::kBins> step2Re_{}, step2Im_{};
  std::array<float, enhanced::kBins> phasorRe_{}, phasorIm_{};

  // Front end.
  double hpX1_ = 0, hpX2_ = 0, hpY1_ = 0, hpY2_ = 0;
  // A part block left from the last buffer, then the newest buffer, filtered.
  std::array<float, enhanced::kBlockSamples + kBufferFrames> stage_{};
  int blockFill_ = 0;
  // Block sums of the first block of a pair, and the turned sums of the
  // last four pairs (a frame adds four pair sums).
  std::array<float, enhanced::kTones> firstRe_{}, firstIm_{};
  std::array<std::array<float, enhanced::kBins>, enhanced::kWindowBlocks / 2> pairRe_{};
  std::array<std::array<float, enhanced::kBins>, enhanced::kWindowBlocks / 2> pairIm_{};
  std::array<float, enhanced::kWindowBlocks> blockEnergy_{};
  std::int64_t blocks_ = 0;
  std::int64_t frames_ = 0;    // frames formed since Restart
  std::int64_t origin_ = 0;    // sample count at Restart, less the quiet window before it
  std::uint64_t samples_ = 0;  // samples analysed in all
  std::vector<float> audio_;   // kAudioRing filtered samples
  std::vector<float> frameZ_;  // kFrameRing x kBins

  // Tracker.
  std::array<float, enhanced::kStates> score_{};
  std::vector<std::uint8_t> backPointer_;  // kTraceRing x kStates
  std::int64_t committed_ = -1;            // last committed frame
  std::array<int, enhanced::kTraceRing> path_{};

  // Call assembly.
  Group group_;
  int idleRun_ = 0;
  Group pending_;
  bool pendingSet_ = false;
  std::int64_t pendingReadyAt_ = 0;  // sample count the framing guard needs
  bool everyRun_ = false;

  // The whole-call search and the spans of the last calls reported.
  WholeCallSearch search_;
  std::array<ReportedSpan, 4> reportedSpans_{};
  std::size_t reportedNext_ = 0;
  // The search's last calls turned down for what the tracker cannot see: a
  // tone of the set beside them as strong as their own (read one tone off,
  // they are another code), or a strong second tone in a slot, or a peak at
  // another tone of the set above a tone's own (which of the two was sent is
  // a guess). The tracker's same reading fails with them. Kept for as long
  // as a call is held, in music's busiest stretches.
  struct SearchReading {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::array<char, enhanced::kMaxRunTones + 1> tones{};
    // doubtSpans_: why the tracker's same reading fails, and the slot in
    // doubt, where the tracker's reading may hold the other tone (-1: none).
    const char* doubt = "";
    int slot = -1;
    // The other tone in `slot` was as strong as the search's own there: the
    // doubt holds against the tracker's calls held for the search as well
    // (a weaker one only against a call the tracker decided after it).
    bool asStrong = false;
  };
  std::array<SearchReading, 16> doubtSpans_{};
  std::size_t doubtNext_ = 0;
  // The search's last readings turned down for what a note of the music
  // makes: the same tones framed a slot apart are turned down with them.
  std::array<SearchReading, 16> neighbourDoubts_{};
  std::size_t neighbourDoubtNext_ = 0;
  // The search's last readings that passed its error estimate (a few per
  // call in music; far more than a held call's time sees).
  std::array<SearchReading, 16> looked_{};
  std::size_t lookedNext_ = 0;
  // The search's calls, and the tracker's weak ones and those of the
  // search's kind, wait until the other detector has had its chance at the
  // same stretch (see Arbitrate).
  struct HeldCall {
    EnhancedVerdict verdict;
    std::uint64_t until = 0;  // sample count at which it is decided
    bool tracker = false;     // a call of the tracker (else of the search)
    bool searched = false;    // five tones of the set's own length: the search's kind
  };
  std::array<HeldCall, 8> held_{};  // mostly one or two at a time
  std::size_t heldCount_ = 0;
  void ReportHeld(bool all);

  // Framing guard work areas.
  Radix2Fft fft_;
  Radix2Fft purityFft_;
  mutable std::vector<double> fftRe_, fftIm_, outside_, inside_;
  mutable std::vector<double> puritySpectra_;  // the purity test's slot spectra

  std::uint64_t codesReported_ = 0;
  std::uint64_t candidates_ = 0;
  EnhancedVerdict lastReported_;
  std::uint64_t lastReportSample_ = 0;
};

}  // namespace sequelo::core
