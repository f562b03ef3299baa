#include "audio/resampler.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <numeric>

#include "core/vector_clones.h"

namespace sequelo::audio {
namespace {

constexpr double kPassFraction = 0.475;  // of the lower rate, passed flat
constexpr double kRejectionDb = 60;
constexpr double kMaxRateHz = 1e7;
// Ratios with more phases than kMaxPhases (outputs come in blocks of eight
// periods, which would hold a live stream back too long) or whose phases need
// more taps than kMaxPhaseTaps (4 MiB) fall back to a table of kRows phases,
// the nearest phase per output: at most 1/2048 of an input sample off, an
// error 58 dB down at the band edge. Every usual rate has at most 147 phases.
constexpr std::int64_t kMaxPhases = 256;
constexpr std::size_t kMaxPhaseTaps = std::size_t{1} << 20;
constexpr int kRows = 1024;
constexpr std::int64_t kCompactInputs = 4096;
constexpr std::int64_t kRounds = 8;  // periods of phases made at once, one per lane

// Eight floats as one vector (GCC and Clang vector extension): one AVX
// register, or two SSE registers in the plain build. Only used inline here, so
// the note that passing it by value differs between the two is moot.
#pragma GCC diagnostic ignored "-Wpsabi"
constexpr int kLanes = 8;
using Lanes = float __attribute__((vector_size(kLanes * sizeof(float))));

[[gnu::always_inline]] inline Lanes Load(const float* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline float Sum(Lanes v) {
  float s[kLanes];
  std::memcpy(s, &v, sizeof s);
  return ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7]));
}

// Adjacent pairs of a and b added, within each half: a0+a1, a2+a3, b0+b1,
// b2+b3, then the same for the upper halves.
[[gnu::always_inline]] inline Lanes PairSums(Lanes a, Lanes b) {
  return __builtin_shufflevector(a, b, 0, 2, 8, 10, 4, 6, 12, 14) +
         __builtin_shufflevector(a, b, 1, 3, 9, 11, 5, 7, 13, 15);
}

// The sums of eight vectors at once, lane i holding the sum of the i-th.
[[gnu::always_inline]] inline Lanes Sum8(const Lanes (&a)[8]) {
  const Lanes low = PairSums(PairSums(a[0], a[1]), PairSums(a[2], a[3]));
  const Lanes high = PairSums(PairSums(a[4], a[5]), PairSums(a[6], a[7]));
  return __builtin_shufflevector(low, high, 0, 1, 2, 3, 8, 9, 10, 11) +
         __builtin_shufflevector(low, high, 4, 5, 6, 7, 12, 13, 14, 15);
}

double BesselI0(double x) {
  double sum = 1;
  double term = 1;
  for (int k = 1; k < 100 && term > 1e-12 * sum; ++k) {
    const double h = x / (2.0 * k);
    term *= h * h;
    sum += term;
  }
  return sum;
}

bool WholeRate(double hz) {
  return hz >= 1 && hz <= kMaxRateHz && hz == std::floor(hz);
}

}  // namespace

// One polyphase FIR stage: `up` output samples for every `down` input samples,
// a Kaiser-windowed sinc cut between `passHz` and `stopHz` at the input rate.
// Each output is the dot product of `taps_` inputs around its position with the
// filter's phase for the position's fraction; every phase is scaled to a gain
// of exactly one at 0 Hz.
//
// The phases repeat every `up` outputs (22050 -> 7350 -> 6000 Hz: every output
// of the 1:3 step, every 40th of the 40:49 step), so outputs are made in
// blocks of kRounds such periods: the outputs of a block that share a phase
// share each load of its taps. Ratios with too many phases to keep take the
// nearest of kRows phases instead, one output at a time.
class FirStage {
 public:
  FirStage(std::int64_t up, std::int64_t down, double inRateHz, double passHz, double stopHz)
      : up_(up), down_(down) {
    const double width = 2 * std::numbers::pi * (stopHz - passHz) / inRateHz;
    const int taps = static_cast<int>(std::ceil((kRejectionDb - 8) / (2.285 * width))) + 1;
    taps_ = (taps + kLanes - 1) / kLanes * kLanes;
    half_ = taps_ / 2;
    cutoff_ = (passHz + stopHz) / 2 / inRateHz;
    beta_ = 0.1102 * (kRejectionDb - 8.7);

    periodic_ = up_ <= kMaxPhases &&
                static_cast<std::size_t>(up_) * static_cast<std::size_t>(taps_) <= kMaxPhaseTaps;
    if (periodic_) {
      // Taps by output within the period, and where each output lies.
      tapsByOutput_.resize(static_cast<std::size_t>(up_ * taps_));
      offset_.resize(static_cast<std::size_t>(up_));
      for (std::int64_t k = 0; k < up_; ++k) {
        Phase(static_cast<double>(k * down_ % up_) / static_cast<double>(up_),
              &tapsByOutput_[static_cast<std::size_t>(k * taps_)]);
        offset_[static_cast<std::size_t>(k)] = k * down_ / up_;
      }
      block_.resize(static_cast<std::size_t>(kRounds * up_));
      // Inputs a block reaches, from its first output's window start.
      reach_ = (kRounds - 1) * down_ + offset_.back() + taps_;
    } else {
      rows_.resize(static_cast<std::size_t>(kRows + 1) * taps_);
      for (int r = 0; r <= kRows; ++r) {
        Phase(static_cast<double>(r) / kRows, &rows_[static_cast<std::size_t>(r) * taps_]);
      }
      reach_ = taps_;
    }
    // The first outputs see silence before the input.
    bufferStart_ = -(half_ - 1);
    buffer_.assign(static_cast<std::size_t>(half_ - 1), 0.0f);
  }

