// A thread of its own that handles items one at a time, in the order they
// were posted, from a bounded queue. Posting never waits: an item that does
// not fit (or comes after Stop) is refused and counted, so a slow handler
// holds up only its own queue, never the thread that posts.
//
// Threads: Post, Overflows, Pending and WaitIdle from any thread; the
// handler runs on the queue's thread; Start and Stop by the owner.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace sequelo::control {

template <typename T>
class WorkQueue {
 public:
  WorkQueue(std::size_t capacity, std::function<void(T&)> handler)
      : capacity_(capacity), handler_(std::move(handler)) {}
  ~WorkQueue() { Stop(); }
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  void Start() {
    std::lock_guard lock(mutex_);
    if (!running_ && !thread_.joinable()) {
      running_ = true;
      thread_ = std::thread([this] { Run(); });
    }
  }
  // Handles what is already queued, then ends the thread; later posts are
  // refused.
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      running_ = false;
      changed_.notify_all();
    }
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  // Drops the items still waiting (the one being handled goes on).
  void Clear() {
    std::lock_guard lock(mutex_);
    items_.clear();
    changed_.notify_all();
  }

  bool Post(T item) { return PostOrKeep(item); }
  // As Post, but a refused item stays with the caller.
  bool PostOrKeep(T& item) {
    {
      std::lock_guard lock(mutex_);
      if (!running_ || items_.size() >= capacity_) {
        ++overflows_;
        return false;
      }
      items_.push_back(std::move(item));
    }
    changed_.notify_all();
    return true;
  }
  bool Running() const {
    std::lock_guard lock(mutex_);
    return running_;
  }

  // Items refused since the start (queue full or stopped).
  std::uint64_t Overflows() const { return overflows_.load(); }
  std::size_t Pending() const {
    std::lock_guard lock(mutex_);
    return items_.size() + (busy_ ? 1 : 0);
  }
  // Blocks until every item posted so far has been handled.
  void WaitIdle() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return items_.empty() && !busy_; });
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return !items_.empty() || !running_; });
      if (items_.empty()) {
        return;  // stopped, and everything handled
      }
      T item = std::move(items_.front());
      items_.pop_front();
      busy_ = true;
      lock.unlock();
      handler_(item);
      lock.lock();
      busy_ = false;
      changed_.notify_all();
    }
  }

  const std::size_t capacity_;
  std::function<void(T&)> handler_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<T> items_;   // guarded by mutex_
  bool running_ = false;  // guarded by mutex_
  bool busy_ = false;     // guarded by mutex_
  std::atomic<std::uint64_t> overflows_{0};
  std::thread thread_;
};

}  // namespace sequelo::control
