// The station's waits (TX delay, pauses of command strings, the response
// delay), which shut-down can cut short so that a transmission under way
// ends promptly. Any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/clock.h"

namespace sequelo::app {

class InterruptibleSleeper final : public core::Sleeper {
 public:
  void SleepMs(std::uint32_t ms) override {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return interrupted_; });
  }
  // Ends every wait now and every later one at once.
  void Interrupt() {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool interrupted_ = false;
};

}  // namespace sequelo::app
