// Alarm events: receptions counted into one event, trailers and recordings
// completing it, the two reports; the in-order retrying delivery; the JSON.
#include "control/alarm_events.h"

#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>

#include "control/alarm_delivery.h"
#include "tests/support/memory_log.h"

namespace sequelo::control {
namespace {

using testsupport::MemoryLog;

CallEvent Call(const std::string& code, std::uint32_t endTickMs) {
  CallEvent call;
  call.code = code;
  call.endTickMs = endTickMs;
  call.endWall = std::chrono::system_clock::time_point(std::chrono::milliseconds(1765245301000) +
                                                       std::chrono::milliseconds(endTickMs));
  call.toneSet = "ZVEI";
  return call;
}

class Tracker : public ::testing::Test {
 protected:
  Tracker() {
    settings_.stationName = "fw1";
    tracker_.SetSettings(settings_);
  }
  void Feed(const std::string& code, std::uint32_t endTickMs) {
    tracker_.OnCall(Call(code, endTickMs), 350, out_);
  }
  AlarmTracker::Output Poll(std::uint32_t nowTickMs) {
    AlarmTracker::Output out;
    tracker_.Poll(nowTickMs, out);
    return out;
  }
  AlarmSettings settings_;
  AlarmTracker tracker_;
  AlarmTracker::Output out_;
};

// A German alarm as sent: call, 600 ms, call, 600 ms, 5 s of siren.
TEST_F(Tracker, ACallSentTwiceWithItsSirenIsOneEventReportedTwice) {
  Feed("12345", 1000);
  ASSERT_EQ(out_.events.size(), 1U);
  EXPECT_FALSE(out_.events[0].update);
  EXPECT_EQ(out_.events[0].repeats, 1);
  EXPECT_EQ(out_.events[0].station, "fw1");
  EXPECT_EQ(out_.events[0].id, "1765245302000-1");
  Feed("12345", 1950);
  tracker_.OnTrailer("fire", 2550);
  EXPECT_EQ(out_.events.size(), 1U) << "the repetition is not a report of its own";
  EXPECT_TRUE(Poll(1950 + 9900).events.empty()) << "the repeat window (10 s) is still open";
  const auto done = Poll(1950 + 10001);
  ASSERT_EQ(done.events.size(), 1U);
  EXPECT_TRUE(done.events[0].update);
  EXPECT_EQ(done.events[0].id, out_.events[0].id);
  EXPECT_EQ(done.events[0].repeats, 2);
  EXPECT_EQ(done.events[0].alarmClass, "fire");
  EXPECT_EQ(tracker_.OpenEvents(), 0U);
}

TEST_F(Tracker, EveryOtherCodeIsANewEventHoweverSoonAndTheSameCodeAfterTheWindowToo) {
  for (int i = 0; i < 25; ++i) {
    Feed(std::to_string(10000 + i), 1000 + 1200 * static_cast<std::uint32_t>(i));
  }
  Feed("10000", 1000 + 10001);  // past the window of the first
  EXPECT_EQ(out_.events.size(), 26U);
  for (const AlarmEvent& e : out_.events) {
    EXPECT_EQ(e.repeats, 1);
  }
  const auto done = Poll(100000);
  ASSERT_EQ(done.events.size(), 26U);
  for (std::size_t i = 0; i < done.events.size(); ++i) {
    EXPECT_EQ(done.events[i].id, out_.events[i].id) << "completed in the order they began";
  }
}

TEST_F(Tracker, ATrailerGoesToTheNewestEventItFollowsWithinTheTrailerWindow) {
  Feed("11111", 1000);
  Feed("22222", 3000);
  tracker_.OnTrailer("test", 3600);
  tracker_.OnTrailer("fire", 3000 + 8001);  // too late for either
  const auto done = Poll(60000);
  ASSERT_EQ(done.events.size(), 2U);
  EXPECT_EQ(done.events[0].alarmClass, "");
  EXPECT_EQ(done.events[1].alarmClass, "test");
}

TEST_F(Tracker, AnEventWithARecordingWaitsForItOrForItsDeadline) {
  settings_.recordSeconds = 30;
  tracker_.SetSettings(settings_);
  Feed("12345", 5000);
  Feed("54321", 6000);
  ASSERT_EQ(out_.recordings.size(), 2U);
  EXPECT_EQ(out_.recordings[0].eventId, out_.events[0].id);
  EXPECT_EQ(out_.recordings[0].fromTickMs, 5000U - 350 - 2000);
  EXPECT_EQ(out_.recordings[0].untilTickMs, 5000U + 30000);
  EXPECT_TRUE(Poll(5000 + 20000).events.empty()) << "recording under way";
  tracker_.OnRecordingDone(out_.events[0].id, "/rec/a.flac");
  auto done = Poll(5000 + 30500);
  ASSERT_EQ(done.events.size(), 1U);
  EXPECT_EQ(done.events[0].recording, "/rec/a.flac");
  // The second recorder never reports: the event completes without it.
  EXPECT_TRUE(Poll(6000 + 30000 + 9000).events.empty());
  done = Poll(6000 + 30000 + 10001);
  ASSERT_EQ(done.events.size(), 1U);
  EXPECT_EQ(done.events[0].recording, "");
}

TEST(AlarmEventsThread, FirstReportAtOnceTheCompletionOnTheClockAndTheRestAtStop) {
  struct Sink final : AlarmSink {
    void OnAlarm(const AlarmEvent& e) override {
      std::lock_guard lock(mutex);
      events.push_back(e);
    }
    std::size_t Count() {
      std::lock_guard lock(mutex);
      return events.size();
    }
    std::mutex mutex;
    std::vector<AlarmEvent> events;
  } sink;
  MemoryLog log;
  core::ManualTickClock clock;
  AlarmEvents alarms(log, clock);
  alarms.AddSink(sink);
  alarms.Start();
  AlarmSettings settings;
  settings.stationName = "s";
  alarms.SetSettings(settings);
  alarms.OnCall(Call("12345", 1000));
  alarms.OnCall(Call("12345", 1950));
  alarms.TrailerHeard("wake tone", 2600);
  alarms.OnCall(Call("67890", 4000));
  alarms.WaitIdle();
  EXPECT_EQ(sink.Count(), 2U);
  clock.Set(1950 + 10001);
  for (int i = 0; i < 500 && sink.Count() < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the thread's next round
  }
  ASSERT_EQ(sink.Count(), 3U);
  alarms.Stop();  // the open one completes
  ASSERT_EQ(sink.events.size(), 4U);
  EXPECT_EQ(sink.events[2].alarmClass, "wake tone");
  EXPECT_EQ(sink.events[2].repeats, 2);
  EXPECT_EQ(sink.events[3].code, "67890");
  EXPECT_EQ(log.Count("Alarm "), 2);
  EXPECT_EQ(log.Count(": 12345 (ZVEI), received 2 times, wake tone"), 1);
}

TEST(AlarmEventForms, JsonAndEnvironmentCarryEveryField) {
  AlarmEvent e;
  e.id = "1-1";
  e.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1765245301123));
  e.code = "12345";
  e.toneSet = "ZVEI";
  e.repeats = 2;
  e.station = "fw\xff";  // bad UTF-8 from a hand-edited file
  const auto j = nlohmann::json::parse(AlarmEventJson(e));
  EXPECT_EQ(j["time"], "2025-12-09T01:55:01.123Z");
  EXPECT_EQ(j["repeats"], 2);
  EXPECT_TRUE(j["class"].is_null());
  EXPECT_TRUE(j["recording"].is_null());
  EXPECT_EQ(j["update"], false);
  e.alarmClass = "fire";
  e.update = true;
  const auto env = AlarmEventEnvironment(e);
  EXPECT_NE(std::find(env.begin(), env.end(),
                      std::pair<std::string, std::string>{"SEQUELO_CLASS", "fire"}),
            env.end());
  EXPECT_EQ(nlohmann::json::parse(AlarmEventJson(e))["class"], "fire");
}

