// Sample-rate conversion of one channel of normalised floats (libsoxr, high
// quality, which works in single precision: float in and out spares two
// conversions per sample). Output is aligned with the input: soxr removes its
// filter delay.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct soxr;

namespace sequelo::audio {

class Resampler {
 public:
  Resampler(double inRateHz, double outRateHz);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  bool Ok() const { return soxr_ != nullptr; }
  const std::string& Error() const { return error_; }

  // Converts `count` input samples and appends the output to `out`.
  // `count` 0 with `in` null flushes the tail at the end of the input.
  bool Process(const float* in, std::size_t count, std::vector<float>& out);
  bool Flush(std::vector<float>& out) { return Process(nullptr, 0, out); }

 private:
  soxr* soxr_ = nullptr;
  double ratio_;
  std::vector<float> scratch_;  // soxr's output before it is appended
  std::string error_;
};

// A whole signal of normalised doubles at once; empty if soxr refuses the rates.
std::vector<double> ResampleWhole(const std::vector<double>& in, double inRateHz, double outRateHz);

}  // namespace sequelo::audio
