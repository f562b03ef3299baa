// The transmit thread's waits (the TX delay, the pauses of command strings),
// which an abort cuts short so that a transmission under way ends promptly:
// Abort ends the wait under way and every later one at once, until Reset
// (the next job). Any thread may abort; waits run on the transmit thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/clock.h"

namespace sequelo::tx {

class AbortableWait final : public core::Sleeper {
 public:
  void SleepMs(std::uint32_t ms) override {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return aborted_; });
  }
  void Abort() {
    std::lock_guard lock(mutex_);
    aborted_ = true;
    cv_.notify_all();
  }
  void Reset() {
    std::lock_guard lock(mutex_);
    aborted_ = false;
  }
  bool Aborted() const {
    std::lock_guard lock(mutex_);
    return aborted_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool aborted_ = false;
};

}  // namespace sequelo::tx