TEST(TrailerTonesSetting, TheDefaultIsTheBuiltInTableAndBadTextIsRefusedWhole) {
  std::string error;
  const auto table = ParseTrailerTones(kDefaultTrailerTones, error);
  EXPECT_EQ(error, "");
  const auto builtIn = core::DefaultTrailerClasses();
  ASSERT_EQ(table.size(), builtIn.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].name, builtIn[i].name);
    EXPECT_EQ(table[i].lowHz, builtIn[i].lowHz);
    EXPECT_EQ(table[i].highHz, builtIn[i].highHz);
    EXPECT_EQ(table[i].intermittent, builtIn[i].intermittent);
  }
  EXPECT_EQ(ParseTrailerTones(" pager = 1750 ; ", error).size(), 1U);
  for (const char* bad : {"fire=675+x", "fire", "=675", "fire=675+1240/often", "low=100",
                          "fire=675+1240;test=99999"}) {
    EXPECT_TRUE(ParseTrailerTones(bad, error).empty()) << bad;
    EXPECT_NE(error, "") << bad;
  }
}

// --- Delivery to one target --------------------------------------------------

AlarmEvent Numbered(int n) {
  AlarmEvent e;
  e.id = std::to_string(n);
  return e;
}

TEST(AlarmDeliveryTest, RetryPausesDoubleUpToTheLongest) {
  const DeliveryLimits limits;
  EXPECT_EQ(RetryDelayMs(limits, 1), 1000U);
  EXPECT_EQ(RetryDelayMs(limits, 2), 2000U);
  EXPECT_EQ(RetryDelayMs(limits, 6), 32000U);
  EXPECT_EQ(RetryDelayMs(limits, 7), 60000U);
  EXPECT_EQ(RetryDelayMs(limits, 1000), 60000U);
}

