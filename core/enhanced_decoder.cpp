// Front end, offset bank and Viterbi tracker of the enhanced decoder; the
// candidate checks are in enhanced_candidate.cpp.
#include "core/enhanced_decoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

namespace sequelo::core {
namespace {

using namespace enhanced;

constexpr double kHighPassHz = 300.0;
constexpr double kEmissionOffset = 5.0;  // about the largest of the 108 noise bins of a frame
constexpr double kChangePenalty = 10.0;  // per change idle->tone, tone->tone, tone->idle
constexpr int kMaxIdleGap = 2;           // idle frames allowed inside a group
// Keeps z finite in digital silence: the energy of noise at about -110 dBFS
// over one window, far below 16-bit quantisation noise.
constexpr float kEnergyFloor = static_cast<float>(kWindowSamples) * 1e-11f;
constexpr double kNegative = -1e30;  // score of an unreachable state

// e^(-j theta) from a phase of 2^32 per turn, by table.
constexpr int kTrigBits = 12;
struct TrigTable {
  std::array<float, 1 << kTrigBits> cosine{};
  TrigTable() {
    for (std::size_t i = 0; i < cosine.size(); ++i) {
      cosine[i] = static_cast<float>(std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                              static_cast<double>(cosine.size())));
    }
  }
};
const TrigTable& Trig() {
  static const TrigTable table;
  return table;
}

constexpr int StateOf(int tone, int chain) {
  return 1 + tone * kChainStates + chain;
}
constexpr int LabelOf(int state) {
  return state == 0 ? -1 : (state - 1) / kChainStates;
}

}  // namespace

EnhancedDecoder::EnhancedDecoder()
    : audio_(kAudioRing, 0.0f),
      frameZ_(static_cast<std::size_t>(kFrameRing) * kBins, 0.0f),
      backPointer_(static_cast<std::size_t>(kTraceRing) * kStates, 0),
      fft_(kGuardFftSize),
      fftRe_(kGuardFftSize, 0.0),
      fftIm_(kGuardFftSize, 0.0),
      outside_(kGuardFftSize / 2, 0.0),
      inside_(kGuardFftSize / 2, 0.0) {
  Trig();
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
    } else {
      toneHz_[idx] = toneSet->repeatFreq;
      toneChar_[idx] = 'R';
    }
    const double w = 2.0 * std::numbers::pi * toneHz_[idx] / kCaptureRateHz;
    for (int m = 0; m < kBlockSamples; ++m) {
      auto& row = mix_[static_cast<std::size_t>(m)];
      row[2 * idx] = static_cast<float>(std::cos(w * m));
      row[2 * idx + 1] = static_cast<float>(-std::sin(w * m));
    }
    for (int e = 0; e < kOffsets; ++e) {
      const double offset = (e - kOffsets / 2) * kOffsetStep;
      const double turns = toneHz_[idx] * (1.0 + offset) * kBlockSamples / kCaptureRateHz;
      const double fraction = turns - std::floor(turns);
      phaseStep_[idx * kOffsets + static_cast<std::size_t>(e)] =
          static_cast<std::uint32_t>(std::llround(fraction * 4294967296.0) & 0xffffffffLL);
    }
  }
  Restart();
}

void EnhancedDecoder::Restart() {
  hpX1_ = hpX2_ = hpY1_ = hpY2_ = 0.0;
  blockFill_ = 0;
  for (auto& row : blockRe_) {
    row.fill(0.0f);
  }
  for (auto& row : blockIm_) {
    row.fill(0.0f);
  }
  blockEnergy_.fill(0.0f);
  phase_.fill(0);
  blocks_ = 0;
  frames_ = 0;
  origin_ = static_cast<std::int64_t>(samples_);
  score_.fill(kNegative);
  score_[0] = 0.0;
  committed_ = -1;
  group_.count = 0;
  idleRun_ = 0;
  pendingSet_ = false;
}

int EnhancedDecoder::AnalyseBuffer(CaptureBuffer buffer) {
  const ToneSet* toneSet = CurrentToneSet();
  if (toneSet != configured_) {
    Configure(toneSet);
  }
  if (configured_ == nullptr) {
    samples_ += kBufferFrames;
    return 1;
  }
  for (std::size_t i = 0; i < kBufferFrames; ++i) {
    ProcessSample(buffer[i * kCaptureChannels] / 32768.0);
  }
  return 1;
}

