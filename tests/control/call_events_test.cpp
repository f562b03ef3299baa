#include "control/call_events.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/gate.h"
#include "tests/support/memory_log.h"

namespace sequelo::control {
namespace {

using testsupport::MemoryLog;

// Records the codes it is handed; while its gate is held, it blocks (a
// client that never reads, a log nobody empties) until let go.
class Subscriber final : public CallSubscriber {
 public:
  void OnCall(const CallEvent& event) override {
    gate_.Pass();
    std::lock_guard lock(mutex_);
    codes_.push_back(event.code);
  }
  void Hold() { gate_.Hold(); }
  void LetGo() { gate_.LetGo(); }
  std::vector<std::string> Codes() {
    std::lock_guard lock(mutex_);
    return codes_;
  }

 private:
  testsupport::Gate gate_;
  std::mutex mutex_;
  std::vector<std::string> codes_;
};

std::vector<std::string> Codes(int n, int from = 0) {
  std::vector<std::string> codes;
  for (int i = from; i < from + n; ++i) {
    codes.push_back(std::to_string(10000 + i));
  }
  return codes;
}

CallEvent Event(const std::string& code) {
  CallEvent e;
  e.code = code;
  return e;
}

TEST(CallEventBus, AStuckSubscriberHoldsUpOnlyItselfAndLosesNothingWithinItsQueue) {
  MemoryLog log;
  CallEventBus bus(log);
  Subscriber stuck;
  Subscriber other;
  bus.Subscribe("stuck", stuck);
  bus.Subscribe("other", other);
  bus.Start();
  stuck.Hold();
  // A long burst: every post returns at once, nothing is refused.
  const auto sent = Codes(200);
  for (const auto& code : sent) {
    ASSERT_TRUE(bus.Post(Event(code)));
  }
  // The other subscriber and the log get every call while one is stuck.
  for (int spins = 0; other.Codes().size() < sent.size(); ++spins) {
    ASSERT_LT(spins, 10'000'000) << "the other subscriber was held up";
    std::this_thread::yield();
  }
  EXPECT_EQ(other.Codes(), sent);
  EXPECT_LE(stuck.Codes().size(), 1U);
  stuck.LetGo();
  bus.WaitIdle();
  EXPECT_EQ(stuck.Codes(), sent);  // all of them, in order
  std::vector<std::string> received;
  for (const auto& line : log.Lines()) {
    received.push_back(line.substr(std::string("Code received: ").size()));
  }
  EXPECT_EQ(received, sent);
  EXPECT_EQ(bus.Lost(), 0U);
  bus.Stop();
}

TEST(CallEventBus, WhatDoesNotFitIsCountedAndLoggedAndStopDeliversTheRest) {
  MemoryLog log;
  CallEventBus bus(log);
  Subscriber stuck;
  bus.Subscribe("stuck subscriber", stuck);
  bus.Start();
  stuck.Hold();
  const int burst = static_cast<int>(CallEventBus::kQueueEvents) + 20;
  for (const auto& code : Codes(burst)) {
    bus.Post(Event(code));  // never waits, even past the queue's room
  }
  // Once the event thread has handed everything on, the overflow shows.
  for (int spins = 0; bus.Lost() == 0; ++spins) {
    ASSERT_LT(spins, 10'000'000);
    std::this_thread::yield();
  }
  stuck.LetGo();
  bus.Stop();  // delivers what is queued
  // Every event lost is in the log: refused by the subscriber's queue one
  // by one, or by the full intake as a count.
  std::uint64_t logged = 0;
  for (const std::string& line : log.Lines()) {
    if (line.rfind("Call event not delivered to the stuck subscriber: ", 0) == 0) {
      ++logged;
    } else if (line.rfind("Call events lost: ", 0) == 0) {
      logged += std::stoull(line.substr(std::string("Call events lost: ").size()));
    }
  }
  EXPECT_GT(bus.Lost(), 0U);
  EXPECT_EQ(logged, bus.Lost());
  EXPECT_EQ(stuck.Codes().size() + bus.Lost(), static_cast<std::size_t>(burst));
  EXPECT_FALSE(bus.Post(Event("99999")));  // stopped
}

}  // namespace
}  // namespace sequelo::control
