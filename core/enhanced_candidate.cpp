// Candidate calls of the enhanced decoder: the common offset, trimming and
// classification, the guard, the framing guard, the ambiguity rule and the
// report. Runs on the analysing thread, once per group of at least five
// tone segments (rarely in noise, so its cost hardly counts).
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>

#include "core/enhanced_decoder.h"
#include "core/vector_clones.h"

namespace sequelo::core {
namespace {

using namespace enhanced;

constexpr float kEvidenceZ = 3.0f;   // a frame carries evidence from this z on
constexpr double kMinToneMs = 20.0;  // each tone lasts 20..160 ms
constexpr double kMaxToneMs = 160.0;
constexpr double kMinOfMedian = 0.4;  // each tone within 0.4..2.5 x the median
constexpr double kMaxOfMedian = 2.0;
constexpr double kMaxLongestToShortest = 2.5;
constexpr double kMinToneMeanZ = 5.0;         // mean z of every tone
constexpr double kMinOfMedianZ = 0.4;         // mean z of every tone against the median tone
constexpr double kMinOfStrongestCodeZ = 0.5;  // a sequence's codes: against the strongest
constexpr double kMinCallMeanZ = 7.0;         // mean z over the call
constexpr double kMaxSecondToBest = 0.6;      // the runner-up tone of a segment
constexpr double kMinRivalShare = 0.5;        // an overlapping rival this strong: ambiguous
constexpr double kNeighbourPower = 0.5;       // and this loud against the call's tones
constexpr double kNeighbourShare = 0.8;       // a segment beside the call this strong: not framed
constexpr int kMaxSegmentFrames = 40;         // 267 ms: a longer segment fails the length check
constexpr int kScaleTones = 5;                // a sequence holding a scale this long is music
constexpr int kCallSegments = 10;             // the newest segments of a group looked at for calls
// Short tones (EEA, EIA): their edges are good to about a frame either way.
constexpr double kShortToneSlackMs = 7.0;  // one frame and a bit
// Framing guard.
constexpr int kEdgeSamples = 90;   // 15 ms: window edge to tone edge
constexpr int kGapSamples = 30;    // 5 ms between a tone edge and the outside look
constexpr int kLookSamples = 240;  // 40 ms looked at on each side
// The inside look starts 10 ms within the estimated edge: with a strong
// signal the edge estimate lies up to 10 ms outside the tone, and a
// neighbouring note there would pass for a tone under the call.
constexpr int kInsideMargin = 60;
constexpr double kGuardLowHz = 700.0;
constexpr double kGuardHighHz = 2950.0;
// Below the tone band, down to the high-pass, only a note about as loud as
// the call's tones counts: a melody's neighbouring note low in pitch, not the
// voice or music a call is heard through.
constexpr double kGuardLowestHz = 400.0;
constexpr double kLowOfTonePower = 0.8;
constexpr double kPeakToMean = 15.0;  // an outside bin this far above the band mean
constexpr double kOfTonePower = 0.6;  // and this strong against the call's tones
constexpr double kOwnToneHz = 60.0;   // and this far from the call's edge tone
constexpr double kInsideHz = 10.0;    // inside power looked for within this distance
constexpr double kInsideShare = 0.3;  // a tone this strong inside the call is background
// A call heard through music has the music sounding under it as well: a note
// just outside it no louder than twice the strongest other sound inside the
// call's edge tone (this far from that tone) is that music going on.
constexpr double kHeardThroughShare = 0.5;
constexpr double kHeardThroughHz = 75.0;

// Inner tones of a strong call (the tracker's, mean z from this) measured
// to the sample: longest to shortest at most this.
constexpr double kEvenMeanZ = 30.0;
constexpr double kEvenMeanW = 85.0;  // the search's calls: mean W (about as strong)
constexpr double kMaxInnerRatio = 1.2;
constexpr int kMaxFineStretch = 1024;  // samples looked at around a change
// Pitches tried for each side of a change: the tone's, and this many steps
// either way (up to 1.25 %).
constexpr int kFinePitches = 5;
constexpr double kFinePitchStep = 0.0025;

// The whole-call search's guards.
constexpr double kSlotW = 12.0;     // a tone in the slot before or after the call: W above
constexpr double kSlotShare = 0.3;  // and this share of the call's median W
// A tone beside the call weaker than this share of the tone at the other
// edge, the one a call read one tone off would drop, needs this share of
// the median instead; in a call whose every tone holds kEvenShare of the
// median, kEvenSlotShare. Not in a trill, and on one side only.
constexpr double kOtherEdgeShare = 0.6;
constexpr double kWeakSlotShare = 0.45;
constexpr double kEvenShare = 0.6;
constexpr double kEvenSlotShare = 0.6;
constexpr double kSeparatorMedianW = 60.0;  // a weak call (70 ms tones: about -5.5 dB)
constexpr double kSecondW = 12.0;           // a second tone in a slot: W above
constexpr double kSecondShare = 0.25;       // and this share of the slot's own tone
constexpr double kHeldSecondShare = 0.5;    // held: this share of it in a neighbouring slot
constexpr double kDoubtSecondShare = 0.4;   // the tracker's reading of the call fails too
constexpr double kHeldThroughW = 20.0;      // an edge tone under all the call's other tones
// or this far above noise and at this share of the edge tone's own W
// where it also sounds on outside the call, beside either edge, at
// kHeldOnShare of it: a note, undiminished at the end of what would be its
// tone, and not far under it inside the call.
constexpr double kHeldOnW = 12.0;
constexpr double kHeldOnUnderShare = 0.25;
constexpr double kHeldOnShare = 0.9;
constexpr int kPurityFft = 1024;
// The search's calls wait this long after their end for the tracker (which
// decides within about 200 ms of a call's end), and the tracker's calls of
// the search's kind for the search.
constexpr std::uint64_t kHoldSamples = 1500;
// A tracker's call as long as five of the set's tones, +/- this share, and
// weaker than this mean z (about -4 dB SNR in white noise) stands only where
// the search heard the same code.
constexpr double kNominalSpan = 0.1;
constexpr double kConfirmMeanZ = 30.0;
// A strong call measured up to this share longer waits for the search's
// doubts too, though not for its reading: a sound beside a call of short
// tones lengthens the edge tone the tracker takes (EIA: up to 1.18 x five
// tones), but a sender of longer tones than the set's is the tracker's alone.
constexpr double kLongSpan = 0.2;
// A reading of the search turned down as unsure, with another tone of the
// set at this share of the decided one in a slot: which of the two was sent
// is a guess, for the tracker too.
constexpr double kUnsureRivalShare = 0.8;
// Below this mean z (about -9 dB for 70 ms tones) the tracker's estimate of
// its call's span is poor too: within this share of the set's length its
// call stands only with the search's (tones far shorter or longer than the
// set's are the tracker's alone). Weak calls of the set's length measure
// 0.72-1.22 of five tones there (a faded tone lost, another split in two);
// a sender of 70 ms tones in a 100 ms set stays outside.
constexpr double kAlwaysConfirmMeanZ = 12.0;
constexpr double kNearNominalSpan = 0.29;
constexpr double kPurityLowHz = 300.0;
constexpr double kPurityHighHz = 2950.0;
constexpr double kPurityZ = 18.0;       // a peak beside the tone: z above (noise ~ Exp(1))
constexpr double kPurityShare = 1.0;    // and above the tone's own peak z (this share of it)
constexpr double kPurityOwnHz = 60.0;   // beside: this far from the tone
constexpr double kPurityPeakHz = 25.0;  // the tone's own peak: within this
// A peak also found in the slot before or after the call, at this share of
// its power or more, belongs to what the call is heard through.
constexpr double kGoesOnShare = 0.25;
constexpr int kGoesOnBins = 2;

// Two five-tone readings whose tones agree but for one slot at one edge of
// each: the same call framed a tone apart.
bool OneToneApart(const std::array<char, enhanced::kMaxRunTones + 1>& a,
                  const std::array<char, enhanced::kMaxRunTones + 1>& b) {
  const std::string_view x(a.data());
  const std::string_view y(b.data());
  return x.size() == 5 && y.size() == 5 &&
         (x.substr(1) == y.substr(0, 4) || x.substr(0, 4) == y.substr(1));
}

// A note of the music at a tone's frequency, beside a call or in it, makes
// the call and its reading a tone apart look alike.
constexpr const char* kNeighbourDoubted = "the search turned down the same tones a slot apart";
// A call the tracker measured long, whose edge tone the search read as
// another.
constexpr const char* kAnotherEdge = "the search read another edge tone here";

// Two readings of one length whose tones agree in every place but `slot`
// (-1: all).
bool SameButAt(const std::array<char, enhanced::kMaxRunTones + 1>& a,
               const std::array<char, enhanced::kMaxRunTones + 1>& b, int slot) {
  const std::string_view x(a.data());
  const std::string_view y(b.data());
  if (x.size() != y.size()) {
    return false;
  }
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (x[i] != y[i] && static_cast<int>(i) != slot) {
      return false;
    }
  }
  return true;
}

// Two five-tone readings that differ in one edge slot only.
bool AnotherEdgeOnly(const std::array<char, enhanced::kMaxRunTones + 1>& a,
                     const std::array<char, enhanced::kMaxRunTones + 1>& b) {
  return a != b && (SameButAt(a, b, 0) || SameButAt(a, b, search::kSlots - 1));
}

// Two spans share more than half the shorter of them: one stretch of audio.
bool MostlyOverlap(std::uint64_t aStart, std::uint64_t aEnd, std::uint64_t bStart,
                   std::uint64_t bEnd) {
  const std::uint64_t from = std::max(aStart, bStart);
  const std::uint64_t to = std::min(aEnd, bEnd);
  const std::uint64_t shorter = std::min(aEnd - aStart, bEnd - bStart);
  return to > from && 2 * (to - from) > shorter;
}

// Glides: the middle of each tone (kGlideEdge left out at each end) matched
// against pitches moving by up to kGlideRates x kGlideRateStep of the tone's
// per tone length (a glide through the set's tones moves by their spacing,
// 4-10 % per tone in the ZVEI family and CCIR, more in EIA), each at the
// best of +/- kGlidePitches x kGlidePitchStep around the tone's pitch. A
// glide holds kGlideGain x the power of a steady pitch at a rate of
// kGlideMinRate steps or more; a sender's steady tones hold most at rate 0.
constexpr double kGlideEdge = 0.1;
constexpr int kGlideRates = 4;
constexpr double kGlideRateStep = 0.04;
constexpr int kGlidePitches = 6;
constexpr double kGlidePitchStep = 0.005;
constexpr int kGlideMinRate = 1;
constexpr double kGlideGain = 2.0;
constexpr int kGlideMaxLook = 2048;  // samples looked at per tone at most
// Across each change between tones (from the middle of one tone to the
// middle of the next): a pitch moving straight from the one tone's to the
// other's, each end at the best of +/- kGlideEndPitches x kGlidePitchStep,
// against the two tones held steady with the change where they fit best
// (within a sixth of a tone of the middle). A glide holds more across the
// changes moving than held: it passes every pitch between the tones. A
// sender's tones hold under half as much moving (0.46 at most in calls of
// 33-100 ms tones through speech and music), and short tones leave the test
// above too little of each tone to tell.
constexpr int kGlideEndPitches = 3;
constexpr double kGlideAcrossGain = 1.0;

// A five-tone call this far off in pitch (relative) with tones this much
// shorter or longer than the set's is another set's.
constexpr double kForeignOffset = 0.02;
constexpr double kForeignShorter = 0.75;
constexpr double kForeignLonger = 1.3;

constexpr const char* kSegmentBefore = "a tone segment right before the call";
constexpr const char* kSegmentAfter = "a tone segment right after the call";

}  // namespace

