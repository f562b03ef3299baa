// A frame source over samples in memory, with an optional read failure.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "audio/frame_source.h"

namespace sequelo::testsupport {

class MemoryFrameSource final : public audio::FrameSource {
 public:
  MemoryFrameSource(std::vector<double> interleaved, int channels, double rateHz)
      : samples_(std::move(interleaved)), channels_(channels), rateHz_(rateHz) {}

  // Fail with `error` once this many frames have been read.
  void FailAfter(std::size_t frames, std::string error) {
    failAfter_ = frames;
    failError_ = std::move(error);
  }

  int Channels() const override { return channels_; }
  double SampleRateHz() const override { return rateHz_; }
  long Read(float* out, long frames) override {
    const std::size_t total = samples_.size() / static_cast<std::size_t>(channels_);
    if (pos_ >= failAfter_) {
      return -1;
    }
    std::size_t n = std::min(static_cast<std::size_t>(frames), total - pos_);
    n = std::min(n, failAfter_ - pos_);
    const auto ch = static_cast<std::size_t>(channels_);
    const auto first = samples_.begin() + static_cast<std::ptrdiff_t>(pos_ * ch);
    std::transform(first, first + static_cast<std::ptrdiff_t>(n * ch), out,
                   [](double s) { return static_cast<float>(s); });
    pos_ += n;
    return static_cast<long>(n);
  }
  std::string Error() const override { return failError_; }

 private:
  std::vector<double> samples_;
  int channels_;
  double rateHz_;
  std::size_t pos_ = 0;
  std::size_t failAfter_ = static_cast<std::size_t>(-1);
  std::string failError_;
};

}  // namespace sequelo::testsupport
