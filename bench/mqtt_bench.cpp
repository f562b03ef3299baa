// The two halves of bench/mqtt_stations.sh:
//
//   sequelo-mqtt-bench station PORT NAME QUEUE_DIR EVENTS [GAP_MS]
//     one station: an MqttForwarder that takes EVENTS alarm events, at once
//     or GAP_MS apart (each stamped with the time it was taken, its number
//     as its code), and ends when the broker has them all (or after two
//     minutes).
//   sequelo-mqtt-bench count PORT EXPECTED SECONDS
//     a subscriber on sequelo/+/alarm that prints "ready" once subscribed,
//     counts until EXPECTED distinct events came or SECONDS passed, and
//     prints the figures: received, distinct, duplicates, per-station order
//     violations, time from the first event taken to the last received.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>

#include "control/mqtt_forwarder.h"
#include "core/event_log.h"
#include "tests/support/mosquitto_broker.h"

namespace {

using namespace sequelo;
using Clock = std::chrono::system_clock;

class StderrLog final : public core::EventLog {
 public:
  explicit StderrLog(std::string name) : name_(std::move(name)) {}
  void WriteLogLine(std::string_view text) override {
    std::fprintf(stderr, "%s: %.*s\n", name_.c_str(), static_cast<int>(text.size()), text.data());
  }
  void AddActivityLine(std::string_view) override {}

 private:
  std::string name_;
};

std::int64_t Ms(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// "2025-12-09T01:02:03.456Z" to milliseconds since 1970 (-1: not that).
std::int64_t ParseTimeMs(const std::string& s) {
  std::tm tm{};
  int ms = 0;
  if (s.size() != 24 ||
      std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7) {
    return -1;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<std::int64_t>(timegm(&tm)) * 1000 + ms;
}

int Station(int port, const std::string& name, const std::string& dir, int events, int gapMs) {
  StderrLog log(name);
  control::MqttSettings settings;
  settings.host = "127.0.0.1";
  settings.port = port;
  settings.station = name;
  settings.queueDir = dir;
  control::MqttForwarder forwarder(settings, log);
  forwarder.Start();
  const std::int64_t start = Ms(Clock::now());
  for (int i = 0; i < events; ++i) {
    control::AlarmEvent event;
    event.time = Clock::now();
    event.id = std::to_string(start) + "-" + name + "-" + std::to_string(i);
    event.code = std::to_string(i);
    event.toneSet = "ZVEI";
    event.station = name;
    forwarder.OnAlarm(event);
    if (gapMs > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    }
  }
  const bool idle = forwarder.WaitIdle(120000);
  forwarder.Stop();
  return idle ? 0 : 1;
}

struct Counts {
  std::uint64_t received = 0;
  std::uint64_t duplicates = 0;
  std::uint64_t orderViolations = 0;
  std::uint64_t badMessages = 0;
  std::int64_t firstTakenMs = -1;
  std::int64_t lastReceivedMs = -1;
  std::set<std::string> ids;
  std::map<std::string, long> lastNumber;  // per station: the highest event number seen
};

int Count(int port, std::size_t expected, int seconds) {
  std::mutex mutex;
  Counts c;
  testsupport::MqttSubscriber subscriber(port, {"sequelo/+/alarm"},
                                         "sequelo-bench-count-" + std::to_string(::getpid()));
  subscriber.SetHandler(
      [&](const testsupport::MqttMessage& m) {
        const auto now = Ms(Clock::now());
        const auto j = nlohmann::json::parse(m.payload, nullptr, false);
        std::lock_guard lock(mutex);
        ++c.received;
        if (!j.is_object() || !j["id"].is_string() || !j["station"].is_string() ||
            !j["code"].is_string() || !j["time"].is_string()) {
          ++c.badMessages;
          return;
        }
        if (!c.ids.insert(j["id"].get<std::string>()).second) {
          ++c.duplicates;
          return;
        }
        c.lastReceivedMs = now;
        const std::int64_t taken = ParseTimeMs(j["time"].get<std::string>());
        if (taken >= 0 && (c.firstTakenMs < 0 || taken < c.firstTakenMs)) {
          c.firstTakenMs = taken;
        }
        const long number = std::strtol(j["code"].get<std::string>().c_str(), nullptr, 10);
        auto [it, fresh] = c.lastNumber.emplace(j["station"].get<std::string>(), number);
        if (!fresh) {
          if (number < it->second) {
            ++c.orderViolations;
          } else {
            it->second = number;
          }
        }
      },
      false);
  if (!subscriber.Start()) {
    std::fprintf(stderr, "count: cannot subscribe on port %d\n", port);
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    {
      std::lock_guard lock(mutex);
      if (c.ids.size() >= expected) {
        break;
      }
    }
    if (std::chrono::steady_clock::now() > deadline) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  subscriber.Stop();
  std::lock_guard lock(mutex);
  std::printf("events received:            %llu\n", static_cast<unsigned long long>(c.received));
  std::printf("distinct ids (expected %zu): %zu\n", expected, c.ids.size());
  std::printf("duplicates:                 %llu\n", static_cast<unsigned long long>(c.duplicates));
  std::printf("stations seen:              %zu\n", c.lastNumber.size());
  std::printf("per-station order violations: %llu\n",
              static_cast<unsigned long long>(c.orderViolations));
  if (c.badMessages > 0) {
    std::printf("messages not understood:    %llu\n",
                static_cast<unsigned long long>(c.badMessages));
  }
  if (c.firstTakenMs >= 0 && c.lastReceivedMs >= 0) {
    std::printf("first event taken to last received: %.3f s\n",
                static_cast<double>(c.lastReceivedMs - c.firstTakenMs) / 1000.0);
  }
  return c.ids.size() >= expected && c.orderViolations == 0 && c.badMessages == 0 ? 0 : 1;
}

int Usage() {
  std::fprintf(stderr,
               "usage: sequelo-mqtt-bench station PORT NAME QUEUE_DIR EVENTS [GAP_MS]\n"
               "       sequelo-mqtt-bench count PORT EXPECTED SECONDS\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 6 || argc == 7) && std::string(argv[1]) == "station") {
    return Station(std::atoi(argv[2]), argv[3], argv[4], std::atoi(argv[5]),
                   argc == 7 ? std::atoi(argv[6]) : 0);
  }
  if (argc == 5 && std::string(argv[1]) == "count") {
    return Count(std::atoi(argv[2]), static_cast<std::size_t>(std::atol(argv[3])),
                 std::atoi(argv[4]));
  }
  return Usage();
}
