#include "control/alarm_delivery.h"

#include "audio/own_thread.h"

#include <algorithm>
#include <chrono>

namespace sequelo::control {

std::uint32_t RetryDelayMs(const DeliveryLimits& limits, std::uint32_t failures) {
  std::uint64_t delay = limits.firstRetryMs;
  for (std::uint32_t i = 1; i < failures && delay < limits.longestRetryMs; ++i) {
    delay *= 2;
  }
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(delay, limits.longestRetryMs));
}

AlarmDelivery::AlarmDelivery(std::string name, Deliver deliver, core::EventLog& log,
                             DeliveryLimits limits)
    : name_(std::move(name)), deliver_(std::move(deliver)), log_(log), limits_(limits) {}

AlarmDelivery::~AlarmDelivery() {
  Stop();
  const std::size_t left = TakeWaiting().size();
  if (left > 0) {
    log_.Report(name_ + ": " + std::to_string(left) + " alarm events not delivered at shut-down");
  }
}

void AlarmDelivery::Start() {
  audio::StartOwnThread(mutex_, running_, thread_, [this] { Run(); });
}

void AlarmDelivery::Stop() {
  audio::StopOwnThread(mutex_, running_, changed_, thread_);
}

std::vector<AlarmEvent> AlarmDelivery::TakeWaiting() {
  std::lock_guard lock(mutex_);
  std::vector<AlarmEvent> taken(std::make_move_iterator(waiting_.begin()),
                                std::make_move_iterator(waiting_.end()));
  waiting_.clear();
  return taken;
}

void AlarmDelivery::OnAlarm(const AlarmEvent& event) {
  std::string droppedId;
  {
    std::lock_guard lock(mutex_);
    if (waiting_.size() >= limits_.capacity && !waiting_.empty()) {
      droppedId = waiting_.front().id;
      waiting_.pop_front();
      ++dropped_;
    }
    waiting_.push_back(event);
  }
  changed_.notify_all();
  if (!droppedId.empty()) {
    log_.Report(name_ + ": queue full (" + std::to_string(limits_.capacity) +
                " events), the oldest dropped: alarm " + droppedId);
  }
}

void AlarmDelivery::RetryNow() {
  {
    std::lock_guard lock(mutex_);
    retryNow_ = true;
  }
  changed_.notify_all();
}

bool AlarmDelivery::WaitIdle(std::uint32_t ms) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                           [this] { return waiting_.empty() && !busy_; });
}

void AlarmDelivery::Run() {
  std::uint32_t failures = 0;
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return !running_ || !waiting_.empty(); });
    if (!running_) {
      return;
    }
    // The event under way leaves the queue: a full queue drops only events
    // that have not been tried, and a failed one is tried again first.
    AlarmEvent event = std::move(waiting_.front());
    waiting_.pop_front();
    busy_ = true;
    while (true) {
      lock.unlock();
      std::string error;
      const bool done = deliver_(event, error);
      // Logged without the lock: the alarm thread never waits for the log.
      if (done) {
        ++delivered_;
        if (failures > 0) {
          log_.Report(name_ + ": delivering again after " + std::to_string(failures) +
                      (failures == 1 ? " failed attempt" : " failed attempts"));
        }
        failures = 0;
        lock.lock();
        break;
      }
      ++failures;
      if (limits_.attempts != 0 && failures >= limits_.attempts) {
        ++givenUp_;
        log_.Report(name_ + ": alarm " + event.id + " given up after " + std::to_string(failures) +
                    " attempts (" + error + ")");
        failures = 0;
        lock.lock();
        break;
      }
      const std::uint32_t delay = RetryDelayMs(limits_, failures);
      // One line when an outage begins and one when the pause reaches its
      // longest: enough to follow, never a line per attempt (nor for an
      // attempt that Stop cut short).
      const bool stopping = [this] {
        std::lock_guard guard(mutex_);
        return !running_;
      }();
      if (!stopping && (failures == 1 || (delay == limits_.longestRetryMs &&
                                          RetryDelayMs(limits_, failures - 1) < delay))) {
        log_.Report(name_ + ": alarm " + event.id + " not delivered (" + error + "), retrying in " +
                    std::to_string((delay + 999) / 1000) + " s");
      }
      lock.lock();
      retryNow_ = false;
      changed_.wait_for(lock, std::chrono::milliseconds(delay),
                        [this] { return !running_ || retryNow_; });
      retryNow_ = false;
      if (!running_) {
        waiting_.push_front(std::move(event));  // counted as not delivered by Stop
        busy_ = false;
        return;
      }
    }
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace sequelo::control
