// Millisecond tick counter: the one clock the decoder and the transmit timing
// read. Ticks are unsigned 32-bit and wrap after 2^32 ms; an elapsed time is
// the difference taken modulo 2^32, which stays right across the wrap.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace sequelo::core {

class TickClock {
 public:
  virtual ~TickClock() = default;
  // Current tick in ms. Any thread.
  virtual std::uint32_t NowMs() = 0;
};

// Milliseconds from `since` to `now`, correct across the 32-bit wrap.
constexpr std::uint32_t ElapsedMs(std::uint32_t since, std::uint32_t now) {
  return static_cast<std::uint32_t>(now - since);
}

// The real clock: a monotonic clock cut to unsigned 32-bit milliseconds.
class SteadyTickClock final : public TickClock {
 public:
  std::uint32_t NowMs() override {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms.count()));
  }
};

// A clock that shows whatever tick it was set to: the audio clock of a file
// being decoded, and the clock of tests. Set from one thread, read by any.
class ManualTickClock final : public TickClock {
 public:
  explicit ManualTickClock(std::uint32_t startMs = 0) : nowMs_(startMs) {}
  std::uint32_t NowMs() override { return nowMs_.load(std::memory_order_relaxed); }
  void Set(std::uint32_t ms) { nowMs_.store(ms, std::memory_order_relaxed); }
  void Advance(std::uint32_t ms) { nowMs_.fetch_add(ms, std::memory_order_relaxed); }

 private:
  std::atomic<std::uint32_t> nowMs_;
};

// Waiting: the TX delay and the pauses of command strings. Injected so that
// tests do not wait; the real wait (tx::AbortableWait) lives with the
// transmitter, as core/ never sleeps.
class Sleeper {
 public:
  virtual ~Sleeper() = default;
  virtual void SleepMs(std::uint32_t ms) = 0;
};

}  // namespace sequelo::core
