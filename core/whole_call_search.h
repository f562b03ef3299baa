// The whole-call search: the enhanced decoder's detector for weak five-tone
// calls. Instead of finding tones frame by frame and then assembling them, it
// looks at every place a call could start for five contiguous tones of one
// common length at one common frequency offset, each tone measured over its
// full length, and decides the symbols by maximum likelihood. A calibrated
// estimate of the chance that the code is wrong must be tiny before a
// candidate is handed on.
//
// Per 6000 Hz sample of high-passed audio:
//  1. Block sums over 10 samples (1.67 ms) at each of the sixteen tones'
//     nominal frequencies, and the block's energy.
//  2. Each block sum turned by the phase advance of every offset hypothesis
//     (the set's offset range in steps that cost at most about 0.9 dB at the
//     highest tone), and a sliding sum over one nominal tone length:
//     W = |sum|^2 / energy of the same samples, about Exp(1) for white noise
//     and 1 + (samples / 2) x SNR for a tone. M = the largest W over the
//     tones, per offset.
//  3. D(s) = the best over offsets of the five M values one tone length apart
//     from block s: the evidence of a call starting at s. Every local maximum
//     of D (within half a tone length) above kDetectThreshold is a candidate.
//  4. A candidate is refined: the start within a few blocks, the tone length
//     over the set's lengths (nominal +/- 5 %), the offset in half steps, all
//     from the stored block sums. Then the symbols (a Viterbi over the five
//     slots: no tone twice in a row, no repeat tone first), and the error
//     estimate: the chance that a symbol is wrong, plus the chance that the
//     call is really one tone earlier or later (the slot just before or after
//     it holding a tone as strong as an edge tone).
//
// The caller (the enhanced decoder) applies the interference guards that
// need the audio (purity, the framing guard) and reports. Allocation happens
// in the constructor only; one thread.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <vector>

namespace sequelo::core {

namespace search {
inline constexpr int kTones = 16;                 // as the enhanced decoder's tone indices
inline constexpr int kRepeatTone = 11;            // the repeat tone
inline constexpr int kFirstSpecial = 12;          // special tones: never in a five-tone call
inline constexpr int kBlock = 10;                 // samples per block
inline constexpr int kMaxOffsets = 28;            // offset hypotheses at most
inline constexpr int kMaxLengths = 7;             // tone-length hypotheses at most
inline constexpr int kMaxToneBlocks = 64;         // the longest tone length looked for
inline constexpr int kRing = 1024;                // blocks of block sums kept (1.7 s)
inline constexpr double kDetectThreshold = 45.0;  // D of a candidate
inline constexpr double kErrorGate = 0.002;       // p_sym + p_al of a call handed on
inline constexpr int kSlots = 5;                  // tones of a call
inline constexpr int kLookSlots = kSlots + 2;     // and the slot before and after it
// The reason of a reading whose code is not sure enough to hand on.
inline constexpr const char* kUnsureCode = "the code may be wrong, error estimate";

// ln I0(x), x >= 0: the log-likelihood of a tone at per-tone SNR g showing
// W is ln I0(2 sqrt(g W)) - W - g.
double LogBesselI0(double x);

// The odds of other codes against a call's decided one, from the W its
// decided tones show. A tone at per-tone SNR g shows W with likelihood
// e^-(W+g) I0(2 sqrt(g W)), noise e^-W, so a code's likelihood is the
// product of e^-g I0(2 sqrt(g W)) over its tones (times e^-W of every
// hypothesis, the same for every code). The call's g is not known: the odds
// are averaged over g (flat in ln g from 1 to about the W of a clean 100 ms
// tone), each g weighted by how well it explains the decided tones. One
// guess of g would not do as well: a g from the strong tones makes the code
// look surer than it is, one from the weak tones costs calls.
class CodeOdds {
 public:
  explicit CodeOdds(const std::array<double, kSlots>& decided);
  // With g known (a reference receiver that knows the SNR).
  CodeOdds(const std::array<double, kSlots>& decided, double g);
  // The odds of the code with `slot`'s tone replaced by one showing `w`.
  double Rival(std::size_t slot, double w) const;
  // The chance that another code was sent: over the slots, the chance that
  // another tone was sent there, among the tones t of `tones` for which
  // `rival(slot, t)` holds (never the decided one), each showing w(slot, t).
  template <class W, class Allowed>
  double ChanceWrong(int tones, W w, Allowed rival) const {
    double chance = 0.0;
    for (std::size_t k = 0; k < kSlots; ++k) {
      double odds = 0.0;
      for (int t = 0; t < tones; ++t) {
        odds += rival(k, t) ? Rival(k, w(k, t)) : 0.0;
      }
      chance += odds / (1.0 + odds);
    }
    return chance;
  }
  // The g that explains the decided tones best.
  double LikeliestG() const;

