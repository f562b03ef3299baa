#include "core/trailer_detector.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace sequelo::core {

using namespace trailer;

namespace {

constexpr double kHighPassHz = 300.0;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Response of a sub-block sum to a tone `offsetHz` off its frequency,
// relative to one on it: |sin(pi d L / rate) / (L sin(pi d / rate))|.
double SubBlockResponse(double offsetHz) {
  const double x = std::numbers::pi * offsetHz / kCaptureRateHz;
  if (std::abs(x) < 1e-12) {
    return 1.0;
  }
  return std::abs(std::sin(x * kSubBlockSamples) / (kSubBlockSamples * std::sin(x)));
}

// The grid's offsets for a tone: far enough to reach past the tolerance by
// one step, so a tone in tolerance peaks inside the grid.
int GridSteps(double hz) {
  return static_cast<int>(std::ceil((kTolerance * hz + kGridStepHz) / kGridStepHz));
}

}  // namespace

std::vector<TrailerClass> DefaultTrailerClasses() {
  return {
      {"wake tone", 2600, 0, true},  {"fire", 675, 1240, false},
      {"test", 675, 1860, false},    {"civil-protection alarm", 675, 825, false},
      {"warning", 675, 2280, false}, {"all clear", 675, 1010, false},
  };
}

bool IsUsableTrailerClass(const TrailerClass& trailerClass) {
  const auto inRange = [](int hz) { return hz >= kMinHz && hz <= kMaxHz; };
  if (trailerClass.name.empty() || !inRange(trailerClass.lowHz)) {
    return false;
  }
  if (trailerClass.highHz == 0) {
    return true;
  }
  const int low = std::min(trailerClass.lowHz, trailerClass.highHz);
  const int high = std::max(trailerClass.lowHz, trailerClass.highHz);
  return inRange(trailerClass.highHz) && high - low >= 0.06 * high;
}

TrailerDetector::TrailerDetector(std::vector<TrailerClass> classes, TrailerSink* sink)
    : sink_(sink) {
  for (auto& c : classes) {
    if (IsUsableTrailerClass(c) && classes_.size() < static_cast<std::size_t>(kMaxClasses)) {
      classes_.push_back(std::move(c));
    }
  }
  for (const auto& c : classes_) {
    ClassTones ct;
    ct.low = AddTone(c.lowHz);
    const double need = c.highHz == 0 ? kSingleShare : kPairEachShare;
    auto& low = tones_[static_cast<std::size_t>(ct.low)];
    low.needShare = std::min(low.needShare, need);
    if (c.highHz != 0) {
      ct.high = AddTone(c.highHz);
      auto& high = tones_[static_cast<std::size_t>(ct.high)];
      high.needShare = std::min(high.needShare, need);
    }
    classTones_.push_back(ct);
  }
  const int tones = static_cast<int>(tones_.size());
  lanes_ = (tones + kLanes - 1) / kLanes * kLanes;
  const auto lanes = static_cast<std::size_t>(lanes_);
  cosTable_.assign(lanes * kSubBlockSamples, 0.0f);
  sinTable_.assign(lanes * kSubBlockSamples, 0.0f);
  for (std::size_t t = 0; t < tones_.size(); ++t) {
    Tone& tone = tones_[t];
    const double w = kTwoPi * tone.hz / kCaptureRateHz;
    for (std::size_t m = 0; m < kSubBlockSamples; ++m) {
      cosTable_[m * lanes + t] = static_cast<float>(std::cos(w * static_cast<double>(m)));
      sinTable_[m * lanes + t] = static_cast<float>(-std::sin(w * static_cast<double>(m)));
    }
    for (std::size_t k = 0; k < kSubBlocks; ++k) {
      const double phase = std::fmod(w * static_cast<double>(k * kSubBlockSamples), kTwoPi);
      tone.blockTurn[k] = std::polar(1.0f, static_cast<float>(-phase));
    }
    tone.gridSteps = GridSteps(tone.hz);
    maxSteps_ = std::max(maxSteps_, tone.gridSteps);
  }
  const auto offsets = static_cast<std::size_t>(2 * maxSteps_ + 1);
  gridTurn_.resize(offsets * kSubBlocks);
  gridGain_.resize(offsets);
  for (std::size_t i = 0; i < offsets; ++i) {
    const double offsetHz = (static_cast<double>(i) - maxSteps_) * kGridStepHz;
    const double perBlock = kTwoPi * offsetHz * kSubBlockSamples / kCaptureRateHz;
    for (std::size_t k = 0; k < kSubBlocks; ++k) {
      const double phase = std::fmod(perBlock * static_cast<double>(k), kTwoPi);
      gridTurn_[i * kSubBlocks + k] = std::polar(1.0f, static_cast<float>(-phase));
    }
    const double response = SubBlockResponse(offsetHz);
    gridGain_[i] = 1.0 / (response * response);
  }
  gridMagnitude_.resize(offsets);
  accRe_.assign(lanes, 0.0f);
  accIm_.assign(lanes, 0.0f);
  blockSums_.assign(tones_.size() * kSubBlocks, {});
  blockPower_.assign(tones_.size(), 0.0);
  results_.assign(tones_.size(), {});
  runs_.assign(classes_.size(), {});
}

