#include "audio/capture_buffer_feed.h"

#include <cmath>

namespace sequelo::audio {
namespace {
constexpr long kReadFrames = 4096;
}  // namespace

std::int16_t ToPcm16(double sample) {
  const double scaled = std::nearbyint(sample * 32768.0);
  if (scaled >= 32767.0) {
    return 32767;
  }
  if (scaled <= -32768.0) {
    return -32768;
  }
  return static_cast<std::int16_t>(scaled);
}

CaptureBufferFeed::CaptureBufferFeed(FrameSource& source, int channel)
    : source_(source), channel_(channel) {
  if (channel_ < 0 || channel_ >= source_.Channels()) {
    setupError_ = "has no " + std::string(channel_ == 1 ? "right" : "requested") + " channel (" +
                  std::to_string(source_.Channels()) + " channel" +
                  (source_.Channels() == 1 ? "" : "s") + ")";
    return;
  }
  if (source_.SampleRateHz() != static_cast<double>(core::kCaptureRateHz)) {
    resampler_ = std::make_unique<Resampler>(source_.SampleRateHz(),
                                             static_cast<double>(core::kCaptureRateHz));
    if (!resampler_->Ok()) {
      setupError_ = "cannot resample: " + resampler_->Error();
    }
  }
  readBlock_.resize(static_cast<std::size_t>(kReadFrames * source_.Channels()));
}

bool CaptureBufferFeed::Refill() {
  // Drop what was consumed, keep the rest at the front.
  first_.erase(first_.begin(), first_.begin() + static_cast<std::ptrdiff_t>(readPos_));
  if (!second_.empty()) {
    second_.erase(second_.begin(), second_.begin() + static_cast<std::ptrdiff_t>(readPos_));
  }
  readPos_ = 0;
  if (sourceDone_) {
    return false;
  }
  const long got = source_.Read(readBlock_.data(), kReadFrames);
  if (got < 0) {
    error_ = source_.Error();
    sourceDone_ = true;
    return false;
  }
  const auto channels = static_cast<std::size_t>(source_.Channels());
  const auto frames = static_cast<std::size_t>(got);
  if (got == 0) {
    sourceDone_ = true;
    if (resampler_ && !resampler_->Flush(first_)) {
      error_ = resampler_->Error();
    }
    return true;
  }
  if (!resampler_) {
    // At the capture rate: chosen channel first, another channel (if any)
    // second, as they are.
    const std::size_t other = channels > 1 ? (channel_ == 0 ? 1U : 0U) : channels;
    for (std::size_t f = 0; f < frames; ++f) {
      first_.push_back(readBlock_[f * channels + static_cast<std::size_t>(channel_)]);
      second_.push_back(other < channels ? readBlock_[f * channels + other] : 0.0);
    }
    return true;
  }
  mono_.resize(frames);
  for (std::size_t f = 0; f < frames; ++f) {
    mono_[f] = readBlock_[f * channels + static_cast<std::size_t>(channel_)];
  }
  if (!resampler_->Process(mono_.data(), frames, first_)) {
    error_ = resampler_->Error();
    sourceDone_ = true;
    return false;
  }
  return true;
}

bool CaptureBufferFeed::Next(CaptureFrames& buffer) {
  if (!setupError_.empty()) {
    return false;
  }
  while (first_.size() - readPos_ < core::kBufferFrames && !sourceDone_) {
    if (!Refill()) {
      break;
    }
  }
  const std::size_t available = first_.size() - readPos_;
  if (available == 0 || !error_.empty()) {
    return false;
  }
  const std::size_t take = available < core::kBufferFrames ? available : core::kBufferFrames;
  const bool haveSecond = second_.size() >= readPos_ + take;
  for (std::size_t f = 0; f < core::kBufferFrames; ++f) {
    const bool inside = f < take;
    buffer[f * 2] = inside ? ToPcm16(first_[readPos_ + f]) : 0;
    buffer[f * 2 + 1] = inside && haveSecond ? ToPcm16(second_[readPos_ + f]) : 0;
  }
  readPos_ += take;
  return true;
}

}  // namespace sequelo::audio