  void Push(const float* in, std::size_t count, std::vector<float>& out) {
    buffer_.insert(buffer_.end(), in, in + count);
    inputs_ += count;
    Produce(out, UINT64_MAX);
  }

  void Flush(std::vector<float>& out) {
    const std::uint64_t total =
        (inputs_ * static_cast<std::uint64_t>(up_) + static_cast<std::uint64_t>(down_) - 1) /
        static_cast<std::uint64_t>(down_);
    while (produced_ < total) {
      buffer_.insert(buffer_.end(), static_cast<std::size_t>(reach_ + down_), 0.0f);
      Produce(out, total);
    }
  }

 private:
  // The filter's taps for an output `frac` of an input sample after the input
  // its window is centred on: tap i weighs input (start + i).
  void Phase(double frac, float* taps) const {
    std::vector<double> h(static_cast<std::size_t>(taps_));
    double sum = 0;
    for (int i = 0; i < taps_; ++i) {
      const double t = frac + (half_ - 1) - i;  // from the input to the output, in samples
      const double x = t / half_;
      const double window =
          std::abs(x) >= 1 ? 0 : BesselI0(beta_ * std::sqrt(1 - x * x)) / BesselI0(beta_);
      const double arg = std::numbers::pi * 2 * cutoff_ * t;
      h[static_cast<std::size_t>(i)] = window * (t == 0 ? 1 : std::sin(arg) / arg);
      sum += h[static_cast<std::size_t>(i)];
    }
    for (int i = 0; i < taps_; ++i) {
      taps[i] = static_cast<float>(h[static_cast<std::size_t>(i)] / sum);
    }
  }