void EnhancedDecoder::EvaluateGroup(const Group& group) {
  // Five-tone calls: every run of five among the newest kCallSegments
  // segments (a melody's older notes have had their chance).
  constexpr int kMaxCandidates = kCallSegments - 4;
  std::array<EnhancedVerdict, kMaxCandidates> verdicts{};
  const int first = std::max(0, group.count - kCallSegments);
  const int candidates = std::max(0, group.count - first - 4);
  for (int i = 0; i < candidates; ++i) {
    verdicts[static_cast<std::size_t>(i)] = EvaluateCandidate(group, first + i, 5);
    ++candidates_;
  }
  // The strongest passing candidate wins unless an overlapping rival with
  // another code carries at least half its evidence in the tones the two do
  // not share (a weak noise segment next to a real call does not make the
  // call ambiguous; a sixth note of a melody as strong as the others does);
  // candidates overlapping a winner are dropped.
  std::array<bool, kMaxCandidates> done{};
  for (;;) {
    int winner = -1;
    for (int i = 0; i < candidates; ++i) {
      const auto& v = verdicts[static_cast<std::size_t>(i)];
      if (v.accepted && !done[static_cast<std::size_t>(i)] &&
          (winner < 0 || v.evidence > verdicts[static_cast<std::size_t>(winner)].evidence)) {
        winner = i;
      }
    }
    if (winner < 0) {
      break;
    }
    auto& w = verdicts[static_cast<std::size_t>(winner)];
    done[static_cast<std::size_t>(winner)] = true;
    bool ambiguous = false;
    bool repeating = false;
    for (int i = 0; i < candidates; ++i) {
      auto& v = verdicts[static_cast<std::size_t>(i)];
      if (i == winner || std::abs(i - winner) >= 5 || done[static_cast<std::size_t>(i)]) {
        continue;
      }
      const int shift = std::abs(i - winner);
      double rivalOwn = 0.0;
      double winnerOwn = 0.0;
      for (int j = 0; j < shift; ++j) {
        const auto early = static_cast<std::size_t>(j);
        const auto late = static_cast<std::size_t>(4 - j);
        rivalOwn += i > winner ? v.toneEvidence[late] : v.toneEvidence[early];
        winnerOwn += i > winner ? w.toneEvidence[early] : w.toneEvidence[late];
      }
      const bool sameCode = std::string_view(v.code.data()) == std::string_view(w.code.data());
      if (v.accepted && !sameCode && rivalOwn >= kMinRivalShare * winnerOwn) {
        ambiguous = true;
      }
      // The same code passing at two places of one group: a repeating
      // pattern (a two-note arpeggio, a wake signal), not a framed call.
      if (v.accepted && sameCode) {
        repeating = true;
      }
      if (v.accepted) {
        v.accepted = false;
        v.reason = "overlaps a stronger candidate";
      }
      done[static_cast<std::size_t>(i)] = true;
    }
    if (ambiguous) {
      w.accepted = false;
      w.reason = "ambiguous: an overlapping candidate with another code";
    } else if (repeating) {
      w.accepted = false;
      w.reason = "a repeating pattern: the same code at two places";
    }
  }
  // Runs of other lengths: longer sequences first, then (when asked) runs
  // of 4 and 3. Of one length, the strongest that passes; the longest length
  // with one that passes wins, unless it overlaps a call that passed.
  // Candidates turned down because a tone segment of the group lies right
  // beside them (every window inside a longer run) are not logged.
  EnhancedVerdict run;
  int runStart = -1;
  const int shortest = everyRun_ ? 3 : 6;
  for (int count = std::min(group.count, kMaxRunTones); count >= shortest && runStart < 0;
       --count) {
    if (count == 5) {
      continue;
    }
    for (int i = 0; i + count <= group.count; ++i) {
      const EnhancedVerdict v = EvaluateCandidate(group, i, count);
      ++candidates_;
      if (v.accepted) {
        if (runStart < 0 || v.evidence > run.evidence) {
          run = v;
          runStart = i;
        }
      } else if (v.reason != kSegmentBefore && v.reason != kSegmentAfter) {
        LogVerdict(v);
      }
    }
  }
  const auto overlapsRun = [&](int start, int count) {
    return runStart >= 0 && start < runStart + run.count && runStart < start + count;
  };
  // A call that passed is framed: the segments beside it are not part of
  // it, so no run over it is reported. (Every five-tone window of a longer
  // sequence fails for its neighbours, so a sequence is never cut short.)
  for (int i = 0; i < candidates; ++i) {
    if (verdicts[static_cast<std::size_t>(i)].accepted && overlapsRun(first + i, 5)) {
      runStart = -1;
    }
  }
  const bool runFirst = runStart >= 0 && (candidates == 0 || runStart <= first);
  if (runFirst) {
    Report(run);
  }
  for (int i = 0; i < candidates; ++i) {
    Report(verdicts[static_cast<std::size_t>(i)]);
  }
  if (runStart >= 0 && !runFirst) {
    Report(run);
  }
}

const EnhancedDecoder::ReportedSpan* EnhancedDecoder::OverlapsReported(
    const EnhancedVerdict& verdict) const {
  for (const auto& span : reportedSpans_) {
    if (span.end > span.start &&
        MostlyOverlap(span.start, span.end, verdict.startSample, verdict.endSample)) {
      return &span;
    }
  }
  return nullptr;
}

void EnhancedDecoder::Report(const EnhancedVerdict& verdict) {
  Arbitrate(verdict, true);
}

