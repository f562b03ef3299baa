// Holding a thread at a point of the test's choosing: a Gate that callers
// pass only while it is open, and a hook that holds the first call made
// through it (a device write, a subscriber's call) until the test lets go.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>

namespace sequelo::testsupport {

class Gate {
 public:
  void Hold() { Set(true); }
  void LetGo() { Set(false); }
  // Returns at once while open; else waits until let go.
  void Pass() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !held_; });
  }

 private:
  void Set(bool held) {
    std::lock_guard lock(mutex_);
    held_ = held;
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
};

// Hook() holds the first call through it until LetGo; WaitReached returns
// once that call has come. Later calls pass straight through.
class FirstCallHold {
 public:
  FirstCallHold() { gate_.Hold(); }
  ~FirstCallHold() { LetGo(); }
  std::function<void()> Hook() {
    return [this] {
      bool first = false;
      {
        std::lock_guard lock(mutex_);
        first = !reached_;
        reached_ = true;
        changed_.notify_all();
      }
      if (first) {
        gate_.Pass();
      }
    };
  }
  void WaitReached() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return reached_; });
  }
  void LetGo() { gate_.LetGo(); }

 private:
  Gate gate_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool reached_ = false;
};

}  // namespace sequelo::testsupport
