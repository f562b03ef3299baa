#include "audio/capture_buffer_feed.h"

#include <algorithm>
#include <bit>
#include <cstring>

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

// Capture frames from one or two channels (no second: silence): four frames
// at a time as SSE vectors, whose comparisons need no branches, each frame's two
// samples packed into one 32-bit word; then the rest one by one. The same
// steps as RoundToPcm16, so the same results.
void ToFrames(const float* first, const float* second, std::size_t count, std::int16_t* out) {
  using Floats = float __attribute__((vector_size(4 * sizeof(float))));
  using Words = std::uint32_t __attribute__((vector_size(4 * sizeof(std::uint32_t))));
  const auto toWords = [](const float* in) {
    constexpr float kRound = 12582912.0f;  // 1.5 x 2^23
    Floats v;
    std::memcpy(&v, in, sizeof v);
    v *= 32768.0f;
    const Floats zero{};
    v = v == v ? v : zero;  // NaN: silence
    v = v < -32768.0f ? zero - 32768.0f : v;
    v = v > 32767.0f ? zero + 32767.0f : v;
    using Ints = std::int32_t __attribute__((vector_size(4 * sizeof(std::int32_t))));
    return reinterpret_cast<Words>(__builtin_convertvector((v + kRound) - kRound, Ints)) & 0xFFFFu;
  };
  std::size_t f = 0;
  for (; f + 4 <= count; f += 4) {
    Words frames = toWords(first + f);
    if (second != nullptr) {
      frames |= toWords(second + f) << 16;
    }
    static_assert(std::endian::native == std::endian::little, "first sample in the low half");
    std::memcpy(out + f * 2, &frames, sizeof frames);
  }
  for (; f < count; ++f) {
    out[f * 2] = RoundToPcm16(first[f]);
    out[f * 2 + 1] = second != nullptr ? RoundToPcm16(second[f]) : 0;
  }
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
    const float* in = readBlock_.data();
    for (std::size_t f = 0; f < frames; ++f) {
      first_[old + f] = in[f * channels + static_cast<std::size_t>(channel_)];
    }
    if (other < channels) {
      for (std::size_t f = 0; f < frames; ++f) {
        second_[old + f] = in[f * channels + other];
      }
    }
    return true;
  }
  // A mono source goes to the resampler as it was read.
  const float* mono = readBlock_.data();
  if (channels > 1) {
    mono_.resize(frames);
    for (std::size_t f = 0; f < frames; ++f) {
      mono_[f] = readBlock_[f * channels + static_cast<std::size_t>(channel_)];
    }
    mono = mono_.data();
  }
  if (!resampler_->Process(mono, frames, first_)) {
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
  std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(take * 2), buffer.end(), 0);  // the tail
  ToFrames(first_.data() + readPos_, haveSecond ? second_.data() + readPos_ : nullptr, take,
           buffer.data());
  readPos_ += take;
  return true;
}

}  // namespace sequelo::audio
