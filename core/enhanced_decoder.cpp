// Front end, offset bank and Viterbi tracker of the enhanced decoder; the
// candidate checks are in enhanced_candidate.cpp.
#include "core/enhanced_decoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>

#include "core/vector_clones.h"

namespace sequelo::core {
namespace {

using namespace enhanced;

constexpr double kHighPassHz = 300.0;
constexpr float kEmissionOffset = 5.0f;   // about the largest of the noise bins of a frame
constexpr float kChangePenalty = 10.0f;   // per change idle->tone, tone->tone, tone->idle
constexpr int kMaxIdleGap = 2;            // idle frames allowed inside a group
constexpr double kMinSegmentMeanZ = 5.0;  // below this at its best offset a segment is noise
constexpr double kWeakOfMedian = 0.3;     // or below this share of the segments before it
constexpr int kMaxSegmentProbe = 40;      // longer segments are not looked into
constexpr int kCommitEvery = 3;           // frames between two looks for agreed paths
// Keeps z finite in digital silence: the energy of noise at about -110 dBFS
// over one window, far below 16-bit quantisation noise.
constexpr float kEnergyFloor = static_cast<float>(kWindowSamples) * 1e-11f;
constexpr float kNegative = -1e30f;  // score of an unreachable state

// States chain-major: 0 is idle, then the sixteen tones' first chain states,
// their second, their last, so the tracker's loops run over sixteen adjacent
// tones.

constexpr int StateOf(int tone, int chain) {
  return 1 + chain * kTones + tone;
}
constexpr int LabelOf(int state) {
  return state == 0 ? -1 : (state - 1) % kTones;
}

}  // namespace

EnhancedDecoder::EnhancedDecoder()
    : audio_(kAudioRing, 0.0f),
      frameZ_(static_cast<std::size_t>(kFrameRing) * kBins, 0.0f),
      backPointer_(static_cast<std::size_t>(kTraceRing) * kStates, 0),
      fft_(kGuardFftSize),
      purityFft_(kGuardFftSize / 2),
      fftRe_(kGuardFftSize, 0.0),
      fftIm_(kGuardFftSize, 0.0),
      outside_(kGuardFftSize / 2, 0.0),
      inside_(kGuardFftSize / 2, 0.0) {}

std::size_t EnhancedDecoder::MemoryBytes() const {
  return sizeof(*this) + search_.MemoryBytes() - sizeof(search_) + purityFft_.TableBytes() +
         audio_.capacity() * sizeof(float) + frameZ_.capacity() * sizeof(float) +
         backPointer_.capacity() + fft_.TableBytes() +
         (fftRe_.capacity() + fftIm_.capacity() + outside_.capacity() + inside_.capacity()) *
             sizeof(double);
}

void EnhancedDecoder::Configure(const ToneSet* toneSet) {
  configured_ = toneSet;
  if (toneSet == nullptr) {
    return;
  }
  for (int k = 0; k < kTones; ++k) {
    const auto idx = static_cast<std::size_t>(k);
    if (k < 10) {
      toneHz_[idx] = toneSet->digitFreq[idx];
      toneChar_[idx] = static_cast<char>('0' + k);
    } else if (k == kStarTone) {
      toneHz_[idx] = toneSet->starFreq;
      toneChar_[idx] = '*';
    } else if (k == kRepeatTone) {
      toneHz_[idx] = toneSet->repeatFreq;
      toneChar_[idx] = 'R';
    } else {
      const auto special = static_cast<std::size_t>(k - kFirstSpecialTone);
      toneHz_[idx] = toneSet->specialFreq[special];
      toneChar_[idx] = toneSet->specialLetter[special];
    }
    // A tone the set does not have is never tracked (its mixer runs at a
    // harmless frequency, its emission is unreachable).
    toneUsed_[idx] = toneHz_[idx] > 0;
    if (!toneUsed_[idx]) {
      toneHz_[idx] = 1000.0;
    }
    const double w = 2.0 * std::numbers::pi * toneHz_[idx] / kCaptureRateHz;
    for (int m = 0; m < kBlockSamples; ++m) {
      mixRe_[static_cast<std::size_t>(m)][idx] = static_cast<float>(std::cos(w * m));
      mixIm_[static_cast<std::size_t>(m)][idx] = static_cast<float>(-std::sin(w * m));
    }
    for (int e = 0; e < kOffsets; ++e) {
      const double offset = (e - kOffsets / 2) * kOffsetStep;
      const double theta =
          2.0 * std::numbers::pi * toneHz_[idx] * (1.0 + offset) * kBlockSamples / kCaptureRateHz;
      const std::size_t h = static_cast<std::size_t>(e) * kTones + idx;
      stepRe_[h] = static_cast<float>(std::cos(theta));
      stepIm_[h] = static_cast<float>(-std::sin(theta));
      step2Re_[h] = static_cast<float>(std::cos(2.0 * theta));
      step2Im_[h] = static_cast<float>(-std::sin(2.0 * theta));
    }
  }
  // Half the closest spacing of two tones, less half a step, in steps.
  double closest = 1.0;
  for (std::size_t a = 0; a < toneHz_.size(); ++a) {
    for (std::size_t b = 0; b < toneHz_.size(); ++b) {
      if (toneUsed_[a] && toneUsed_[b] && toneHz_[b] > toneHz_[a]) {
        closest = std::min(closest, toneHz_[b] / toneHz_[a] - 1.0);
      }
    }
  }
  const int steps =
      std::clamp(static_cast<int>(std::floor((closest / 2.0 - kOffsetStep / 2.0) / kOffsetStep)), 0,
                 kOffsets / 2);
  shortTones_ = toneSet->toneMs < 60;
  // A tone that fills fewer than three whole analysis windows (EIA's 33 ms
  // fills two) gives its own offset to about two steps, not one.
  ownOffsetSteps_ =
      toneSet->toneMs * kCaptureRateHz / 1000.0 < kWindowSamples + 2 * kHopSamples ? 2 : 1;
  firstOffset_ = kOffsets / 2 - steps;
  lastOffset_ = kOffsets / 2 + steps;
  search_.Configure(toneHz_, toneUsed_, toneSet->toneMs, steps * kOffsetStep,
                    static_cast<std::int64_t>(samples_));
  for (int k = 0; k < kTones; ++k) {
    int below = 0;
    for (int other = 0; other < kTones; ++other) {
      const auto o = static_cast<std::size_t>(other);
      below += toneUsed_[o] && toneHz_[o] < toneHz_[static_cast<std::size_t>(k)] ? 1 : 0;
    }
    toneRank_[static_cast<std::size_t>(k)] = below;
  }
  Restart();
}

void EnhancedDecoder::Restart() {
  hpX1_ = hpX2_ = hpY1_ = hpY2_ = 0.0;
  blockFill_ = 0;
  for (auto& row : pairRe_) {
    row.fill(0.0f);
  }
  for (auto& row : pairIm_) {
    row.fill(0.0f);
  }
  blockEnergy_.fill(0.0f);
  phasorRe_.fill(1.0f);
  phasorIm_.fill(0.0f);
  // The start counts as quiet: the analysis begins as if a window of
  // silence had gone before, so a tone at the very first sample is seen from
  // its start (the first frame comes after one hop, not after a window).
  blocks_ = kWindowBlocks;
  frames_ = 0;
  origin_ = static_cast<std::int64_t>(samples_) - kWindowSamples;
  score_.fill(kNegative);
  score_[0] = 0.0f;
  committed_ = -1;
  search_.Restart(static_cast<std::int64_t>(samples_));
  reportedSpans_ = {};
  doubtSpans_ = {};
  neighbourDoubts_ = {};
  looked_ = {};
  heldCount_ = 0;
  group_.count = 0;
  idleRun_ = 0;
  pendingSet_ = false;
}

SEQUELO_VECTOR_CLONES int EnhancedDecoder::AnalyseBuffer(CaptureBuffer buffer) {
  const ToneSet* toneSet = CurrentToneSet();
  if (toneSet != configured_) {
    Configure(toneSet);
  }
  if (configured_ == nullptr) {
    samples_ += kBufferFrames;
    return 1;
  }
  // RBJ high-pass biquad, Q = 1/sqrt(2): a 2nd-order Butterworth.
  // Four outputs at a time from the state (y[n-1], y[n-2]) left by the last
  // four: each is its feed-forward part run through the first taps of the
  // feedback's impulse response, plus the state's own decay. The chain that
  // waits for the previous outputs is then one multiply and two adds per four
  // samples rather than per sample.
  static const struct Coefficients {
    double b0, b1, b2;
    std::array<double, 4> impulse;  // of 1 / (1 + a1 z^-1 + a2 z^-2)
    std::array<double, 4> fromY1;   // y[n+j] for y[n-1] = 1, y[n-2] = 0, no input
    std::array<double, 4> fromY2;   // y[n+j] for y[n-1] = 0, y[n-2] = 1, no input
    Coefficients() {
      const double w0 = 2.0 * std::numbers::pi * kHighPassHz / kCaptureRateHz;
      const double alpha = std::sin(w0) / std::numbers::sqrt2;
      const double a0 = 1.0 + alpha;
      b0 = (1.0 + std::cos(w0)) / 2.0 / a0;
      b1 = -(1.0 + std::cos(w0)) / a0;
      b2 = b0;
      const double a1 = -2.0 * std::cos(w0) / a0;
      const double a2 = (1.0 - alpha) / a0;
      const auto decay = [&](double y1, double y2, double x0, std::array<double, 4>& out) {
        for (double& y : out) {
          y = x0 - a1 * y1 - a2 * y2;
          x0 = 0.0;
          y2 = y1;
          y1 = y;
        }
      };
      decay(0.0, 0.0, 1.0, impulse);
      decay(1.0, 0.0, 0.0, fromY1);
      decay(0.0, 1.0, 0.0, fromY2);
    }
  } c;
  static_assert(kBufferFrames % 4 == 0);
  // The filtered buffer goes behind the part block left from the last one,
  // and every whole block is analysed where it lies.
  const std::uint64_t stageStart = samples_ - static_cast<std::uint64_t>(blockFill_);
  float* filtered = stage_.data() + blockFill_;
  std::array<double, kBufferFrames + 2> x;  // two samples of the last buffer, then this one
  x[0] = hpX2_;
  x[1] = hpX1_;
  for (std::size_t i = 0; i < kBufferFrames; ++i) {
    x[i + 2] = buffer[i * kCaptureChannels] / 32768.0;
  }
  std::array<double, kBufferFrames> g;  // the feed-forward part
  for (std::size_t i = 0; i < kBufferFrames; ++i) {
    g[i] = c.b0 * x[i + 2] + c.b1 * x[i + 1] + c.b2 * x[i];
  }
  const auto& h = c.impulse;
  double y1 = hpY1_, y2 = hpY2_;
  for (std::size_t i = 0; i < kBufferFrames; i += 4) {
    const double g0 = g[i];
    const double g1 = g[i + 1] + h[1] * g0;
    const double g2 = g[i + 2] + h[1] * g[i + 1] + h[2] * g0;
    const double g3 = g[i + 3] + h[1] * g[i + 2] + h[2] * g[i + 1] + h[3] * g0;
    const double out0 = (g0 + c.fromY2[0] * y2) + c.fromY1[0] * y1;
    const double out1 = (g1 + c.fromY2[1] * y2) + c.fromY1[1] * y1;
    const double out2 = (g2 + c.fromY2[2] * y2) + c.fromY1[2] * y1;
    const double out3 = (g3 + c.fromY2[3] * y2) + c.fromY1[3] * y1;
    filtered[i] = static_cast<float>(out0);
    filtered[i + 1] = static_cast<float>(out1);
    filtered[i + 2] = static_cast<float>(out2);
    filtered[i + 3] = static_cast<float>(out3);
    // No denormals in silence.
    y1 = std::abs(out3) < 1e-20 ? 0.0 : out3;
    y2 = std::abs(out2) < 1e-20 ? 0.0 : out2;
  }
  hpX1_ = x[kBufferFrames + 1];
  hpX2_ = x[kBufferFrames];
  hpY1_ = y1;
  hpY2_ = y2;
  const auto ringAt = static_cast<std::size_t>(samples_ & (kAudioRing - 1));
  const std::size_t untilWrap = std::min(kBufferFrames, kAudioRing - ringAt);
  std::copy_n(filtered, untilWrap, audio_.begin() + static_cast<std::ptrdiff_t>(ringAt));
  std::copy_n(filtered + untilWrap, kBufferFrames - untilWrap, audio_.begin());
  search_.Feed(filtered, kBufferFrames);
  const std::size_t staged = static_cast<std::size_t>(blockFill_) + kBufferFrames;
  std::size_t at = 0;
  for (; at + kBlockSamples <= staged; at += kBlockSamples) {
    samples_ = stageStart + at + kBlockSamples;
    ProcessBlock(stage_.data() + at);
  }
  std::copy(stage_.begin() + static_cast<std::ptrdiff_t>(at),
            stage_.begin() + static_cast<std::ptrdiff_t>(staged), stage_.begin());
  blockFill_ = static_cast<int>(staged - at);
  samples_ = stageStart + staged;
  for (const SearchCall& call : search_.Calls()) {
    EvaluateSearchCall(call);
  }
  search_.ClearCalls();
  ReportHeld(false);
  return 1;
}

SEQUELO_VECTOR_CLONES void EnhancedDecoder::ProcessBlock(const float* block) {
  // Block sums at the nominal frequencies (two 16 x 20 matrices times the
  // block), and the block's energy in four running sums.
  std::array<float, kTones> sumRe{};
  std::array<float, kTones> sumIm{};
  std::array<float, 4> energyLanes{};
  static_assert(kBlockSamples % 4 == 0);
  // Eight tones at a time in one vector register each for the real and
  // imaginary sums (left to itself, GCC vectorises this badly for sixteen
  // tones). The sums run over the block in order, as a plain loop would.
  using Lanes = float __attribute__((vector_size(32)));
  constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(float);
  static_assert(kTones % kLanes == 0);
  for (std::size_t k0 = 0; k0 < static_cast<std::size_t>(kTones); k0 += kLanes) {
    Lanes accRe{};
    Lanes accIm{};
    for (std::size_t m = 0; m < static_cast<std::size_t>(kBlockSamples); ++m) {
      Lanes re;
      Lanes im;
      std::memcpy(&re, mixRe_[m].data() + k0, sizeof re);
      std::memcpy(&im, mixIm_[m].data() + k0, sizeof im);
      accRe += block[m] * re;
      accIm += block[m] * im;
    }
    std::memcpy(sumRe.data() + k0, &accRe, sizeof accRe);
    std::memcpy(sumIm.data() + k0, &accIm, sizeof accIm);
  }
  for (std::size_t m = 0; m < static_cast<std::size_t>(kBlockSamples); m += 4) {
    for (std::size_t l = 0; l < energyLanes.size(); ++l) {
      energyLanes[l] += block[m + l] * block[m + l];
    }
  }
  const float energy = (energyLanes[0] + energyLanes[1]) + (energyLanes[2] + energyLanes[3]);
  // Each offset hypothesis turns the block by its own phase advance. A pair
  // of blocks is turned at once: P (B1 + R B2), then P advances by R^2.
  const auto slot = static_cast<std::size_t>(blocks_ % kWindowBlocks);
  blockEnergy_[slot] = energy;
  if (blocks_ % 2 == 0) {
    firstRe_ = sumRe;
    firstIm_ = sumIm;
    ++blocks_;
    return;
  }
  auto& outRe = pairRe_[slot / 2];
  auto& outIm = pairIm_[slot / 2];
  for (std::size_t e = 0; e < static_cast<std::size_t>(kOffsets); ++e) {
    const std::size_t row = e * kTones;
    for (std::size_t k = 0; k < static_cast<std::size_t>(kTones); ++k) {
      const std::size_t h = row + k;
      const float tr = firstRe_[k] + sumRe[k] * stepRe_[h] - sumIm[k] * stepIm_[h];
      const float ti = firstIm_[k] + sumRe[k] * stepIm_[h] + sumIm[k] * stepRe_[h];
      const float pr = phasorRe_[h];
      const float pi = phasorIm_[h];
      outRe[h] = tr * pr - ti * pi;
      outIm[h] = tr * pi + ti * pr;
      phasorRe_[h] = pr * step2Re_[h] - pi * step2Im_[h];
      phasorIm_[h] = pr * step2Im_[h] + pi * step2Re_[h];
    }
  }
  if (blocks_ % 64 == 63) {
    for (std::size_t h = 0; h < static_cast<std::size_t>(kBins); ++h) {
      const float norm =
          1.0f / std::sqrt(phasorRe_[h] * phasorRe_[h] + phasorIm_[h] * phasorIm_[h]);
      phasorRe_[h] *= norm;
      phasorIm_[h] *= norm;
    }
  }
  ++blocks_;
  if (blocks_ >= kWindowBlocks && blocks_ % kHopBlocks == 0) {
    ProcessFrame();
  }
}

SEQUELO_VECTOR_CLONES void EnhancedDecoder::ProcessFrame() {
  float energy = kEnergyFloor;
  for (float e : blockEnergy_) {
    energy += e;
  }
  const float inverse = 1.0f / energy;
  // The window's sum: its four turned pair sums, in one pass.
  std::array<float, kBins> power;
  const float* re0 = pairRe_[0].data();
  const float* re1 = pairRe_[1].data();
  const float* re2 = pairRe_[2].data();
  const float* re3 = pairRe_[3].data();
  const float* im0 = pairIm_[0].data();
  const float* im1 = pairIm_[1].data();
  const float* im2 = pairIm_[2].data();
  const float* im3 = pairIm_[3].data();
  for (std::size_t h = 0; h < static_cast<std::size_t>(kBins); ++h) {
    const float sr = ((re0[h] + re1[h]) + re2[h]) + re3[h];
    const float si = ((im0[h] + im1[h]) + im2[h]) + im3[h];
    power[h] = (sr * sr + si * si) * inverse;
  }
  // Emission: the best offset of each tone; z kept tone-major.
  std::array<float, kTones> best;
  std::copy_n(power.begin() + firstOffset_ * kTones, kTones, best.begin());
  for (auto e = static_cast<std::size_t>(firstOffset_ + 1);
       e <= static_cast<std::size_t>(lastOffset_); ++e) {
    const float* row = power.data() + e * kTones;
    for (std::size_t k = 0; k < static_cast<std::size_t>(kTones); ++k) {
      best[k] = best[k] < row[k] ? row[k] : best[k];
    }
  }
  const std::int64_t frame = frames_++;
  float* z = &frameZ_[static_cast<std::size_t>(frame % kFrameRing) * kBins];
  for (std::size_t e = 0; e < static_cast<std::size_t>(kOffsets); ++e) {
    for (std::size_t k = 0; k < static_cast<std::size_t>(kTones); ++k) {
      z[k * kOffsets + e] = power[e * kTones + k];
    }
  }
  std::array<float, kTones> emission;
  for (std::size_t k = 0; k < static_cast<std::size_t>(kTones); ++k) {
    emission[k] = toneUsed_[k] ? best[k] - kEmissionOffset : kNegative;
  }
  TrackerStep(emission);
  // The paths are compared every third frame (20 ms): that costs little
  // latency and a third of the tracing.
  if (frames_ % kCommitEvery == 0) {
    CommitConverged();
  }
  if (pendingSet_ && static_cast<std::int64_t>(samples_) >= pendingReadyAt_) {
    pendingSet_ = false;
    EvaluateGroup(pending_);
  }
}

SEQUELO_VECTOR_CLONES void EnhancedDecoder::TrackerStep(const std::array<float, kTones>& emission) {
  const std::int64_t frame = frames_ - 1;
  std::uint8_t* back = &backPointer_[static_cast<std::size_t>(frame % kTraceRing) * kStates];
  constexpr auto kT = static_cast<std::size_t>(kTones);
  const float* chain0 = &score_[static_cast<std::size_t>(StateOf(0, 0))];
  const float* chain1 = &score_[static_cast<std::size_t>(StateOf(0, 1))];
  const float* ends = &score_[static_cast<std::size_t>(StateOf(0, kChainStates - 1))];
  static_assert(kChainStates == 3, "the loops below spell out three chain states");
  // Best and second-best tone end (last chain state) of the previous frame.
  int best = 0;
  int second = 1;
  if (ends[1] > ends[0]) {
    std::swap(best, second);
  }
  for (int k = 2; k < kTones; ++k) {
    const float s = ends[k];
    if (s > ends[best]) {
      second = best;
      best = k;
    } else if (s > ends[second]) {
      second = k;
    }
  }
  const float idle = score_[0];
  const float bestEnd = ends[best];
  const float secondEnd = ends[second];
  std::array<float, kStates> next;
  // Idle: stay, or leave the best tone.
  {
    const float leave = bestEnd - kChangePenalty;
    next[0] = idle >= leave ? idle : leave;
    back[0] = static_cast<std::uint8_t>(idle >= leave ? 0 : StateOf(best, kChainStates - 1));
  }
  float* next0 = &next[static_cast<std::size_t>(StateOf(0, 0))];
  float* next1 = &next[static_cast<std::size_t>(StateOf(0, 1))];
  float* next2 = &next[static_cast<std::size_t>(StateOf(0, 2))];
  std::uint8_t* back0 = back + StateOf(0, 0);
  std::uint8_t* back1 = back + StateOf(0, 1);
  std::uint8_t* back2 = back + StateOf(0, 2);
  for (std::size_t k = 0; k < kT; ++k) {
    const float e = emission[k];
    // Chain start: from idle or from the end of another tone.
    const bool self = static_cast<int>(k) == best;
    const float fromOther = self ? secondEnd : bestEnd;
    const bool viaIdle = idle >= fromOther;
    next0[k] = (viaIdle ? idle : fromOther) - kChangePenalty + e;
    back0[k] =
        static_cast<std::uint8_t>(viaIdle ? 0 : StateOf(self ? second : best, kChainStates - 1));
    next1[k] = chain0[k] + e;
    back1[k] = static_cast<std::uint8_t>(StateOf(static_cast<int>(k), 0));
    // The last chain state also stays.
    const bool stays = ends[k] > chain1[k];
    next2[k] = (stays ? ends[k] : chain1[k]) + e;
    back2[k] = static_cast<std::uint8_t>(StateOf(static_cast<int>(k), stays ? 2 : 1));
  }
  // Keep the scores near zero: subtract the best (four running maxima).
  std::array<float, 4> lanes{next[0], next[1], next[2], next[3]};
  for (std::size_t s = 4; s + 4 <= next.size(); s += 4) {
    for (std::size_t l = 0; l < lanes.size(); ++l) {
      lanes[l] = lanes[l] < next[s + l] ? next[s + l] : lanes[l];
    }
  }
  float top = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
  for (std::size_t s = next.size() / 4 * 4; s < next.size(); ++s) {
    top = std::max(top, next[s]);
  }
  for (std::size_t s = 0; s < next.size(); ++s) {
    const float v = next[s] - top;
    score_[s] = v < kNegative ? kNegative : v;
  }
}

void EnhancedDecoder::CommitConverged() {
  const std::int64_t newest = frames_ - 1;
  // Follow every live path back until they meet.
  std::uint64_t live = 0;
  for (int s = 0; s < kStates; ++s) {
    if (score_[static_cast<std::size_t>(s)] > kNegative / 2) {
      live |= std::uint64_t{1} << s;
    }
  }
  std::int64_t frame = newest;
  while (frame > committed_ && (live & (live - 1)) != 0) {
    const std::uint8_t* back =
        &backPointer_[static_cast<std::size_t>(frame % kTraceRing) * kStates];
    std::uint64_t previous = 0;
    for (std::uint64_t rest = live; rest != 0; rest &= rest - 1) {
      previous |= std::uint64_t{1} << back[std::countr_zero(rest)];
    }
    live = previous;
    --frame;
  }
  // `live` holds the one state of `frame` every path passes through (or the
  // paths never met above the committed frame).
  std::int64_t decided = frame;
  int state = std::countr_zero(live);
  if ((live & (live - 1)) != 0 || live == 0 || decided <= committed_) {
    if (newest - committed_ <= kMaxLagFrames) {
      return;
    }
    // Forced: follow the best path and commit what lies kMaxLagFrames back.
    decided = newest - kMaxLagFrames;
    state = static_cast<int>(std::max_element(score_.begin(), score_.end()) - score_.begin());
    for (std::int64_t f = newest; f > decided; --f) {
      state = backPointer_[static_cast<std::size_t>(f % kTraceRing) * kStates +
                           static_cast<std::size_t>(state)];
    }
  }
  // Trace the agreed path from `decided` back to the committed frame.
  int count = 0;
  for (std::int64_t f = decided; f > committed_; --f) {
    path_[static_cast<std::size_t>(count++)] = state;
    state = backPointer_[static_cast<std::size_t>(f % kTraceRing) * kStates +
                         static_cast<std::size_t>(state)];
  }
  for (int i = count - 1; i >= 0; --i) {
    CommitFrame(decided - i, LabelOf(path_[static_cast<std::size_t>(i)]));
  }
  committed_ = decided;
}

double EnhancedDecoder::SegmentMeanZ(const Segment& segment) const {
  double best = 0.0;
  for (int e = firstOffset_; e <= lastOffset_; ++e) {
    double total = 0.0;
    const auto bin = static_cast<std::size_t>(segment.tone * kOffsets + e);
    for (std::int64_t f = segment.first; f <= segment.last; ++f) {
      total += FrameZ(f)[bin];
    }
    best = std::max(best, total);
  }
  return best / static_cast<double>(segment.last - segment.first + 1);
}

void EnhancedDecoder::CommitFrame(std::int64_t frame, int label) {
  // A segment that has just ended too weak to be a tone of any candidate
  // (below the guard's mean z, or far below the segments before it) ends the
  // group: noise segments strung behind a call would otherwise hold its code
  // back.
  if (group_.count > 0) {
    Segment& last = group_.segments[static_cast<std::size_t>(group_.count - 1)];
    if (last.last == frame - 1 && label != last.tone && last.last - last.first < kMaxSegmentProbe) {
      last.meanZ = SegmentMeanZ(last);
      // The median of up to five segments before it (a small insertion
      // sort: std::sort here trips a false array-bounds warning of GCC 12).
      std::array<double, 5> before{};
      std::size_t count = 0;
      for (int j = std::max(0, group_.count - 6); j < group_.count - 1 && count < before.size();
           ++j) {
        double value = group_.segments[static_cast<std::size_t>(j)].meanZ;
        std::size_t at = count++;
        for (; at > 0 && before[at - 1] > value; --at) {
          before[at] = before[at - 1];
        }
        before[at] = value;
      }
      const double median = count > 0 ? before[count / 2] : 0.0;
      if (last.meanZ < kMinSegmentMeanZ || last.meanZ < kWeakOfMedian * median) {
        --group_.count;
        CloseGroup();
      }
    }
  }
  if (label < 0) {
    ++idleRun_;
    if (group_.count > 0 && idleRun_ > kMaxIdleGap) {
      CloseGroup();
    }
    return;
  }
  Segment* last =
      group_.count > 0 ? &group_.segments[static_cast<std::size_t>(group_.count - 1)] : nullptr;
  if (last != nullptr && last->tone == label && last->last == frame - 1) {
    last->last = frame;
  } else {
    if (group_.count == kMaxGroupSegments) {
      std::move(group_.segments.begin() + 1, group_.segments.end(), group_.segments.begin());
      --group_.count;
    }
    group_.segments[static_cast<std::size_t>(group_.count++)] = {label, frame, frame, 1e30};
  }
  idleRun_ = 0;
}

void EnhancedDecoder::CloseGroup() {
  if (group_.count >= (everyRun_ ? 3 : 5)) {
    if (pendingSet_) {
      EvaluateGroup(pending_);  // rare: evaluate the older group with what audio there is
    }
    pending_ = group_;
    pendingSet_ = true;
    // The framing guard looks 45 ms beyond the end of the last tone.
    const Segment& last = group_.segments[static_cast<std::size_t>(group_.count - 1)];
    pendingReadyAt_ = WindowEnd(last.last) + 180;
  }
  group_.count = 0;
}

}  // namespace sequelo::core