int TrailerDetector::AddTone(int hz) {
  for (std::size_t t = 0; t < tones_.size(); ++t) {
    if (tones_[t].hz == hz) {
      return static_cast<int>(t);
    }
  }
  Tone tone;
  tone.hz = hz;
  tones_.push_back(tone);
  return static_cast<int>(tones_.size()) - 1;
}

void TrailerDetector::Reset() {
  x1_ = x2_ = y1_ = y2_ = 0.0;
  sample_ = 0;
  energy_ = 0.0;
  std::fill(accRe_.begin(), accRe_.end(), 0.0f);
  std::fill(accIm_.begin(), accIm_.end(), 0.0f);
  std::fill(blockPower_.begin(), blockPower_.end(), 0.0);
  std::fill(runs_.begin(), runs_.end(), Run{});
}

void TrailerDetector::AnalyseBuffer(CaptureBuffer buffer, std::uint32_t tickMs) {
  if (tones_.empty()) {
    return;
  }
  // RBJ high-pass biquad, Q = 1/sqrt(2): a 2nd-order Butterworth.
  static const auto kFilter = [] {
    const double w0 = kTwoPi * kHighPassHz / kCaptureRateHz;
    const double alpha = std::sin(w0) / (2.0 * std::numbers::sqrt2 / 2.0);
    const double a0 = 1.0 + alpha;
    const double b0 = (1.0 + std::cos(w0)) / 2.0 / a0;
    return std::array<double, 5>{b0, -2.0 * b0, b0, -2.0 * std::cos(w0) / a0, (1.0 - alpha) / a0};
  }();
  const auto lanes = static_cast<std::size_t>(lanes_);
  float* accRe = accRe_.data();
  float* accIm = accIm_.data();
  for (std::size_t i = 0; i < kBufferFrames; ++i) {
    if (sample_ == 0) {
      windowStartMs_ =
          tickMs + static_cast<std::uint32_t>(i * 1000 / static_cast<std::size_t>(kCaptureRateHz));
    }
    const double x = buffer[i * kCaptureChannels] / 32768.0;
    const double y =
        kFilter[0] * x + kFilter[1] * x1_ + kFilter[2] * x2_ - kFilter[3] * y1_ - kFilter[4] * y2_;
    x2_ = x1_;
    x1_ = x;
    y2_ = y1_;
    y1_ = y;
    energy_ += y * y;
    const auto yf = static_cast<float>(y);
    const std::size_t m = static_cast<std::size_t>(sample_ % kSubBlockSamples);
    const float* c = cosTable_.data() + m * lanes;
    const float* s = sinTable_.data() + m * lanes;
    for (std::size_t g = 0; g < lanes; g += kLanes) {
      for (std::size_t j = g; j < g + kLanes; ++j) {
        accRe[j] += yf * c[j];
        accIm[j] += yf * s[j];
      }
    }
    ++sample_;
    if (sample_ % kSubBlockSamples == 0) {
      EndSubBlock();
    }
    if (sample_ == kWindowSamples) {
      EndWindow();
      sample_ = 0;
      energy_ = 0.0;
    }
  }
}

void TrailerDetector::EndSubBlock() {
  const std::size_t k = static_cast<std::size_t>(sample_ / kSubBlockSamples - 1);
  for (std::size_t t = 0; t < tones_.size(); ++t) {
    const std::complex<float> sum =
        std::complex<float>(accRe_[t], accIm_[t]) * tones_[t].blockTurn[k];
    blockSums_[t * kSubBlocks + k] = sum;
    blockPower_[t] += static_cast<double>(std::norm(sum));
  }
  std::fill(accRe_.begin(), accRe_.end(), 0.0f);
  std::fill(accIm_.begin(), accIm_.end(), 0.0f);
}