void EnhancedDecoder::ProcessSample(double input) {
  // RBJ high-pass biquad, Q = 1/sqrt(2): a 2nd-order Butterworth.
  static const struct Coefficients {
    double b0, b1, b2, a1, a2;
    Coefficients() {
      const double w0 = 2.0 * std::numbers::pi * kHighPassHz / kCaptureRateHz;
      const double alpha = std::sin(w0) / (2.0 * std::numbers::sqrt2 / 2.0);
      const double a0 = 1.0 + alpha;
      b0 = (1.0 + std::cos(w0)) / 2.0 / a0;
      b1 = -(1.0 + std::cos(w0)) / a0;
      b2 = b0;
      a1 = -2.0 * std::cos(w0) / a0;
      a2 = (1.0 - alpha) / a0;
    }
  } c;
  double y = c.b0 * input + c.b1 * hpX1_ + c.b2 * hpX2_ - c.a1 * hpY1_ - c.a2 * hpY2_;
  if (std::abs(y) < 1e-20) {
    y = 0.0;  // no denormals in silence
  }
  hpX2_ = hpX1_;
  hpX1_ = input;
  hpY2_ = hpY1_;
  hpY1_ = y;
  const auto x = static_cast<float>(y);
  audio_[samples_ & (kAudioRing - 1)] = x;
  ++samples_;
  block_[static_cast<std::size_t>(blockFill_++)] = x;
  if (blockFill_ == kBlockSamples) {
    blockFill_ = 0;
    ProcessBlock();
  }
}

void EnhancedDecoder::ProcessBlock() {
  // Block sums at the nominal frequencies (a 24 x 20 matrix times the block).
  std::array<float, 2 * kTones> sum{};
  float energy = 0.0f;
  for (int m = 0; m < kBlockSamples; ++m) {
    const float x = block_[static_cast<std::size_t>(m)];
    const auto& row = mix_[static_cast<std::size_t>(m)];
    for (std::size_t i = 0; i < sum.size(); ++i) {
      sum[i] += x * row[i];
    }
    energy += x * x;
  }
  // Each offset hypothesis turns the block by its own phase advance.
  const auto slot = static_cast<std::size_t>(blocks_ % kWindowBlocks);
  auto& re = blockRe_[slot];
  auto& im = blockIm_[slot];
  const auto& cosine = Trig().cosine;
  constexpr unsigned kShift = 32 - kTrigBits;
  constexpr std::uint32_t kQuarter = 1U << (kTrigBits - 2);
  constexpr std::uint32_t kMask = (1U << kTrigBits) - 1;
  for (std::size_t k = 0; k < static_cast<std::size_t>(kTones); ++k) {
    const float br = sum[2 * k];
    const float bi = sum[2 * k + 1];
    for (std::size_t e = 0; e < static_cast<std::size_t>(kOffsets); ++e) {
      const std::size_t h = k * kOffsets + e;
      const std::uint32_t index = phase_[h] >> kShift;
      const float cs = cosine[index];
      const float sn = cosine[(index - kQuarter) & kMask];  // sin(theta)
      // (br + j bi) e^(-j theta)
      re[h] = br * cs + bi * sn;
      im[h] = bi * cs - br * sn;
      phase_[h] += phaseStep_[h];
    }
  }
  blockEnergy_[slot] = energy;
  ++blocks_;
  if (blocks_ >= kWindowBlocks && blocks_ % kHopBlocks == 0) {
    ProcessFrame();
  }
}