 private:
  static constexpr int kSnrGrid = 64;
  static constexpr double kSnrGridTop = 4000.0;
  std::array<double, kSnrGrid> g_{}, weight_{};
  std::array<std::array<double, kSlots>, kSnrGrid> own_{};  // ln I0 of the decided tones
};
}  // namespace search

// A candidate that passed the search's own tests.
struct SearchCall {
  std::array<int, search::kSlots> tones{};  // tone indices
  std::int64_t startSample = 0;             // first sample of the first tone
  int toneSamples = 0;                      // the call's tone length
  double offsetRelative = 0.0;
  // W of every tone in each slot, from the slot before the call (0) to the
  // slot after it (kLookSlots - 1).
  std::array<std::array<float, search::kTones>, search::kLookSlots> w{};
  std::array<double, search::kSlots> q{};  // W of each decided tone
  // The strongest tone of the set in the slots before and after the call
  // (at the call's offset a few blocks either way; the edge tone at any
  // offset of the range), as W against the energy of the call's slots;
  // without notes that sound on inside the call's edge slot (held across
  // the call: what it is heard through).
  double pre = 0.0, post = 0.0;
  int preTone = -1, postTone = -1;  // the tones that gave them
  double evidence = 0.0;            // the sum of q
  double errorEstimate = 0.0;       // p_sym + p_al
  const char* reason = "";          // the first test it failed, "" if none
  int reasonSlot = -1;              // the slot (from 0) the reason is about
  bool contender = false;           // it passed the error estimate
  // Two tones taking turns (not the repeat tone): a trill, what music plays
  // most that looks like a call.
  bool trill = false;
  std::int64_t EndSample() const { return startSample + search::kSlots * toneSamples; }
};

class WholeCallSearch {
 public:
  WholeCallSearch();
  WholeCallSearch(const WholeCallSearch&) = delete;
  WholeCallSearch& operator=(const WholeCallSearch&) = delete;

  // The tones (Hz; `used` false for a tone the set lacks), the nominal tone
  // length and the relative offset range to search. Restarts the search with
  // `firstSample` as the sample number of the next sample fed.
  void Configure(const std::array<double, search::kTones>& hz,
                 const std::array<bool, search::kTones>& used, double toneMs, double offsetRange,
                 std::int64_t firstSample);
  // Restarts with empty history: what came before counts as silence.
  void Restart(std::int64_t firstSample);

  // High-passed samples, in order. Candidates decided while feeding are
  // collected for TakeCalls.
  void Feed(const float* samples, std::size_t n);

  // Candidates decided since the last call (rejected ones carry a reason).
  // Valid until the next Feed.
  const std::vector<SearchCall>& Calls() const { return calls_; }
  void ClearCalls() { calls_.clear(); }

  std::uint64_t CandidatesSeen() const { return candidates_; }
  std::size_t MemoryBytes() const;
  int NominalToneSamples() const { return nominal_ * search::kBlock; }
  // The largest frequency offset searched, relative.
  double OffsetRange() const { return fineCentre_ * fineStep_; }

 private:
  void ProcessBlock(const float* block);
  void Detect();
  void Refine(std::int64_t start, int offsetIndex);
  // The tests of each slot of a call that passed the error estimate; sets
  // the reason of the first that fails.
  void CheckSlots(SearchCall& call, std::int64_t start, double g) const;
  std::complex<double> TurnedSum(int tone, double offset, std::int64_t from, int blocks) const;
  double EnergyOf(std::int64_t from, int blocks) const;
  double OffsetOf(int fine) const { return (fine - fineCentre_) * fineStep_; }
  int DetectionFine(int e) const { return detectFirst_ + 2 * e; }

  bool configured_ = false;
  std::array<double, search::kTones> hz_{};
  std::array<bool, search::kTones> used_{};
  std::array<float, search::kTones> usedMask_{};  // 1 for a tone of the set, 0 else
  int nominal_ = 42;                              // blocks per tone
  std::array<int, search::kMaxLengths> lengths_{};
  int lengthCount_ = 0;
  int longest_ = 42;
  double fineStep_ = 0.0025;  // relative, between hypotheses
  int fineCount_ = 25;        // offsets in fine steps
  int fineCentre_ = 12;
  int detectFirst_ = 0;  // the fine offset of the first detection offset
  int offsets_ = 13;     // detection offsets (every other fine one)

  // Per block: samples of a part block, the block's sums and energy.
  std::array<float, search::kBlock> part_{};
  int partFill_ = 0;
  std::array<std::array<float, search::kTones>, search::kBlock> mixRe_{}, mixIm_{};
  std::vector<std::complex<float>> z_;  // kRing x kTones block sums
  std::vector<double> energy_;          // kRing block energies
  std::int64_t block_ = 0;              // blocks since restart, the silent lead included
  std::int64_t firstSample_ = 0;        // sample number of block kLead's first sample

  // Detection: turned sums of the last nominal_ blocks and their running sums
  // (offset-major: bin = offset x kTones + tone), recomputed now and then to
  // stop rounding from building up.
  std::vector<float> turnedRe_, turnedIm_;  // (kMaxToneBlocks + 1) x bins
  std::vector<float> sumRe_, sumIm_;        // bins
  std::vector<float> stepRe_, stepIm_, phasorRe_, phasorIm_;
  double windowEnergy_ = 0.0;
  std::vector<float> m_;  // kRing x offsets_: M by window start block
  std::vector<float> d_;  // kRing: D by start block
  std::vector<std::int8_t> dOffset_;

  // Local maxima waiting for the audio after them.
  struct Pending {
    std::int64_t start = 0;
    int offset = 0;
  };
  std::array<Pending, 16> pending_{};
  int pendingCount_ = 0;

  // Refinement work areas.
  std::vector<std::complex<float>> prefix_;  // (region + 1) x kTones
  std::vector<double> energyPrefix_;
  std::vector<SearchCall> calls_;
  std::uint64_t candidates_ = 0;
};

}  // namespace sequelo::core