TrailerDetector::ToneResult TrailerDetector::MeasureTone(int t, double windowEnergy) {
  const Tone& tone = tones_[static_cast<std::size_t>(t)];
  const std::complex<float>* sums = blockSums_.data() + static_cast<std::size_t>(t) * kSubBlocks;
  // Share of a DFT sum S over the window: 2 |S|^2 / (W E), 1 for a clean tone.
  const double scale = 2.0 / (kWindowSamples * windowEnergy);
  // No offset can give more than K x the sub-block powers (Cauchy-Schwarz),
  // raised by the grid's largest gain (at its edge).
  const auto edge = static_cast<std::size_t>(maxSteps_ + tone.gridSteps);
  const double bound = kSubBlocks * blockPower_[static_cast<std::size_t>(t)] * gridGain_[edge];
  if (bound * scale < tone.needShare) {
    return {};
  }
  int best = 0;
  double bestPower = -1.0;
  for (int h = -tone.gridSteps; h <= tone.gridSteps; ++h) {
    const auto row = static_cast<std::size_t>(h + maxSteps_);
    const std::complex<float>* turn = gridTurn_.data() + row * kSubBlocks;
    std::complex<float> sum{};
    for (std::size_t k = 0; k < kSubBlocks; ++k) {
      sum += sums[k] * turn[k];
    }
    const double power = static_cast<double>(std::norm(sum)) * gridGain_[row];
    gridMagnitude_[row] = std::sqrt(power);
    if (power > bestPower) {
      bestPower = power;
      best = h;
    }
  }
  if (best == -tone.gridSteps || best == tone.gridSteps) {
    return {};  // still rising at the edge: the tone lies beyond the tolerance
  }
  // Parabola through the peak's magnitude and its neighbours'.
  const auto row = static_cast<std::size_t>(best + maxSteps_);
  const double a = gridMagnitude_[row - 1];
  const double b = gridMagnitude_[row];
  const double c = gridMagnitude_[row + 1];
  const double curve = a - 2.0 * b + c;
  const double shift = curve < 0.0 ? std::clamp(0.5 * (a - c) / curve, -0.5, 0.5) : 0.0;
  const double offsetHz = (best + shift) * kGridStepHz;
  // The sum again at the refined offset.
  const double perBlock = kTwoPi * offsetHz * kSubBlockSamples / kCaptureRateHz;
  const std::complex<double> step = std::polar(1.0, -perBlock);
  std::complex<double> turn{1.0, 0.0};
  std::complex<double> sum{};
  for (std::size_t k = 0; k < kSubBlocks; ++k) {
    sum += std::complex<double>(sums[k]) * turn;
    turn *= step;
  }
  const double response = SubBlockResponse(offsetHz);
  ToneResult result;
  result.share = std::norm(sum) / (response * response) * scale;
  result.inTolerance = std::abs(offsetHz) <= kTolerance * tone.hz;
  return result;
}

void TrailerDetector::EndWindow() {
  const double minPower = std::pow(10.0, kMinLevelDbfs / 10.0) / 2.0;  // of a sine
  const bool loud = energy_ >= minPower * kWindowSamples;
  for (std::size_t t = 0; t < tones_.size(); ++t) {
    results_[t] = loud ? MeasureTone(static_cast<int>(t), energy_) : ToneResult{};
    blockPower_[t] = 0.0;
  }
  for (std::size_t c = 0; c < classes_.size(); ++c) {
    const ClassTones& ct = classTones_[c];
    const ToneResult& low = results_[static_cast<std::size_t>(ct.low)];
    bool present = false;
    if (ct.high < 0) {
      present = low.inTolerance && low.share >= kSingleShare;
    } else {
      const ToneResult& high = results_[static_cast<std::size_t>(ct.high)];
      const double rest = std::max(0.0, 1.0 - low.share - high.share);
      const double weaker = std::min(low.share, high.share);
      present = low.inTolerance && high.inTolerance && weaker >= kPairEachShare && weaker > rest;
    }
    Advance(static_cast<int>(c), present);
  }
}

void TrailerDetector::Advance(int c, bool present) {
  const TrailerClass& trailerClass = classes_[static_cast<std::size_t>(c)];
  Run& run = runs_[static_cast<std::size_t>(c)];
  const int minOn = trailerClass.intermittent ? kMinOnWindows : 1;
  if (!present) {
    if (run.currentOn > 0 && run.currentOn < minOn) {
      run.gap += run.currentOn;  // a flicker, not an on-period
    }
    run.currentOn = 0;
    ++run.gap;
    if (run.active && run.gap > kMaxGapWindows) {
      run = Run{};
    }
    return;
  }
  if (++run.currentOn == 1) {
    run.onStartMs = windowStartMs_;
  }
  if (run.currentOn < minOn) {
    return;
  }
  if (run.currentOn == minOn) {  // a new on-period
    if (!run.active) {
      const std::uint32_t onStartMs = run.onStartMs;
      run = Run{};
      run.active = true;
      run.currentOn = minOn;
      run.onStartMs = onStartMs;
      run.startMs = onStartMs;
    }
    run.counted += minOn;
    ++run.onPeriods;
  } else {
    ++run.counted;
  }
  run.gap = 0;
  if (trailerClass.intermittent && run.currentOn > kMaxOnWindows) {
    run.spoiled = true;
  }
  const int minPeriods = trailerClass.intermittent ? kMinOnPeriods : 1;
  if (!run.reported && !run.spoiled && run.counted >= kReportWindows &&
      run.onPeriods >= minPeriods) {
    run.reported = true;
    if (sink_ != nullptr) {
      TrailerHeard heard;
      heard.name = trailerClass.name;
      heard.classIndex = c;
      heard.startMs = run.startMs;
      heard.heardMs = windowStartMs_ + static_cast<std::uint32_t>(kWindowMs);
      sink_->OnTrailer(heard);
    }
  }
}

}  // namespace sequelo::core