void EnhancedDecoder::ProcessFrame() {
  std::array<float, kBins> sr{};
  std::array<float, kBins> si{};
  float energy = kEnergyFloor;
  for (std::size_t b = 0; b < static_cast<std::size_t>(kWindowBlocks); ++b) {
    const auto& re = blockRe_[b];
    const auto& im = blockIm_[b];
    for (std::size_t h = 0; h < static_cast<std::size_t>(kBins); ++h) {
      sr[h] += re[h];
      si[h] += im[h];
    }
    energy += blockEnergy_[b];
  }
  const std::int64_t frame = frames_++;
  float* z = &frameZ_[static_cast<std::size_t>(frame % kFrameRing) * kBins];
  const float inverse = 1.0f / energy;
  for (std::size_t h = 0; h < static_cast<std::size_t>(kBins); ++h) {
    z[h] = (sr[h] * sr[h] + si[h] * si[h]) * inverse;
  }
  std::array<double, kTones> emission{};
  for (std::size_t k = 0; k < static_cast<std::size_t>(kTones); ++k) {
    const float* row = z + k * kOffsets;
    emission[k] = *std::max_element(row, row + kOffsets) - kEmissionOffset;
  }
  TrackerStep(emission);
  CommitConverged();
  if (pendingSet_ && static_cast<std::int64_t>(samples_) >= pendingReadyAt_) {
    pendingSet_ = false;
    EvaluateGroup(pending_);
  }
}

void EnhancedDecoder::TrackerStep(const std::array<double, kTones>& emission) {
  const std::int64_t frame = frames_ - 1;
  std::uint8_t* back = &backPointer_[static_cast<std::size_t>(frame % kTraceRing) * kStates];
  // Best and second-best tone end (last chain state) of the previous frame.
  int best = -1;
  int second = -1;
  for (int k = 0; k < kTones; ++k) {
    const double s = score_[static_cast<std::size_t>(StateOf(k, kChainStates - 1))];
    if (best < 0 || s > score_[static_cast<std::size_t>(StateOf(best, kChainStates - 1))]) {
      second = best;
      best = k;
    } else if (second < 0 ||
               s > score_[static_cast<std::size_t>(StateOf(second, kChainStates - 1))]) {
      second = k;
    }
  }
  const auto endScore = [&](int k) {
    return score_[static_cast<std::size_t>(StateOf(k, kChainStates - 1))];
  };
  std::array<double, kStates> next{};
  // Idle: stay, or leave a tone.
  {
    const double stay = score_[0];
    const double leave = endScore(best) - kChangePenalty;
    next[0] = stay >= leave ? stay : leave;
    back[0] = static_cast<std::uint8_t>(stay >= leave ? 0 : StateOf(best, kChainStates - 1));
  }
  for (int k = 0; k < kTones; ++k) {
    const auto e = emission[static_cast<std::size_t>(k)];
    // Chain start: from idle or from the end of another tone.
    const int other = best == k ? second : best;
    const double fromIdle = score_[0];
    const double fromOther = endScore(other);
    const auto s0 = static_cast<std::size_t>(StateOf(k, 0));
    if (fromIdle >= fromOther) {
      next[s0] = fromIdle - kChangePenalty + e;
      back[s0] = 0;
    } else {
      next[s0] = fromOther - kChangePenalty + e;
      back[s0] = static_cast<std::uint8_t>(StateOf(other, kChainStates - 1));
    }
    for (int c = 1; c < kChainStates; ++c) {
      const auto s = static_cast<std::size_t>(StateOf(k, c));
      next[s] = score_[s - 1] + e;
      back[s] = static_cast<std::uint8_t>(s - 1);
    }
    // The last chain state also stays.
    const auto last = static_cast<std::size_t>(StateOf(k, kChainStates - 1));
    if (score_[last] + e > next[last]) {
      next[last] = score_[last] + e;
      back[last] = static_cast<std::uint8_t>(last);
    }
  }
  const double top = *std::max_element(next.begin(), next.end());
  for (std::size_t s = 0; s < next.size(); ++s) {
    score_[s] = std::max(next[s] - top, kNegative);
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
  while (frame > committed_ && std::popcount(live) > 1) {
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
  if (std::popcount(live) != 1 || decided <= committed_) {
    if (newest - committed_ <= kMaxLagFrames) {
      return;
    }
    // Forced: follow the best path and commit what lies 0.6 s back.
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

void EnhancedDecoder::CommitFrame(std::int64_t frame, int label) {
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
    group_.segments[static_cast<std::size_t>(group_.count++)] = {label, frame, frame};
  }
  idleRun_ = 0;
}

void EnhancedDecoder::CloseGroup() {
  if (group_.count >= 5) {
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
