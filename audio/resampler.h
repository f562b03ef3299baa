// Sample-rate conversion of one channel of normalised doubles (libsoxr, high
// quality). Output is aligned with the input: soxr removes its filter delay.
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
  bool Process(const double* in, std::size_t count, std::vector<double>& out);
  bool Flush(std::vector<double>& out) { return Process(nullptr, 0, out); }

 private:
  soxr* soxr_ = nullptr;
  double ratio_;
  std::string error_;
};

}  // namespace sequelo::audio
