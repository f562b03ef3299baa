#include "audio/loopback_device.h"

#include <algorithm>
#include <cmath>
#include <thread>
#include <vector>

#include "audio/paced_devices.h"

namespace sequelo::audio {
namespace {

class LoopbackCapture final : public CaptureStream {
 public:
  LoopbackCapture(LoopbackBus& bus, int channels)
      : bus_(bus), channels_(static_cast<std::size_t>(channels)) {}

  std::size_t Read(std::span<std::int16_t> samples) override {
    const std::size_t frames = samples.size() / channels_;
    if (frames == 0) {
      return 0;
    }
    using Clock = std::chrono::steady_clock;
    if (delivered_ == 0) {
      start_ = Clock::now();
    }
    delivered_ += frames;
    // A real input delivers its audio when it has been recorded.
    std::this_thread::sleep_until(
        start_ + std::chrono::microseconds(delivered_ * 1000000U / kLoopbackRateHz));
    mono_.assign(frames, 0);
    bus_.Take(mono_);  // what is missing stays silence
    for (std::size_t f = 0; f < frames; ++f) {
      for (std::size_t c = 0; c < channels_; ++c) {
        samples[f * channels_ + c] = mono_[f];
      }
    }
    return frames * channels_;
  }

 private:
  LoopbackBus& bus_;
  std::size_t channels_;
  std::uint64_t delivered_ = 0;
  std::chrono::steady_clock::time_point start_{};
  std::vector<std::int16_t> mono_;
};

}  // namespace

LinearResampler::LinearResampler(int inRateHz)
    : step_(static_cast<double>(inRateHz) / kLoopbackRateHz) {}

void LinearResampler::Push(std::span<const std::int16_t> in, std::deque<std::int16_t>& out) {
  for (std::size_t j = 0; j < in.size(); ++j) {
    const double current = in[j];
    const auto index = static_cast<double>(consumed_ + j);
    // Output samples whose position lies between the previous input sample
    // and this one.
    while (nextPos_ < index) {
      const double frac = nextPos_ - (index - 1.0);
      out.push_back(
          static_cast<std::int16_t>(std::lround(previous_ + (current - previous_) * frac)));
      nextPos_ += step_;
    }
    previous_ = current;
  }
  consumed_ += in.size();
}

void LoopbackBus::Push(std::span<const std::int16_t> mono6000) {
  std::lock_guard lock(mutex_);
  queue_.insert(queue_.end(), mono6000.begin(), mono6000.end());
  if (queue_.size() > kMaxQueued) {
    queue_.erase(queue_.begin(),
                 queue_.begin() + static_cast<std::ptrdiff_t>(queue_.size() - kMaxQueued));
  }
}

std::size_t LoopbackBus::Take(std::span<std::int16_t> mono6000) {
  std::lock_guard lock(mutex_);
  const std::size_t n = std::min(mono6000.size(), queue_.size());
  std::copy_n(queue_.begin(), n, mono6000.begin());
  queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

std::size_t LoopbackBus::Queued() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

std::unique_ptr<PlaybackStream> LoopbackDevice::OpenPlayback(int rateHz, int channels) {
  auto resampler = std::make_shared<LinearResampler>(rateHz);
  const auto stride = static_cast<std::size_t>(channels < 1 ? 1 : channels);
  return std::make_unique<PacedPlayback>(
      rateHz, channels, 40, [this, resampler, stride](std::span<const std::int16_t> samples) {
        std::vector<std::int16_t> first;
        first.reserve(samples.size() / stride);
        for (std::size_t i = 0; i < samples.size(); i += stride) {
          first.push_back(samples[i]);
        }
        std::deque<std::int16_t> out;
        resampler->Push(first, out);
        const std::vector<std::int16_t> block(out.begin(), out.end());
        bus_.Push(block);
      });
}

std::unique_ptr<CaptureStream> LoopbackDevice::OpenCapture(int rateHz, int channels,
                                                           std::string& error) {
  if (rateHz != kLoopbackRateHz || channels < 1) {
    error = "the Loopback input delivers 6000 Hz only";
    return nullptr;
  }
  return std::make_unique<LoopbackCapture>(bus_, channels);
}

}  // namespace sequelo::audio
