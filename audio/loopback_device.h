// The virtual "Loopback" device, always listed last among outputs and
// inputs: what is played on the Loopback output arrives, resampled to
// 6000 Hz on both channels, at the Loopback input. It makes a station
// testable and demonstrable without a sound card: a call it sends is decoded
// by its own capture.
//
// Threads: one thread plays, another captures; the bus between them is
// guarded by a mutex (neither side runs inside a system audio callback).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>

#include "audio/audio_device.h"

namespace sequelo::audio {

inline constexpr int kLoopbackRateHz = 6000;

// Linear-interpolation resampler of a mono stream to 6000 Hz; keeps its
// position across blocks, so a stream cut into blocks resamples the same.
class LinearResampler {
 public:
  explicit LinearResampler(int inRateHz);
  // Appends the 6000 Hz samples that `in` completes.
  void Push(std::span<const std::int16_t> in, std::deque<std::int16_t>& out);

 private:
  double step_;           // input samples per output sample
  double nextPos_ = 0.0;  // absolute input position of the next output sample
  std::uint64_t consumed_ = 0;
  double previous_ = 0.0;
};

// The shared path from the Loopback output to the Loopback input.
class LoopbackBus {
 public:
  // At most this much audio waits unread (more is dropped, oldest first):
  // with nobody capturing, nothing piles up.
  static constexpr std::size_t kMaxQueued = kLoopbackRateHz * 10;

  void Push(std::span<const std::int16_t> mono6000);
  // Takes up to `frames` samples; fewer when fewer are queued.
  std::size_t Take(std::span<std::int16_t> mono6000);
  std::size_t Queued() const;

 private:
  mutable std::mutex mutex_;
  std::deque<std::int16_t> queue_;
};

class LoopbackDevice {
 public:
  static AudioDeviceInfo Info() { return {std::string(kLoopbackName), "loopback", "loopback"}; }
  // Playback at `rateHz` mono or multi-channel (the first channel is carried).
  std::unique_ptr<PlaybackStream> OpenPlayback(int rateHz, int channels);
  // Capture at 6000 Hz; every channel carries the same audio. Paced by the
  // machine's clock; silence when nothing is played.
  std::unique_ptr<CaptureStream> OpenCapture(int rateHz, int channels, std::string& error);
  LoopbackBus& Bus() { return bus_; }

 private:
  LoopbackBus bus_;
};

}  // namespace sequelo::audio
