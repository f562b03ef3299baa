#include "audio/paced_devices.h"

#include <thread>

namespace sequelo::audio {

PacedPlayback::PacedPlayback(int rateHz, int channels, std::uint32_t bufferMs, Deliver deliver)
    : rateHz_(rateHz),
      channels_(channels < 1 ? 1 : channels),
      bufferFrames_(static_cast<std::uint64_t>(rateHz) * bufferMs / 1000),
      deliver_(std::move(deliver)) {}

std::uint64_t PacedPlayback::PlayedAt(Clock::time_point now) const {
  const auto elapsedUs =
      std::chrono::duration_cast<std::chrono::microseconds>(now - start_).count();
  const std::uint64_t played = base_ + static_cast<std::uint64_t>(elapsedUs < 0 ? 0 : elapsedUs) *
                                           static_cast<std::uint64_t>(rateHz_) / 1000000U;
  return played < written_ ? played : written_;
}

PacedPlayback::Clock::time_point PacedPlayback::TimeOfFrame(std::uint64_t frame) const {
  const std::uint64_t frames = frame > base_ ? frame - base_ : 0;
  return start_ +
         std::chrono::microseconds(frames * 1000000U / static_cast<std::uint64_t>(rateHz_) + 1);
}

bool PacedPlayback::Write(std::span<const std::int16_t> samples) {
  const Clock::time_point now = Clock::now();
  // Idle (all played): the device clock starts again from now, so a tone
  // after a pause is played whole.
  if (PlayedAt(now) >= written_) {
    base_ = written_;
    start_ = now;
  }
  if (deliver_) {
    deliver_(samples);
  }
  written_ += samples.size() / static_cast<std::size_t>(channels_);
  // Block while more than the buffer is queued: writing goes at the pace of
  // playing.
  if (written_ > bufferFrames_) {
    std::this_thread::sleep_until(TimeOfFrame(written_ - bufferFrames_));
  }
  return true;
}

bool PacedPlayback::Drain() {
  std::this_thread::sleep_until(TimeOfFrame(written_));
  return true;
}

std::uint64_t PacedPlayback::PlayedFrames() {
  return PlayedAt(Clock::now());
}

std::unique_ptr<PlaybackStream> MakeNullPlayback(int rateHz) {
  return std::make_unique<PacedPlayback>(rateHz, 1, 40, nullptr);
}

std::unique_ptr<PlaybackStream> NullAudioBackend::OpenPlayback(const AudioDeviceInfo&, int rateHz,
                                                               int channels, std::string&) {
  if (instant_) {
    return std::make_unique<InstantPlayback>();
  }
  return std::make_unique<PacedPlayback>(rateHz, channels, 40, nullptr);
}

}  // namespace sequelo::audio