void EnhancedDecoder::Arbitrate(const EnhancedVerdict& given, bool tracker) {
  EnhancedVerdict verdict = given;
  if (!verdict.accepted || Gliding(verdict)) {
    Announce(verdict);
    return;
  }
  // A weak call of the tracker is one the search measures better: it waits
  // for the search, and with a five-tone span of the set's own tone length
  // (what the search looks for) it needs the search's agreement.
  const bool weak = tracker && verdict.callMeanZ < kConfirmMeanZ;
  const double nominal = 5.0 * search_.NominalToneSamples();
  const double span = static_cast<double>(verdict.endSample - verdict.startSample);
  // (Within the offsets the search looks at: a call further off is the
  // tracker's alone.)
  const bool inRange = std::abs(verdict.offsetRelative) <= search_.OffsetRange() + 1e-9;
  // Far off in pitch and far from the set's tone length: a call of another
  // tone set whose tones lie near ours (CCIR's 100 ms or EIA's 33 ms tones
  // read as ZVEI 3 % high), not one of ours.
  if (verdict.count == 5 && std::abs(verdict.offsetRelative) >= kForeignOffset &&
      (span < kForeignShorter * nominal || span > kForeignLonger * nominal)) {
    verdict.accepted = false;
    verdict.reason = "off in pitch and in tone length: another set's call, ms per tone";
    verdict.reasonValue = span / 5.0 * 1000.0 / kCaptureRateHz;
    Announce(verdict);
    return;
  }
  const bool searched =
      verdict.count == 5 && inRange && std::abs(span / nominal - 1.0) <= kNominalSpan;
  const bool measuredLong = verdict.count == 5 && inRange &&
                            span > (1.0 + kNominalSpan) * nominal &&
                            span <= (1.0 + kLongSpan) * nominal;
  // The search turned down the same tones a slot apart for what a note of
  // the music makes (the note may be this reading's edge tone): neither.
  if (!weak && NeighbourDoubted(verdict)) {
    LogVerdict(verdict);
    return;
  }
  for (std::size_t i = 0; i < heldCount_; ++i) {
    HeldCall& other = held_[i];
    if (!MostlyOverlap(other.verdict.startSample, other.verdict.endSample, verdict.startSample,
                       verdict.endSample)) {
      continue;
    }
    const bool sameCode =
        std::string_view(other.verdict.code.data()) == std::string_view(verdict.code.data());
    if (!tracker && !other.tracker && !sameCode) {
      // The search passed two readings of one stretch (mostly a tone apart:
      // a note of the music held beside the call, at a tone's frequency,
      // stands in for the edge tone it covers). Either may be the call;
      // neither is said.
      EnhancedVerdict taken = other.verdict;
      held_[i] = held_[--heldCount_];
      for (EnhancedVerdict* reading : {&taken, &verdict}) {
        reading->accepted = false;
        reading->reason = "the search read this stretch another way as well";
        LogVerdict(*reading);
      }
      return;
    }
    if (other.tracker == tracker) {
      continue;
    }
    const HeldCall taken = other;
    held_[i] = held_[--heldCount_];
    if (sameCode) {
      Announce(verdict);  // both detectors heard it
      return;
    }
    const EnhancedVerdict& trackerCall = tracker ? verdict : taken.verdict;
    EnhancedVerdict searchCall = tracker ? taken.verdict : verdict;
    // The same tones a slot apart, and the search measured no tone of the set
    // in the slots beside its call: the tracker took a quiet note beside the
    // call for its edge tone and dropped the other edge.
    if (searchCall.besideW >= 0.0 && searchCall.besideW <= kSlotW &&
        OneToneApart(trackerCall.tones, searchCall.tones)) {
      EnhancedVerdict trackerVerdict = trackerCall;
      trackerVerdict.accepted = false;
      trackerVerdict.reason = "the search heard these tones a slot away, with none beside them";
      LogVerdict(trackerVerdict);
      Announce(searchCall);
      return;
    }
    // Two readings of one stretch. A strong call of the tracker stands (tones
    // of another length than the set's can fool the search, not the
    // tracker); otherwise nothing tells which is right: neither.
    // (But not a call it measured long whose edge tone the search read as
    // another: a sound beside the call went into the tracker's.)
    const bool trackerLong = tracker ? measuredLong : !taken.searched;
    const bool trackerStands =
        trackerCall.callMeanZ >= kConfirmMeanZ &&
        !(trackerLong && AnotherEdgeOnly(trackerCall.tones, searchCall.tones));
    EnhancedVerdict trackerVerdict = trackerCall;
    searchCall.accepted = false;
    searchCall.reason = trackerStands ? "the tracker heard another code here"
                                      : "the two detectors heard different codes here";
    LogVerdict(searchCall);
    if (!trackerStands) {
      trackerVerdict.accepted = false;
      trackerVerdict.reason = searchCall.reason;
    } else if (tracker) {
      ApplyDoubts(trackerVerdict);
    } else {
      // The tracker's call was held: what the search doubted since counts
      // as it does at the call's release.
      ApplyDoubts(trackerVerdict, true);
      NeighbourDoubted(trackerVerdict);
    }
    Announce(trackerVerdict);
    return;
  }
  if (tracker && !weak) {
    ApplyDoubts(verdict);
    // A strong call of the search's kind waits for the search's look at the
    // same stretch (see ReportHeld); any other is the tracker's alone.
    if (!verdict.accepted || !(searched || measuredLong)) {
      Announce(verdict);
      return;
    }
  }
  if (heldCount_ == held_.size()) {
    ReportHeld(true);  // never: calls are far fewer than that
  }
  held_[heldCount_++] = {verdict, verdict.endSample + kHoldSamples, tracker, searched};
}

void EnhancedDecoder::ApplyDoubts(EnhancedVerdict& verdict, bool asStrongOnly) const {
  // The search turned this reading down for what only it measures: a tone
  // of the set beside the call as strong as the call's (the tracker may
  // have taken a note before the call for its first tone and dropped its
  // last), or two strong tones in one slot. `asStrongOnly`: only where the
  // other tone was as strong as the search's own.
  for (const SearchReading& other : doubtSpans_) {
    if (other.end > other.start && (!asStrongOnly || other.asStrong) &&
        SameButAt(other.tones, verdict.tones, other.slot) &&
        MostlyOverlap(other.start, other.end, verdict.startSample, verdict.endSample)) {
      verdict.accepted = false;
      verdict.reason = other.doubt;
    }
  }
}

bool EnhancedDecoder::NeighbourDoubted(EnhancedVerdict& verdict) const {
  for (const SearchReading& other : neighbourDoubts_) {
    if (other.end > other.start && OneToneApart(other.tones, verdict.tones) &&
        MostlyOverlap(other.start, other.end, verdict.startSample, verdict.endSample)) {
      verdict.accepted = false;
      verdict.reason = kNeighbourDoubted;
      return true;
    }
  }
  return false;
}

bool EnhancedDecoder::SearchLookedAt(const EnhancedVerdict& verdict) const {
  for (const SearchReading& other : looked_) {
    if (other.end > other.start &&
        MostlyOverlap(other.start, other.end, verdict.startSample, verdict.endSample)) {
      return true;
    }
  }
  return false;
}

bool EnhancedDecoder::SearchReadAnotherEdge(const EnhancedVerdict& verdict) const {
  for (const SearchReading& other : looked_) {
    if (other.end > other.start && AnotherEdgeOnly(other.tones, verdict.tones) &&
        MostlyOverlap(other.start, other.end, verdict.startSample, verdict.endSample)) {
      return true;
    }
  }
  return false;
}

void EnhancedDecoder::DoubtNeighbours(const EnhancedVerdict& v) {
  neighbourDoubts_[neighbourDoubtNext_] = {v.startSample, v.endSample, v.tones};
  neighbourDoubtNext_ = (neighbourDoubtNext_ + 1) % neighbourDoubts_.size();
  for (std::size_t i = 0; i < heldCount_;) {
    EnhancedVerdict& other = held_[i].verdict;
    if (!held_[i].tracker && OneToneApart(other.tones, v.tones) &&
        MostlyOverlap(other.startSample, other.endSample, v.startSample, v.endSample)) {
      other.accepted = false;
      other.reason = kNeighbourDoubted;
      LogVerdict(other);
      held_[i] = held_[--heldCount_];
    } else {
      ++i;
    }
  }
}

void EnhancedDecoder::Doubt(const EnhancedVerdict& v, const char* why, int slot, bool asStrong) {
  doubtSpans_[doubtNext_] = {v.startSample, v.endSample, v.tones, why, slot, asStrong};
  doubtNext_ = (doubtNext_ + 1) % doubtSpans_.size();
}

void EnhancedDecoder::Announce(const EnhancedVerdict& given) {
  EnhancedVerdict verdict = given;
  if (const ReportedSpan* span = verdict.accepted ? OverlapsReported(verdict) : nullptr) {
    if (std::string_view(span->code.data()) == std::string_view(verdict.code.data())) {
      return;  // the other detector's report of this call: said already
    }
    verdict.accepted = false;
    verdict.reason = "overlaps a call reported already";
  }
  LogVerdict(verdict);
  if (!verdict.accepted) {
    return;
  }
  reportedSpans_[reportedNext_] = {verdict.startSample, verdict.endSample, verdict.code};
  reportedNext_ = (reportedNext_ + 1) % reportedSpans_.size();
  ++codesReported_;
  lastReported_ = verdict;
  lastReportSample_ = samples_;
  if (sinks_.codeHandler != nullptr) {
    sinks_.codeHandler->HandleReceivedCode(
        std::string_view(verdict.code.data(), static_cast<std::size_t>(verdict.count)));
  }
}

