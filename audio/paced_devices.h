// Playback streams that the program paces itself, for devices without a
// sound card behind them: the null device (plays into nothing at the right
// pace), the instant device (no pace: for writing sound files as fast as the
// machine can), and the playing side of the Loopback device.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "audio/audio_device.h"

namespace sequelo::audio {

// A stream whose clock is the machine's steady clock: it "plays" `rateHz`
// frames per second from the moment it is fed after being idle, keeps about
// `bufferMs` queued ahead, and hands every written block to `deliver` (if
// set) as it is written.
class PacedPlayback final : public PlaybackStream {
 public:
  using Deliver = std::function<void(std::span<const std::int16_t>)>;
  PacedPlayback(int rateHz, int channels, std::uint32_t bufferMs, Deliver deliver);

  bool Write(std::span<const std::int16_t> samples) override;
  bool Drain() override;
  std::uint64_t PlayedFrames() override;
  std::uint64_t WrittenFrames() const override { return written_; }

 private:
  using Clock = std::chrono::steady_clock;
  std::uint64_t PlayedAt(Clock::time_point now) const;
  Clock::time_point TimeOfFrame(std::uint64_t frame) const;

  int rateHz_;
  int channels_;
  std::uint64_t bufferFrames_;
  Deliver deliver_;
  std::uint64_t written_ = 0;
  std::uint64_t base_ = 0;     // frames played when the clock last (re)started
  Clock::time_point start_{};  // when it did
};

// A stream that plays everything at once (its clock runs with the writes).
class InstantPlayback final : public PlaybackStream {
 public:
  bool Write(std::span<const std::int16_t> samples) override {
    written_ += samples.size();
    return true;
  }
  bool Drain() override { return true; }
  std::uint64_t PlayedFrames() override { return written_; }
  std::uint64_t WrittenFrames() const override { return written_; }

 private:
  std::uint64_t written_ = 0;
};

// Mono playback into nothing, at the real pace.
std::unique_ptr<PlaybackStream> MakeNullPlayback(int rateHz);

// An audio system with one output, "No sound output", that plays into
// nothing: instantly (for writing sound files) or at the real pace.
class NullAudioBackend final : public AudioBackend {
 public:
  explicit NullAudioBackend(bool instant) : instant_(instant) {}
  std::vector<AudioDeviceInfo> OutputDevices() override { return {Device()}; }
  std::vector<AudioDeviceInfo> InputDevices() override { return {}; }
  bool DefaultOutput(AudioDeviceInfo& device) override {
    device = Device();
    return true;
  }
  std::unique_ptr<PlaybackStream> OpenPlayback(const AudioDeviceInfo& device, int rateHz,
                                               int channels, std::string& error) override;
  std::unique_ptr<CaptureStream> OpenCapture(const AudioDeviceInfo&, int, int,
                                             std::string& error) override {
    error = "no capture device";
    return nullptr;
  }

 private:
  static AudioDeviceInfo Device() { return {"No sound output", "null", "null"}; }
  bool instant_;
};

}  // namespace sequelo::audio
