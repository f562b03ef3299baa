// Delivery of alarm events to one forwarding target (an MQTT broker, a
// webhook, a hook program) on a thread of its own, in order, from a bounded
// queue. A failed delivery is retried after 1, 2, 4 ... 60 s, and the events
// behind it wait, so a target sees them in the order they happened (unless
// the limits give an event up after a number of attempts). Taking
// an event never waits: when the queue is full the oldest waiting event is
// dropped, counted and logged, so decoding and the other targets go on
// whatever one target does.
//
// Threads: OnAlarm from the alarm thread; the delivery function on the
// delivery's thread; Start and Stop by the owner.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/alarm_event.h"
#include "core/event_log.h"

namespace sequelo::control {

struct DeliveryLimits {
  std::size_t capacity = 1000;  // events waiting
  std::uint32_t firstRetryMs = 1000;
  std::uint32_t longestRetryMs = 60000;
  // Attempts at one event before it is given up (logged); 0: until it is
  // delivered.
  std::uint32_t attempts = 0;
};

// The pause before retry number `failures` (1 after the first failure).
std::uint32_t RetryDelayMs(const DeliveryLimits& limits, std::uint32_t failures);

class AlarmDelivery final : public AlarmSink {
 public:
  // True when the target has the event; false, with `error` saying why, to
  // try again later.
  using Deliver = std::function<bool(const AlarmEvent& event, std::string& error)>;

  // `name` begins its log lines ("Webhook", "MQTT", "Exec hook"); `log` must
  // outlive the delivery.
  AlarmDelivery(std::string name, Deliver deliver, core::EventLog& log, DeliveryLimits limits = {});
  ~AlarmDelivery() override;
  AlarmDelivery(const AlarmDelivery&) = delete;
  AlarmDelivery& operator=(const AlarmDelivery&) = delete;

  void Start();
  // Ends the thread after the delivery under way (a retry pause is cut
  // short). The events not delivered stay: TakeWaiting hands them to a
  // successor (a reload); those still here at destruction are counted in
  // the log as not delivered.
  void Stop();
  std::vector<AlarmEvent> TakeWaiting();

  void OnAlarm(const AlarmEvent& event) override;
  // Ends a retry pause now (the target is back: a broker reconnected).
  void RetryNow();

  // Blocks until nothing waits and nothing is being delivered, or `ms` have
  // passed; true if idle (tests).
  bool WaitIdle(std::uint32_t ms);
  std::uint64_t Dropped() const { return dropped_.load(); }
  std::uint64_t Delivered() const { return delivered_.load(); }
  std::uint64_t GivenUp() const { return givenUp_.load(); }

 private:
  void Run();

  const std::string name_;
  const Deliver deliver_;
  core::EventLog& log_;
  const DeliveryLimits limits_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<AlarmEvent> waiting_;
  bool busy_ = false;
  bool running_ = false;
  bool retryNow_ = false;
  std::thread thread_;
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<std::uint64_t> delivered_{0};
  std::atomic<std::uint64_t> givenUp_{0};
};

}  // namespace sequelo::control