EnhancedVerdict EnhancedDecoder::EvaluateCandidate(const Group& group, int start, int count) const {
  EnhancedVerdict v;
  v.count = count;
  const auto n = static_cast<std::size_t>(count);
  const std::size_t lastTone = n - 1;
  std::array<Segment, kMaxRunTones> s{};
  const Segment* segments = &group.segments[static_cast<std::size_t>(start)];
  std::copy(segments, segments + count, s.begin());
  const auto sumZ = [this](std::int64_t first, std::int64_t last, int tone, int offset) {
    double total = 0.0;
    const auto bin = static_cast<std::size_t>(tone * kOffsets + offset);
    for (std::int64_t f = first; f <= last; ++f) {
      total += FrameZ(f)[bin];
    }
    return total;
  };
  for (std::size_t j = 0; j < n; ++j) {
    v.tones[j] = toneChar_[static_cast<std::size_t>(s[j].tone)];
  }
  v.startSample = static_cast<std::uint64_t>(std::max<std::int64_t>(0, WindowEnd(s[0].first)));
  v.endSample = static_cast<std::uint64_t>(std::max<std::int64_t>(0, WindowEnd(s[lastTone].last)));
  if (s[0].first <= frames_ - kFrameRing) {
    v.reason = "too long ago";
    return v;
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (s[j].last - s[j].first + 1 > kMaxSegmentFrames) {
      v.reason = "tone too long";
      return v;
    }
  }
  // One common offset: the hypothesis with the most evidence over all tones.
  int best = 0;
  double bestEvidence = -1.0;
  for (int e = firstOffset_; e <= lastOffset_; ++e) {
    double total = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      total += sumZ(s[j].first, s[j].last, s[j].tone, e);
    }
    if (total > bestEvidence) {
      bestEvidence = total;
      best = e;
    }
  }
  v.offsetRelative = (best - kOffsets / 2) * kOffsetStep;
  // Trim the outer edges to the frames with evidence at that offset: from
  // the strongest frame of the edge segment outwards, as long as z holds up
  // (a noise frame above the mark after a gap does not count).
  const auto at = [&](std::int64_t f, int tone) {
    return FrameZ(f)[static_cast<std::size_t>(tone * kOffsets + best)];
  };
  const auto peakOf = [&](const Segment& seg) {
    std::int64_t peak = seg.first;
    for (std::int64_t f = seg.first; f <= seg.last; ++f) {
      peak = at(f, seg.tone) > at(peak, seg.tone) ? f : peak;
    }
    return peak;
  };
  // One frame below the mark is bridged when the frame beyond it is above.
  std::int64_t edge = peakOf(s[0]);
  for (;;) {
    if (edge > s[0].first && at(edge - 1, s[0].tone) >= kEvidenceZ) {
      --edge;
    } else if (edge - 1 > s[0].first && at(edge - 2, s[0].tone) >= kEvidenceZ) {
      edge -= 2;
    } else {
      break;
    }
  }
  s[0].first = edge;
  edge = peakOf(s[lastTone]);
  for (;;) {
    if (edge < s[lastTone].last && at(edge + 1, s[lastTone].tone) >= kEvidenceZ) {
      ++edge;
    } else if (edge + 1 < s[lastTone].last && at(edge + 2, s[lastTone].tone) >= kEvidenceZ) {
      edge += 2;
    } else {
      break;
    }
  }
  s[lastTone].last = edge;
  // Classify every segment again at the common offset and its neighbours.
  std::array<int, kMaxRunTones> tone{};
  std::array<double, kMaxRunTones> bestScore{};
  std::array<double, kMaxRunTones> secondScore{};
  std::array<int, kMaxRunTones> ownOffset{};
  double frameCount = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    bestScore[j] = -1.0;
    secondScore[j] = -1.0;
    for (int k = 0; k < kTones; ++k) {
      if (!toneUsed_[static_cast<std::size_t>(k)]) {
        continue;
      }
      double score = 0.0;
      for (int e = std::max(firstOffset_, best - 1); e <= std::min(lastOffset_, best + 1); ++e) {
        score = std::max(score, sumZ(s[j].first, s[j].last, k, e));
      }
      if (score > bestScore[j]) {
        secondScore[j] = bestScore[j];
        bestScore[j] = score;
        tone[j] = k;
      } else if (score > secondScore[j]) {
        secondScore[j] = score;
      }
    }
    double own = -1.0;
    for (int e = firstOffset_; e <= lastOffset_; ++e) {
      const double score = sumZ(s[j].first, s[j].last, tone[j], e);
      if (score > own) {
        own = score;
        ownOffset[j] = e;
      }
    }
    v.tones[j] = toneChar_[static_cast<std::size_t>(tone[j])];
    frameCount += static_cast<double>(s[j].last - s[j].first + 1);
  }
  v.evidence = 0.0;
  v.weakestMeanZ = 1e30;
  for (std::size_t j = 0; j < n; ++j) {
    v.evidence += bestScore[j];
    v.toneEvidence[j] = bestScore[j];
    v.weakestMeanZ =
        std::min(v.weakestMeanZ, bestScore[j] / static_cast<double>(s[j].last - s[j].first + 1));
  }
  v.callMeanZ = v.evidence / frameCount;
  // Tone edges in samples: the call's start, the changes, its end.
  Bounds bounds{};
  bounds[0] = WindowEnd(s[0].first) - kWindowSamples + kEdgeSamples;
  for (std::size_t j = 1; j < n; ++j) {
    bounds[j] = (WindowEnd(s[j - 1].last) + WindowEnd(s[j].first)) / 2 - kWindowSamples / 2;
  }
  bounds[n] = WindowEnd(s[lastTone].last) - kEdgeSamples;
  v.startSample = static_cast<std::uint64_t>(std::max<std::int64_t>(0, bounds[0]));
  v.endSample = static_cast<std::uint64_t>(std::max<std::int64_t>(0, bounds[n]));
  // The code: the repeat tone stands for the character before it.
  for (std::size_t j = 0; j < n; ++j) {
    const char c = v.tones[j];
    v.code[j] = (c == 'R' && j > 0) ? v.code[j - 1] : c;
  }

  // The guard. A special tone (a separator or group letter) stands between
  // the codes of a longer sequence: never in a call of five tones or fewer,
  // never at a sequence's edge.
  for (std::size_t j = 0; j < n; ++j) {
    if (tone[j] >= kFirstSpecialTone && (n <= 5 || j == 0 || j == lastTone)) {
      v.reason = n <= 5 ? "a special tone in a call" : "a special tone at the sequence's edge";
      v.reasonTone = static_cast<int>(j);
      return v;
    }
  }
  if (tone[0] == kRepeatTone) {
    v.reason = "starts with the repeat tone";
    return v;
  }
  if (n > 5 && !everyRun_) {
    // A station's sequence joins codes of three tones or more by separators.
    std::size_t part = 0;
    bool joined = false;
    for (std::size_t j = 0; j <= n; ++j) {
      if (j < n && tone[j] < kFirstSpecialTone) {
        ++part;
        continue;
      }
      if (part < 3) {
        v.reason = "a sequence without separated codes";
        return v;
      }
      joined = joined || j < n;
      part = 0;
    }
    if (!joined) {
      v.reason = "a sequence without separated codes";
      return v;
    }
  }
  if (n > 5) {
    // Music and signalling tones, not a sequence anybody sends: a pattern
    // that repeats (an arpeggio, a trill, a two-tone wake signal), or a scale
    // of five tones or more, each the set's next tone up or down.
    for (std::size_t period = 1; period <= n / 2; ++period) {
      bool repeats = true;
      for (std::size_t j = 0; j + period < n && repeats; ++j) {
        repeats = tone[j] == tone[j + period];
      }
      if (repeats) {
        v.reason = "a repeating pattern, period";
        v.reasonValue = static_cast<double>(period);
        return v;
      }
    }
    int run = 1;
    int direction = 0;
    for (std::size_t j = 1; j < n; ++j) {
      const int step = toneRank_[static_cast<std::size_t>(tone[j])] -
                       toneRank_[static_cast<std::size_t>(tone[j - 1])];
      run = (step == 1 || step == -1) && step == direction ? run + 1 : 2;
      direction = step;
      if (run >= kScaleTones) {
        v.reason = "a scale";
        return v;
      }
    }
  }
  for (std::size_t j = 1; j < n; ++j) {
    if (tone[j] == tone[j - 1]) {
      v.reason = "equal neighbouring tones";
      return v;
    }
  }
  std::array<double, kMaxRunTones> lengthMs{};
  for (std::size_t j = 0; j < n; ++j) {
    lengthMs[j] = static_cast<double>(bounds[j + 1] - bounds[j]) * 1000.0 / kCaptureRateHz;
    if (lengthMs[j] < kMinToneMs || lengthMs[j] > kMaxToneMs) {
      v.reason = "tone length out of 20..160 ms";
      v.reasonTone = static_cast<int>(j);
      v.reasonValue = lengthMs[j];
      return v;
    }
  }
  std::array<double, kMaxRunTones> sorted = lengthMs;
  std::sort(sorted.begin(), sorted.begin() + count);
  const double median = sorted[n / 2];
  // The edge estimates are good to about a frame either way, which counts
  // for the short tones of EEA and EIA: there a tone may look that much
  // longer or shorter than it is.
  const double slack = shortTones_ ? kShortToneSlackMs : 0.0;
  if (sorted[0] + slack < kMinOfMedian * median ||
      sorted[lastTone] - slack > kMaxOfMedian * median ||
      sorted[lastTone] - slack > kMaxLongestToShortest * (sorted[0] + slack)) {
    v.reason = "uneven tone lengths, longest to shortest";
    v.reasonValue = sorted[lastTone] / sorted[0];
    return v;
  }
  if (v.weakestMeanZ < kMinToneMeanZ) {
    v.reason = "a weak tone, mean z";
    v.reasonValue = v.weakestMeanZ;
    return v;
  }
  // One sender sends every tone at about one level: a tone far weaker than
  // the others is a noise segment taken in beside a real call.
  std::array<double, kMaxRunTones> meanZ{};
  for (std::size_t j = 0; j < n; ++j) {
    meanZ[j] = bestScore[j] / static_cast<double>(s[j].last - s[j].first + 1);
  }
  // So are the codes of a sequence: a code far weaker than another is a
  // voice or music beside a call, joined to it by a tone that passed for a
  // separator.
  double strongestCode = 0.0;
  double weakestCode = 1e30;
  double codeZ = 0.0;
  int codeTones = 0;
  for (std::size_t j = 0; n > 5 && j <= n; ++j) {
    if (j < n && tone[j] < kFirstSpecialTone) {
      codeZ += meanZ[j];
      ++codeTones;
      continue;
    }
    if (codeTones > 0) {
      strongestCode = std::max(strongestCode, codeZ / codeTones);
      weakestCode = std::min(weakestCode, codeZ / codeTones);
    }
    codeZ = 0.0;
    codeTones = 0;
  }
  if (weakestCode < kMinOfStrongestCodeZ * strongestCode) {
    v.reason = "a code much weaker than another, share of its mean z";
    v.reasonValue = weakestCode / strongestCode;
    return v;
  }
  std::sort(meanZ.begin(), meanZ.begin() + count);
  if (meanZ[0] < kMinOfMedianZ * meanZ[n / 2]) {
    v.reason = "a tone much weaker than the others, share of the median z";
    v.reasonValue = meanZ[0] / meanZ[n / 2];
    return v;
  }
  if (v.callMeanZ < kMinCallMeanZ) {
    v.reason = "weak call, mean z";
    v.reasonValue = v.callMeanZ;
    return v;
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (secondScore[j] > kMaxSecondToBest * bestScore[j]) {
      v.reason = "a second tone as strong, share";
      v.reasonTone = static_cast<int>(j);
      v.reasonValue = secondScore[j] / bestScore[j];
      return v;
    }
    if (std::abs(ownOffset[j] - best) > ownOffsetSteps_) {
      v.reason = "a tone off the call's offset, own offset %";
      v.reasonTone = static_cast<int>(j);
      v.reasonValue = (ownOffset[j] - kOffsets / 2) * kOffsetStep * 100.0;
      return v;
    }
  }
  // The framing guard.
  const double scale = 1.0 + v.offsetRelative;
  std::array<double, kMaxRunTones> power{};
  for (std::size_t j = 0; j < n; ++j) {
    power[j] = TonePower((bounds[j] + bounds[j + 1]) / 2,
                         toneHz_[static_cast<std::size_t>(tone[j])] * scale);
  }
  std::sort(power.begin(), power.begin() + count);
  const double medianPower = power[n / 2];
  // A tone segment of the group right before or after the candidate, with
  // most of the evidence of its weakest tone and 0.3 x the call's tone power
  // or more, is a neighbouring note (or the candidate is off by one tone):
  // the call is not framed. This sees what the spectra below can miss in
  // heavy noise; the power test keeps a faint note beside a loud call from
  // counting (z alone does not tell levels apart).
  const double weakestEvidence = *std::min_element(bestScore.begin(), bestScore.begin() + count);
  for (const int neighbour : {start - 1, start + count}) {
    if (neighbour < 0 || neighbour >= group.count) {
      continue;
    }
    const Segment& seg = group.segments[static_cast<std::size_t>(neighbour)];
    double score = 0.0;
    if (seg.last - seg.first + 1 > kMaxSegmentFrames) {
      score = 1e30;  // a long tone right beside the call
    } else {
      for (int e = std::max(firstOffset_, best - 1); e <= std::min(lastOffset_, best + 1); ++e) {
        score = std::max(score, sumZ(seg.first, seg.last, seg.tone, e));
      }
    }
    // Its strongest power along the segment (a long note may fade away from
    // the call, and its edge frames share their windows with the call).
    double neighbourPower = 0.0;
    for (std::int64_t f = seg.first; f <= seg.last && f < seg.first + kMaxSegmentFrames; f += 2) {
      neighbourPower =
          std::max(neighbourPower, TonePower(WindowEnd(f) - kWindowSamples / 2,
                                             toneHz_[static_cast<std::size_t>(seg.tone)] * scale));
    }
    if (score >= kNeighbourShare * weakestEvidence &&
        neighbourPower >= kNeighbourPower * medianPower) {
      v.reason = neighbour < start ? kSegmentBefore : kSegmentAfter;
      return v;
    }
  }
  if (FramingViolation(bounds, count, toneHz_[static_cast<std::size_t>(tone[0])] * scale,
                       toneHz_[static_cast<std::size_t>(tone[lastTone])] * scale, medianPower,
                       false, v)) {
    return v;
  }
  if (count == search::kSlots && v.callMeanZ >= kEvenMeanZ &&
      UnevenInnerTones(bounds, tone.data(), scale, v)) {
    return v;
  }
  v.accepted = true;
  return v;
}