TEST(AlarmDeliveryTest, AFailingTargetGetsEveryEventInOrderOnceItAnswers) {
  MemoryLog log;
  std::mutex mutex;
  std::vector<std::string> got;
  int failuresLeft = 4;
  AlarmDelivery delivery(
      "Webhook",
      [&](const AlarmEvent& e, std::string& error) {
        std::lock_guard lock(mutex);
        if (failuresLeft > 0) {
          --failuresLeft;
          error = "HTTP 500";
          return false;
        }
        got.push_back(e.id);
        return true;
      },
      log, DeliveryLimits{100, 1, 4, 0});
  delivery.Start();
  for (int i = 0; i < 20; ++i) {
    delivery.OnAlarm(Numbered(i));
  }
  ASSERT_TRUE(delivery.WaitIdle(10000));
  std::vector<std::string> expected;
  for (int i = 0; i < 20; ++i) {
    expected.push_back(std::to_string(i));
  }
  EXPECT_EQ(got, expected);
  EXPECT_EQ(log.Count("Webhook: alarm 0 not delivered (HTTP 500), retrying in"), 2)
      << "one line as the outage begins, one as the pause reaches its longest";
  EXPECT_EQ(log.Count("Webhook: delivering again after 4 failed attempts"), 1);
}

TEST(AlarmDeliveryTest, AFullQueueDropsTheOldestWaitingAndAHopelessEventIsGivenUp) {
  MemoryLog log;
  std::atomic<bool> hold{true};
  std::atomic<bool> underWay{false};
  std::mutex mutex;
  std::vector<std::string> got;
  AlarmDelivery delivery(
      "Exec hook",
      [&](const AlarmEvent& e, std::string& error) {
        underWay = true;
        while (hold) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (e.id == "3") {
          error = "exit status 1";
          return false;
        }
        std::lock_guard lock(mutex);
        got.push_back(e.id);
        return true;
      },
      log, DeliveryLimits{3, 1, 1, 2});
  delivery.Start();
  delivery.OnAlarm(Numbered(0));
  while (!underWay) {
    std::this_thread::yield();  // 0 under way
  }
  for (int i = 1; i <= 5; ++i) {
    delivery.OnAlarm(Numbered(i));  // room for three: 1 and 2 are dropped
  }
  hold = false;
  ASSERT_TRUE(delivery.WaitIdle(10000));
  EXPECT_EQ(got, (std::vector<std::string>{"0", "4", "5"}));
  EXPECT_EQ(delivery.Dropped(), 2U);
  EXPECT_EQ(delivery.GivenUp(), 1U);
  EXPECT_EQ(log.Count("Exec hook: queue full (3 events), the oldest dropped: alarm 1"), 1);
  EXPECT_EQ(log.Count("Exec hook: alarm 3 given up after 2 attempts (exit status 1)"), 1);
}

}  // namespace
}  // namespace sequelo::control
