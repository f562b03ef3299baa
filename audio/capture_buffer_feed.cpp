#include "audio/capture_buffer_feed.h"

#include <algorithm>
#include <cmath>

namespace sequelo::audio {
namespace {
constexpr long kReadFrames = 4096;

// Clip, then round to nearest (ties to even, as nearbyint in the default
// rounding mode): adding and taking away 1.5 x 2^(mantissa bits) leaves the
// rounded value. No branches and no library call, so the loops over whole
// buffers vectorise. Floats give the same results as doubles here: scaling
// by 32768 is exact in both.
template <typename Real>
std::int16_t RoundToPcm16(Real sample) {
  constexpr Real kRound = sizeof(Real) == sizeof(float) ? Real(12582912.0)           // 1.5 x 2^23
                                                        : Real(6755399441055744.0);  // 1.5 x 2^52
  Real scaled = sample * Real(32768);
  scaled = scaled == scaled ? scaled : Real(0);  // NaN: silence
  scaled = std::max(Real(-32768), std::min(scaled, Real(32767)));
  return static_cast<std::int16_t>(static_cast<int>((scaled + kRound) - kRound));
}
}  // namespace

std::int16_t ToPcm16(double sample) {
  return RoundToPcm16(sample);
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
    const std::size_t old = first_.size();
    first_.resize(old + frames);
    second_.resize(old + frames, 0.0f);
    const double* in = readBlock_.data();
    for (std::size_t f = 0; f < frames; ++f) {
      first_[old + f] = static_cast<float>(in[f * channels + static_cast<std::size_t>(channel_)]);
    }
    if (other < channels) {
      for (std::size_t f = 0; f < frames; ++f) {
        second_[old + f] = static_cast<float>(in[f * channels + other]);
      }
    }
    return true;
  }
  mono_.resize(frames);
  for (std::size_t f = 0; f < frames; ++f) {
    mono_[f] = static_cast<float>(readBlock_[f * channels + static_cast<std::size_t>(channel_)]);
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
  buffer.fill(0);
  const float* first = first_.data() + readPos_;
  for (std::size_t f = 0; f < take; ++f) {
    buffer[f * 2] = RoundToPcm16(first[f]);
  }
  if (haveSecond) {
    const float* second = second_.data() + readPos_;
    for (std::size_t f = 0; f < take; ++f) {
      buffer[f * 2 + 1] = RoundToPcm16(second[f]);
    }
  }
  readPos_ += take;
  return true;
}

}  // namespace sequelo::audio