bool EnhancedDecoder::UnevenInnerTones(const Bounds& bounds, const int* tones, double scale,
                                       EnhancedVerdict& verdict) const {
  // One sender times every tone alike: the inner tones of a strong call,
  // their changes measured to the sample, are of one length. A melody's
  // notes are not.
  std::array<std::int64_t, search::kSlots - 1> change{};
  for (std::size_t j = 1; j < search::kSlots; ++j) {
    change[j - 1] = FineChange(bounds[j], static_cast<int>((bounds[j + 1] - bounds[j - 1]) / 6),
                               toneHz_[static_cast<std::size_t>(tones[j - 1])] * scale,
                               toneHz_[static_cast<std::size_t>(tones[j])] * scale);
  }
  std::array<double, search::kSlots - 2> inner{};
  for (std::size_t j = 0; j < inner.size(); ++j) {
    inner[j] = static_cast<double>(change[j + 1] - change[j]);
  }
  const auto [shortest, longest] = std::minmax_element(inner.begin(), inner.end());
  if (*shortest > 0.0 && *longest <= kMaxInnerRatio * *shortest) {
    return false;
  }
  verdict.accepted = false;
  verdict.reason = "inner tones of uneven length, longest to shortest";
  verdict.reasonValue = *shortest > 0.0 ? *longest / *shortest : 0.0;
  return true;
}

SEQUELO_VECTOR_CLONES std::int64_t EnhancedDecoder::FineChange(std::int64_t around, int reach,
                                                               double hzA, double hzB) const {
  // Tone A from the stretch's start to a split, tone B from the split to its
  // end, each at the pitch near its own that fits it best (the call's offset
  // may be off by the tracker's step or lie beyond its range); the split
  // whose two sides hold the most power per sample. All pitches step
  // together, which vectorises.
  reach = std::clamp(reach, 1, kMaxFineStretch / 4);
  const std::int64_t from = around - 2 * reach;
  const int count = 4 * reach;
  std::array<float, kMaxFineStretch> audio{};
  for (int i = 0; i < count; ++i) {
    audio[static_cast<std::size_t>(i)] = AudioAt(from + i);
  }
  constexpr auto kPitches = static_cast<std::size_t>(2 * kFinePitches + 1);
  std::array<float, kPitches> stepARe{}, stepAIm{}, stepBRe{}, stepBIm{};
  std::array<float, kPitches> turnARe{}, turnAIm{}, turnBRe{}, turnBIm{};
  std::array<float, kPitches> sumARe{}, sumAIm{}, sumBRe{}, sumBIm{};
  for (std::size_t h = 0; h < kPitches; ++h) {
    const double shift = 1.0 + (static_cast<double>(h) - kFinePitches) * kFinePitchStep;
    const double thetaA = 2.0 * std::numbers::pi * hzA * shift / kCaptureRateHz;
    const double thetaB = 2.0 * std::numbers::pi * hzB * shift / kCaptureRateHz;
    stepARe[h] = static_cast<float>(std::cos(thetaA));
    stepAIm[h] = static_cast<float>(-std::sin(thetaA));
    stepBRe[h] = static_cast<float>(std::cos(thetaB));
    stepBIm[h] = static_cast<float>(-std::sin(thetaB));
    turnARe[h] = 1.0f;
    turnBRe[h] = 1.0f;
  }
  // fitA[i]: the best power per sample of tone A over the first i samples;
  // fitB[i]: of tone B from sample i to the end (summed backwards: the
  // same turn per sample, the phase aside).
  std::array<float, kMaxFineStretch + 1> fitA{}, fitB{};
  for (int i = 1; i <= count; ++i) {
    const float xa = audio[static_cast<std::size_t>(i - 1)];
    const float xb = audio[static_cast<std::size_t>(count - i)];
    float bestA = 0.0f;
    float bestB = 0.0f;
    for (std::size_t h = 0; h < kPitches; ++h) {
      sumARe[h] += xa * turnARe[h];
      sumAIm[h] += xa * turnAIm[h];
      sumBRe[h] += xb * turnBRe[h];
      sumBIm[h] += xb * turnBIm[h];
      const float aRe = turnARe[h] * stepARe[h] - turnAIm[h] * stepAIm[h];
      turnAIm[h] = turnARe[h] * stepAIm[h] + turnAIm[h] * stepARe[h];
      turnARe[h] = aRe;
      const float bRe = turnBRe[h] * stepBRe[h] - turnBIm[h] * stepBIm[h];
      turnBIm[h] = turnBRe[h] * stepBIm[h] + turnBIm[h] * stepBRe[h];
      turnBRe[h] = bRe;
      bestA = std::max(bestA, sumARe[h] * sumARe[h] + sumAIm[h] * sumAIm[h]);
      bestB = std::max(bestB, sumBRe[h] * sumBRe[h] + sumBIm[h] * sumBIm[h]);
    }
    fitA[static_cast<std::size_t>(i)] = bestA / static_cast<float>(i);
    fitB[static_cast<std::size_t>(count - i)] = bestB / static_cast<float>(i);
  }
  float best = -1.0f;
  int split = count / 2;
  for (int j = std::max(1, count / 2 - reach); j <= std::min(count - 1, count / 2 + reach); ++j) {
    const auto js = static_cast<std::size_t>(j);
    if (fitA[js] + fitB[js] > best) {
      best = fitA[js] + fitB[js];
      split = j;
    }
  }
  return from + split;
}

double EnhancedDecoder::TonePower(std::int64_t centre, double hz) const {
  const double w = 2.0 * std::numbers::pi * hz / kCaptureRateHz;
  double re = 0.0;
  double im = 0.0;
  const std::int64_t start = centre - kWindowSamples / 2;
  for (int n = 0; n < kWindowSamples; ++n) {
    const double x = AudioAt(start + n);
    re += x * std::cos(w * n);
    im -= x * std::sin(w * n);
  }
  // Squared amplitude of the tone: |S| = amplitude x N / 2.
  const double half = kWindowSamples / 2.0;
  return (re * re + im * im) / (half * half);
}

void EnhancedDecoder::GuardSpectra(std::int64_t outsideStart, std::int64_t outsideCount,
                                   std::int64_t insideStart, std::int64_t insideCount) const {
  // Both looks are real, so one complex transform carries them: the outside
  // look as the real part, the inside look as the imaginary part.
  std::fill(fftRe_.begin(), fftRe_.end(), 0.0);
  std::fill(fftIm_.begin(), fftIm_.end(), 0.0);
  const std::int64_t oldest = std::max<std::int64_t>(
      origin_ + kWindowSamples, static_cast<std::int64_t>(samples_) - kAudioRing);
  // Hann-windowed samples of one look into `out`; returns the window's sum.
  const auto look = [&](std::int64_t start, std::int64_t count, std::vector<double>& out) {
    double windowSum = 0.0;
    for (std::int64_t n = 0; n < count; ++n) {
      const double w =
          0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (static_cast<double>(n) + 0.5) /
                               static_cast<double>(count));
      windowSum += w;
      const std::int64_t at = start + n;
      const bool held = at >= oldest && at < static_cast<std::int64_t>(samples_);
      out[static_cast<std::size_t>(n)] = held ? w * AudioAt(at) : 0.0;
    }
    return windowSum;
  };
  const double outsideSum = look(outsideStart, outsideCount, fftRe_);
  const double insideSum = look(insideStart, insideCount, fftIm_);
  fft_.Forward(fftRe_.data(), fftIm_.data());
  // Squared amplitude of a tone at its peak bin. With Z the transform,
  // outside X[k] = (Z[k] + conj Z[N-k]) / 2 and inside Y[k] = (Z[k] - conj Z[N-k]) / 2j.
  const double outsideNorm = outsideSum > 0.0 ? 1.0 / (outsideSum * outsideSum) : 0.0;
  const double insideNorm = insideSum > 0.0 ? 1.0 / (insideSum * insideSum) : 0.0;
  const std::size_t size = fftRe_.size();
  for (std::size_t b = 0; b < outside_.size(); ++b) {
    const std::size_t mirror = (size - b) % size;
    const double sumRe = fftRe_[b] + fftRe_[mirror];
    const double diffRe = fftRe_[b] - fftRe_[mirror];
    const double sumIm = fftIm_[b] + fftIm_[mirror];
    const double diffIm = fftIm_[b] - fftIm_[mirror];
    outside_[b] = (sumRe * sumRe + diffIm * diffIm) * outsideNorm;
    inside_[b] = (sumIm * sumIm + diffRe * diffRe) * insideNorm;
  }
}

