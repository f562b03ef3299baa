// The play position of an output stream, from what was written and what the
// device says is still waiting: never ahead of the writes, never backwards
// (the device's figure is an estimate), and complete once drained.
// Written by the playing thread, read by any.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>

namespace sequelo::audio {

class PlayPosition {
 public:
  void AddWritten(std::uint64_t frames) { written_.fetch_add(frames); }
  std::uint64_t Written() const { return written_.load(); }

  // Everything written up to `writtenBefore` has played (after a drain).
  void MarkDrained(std::uint64_t writtenBefore) { AtLeast(drained_, writtenBefore); }

  // Frames played, given the frames the device still holds (none known:
  // everything written has played, as after an underrun).
  std::uint64_t Played(std::optional<std::uint64_t> pendingFrames) {
    const std::uint64_t written = written_.load();
    std::uint64_t played = written;
    if (pendingFrames) {
      played = written > *pendingFrames ? written - *pendingFrames : 0;
    }
    played = std::max(played, drained_.load());
    AtLeast(lastPlayed_, std::min(played, written));
    return lastPlayed_.load();
  }

 private:
  static void AtLeast(std::atomic<std::uint64_t>& value, std::uint64_t candidate) {
    std::uint64_t current = value.load();
    while (candidate > current && !value.compare_exchange_weak(current, candidate)) {
    }
  }

  std::atomic<std::uint64_t> written_{0};
  std::atomic<std::uint64_t> drained_{0};
  std::atomic<std::uint64_t> lastPlayed_{0};
};

}  // namespace sequelo::audio