  SEQUELO_VECTOR_CLONES void Produce(std::vector<float>& out, std::uint64_t limit) {
    const auto end = bufferStart_ + static_cast<std::int64_t>(buffer_.size());
    while (produced_ < limit && next_ - (half_ - 1) + reach_ <= end) {
      const float* x = &buffer_[static_cast<std::size_t>(next_ - (half_ - 1) - bufferStart_)];
      if (periodic_) {
        // kRounds periods at once: output k of every period has the same
        // taps, so each load of them serves all eight.
        static_assert(kRounds == kLanes, "one period per lane of the sums");
        const auto stride = static_cast<std::size_t>(down_);
        const auto period = static_cast<std::size_t>(up_);
        for (std::size_t k = 0; k < period; ++k) {
          const float* c = &tapsByOutput_[k * static_cast<std::size_t>(taps_)];
          const float* xk = x + offset_[k];
          Lanes a[kLanes] = {};
          for (int i = 0; i < taps_; i += kLanes) {
            const Lanes t = Load(c + i);
            for (std::size_t q = 0; q < static_cast<std::size_t>(kLanes); ++q) {
              a[q] += t * Load(xk + q * stride + static_cast<std::size_t>(i));
            }
          }
          const Lanes sums = Sum8(a);
          for (std::size_t q = 0; q < static_cast<std::size_t>(kLanes); ++q) {
            block_[q * period + k] = sums[q];
          }
        }
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(block_.size(), limit - produced_));
        out.insert(out.end(), block_.begin(), block_.begin() + static_cast<std::ptrdiff_t>(n));
        produced_ += n;
        next_ += kRounds * down_;
      } else {
        const auto row = static_cast<std::size_t>((phase_ * kRows + up_ / 2) / up_);
        const float* c = &rows_[row * static_cast<std::size_t>(taps_)];
        Lanes a0{}, a1{};
        for (int i = 0; i < taps_; i += 2 * kLanes) {
          a0 += Load(c + i) * Load(x + i);
          if (i + kLanes < taps_) {
            a1 += Load(c + i + kLanes) * Load(x + i + kLanes);
          }
        }
        out.push_back(Sum(a0 + a1));
        ++produced_;
        phase_ += down_;
        next_ += phase_ / up_;
        phase_ %= up_;
      }
    }
    // Drop the inputs no later output reaches, once there are enough of them
    // for the move to be worth it.
    const std::int64_t drop = std::min<std::int64_t>(next_ - (half_ - 1) - bufferStart_,
                                                     static_cast<std::int64_t>(buffer_.size()));
    if (drop >= kCompactInputs) {
      buffer_.erase(buffer_.begin(), buffer_.begin() + drop);
      bufferStart_ += drop;
    }
  }

  std::int64_t up_;
  std::int64_t down_;
  int taps_ = 0;
  int half_ = 0;
  double cutoff_ = 0;  // cycles per input sample
  double beta_ = 0;
  std::int64_t reach_ = 0;  // inputs one step of Produce needs from its window start

  bool periodic_ = false;
  std::vector<float> tapsByOutput_;   // up x taps
  std::vector<std::int64_t> offset_;  // input (floor) of each output of a period
  std::vector<float> block_;          // kRounds periods of output

  std::vector<float> rows_;  // (kRows + 1) phases x taps
  std::int64_t phase_ = 0;   // next output's position past its input, in 1/up_

  std::vector<float> buffer_;
  std::int64_t bufferStart_ = 0;  // stream index of buffer_[0]
  std::int64_t next_ = 0;         // stream index (floor) of the next output's position
  std::uint64_t inputs_ = 0;
  std::uint64_t produced_ = 0;
};

Resampler::Resampler(double inRateHz, double outRateHz) {
  if (!WholeRate(inRateHz) || !WholeRate(outRateHz)) {
    error_ = "sample rates must be whole numbers of hertz from 1 to 10000000";
    return;
  }
  const auto in = static_cast<std::int64_t>(inRateHz);
  const auto out = static_cast<std::int64_t>(outRateHz);
  const double low = static_cast<double>(std::min(in, out));
  const double pass = kPassFraction * low;
  // A step down by an integer first where it leaves at least 1.2 x the output
  // rate: its aliases reach the band only from (that rate - pass) up, so a
  // short filter does.
  const std::int64_t factor = std::max<std::int64_t>(1, in * 5 / (out * 6));
  const double between = inRateHz / static_cast<double>(factor);
  if (factor > 1) {
    decimate_ = std::make_unique<FirStage>(1, factor, inRateHz, pass, between - pass);
  }
  const std::int64_t common = std::gcd(out * factor, in);
  convert_ =
      std::make_unique<FirStage>(out * factor / common, in / common, between, pass, low - pass);
}

Resampler::~Resampler() = default;

bool Resampler::Open() {
  if (error_.empty() && flushed_) {
    error_ = "input after the end of the stream";
  }
  return error_.empty();
}

bool Resampler::Process(const float* in, std::size_t count, std::vector<float>& out) {
  if (!Open()) {
    return false;
  }
  if (decimate_) {
    between_.clear();
    decimate_->Push(in, count, between_);
    convert_->Push(between_.data(), between_.size(), out);
  } else {
    convert_->Push(in, count, out);
  }
  return true;
}

bool Resampler::Flush(std::vector<float>& out) {
  if (!Open()) {
    return false;
  }
  flushed_ = true;
  if (decimate_) {
    between_.clear();
    decimate_->Flush(between_);
    convert_->Push(between_.data(), between_.size(), out);
  }
  convert_->Flush(out);
  return true;
}

std::vector<double> ResampleWhole(const std::vector<double>& in, double inRateHz,
                                  double outRateHz) {
  Resampler resampler(inRateHz, outRateHz);
  const std::vector<float> samples(in.begin(), in.end());
  std::vector<float> out;
  if (!resampler.Process(samples.data(), samples.size(), out) || !resampler.Flush(out)) {
    return {};
  }
  return {out.begin(), out.end()};
}

}  // namespace sequelo::audio