bool EnhancedDecoder::FramingViolation(const Bounds& bounds, int count, double firstHz,
                                       double lastHz, double tonePower, bool heardThrough,
                                       EnhancedVerdict& verdict) const {
  const auto n = static_cast<std::size_t>(count);
  const double binHz = static_cast<double>(kCaptureRateHz) / kGuardFftSize;
  const auto lowBin = static_cast<std::size_t>(std::ceil(kGuardLowHz / binHz));
  const auto lowestBin = static_cast<std::size_t>(std::ceil(kGuardLowestHz / binHz));
  const auto highBin = static_cast<std::size_t>(std::floor(kGuardHighHz / binHz));
  const auto insideBins = static_cast<std::size_t>(kInsideHz / binHz);
  for (int side = 0; side < 2; ++side) {
    const bool before = side == 0;
    const double edgeHz = before ? firstHz : lastHz;
    if (before) {
      const std::int64_t from = bounds[0] + kInsideMargin;
      const std::int64_t inside = std::clamp<std::int64_t>(bounds[1] - from, 1, kLookSamples);
      GuardSpectra(bounds[0] - kGapSamples - kLookSamples, kLookSamples, from, inside);
    } else {
      const std::int64_t to = bounds[n] - kInsideMargin;
      const std::int64_t inside = std::clamp<std::int64_t>(to - bounds[n - 1], 1, kLookSamples);
      GuardSpectra(bounds[n] + kGapSamples, kLookSamples, to - inside, inside);
    }
    double mean = 0.0;
    double under = 0.0;  // the strongest other sound inside the edge tone
    for (std::size_t b = lowBin; b <= highBin; ++b) {
      mean += outside_[b];
      if (std::abs(static_cast<double>(b) * binHz - edgeHz) > kHeardThroughHz) {
        under = std::max(under, inside_[b]);
      }
    }
    mean /= static_cast<double>(highBin - lowBin + 1);
    for (std::size_t b = lowestBin; b <= highBin; ++b) {
      const double p = outside_[b];
      const double ofTonePower = b < lowBin ? kLowOfTonePower : kOfTonePower;
      if (p < kPeakToMean * mean || p < ofTonePower * tonePower ||
          std::abs(static_cast<double>(b) * binHz - edgeHz) <= kOwnToneHz ||
          (heardThrough && under >= kHeardThroughShare * p)) {
        continue;
      }
      double held = 0.0;
      for (std::size_t i = b - insideBins; i <= b + insideBins; ++i) {
        held = std::max(held, inside_[i]);
      }
      if (held < kInsideShare * p) {
        verdict.reason =
            before ? "a tone just before the call, Hz" : "a tone just after the call, Hz";
        verdict.reasonValue = static_cast<double>(b) * binHz;
        return true;
      }
    }
  }
  return false;
}

void EnhancedDecoder::EvaluateSearchCall(const SearchCall& call) {
  EnhancedVerdict v;
  v.count = search::kSlots;
  const auto n = static_cast<std::size_t>(search::kSlots);
  v.weakestMeanZ = 1e30;
  for (std::size_t k = 0; k < n; ++k) {
    const char c = toneChar_[static_cast<std::size_t>(call.tones[k])];
    v.tones[k] = c;
    v.code[k] = (c == 'R' && k > 0) ? v.code[k - 1] : c;
    v.toneEvidence[k] = call.q[k];
    v.weakestMeanZ = std::min(v.weakestMeanZ, call.q[k]);
  }
  v.offsetRelative = call.offsetRelative;
  v.evidence = call.evidence;
  v.callMeanZ = call.evidence / static_cast<double>(n);
  v.startSample = static_cast<std::uint64_t>(std::max<std::int64_t>(0, call.startSample));
  v.endSample = static_cast<std::uint64_t>(std::max<std::int64_t>(0, call.EndSample()));
  v.besideW = std::max(call.pre, call.post);
  if (!call.contender) {
    if (std::string_view(call.reason) == search::kUnsureCode) {
      for (std::size_t k = 0; k < n; ++k) {
        const auto decided = static_cast<std::size_t>(call.tones[k]);
        const auto& slot = call.w[k + 1];
        for (std::size_t t = 0; t < slot.size(); ++t) {
          if (t != decided && toneUsed_[t] && slot[t] > kSecondW &&
              slot[t] >= kUnsureRivalShare * slot[decided]) {
            Doubt(v, "the search found a tone of the set as strong in one of its slots",
                  static_cast<int>(k), true);
            break;
          }
        }
      }
    }
    return;  // not a call by the search's own measure: like noise, not logged
  }
  looked_[lookedNext_] = {v.startSample, v.endSample, v.tones};
  lookedNext_ = (lookedNext_ + 1) % looked_.size();
  ++candidates_;
  if (*call.reason != '\0') {
    v.reason = call.reason;
    v.reasonTone = call.reasonSlot;
    v.reasonValue = call.errorEstimate;
    LogVerdict(v);
    return;
  }
  std::array<double, search::kSlots> sorted = call.q;
  std::sort(sorted.begin(), sorted.end());
  const double median = sorted[n / 2];
  // A tone of the set in the slot right before or after the call: a melody's
  // neighbouring note, or the call is off by one tone.
  // A note of the music a call is heard through lies beside it at about
  // half its tones' power: one clearly weaker than the other edge's tone
  // cannot be the call's own edge tone of a reading one tone off. (That
  // reading holds a note of the music in place of a tone, or a tone the
  // music has covered: its tones are uneven. A wake signal's two tones
  // taking turns go on beside the call at any strength.)
  const bool even = sorted[0] >= kEvenShare * median;
  for (const bool before : {true, false}) {
    const double beside = before ? call.pre : call.post;
    const double otherEdge = call.q[before ? n - 1 : 0];
    // A special tone before a weak call is a sequence's separator, faded
    // with the rest (the tracker lost it): the call is the caller's code
    // after it, not a call to that code.
    const bool separator =
        before && call.preTone >= search::kFirstSpecial && median < kSeparatorMedianW;
    const bool weaker = beside < kOtherEdgeShare * otherEdge && !call.trill;
    const bool weak = weaker && !separator;
    const double share = !weak ? kSlotShare : even ? kEvenSlotShare : kWeakSlotShare;
    if (beside > kSlotW && beside > share * median) {
      if (!weaker) {
        Doubt(v, "the search found a tone of the set beside it as strong as its own");
      }
      v.reason =
          before ? "a tone in the slot before the call, W" : "a tone in the slot after the call, W";
      v.reasonValue = beside;
      LogVerdict(v);
      return;
    }
  }
  // An edge tone of the set that sounds under every other tone of the call
  // is a note held through it: the call's own tone there, or the note alone
  // in a reading a tone off, cannot be told apart. (That reading has the
  // note under its other tones too, and fails here itself; the tracker's
  // with it.)
  for (const std::size_t edge : {std::size_t{0}, n - 1}) {
    const auto tone = static_cast<std::size_t>(call.tones[edge]);
    double under = 1e30;
    for (std::size_t k = 0; k < n; ++k) {
      if (call.tones[k] != call.tones[edge]) {
        under = std::min(under, static_cast<double>(call.w[k + 1][tone]));
      }
    }
    const double outside = std::max(call.w[0][tone], call.w[n + 1][tone]);
    const bool goesOn =
        outside >= kHeldOnShare * call.q[edge] && under >= kHeldOnUnderShare * call.q[edge];
    if (under < 1e30 && (under >= kHeldThroughW || (goesOn && under >= kHeldOnW))) {
      v.reason = "an edge tone sounds under the whole call, W";
      v.reasonTone = static_cast<int>(edge);
      v.reasonValue = under;
      LogVerdict(v);
      DoubtNeighbours(v);
      return;
    }
  }
  // The allowance for a weaker tone beside the call holds on one side only.
  // Tones of the set on both sides are what a call read one tone off through
  // music shows: its real edge tone, covered by a note of the music, on one
  // side, and a note as long as a tone on the other.
  const double bothSides = std::min(call.pre, call.post);
  if (bothSides > kSlotW && bothSides > kSlotShare * median) {
    v.reason = "tones in the slots before and after the call, W";
    v.reasonValue = bothSides;
    LogVerdict(v);
    DoubtNeighbours(v);
    return;
  }
  // Each slot holds one tone: a second tone of the set in it, far above
  // noise (W of noise ~ Exp(1)) and at a fair share of the decided one, means
  // tones of another length (two of them sharing the slot) or a chord.
  // A note held across the slot and its neighbour (not a tone of the call
  // there) is the music the call is heard through, not a second tone.
  for (std::size_t k = 0; k < n; ++k) {
    const auto& slot = call.w[k + 1];
    double second = 0.0;
    for (std::size_t t = 0; t < slot.size(); ++t) {
      const int tone = static_cast<int>(t);
      if (tone == call.tones[k]) {
        continue;
      }
      bool held = false;
      for (const std::size_t j : {k, k + 2}) {  // the slots before and after, in call.w
        const bool callTone = j >= 1 && j <= n && call.tones[j - 1] == tone;
        held = held || (!callTone && call.w[j][t] >= kHeldSecondShare * slot[t]);
      }
      if (!held) {
        second = std::max(second, static_cast<double>(slot[t]));
      }
    }
    if (second > kSecondW && second > kSecondShare * call.q[k]) {
      if (second > kDoubtSecondShare * call.q[k]) {
        Doubt(v, "the search found a strong second tone in one of its slots", static_cast<int>(k));
      }
      v.reason = "a second tone in the slot, share";
      v.reasonTone = static_cast<int>(k);
      v.reasonValue = second / call.q[k];
      LogVerdict(v);
      DoubtNeighbours(v);
      return;
    }
  }
  if (ImpureTone(call, v)) {
    // The peak at another tone of the set: which of the two was sent is a
    // guess, for the tracker too.
    for (std::size_t t = 0; t < toneHz_.size(); ++t) {
      if (toneUsed_[t] &&
          std::abs(v.reasonValue - toneHz_[t] * (1.0 + call.offsetRelative)) <= kPurityPeakHz) {
        Doubt(v, "the search found a tone of the set as strong in one of its slots", v.reasonTone,
              true);
        break;
      }
    }
    LogVerdict(v);
    return;
  }
  Bounds bounds{};
  for (std::size_t k = 0; k <= n; ++k) {
    bounds[k] = call.startSample + static_cast<std::int64_t>(k) * call.toneSamples;
  }
  const double scale = 1.0 + call.offsetRelative;
  std::array<double, search::kSlots> power{};
  for (std::size_t k = 0; k < n; ++k) {
    power[k] = TonePower((bounds[k] + bounds[k + 1]) / 2,
                         toneHz_[static_cast<std::size_t>(call.tones[k])] * scale);
  }
  std::sort(power.begin(), power.end());
  if (FramingViolation(
          bounds, search::kSlots, toneHz_[static_cast<std::size_t>(call.tones[0])] * scale,
          toneHz_[static_cast<std::size_t>(call.tones[n - 1])] * scale, power[n / 2], true, v) ||
      (v.callMeanZ >= kEvenMeanW && UnevenInnerTones(bounds, call.tones.data(), scale, v))) {
    LogVerdict(v);
    return;
  }
  v.accepted = true;
  Arbitrate(v, false);
}

