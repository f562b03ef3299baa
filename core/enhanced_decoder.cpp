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
constexpr double kEmissionOffset = 5.0;   // about the largest of the 108 noise bins of a frame
constexpr double kChangePenalty = 10.0;   // per change idle->tone, tone->tone, tone->idle
constexpr int kMaxIdleGap = 2;            // idle frames allowed inside a group
constexpr double kMinSegmentMeanZ = 5.0;  // below this at its best offset a segment is noise
constexpr double kWeakOfMedian = 0.3;     // or below this share of the segments before it
constexpr int kMaxSegmentProbe = 40;      // longer segments are not looked into
constexpr int kCommitEvery = 3;           // frames between two looks for agreed paths
// Keeps z finite in digital silence: the energy of noise at about -110 dBFS
// over one window, far below 16-bit quantisation noise.
constexpr float kEnergyFloor = static_cast<float>(kWindowSamples) * 1e-11f;
constexpr double kNegative = -1e30;  // score of an unreachable state

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
      inside_(kGuardFftSize / 2, 0.0) {}

std::size_t EnhancedDecoder::MemoryBytes() const {
  return sizeof(*this) + audio_.capacity() * sizeof(float) + frameZ_.capacity() * sizeof(float) +
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
      const double theta =
          2.0 * std::numbers::pi * toneHz_[idx] * (1.0 + offset) * kBlockSamples / kCaptureRateHz;
      const std::size_t h = idx * kOffsets + static_cast<std::size_t>(e);
      stepRe_[h] = static_cast<float>(std::cos(theta));
      stepIm_[h] = static_cast<float>(-std::sin(theta));
      step2Re_[h] = static_cast<float>(std::cos(2.0 * theta));
      step2Im_[h] = static_cast<float>(-std::sin(2.0 * theta));
    }
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
  // RBJ high-pass biquad, Q = 1/sqrt(2): a 2nd-order Butterworth.
  static const struct Coefficients {
    double b0, b1, b2, a1, a2;
    Coefficients() {
      const double w0 = 2.0 * std::numbers::pi * kHighPassHz / kCaptureRateHz;
      const double alpha = std::sin(w0) / std::numbers::sqrt2;
      const double a0 = 1.0 + alpha;
      b0 = (1.0 + std::cos(w0)) / 2.0 / a0;
      b1 = -(1.0 + std::cos(w0)) / a0;
      b2 = b0;
      a1 = -2.0 * std::cos(w0) / a0;
      a2 = (1.0 - alpha) / a0;
    }
  } c;
  // Filter the whole buffer first, then hand it on block by block.
  std::array<float, kBufferFrames> filtered;
  double x1 = hpX1_, x2 = hpX2_, y1 = hpY1_, y2 = hpY2_;
  for (std::size_t i = 0; i < kBufferFrames; ++i) {
    const double input = buffer[i * kCaptureChannels] / 32768.0;
    double y = c.b0 * input + c.b1 * x1 + c.b2 * x2 - c.a1 * y1 - c.a2 * y2;
    if (std::abs(y) < 1e-20) {
      y = 0.0;  // no denormals in silence
    }
    x2 = x1;
    x1 = input;
    y2 = y1;
    y1 = y;
    filtered[i] = static_cast<float>(y);
  }
  hpX1_ = x1;
  hpX2_ = x2;
  hpY1_ = y1;
  hpY2_ = y2;
  for (std::size_t i = 0; i < kBufferFrames; ++i) {
    audio_[(samples_ + i) & (kAudioRing - 1)] = filtered[i];
  }
  std::size_t done = 0;
  while (done < kBufferFrames) {
    const std::size_t take = std::min<std::size_t>(
        kBufferFrames - done, static_cast<std::size_t>(kBlockSamples - blockFill_));
    std::copy_n(filtered.begin() + static_cast<std::ptrdiff_t>(done), take,
                block_.begin() + blockFill_);
    blockFill_ += static_cast<int>(take);
    done += take;
    samples_ += take;
    if (blockFill_ == kBlockSamples) {
      blockFill_ = 0;
      ProcessBlock();
    }
  }
  return 1;
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
  // Each offset hypothesis turns the block by its own phase advance. A pair
  // of blocks is turned at once: P (B1 + R B2), then P advances by R^2.
  const auto slot = static_cast<std::size_t>(blocks_ % kWindowBlocks);
  blockEnergy_[slot] = energy;
  if (blocks_ % 2 == 0) {
    firstSum_ = sum;
    ++blocks_;
    return;
  }
  auto& outRe = pairRe_[slot / 2];
  auto& outIm = pairIm_[slot / 2];
  for (std::size_t k = 0; k < static_cast<std::size_t>(kTones); ++k) {
    const float r1 = firstSum_[2 * k];
    const float i1 = firstSum_[2 * k + 1];
    const float r2 = sum[2 * k];
    const float i2 = sum[2 * k + 1];
    for (std::size_t e = 0; e < static_cast<std::size_t>(kOffsets); ++e) {
      const std::size_t h = k * kOffsets + e;
      const float tr = r1 + r2 * stepRe_[h] - i2 * stepIm_[h];
      const float ti = i1 + r2 * stepIm_[h] + i2 * stepRe_[h];
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

void EnhancedDecoder::ProcessFrame() {
  std::array<float, kBins> sr = pairRe_[0];
  std::array<float, kBins> si = pairIm_[0];
  float energy = kEnergyFloor;
  for (std::size_t p = 1; p < pairRe_.size(); ++p) {
    const auto& re = pairRe_[p];
    const auto& im = pairIm_[p];
    for (std::size_t h = 0; h < static_cast<std::size_t>(kBins); ++h) {
      sr[h] += re[h];
      si[h] += im[h];
    }
  }
  for (float e : blockEnergy_) {
    energy += e;
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
  std::array<double, kStates> next;
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

double EnhancedDecoder::SegmentMeanZ(const Segment& segment) const {
  double best = 0.0;
  for (int e = 0; e < kOffsets; ++e) {
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