void EnhancedDecoder::ReportHeld(bool all) {
  decltype(held_) ready;
  std::size_t readyCount = 0;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < std::min(heldCount_, held_.size()); ++i) {
    if (all || samples_ >= held_[i].until) {
      ready[readyCount++] = held_[i];
    } else {
      held_[kept++] = held_[i];
    }
  }
  heldCount_ = kept;
  for (std::size_t i = 0; i < readyCount; ++i) {
    EnhancedVerdict& v = ready[i].verdict;
    const double nominal = 5.0 * search_.NominalToneSamples();
    const double span = static_cast<double>(v.endSample - v.startSample);
    const bool nearNominal = v.count == 5 &&
                             std::abs(v.offsetRelative) <= search_.OffsetRange() + 1e-9 &&
                             std::abs(span / nominal - 1.0) <= kNearNominalSpan;
    if (ready[i].tracker && v.callMeanZ >= kConfirmMeanZ) {
      // A strong call of the tracker held for the search's look: it fails
      // with the search's doubts that came meanwhile (another tone as strong
      // in one slot, the same tones a slot apart turned down), and where the
      // search found no reading sure enough to weigh. There the tracker has
      // taken one of two tones sounding in a slot, or a tone beside the
      // call, for the call's own: a voice or a note over a call at 0 dB
      // makes either look strong to it.
      ApplyDoubts(v, true);
      if (v.accepted) {
        NeighbourDoubted(v);
      }
      // (Released early, when the list of held calls is full, the call has
      // not had its time.)
      if (v.accepted && !all && ready[i].searched && !SearchLookedAt(v)) {
        v.accepted = false;
        v.reason = "the search found no sure reading of this stretch";
      }
      // A call measured long (a sender of longer tones, which the search
      // may not read at all) fails only where the search read another edge
      // tone: a sound beside the call went into the tracker's.
      if (v.accepted && !ready[i].searched && SearchReadAnotherEdge(v)) {
        v.accepted = false;
        v.reason = kAnotherEdge;
      }
    } else if (ready[i].tracker &&
               (ready[i].searched || (nearNominal && v.callMeanZ < kAlwaysConfirmMeanZ))) {
      v.accepted = false;
      v.reason = "weak, and the search found no such call, mean z";
      v.reasonValue = v.callMeanZ;
    }
    Announce(v);
  }
}

bool EnhancedDecoder::Gliding(EnhancedVerdict& verdict) const {
  if (verdict.count != search::kSlots || verdict.endSample <= verdict.startSample) {
    return false;
  }
  const auto start = static_cast<std::int64_t>(verdict.startSample);
  const auto end = static_cast<std::int64_t>(verdict.endSample);
  const std::int64_t oldest = std::max<std::int64_t>(
      origin_ + kWindowSamples, static_cast<std::int64_t>(samples_) - kAudioRing);
  if (start < oldest || end > static_cast<std::int64_t>(samples_)) {
    return false;  // not held any more (it is not looked at then)
  }
  const double length = static_cast<double>(end - start) / search::kSlots;
  // Each tone's middle (its edges left out: a sender's first milliseconds
  // may wander, a glide may end inside the last tone), matched against
  // pitches that move at one common rate through the call, and against
  // steady ones, each at the best pitch near the tone's.
  const auto look = std::min<std::int64_t>(
      static_cast<std::int64_t>((1.0 - 2.0 * kGlideEdge) * length), kGlideMaxLook);
  // A glide passes the tones in the order of their pitch.
  std::array<double, search::kSlots> pitch{};
  for (int k = 0; k < search::kSlots; ++k) {
    const char c = verdict.tones[static_cast<std::size_t>(k)];
    const auto* at = std::find(toneChar_.begin(), toneChar_.end(), c);
    if (at == toneChar_.end()) {
      return false;
    }
    pitch[static_cast<std::size_t>(k)] =
        toneHz_[static_cast<std::size_t>(at - toneChar_.begin())] * (1.0 + verdict.offsetRelative);
  }
  if (!std::is_sorted(pitch.begin(), pitch.end(), std::less<>()) &&
      !std::is_sorted(pitch.begin(), pitch.end(), std::greater<>())) {
    return false;
  }
  if (const double across = MovingOverHeldAcrossChanges(start, length, pitch);
      across > kGlideAcrossGain) {
    verdict.accepted = false;
    verdict.reason = "tones gliding across their changes, moving over held";
    verdict.reasonValue = across;
    return true;
  }
  // W of tone k at pitch rate r (the best over pitches around the tone's).
  std::array<float, kGlideMaxLook> audio{};
  const auto toneW = [&](int k, int r) {
    const auto from = start + static_cast<std::int64_t>((k + kGlideEdge) * length);
    double energy = 0.0;
    for (std::int64_t i = 0; i < look; ++i) {
      audio[static_cast<std::size_t>(i)] = AudioAt(from + i);
      energy += static_cast<double>(audio[static_cast<std::size_t>(i)]) *
                audio[static_cast<std::size_t>(i)];
    }
    if (energy <= 0.0) {
      return 0.0;
    }
    // Pitch base x (1 + rate x (n - look / 2)): the phase step grows by the
    // same turn every sample.
    const double rate = r * kGlideRateStep / length;
    double best = 0.0;
    for (int p = -kGlidePitches; p <= kGlidePitches; ++p) {
      const double base = pitch[static_cast<std::size_t>(k)] * (1.0 + p * kGlidePitchStep);
      const double w = 2.0 * std::numbers::pi * base / kCaptureRateHz;
      std::complex<double> step =
          std::polar(1.0, -w * (1.0 - rate * static_cast<double>(look) / 2.0));
      const std::complex<double> growth = std::polar(1.0, -w * rate);
      std::complex<double> phasor = 1.0;
      std::complex<double> sum = 0.0;
      for (std::int64_t i = 0; i < look; ++i) {
        sum += static_cast<double>(audio[static_cast<std::size_t>(i)]) * phasor;
        phasor *= step;
        step *= growth;
      }
      best = std::max(best, std::norm(sum) / energy);
    }
    return best;
  };
  std::array<double, 2 * kGlideRates + 1> power{};
  for (int k = 0; k < search::kSlots; ++k) {
    power[kGlideRates] += toneW(k, 0);
  }
  // A steady pitch holding over half of what any pitch could (a pure tone
  // gives W = look / 2) leaves no room for a glide twice as strong.
  if (power[kGlideRates] * kGlideGain > search::kSlots * static_cast<double>(look) / 2.0 * 1.1) {
    return false;
  }
  for (int r = -kGlideRates; r <= kGlideRates; ++r) {
    for (int k = 0; k < search::kSlots && r != 0; ++k) {
      power[static_cast<std::size_t>(r + kGlideRates)] += toneW(k, r);
    }
  }
  const double steady = power[kGlideRates];
  int bestRate = 0;
  for (int r = -kGlideRates; r <= kGlideRates; ++r) {
    if (power[static_cast<std::size_t>(r + kGlideRates)] >
        power[static_cast<std::size_t>(bestRate + kGlideRates)]) {
      bestRate = r;
    }
  }
  const double moving = power[static_cast<std::size_t>(bestRate + kGlideRates)];
  if (std::abs(bestRate) < kGlideMinRate || moving < kGlideGain * steady) {
    return false;
  }
  verdict.accepted = false;
  verdict.reason = "tones gliding in pitch, % per tone";
  verdict.reasonValue = 100.0 * bestRate * kGlideRateStep;
  return true;
}

double EnhancedDecoder::MovingOverHeldAcrossChanges(
    std::int64_t start, double length, const std::array<double, search::kSlots>& pitch) const {
  const auto n = std::min<std::int64_t>(static_cast<std::int64_t>(length), kGlideMaxLook);
  if (n < 6) {
    return 0.0;
  }
  std::array<float, kGlideMaxLook> x{};
  // Running sums at each tone's steady pitch: the steady fit of any split
  // comes from two of them.
  std::array<std::complex<double>, kGlideMaxLook + 1> before{};
  std::array<std::complex<double>, kGlideMaxLook + 1> after{};
  const auto runningSum = [&](double hz, auto& out) {
    const std::complex<double> step =
        std::polar(1.0, -2.0 * std::numbers::pi * hz / kCaptureRateHz);
    std::complex<double> phasor = 1.0;
    out[0] = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
      out[static_cast<std::size_t>(i + 1)] =
          out[static_cast<std::size_t>(i)] +
          static_cast<double>(x[static_cast<std::size_t>(i)]) * phasor;
      phasor *= step;
    }
  };
  // Energy a fit of `count` samples holds: 2 |sum|^2 / count.
  const auto held = [](std::complex<double> sum, std::int64_t count) {
    return count > 0 ? 2.0 * std::norm(sum) / static_cast<double>(count) : 0.0;
  };
  double moving = 0.0;
  double steady = 0.0;
  for (int k = 0; k + 1 < search::kSlots; ++k) {
    const auto from = start + static_cast<std::int64_t>((k + 0.5) * length);
    for (std::int64_t i = 0; i < n; ++i) {
      x[static_cast<std::size_t>(i)] = AudioAt(from + i);
    }
    const double p0 = pitch[static_cast<std::size_t>(k)];
    const double p1 = pitch[static_cast<std::size_t>(k + 1)];
    runningSum(p0, before);
    runningSum(p1, after);
    double best = 0.0;
    for (std::int64_t split = n / 2 - n / 6; split <= n / 2 + n / 6; ++split) {
      best = std::max(best, held(before[static_cast<std::size_t>(split)], split) +
                                held(after[static_cast<std::size_t>(n)] -
                                         after[static_cast<std::size_t>(split)],
                                     n - split));
    }
    steady += best;
    best = 0.0;
    for (int a = -kGlideEndPitches; a <= kGlideEndPitches; ++a) {
      for (int b = -kGlideEndPitches; b <= kGlideEndPitches; ++b) {
        const double from0 = p0 * (1.0 + a * kGlidePitchStep);
        const double to1 = p1 * (1.0 + b * kGlidePitchStep);
        const double w = 2.0 * std::numbers::pi / kCaptureRateHz;
        std::complex<double> step = std::polar(1.0, -w * from0);
        const std::complex<double> growth =
            std::polar(1.0, -w * (to1 - from0) / static_cast<double>(n));
        std::complex<double> phasor = 1.0;
        std::complex<double> sum = 0.0;
        for (std::int64_t i = 0; i < n; ++i) {
          sum += static_cast<double>(x[static_cast<std::size_t>(i)]) * phasor;
          phasor *= step;
          step *= growth;
        }
        best = std::max(best, held(sum, n));
      }
    }
    moving += best;
  }
  return steady > 0.0 ? moving / steady : 0.0;
}

bool EnhancedDecoder::ImpureTone(const SearchCall& call, EnhancedVerdict& verdict) const {
  const double binHz = static_cast<double>(kCaptureRateHz) / kPurityFft;
  const auto lowBin = static_cast<std::size_t>(std::ceil(kPurityLowHz / binHz));
  const auto highBin = static_cast<std::size_t>(std::floor(kPurityHighHz / binHz));
  const std::int64_t length = call.toneSamples;
  const std::int64_t oldest = std::max<std::int64_t>(
      origin_ + kWindowSamples, static_cast<std::int64_t>(samples_) - kAudioRing);
  // Power spectrum of a Hann-windowed span into `out` (kPurityFft / 2 bins).
  const auto spectrum = [&](std::int64_t start, double* out) {
    std::fill_n(fftRe_.begin(), kPurityFft, 0.0);
    std::fill_n(fftIm_.begin(), kPurityFft, 0.0);
    for (std::int64_t i = 0; i < length; ++i) {
      const std::int64_t at = start + i;
      const double w =
          0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (static_cast<double>(i) + 0.5) /
                               static_cast<double>(length));
      const bool held = at >= oldest && at < static_cast<std::int64_t>(samples_);
      fftRe_[static_cast<std::size_t>(i)] = held ? w * AudioAt(at) : 0.0;
    }
    purityFft_.Forward(fftRe_.data(), fftIm_.data());
    for (std::size_t b = 0; b < kPurityFft / 2; ++b) {
      out[b] = fftRe_[b] * fftRe_[b] + fftIm_[b] * fftIm_[b];
    }
  };
  // The call's slots, and the slots before and after it, for peaks that go
  // on around a slot: a note held through it is what the call is heard
  // through, not a second tone sharing the slot.
  constexpr std::size_t kBins = kPurityFft / 2;
  constexpr std::size_t kSpans = search::kSlots + 2;
  puritySpectra_.resize(kSpans * kBins);
  const auto spanOf = [&](std::size_t j) { return puritySpectra_.data() + j * kBins; };
  for (std::size_t j = 0; j < kSpans; ++j) {
    spectrum(call.startSample + (static_cast<std::int64_t>(j) - 1) * length, spanOf(j));
  }
  const double* before = spanOf(0);
  const double* after = spanOf(kSpans - 1);
  std::array<double, kBins> sorted{};
  for (std::size_t k = 0; k < static_cast<std::size_t>(search::kSlots); ++k) {
    const double* span = spanOf(k + 1);
    const std::size_t bins = highBin - lowBin + 1;
    std::copy(span + lowBin, span + highBin + 1, sorted.begin());
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(bins / 2),
                     sorted.begin() + static_cast<std::ptrdiff_t>(bins));
    const double median = sorted[bins / 2];
    if (median <= 0.0) {
      continue;
    }
    const double toScore = std::numbers::ln2 / median;
    const auto toneHzOf = [&](std::size_t slot) {
      return toneHz_[static_cast<std::size_t>(call.tones[slot])] * (1.0 + call.offsetRelative);
    };
    const double toneHz = toneHzOf(k);
    double own = 0.0;
    for (std::size_t b = lowBin; b <= highBin; ++b) {
      if (std::abs(static_cast<double>(b) * binHz - toneHz) <= kPurityPeakHz) {
        own = std::max(own, span[b] * toScore);
      }
    }
    for (std::size_t b = lowBin; b <= highBin; ++b) {
      const double z = span[b] * toScore;
      const double hz = static_cast<double>(b) * binHz;
      if (z <= kPurityZ || z <= kPurityShare * own || std::abs(hz - toneHz) <= kPurityOwnHz) {
        continue;
      }
      double around = 0.0;
      for (std::size_t i = b - kGoesOnBins; i <= b + kGoesOnBins; ++i) {
        around = std::max({around, before[i], after[i]});
      }
      // The call's neighbouring slots count where their own tone is not
      // there (a tone of the call heard early or late is a framing fault).
      for (const std::size_t j : {k, k + 2}) {
        if (j < 1 || j > static_cast<std::size_t>(search::kSlots) ||
            std::abs(hz - toneHzOf(j - 1)) <= kPurityOwnHz) {
          continue;
        }
        for (std::size_t i = b - kGoesOnBins; i <= b + kGoesOnBins; ++i) {
          around = std::max(around, spanOf(j)[i]);
        }
      }
      if (around >= kGoesOnShare * span[b]) {
        continue;
      }
      verdict.reason = "another peak beside a tone, Hz";
      verdict.reasonTone = static_cast<int>(k);
      verdict.reasonValue = static_cast<double>(b) * binHz;
      return true;
    }
  }
  return false;
}

void EnhancedDecoder::LogVerdict(const EnhancedVerdict& v) const {
  if (!AnalysisLogOn() || sinks_.analysisLog == nullptr) {
    return;
  }
  char line[320];
  const double startS = static_cast<double>(v.startSample) / kCaptureRateHz;
  // The tones, space-separated: "1 2 3 4 5".
  std::array<char, 2 * kMaxRunTones> tones{};
  std::size_t at = 0;
  for (int j = 0; j < v.count; ++j) {
    tones[at++] = v.tones[static_cast<std::size_t>(j)];
    tones[at++] = j + 1 < v.count ? ' ' : '\0';
  }
  const int head = std::snprintf(
      line, sizeof line,
      "Enhanced candidate at %.3f s: tones %s, offset %+.2f %%, evidence %.0f "
      "(mean z %.1f, weakest %.1f): ",
      startS, tones.data(), v.offsetRelative * 100.0, v.evidence, v.callMeanZ, v.weakestMeanZ);
  if (head < 0 || static_cast<std::size_t>(head) >= sizeof line) {
    return;
  }
  const std::size_t used = static_cast<std::size_t>(head);
  if (v.accepted) {
    std::snprintf(line + used, sizeof line - used, "accepted %s", v.code.data());
  } else if (v.reasonTone >= 0) {
    std::snprintf(line + used, sizeof line - used, "rejected, %s: %.2f at tone %d", v.reason,
                  v.reasonValue, v.reasonTone + 1);
  } else if (v.reasonValue != 0.0) {
    std::snprintf(line + used, sizeof line - used, "rejected, %s: %.2f", v.reason, v.reasonValue);
  } else {
    std::snprintf(line + used, sizeof line - used, "rejected, %s", v.reason);
  }
  sinks_.analysisLog->WriteAnalysisLine(line);
}

}  // namespace sequelo::core
