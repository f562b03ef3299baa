// The MQTT forwarder against a real mosquitto broker on a free localhost
// port (skipped where mosquitto is not installed), and its queue file read
// back from disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "control/mqtt_forwarder.h"
#include "control/mqtt_journal.h"
#include "core/event_log.h"
#include "tests/support/memory_log.h"
#include "tests/support/mosquitto_broker.h"
#include "tests/support/temp_dir.h"

namespace sequelo::control {
namespace {

using namespace std::chrono_literals;
using testsupport::MosquittoBroker;
using testsupport::MqttMessage;
using testsupport::MqttSubscriber;
using testsupport::ReadFileText;
using testsupport::ScopedTempDir;

using RecordingLog = testsupport::MemoryLog;

AlarmEvent MakeEvent(int n, const std::string& station) {
  AlarmEvent e;
  e.id = "1765245301123-" + std::to_string(n);
  e.time = std::chrono::system_clock::time_point(1765245301123ms + std::chrono::milliseconds(n));
  e.code = std::to_string(10000 + n);
  e.toneSet = "ZVEI";
  e.repeats = 1 + n % 3;
  e.alarmClass = n % 2 == 0 ? "fire" : "";
  e.station = station;
  return e;
}

// Short pauses so that outages of a second or two are ridden out quickly.
MqttLimits QuickLimits() {
  MqttLimits limits;
  limits.delivery.firstRetryMs = 100;
  limits.delivery.longestRetryMs = 400;
  limits.firstReconnectMs = 100;
  limits.longestReconnectMs = 400;
  limits.pubackTimeoutMs = 3000;
  limits.keepAliveSeconds = 5;
  return limits;
}

MqttSettings Settings(int port, const std::string& station, const std::string& queueDir) {
  MqttSettings s;
  s.host = "127.0.0.1";
  s.port = port;
  s.station = station;
  s.queueDir = queueDir;
  return s;
}

struct AlarmTally {
  std::vector<std::string> order;  // ids at their first arrival
  std::size_t duplicates = 0;
  bool duplicatesSame = true;  // every repeat carried the first one's payload
};

AlarmTally Tally(const std::vector<MqttMessage>& messages, const std::string& topic) {
  AlarmTally t;
  std::map<std::string, std::string> firstPayload;
  for (const auto& m : messages) {
    if (m.topic != topic) {
      continue;
    }
    const auto j = nlohmann::json::parse(m.payload, nullptr, false);
    const std::string id = j.is_object() && j.contains("id") ? j["id"].get<std::string>() : "";
    const auto [it, fresh] = firstPayload.emplace(id, m.payload);
    if (fresh) {
      t.order.push_back(id);
    } else {
      ++t.duplicates;
      t.duplicatesSame = t.duplicatesSame && it->second == m.payload;
    }
  }
  return t;
}

std::vector<std::string> Ids(int from, int to) {
  std::vector<std::string> ids;
  for (int n = from; n < to; ++n) {
    ids.push_back(MakeEvent(n, "").id);
  }
  return ids;
}

// The status messages published from message `from` on while we listened
// (not the retained copy the broker hands out at each subscription).
std::vector<std::string> LiveStatus(const std::vector<MqttMessage>& messages,
                                    const std::string& topic, std::size_t from = 0) {
  std::vector<std::string> payloads;
  for (std::size_t i = from; i < messages.size(); ++i) {
    if (messages[i].topic == topic && !messages[i].retained) {
      payloads.push_back(messages[i].payload);
    }
  }
  return payloads;
}

bool Has(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

#define REQUIRE_MOSQUITTO()                       \
  if (MosquittoBroker::Program().empty()) {       \
    GTEST_SKIP() << "mosquitto is not installed"; \
  }

TEST(MqttTopicLevelTest, WildcardsSeparatorsControlsAndBadBytesBecomeUnderscores) {
  EXPECT_EQ(MqttTopicLevel("Wache Nord"), "Wache Nord");
  EXPECT_EQ(MqttTopicLevel("a/b+c#d"), "a_b_c_d");
  EXPECT_EQ(MqttTopicLevel(std::string("x\0y\n\x7f", 5)), "x_y__");
  EXPECT_EQ(MqttTopicLevel("Mühle \xc2\x85\xff"), "Mühle __");
  EXPECT_EQ(MqttTopicLevel(""), "station");
  EXPECT_EQ(MqttTopicLevel(std::string(500, 'a')).size(), 128u);
}

// A file from an earlier run, torn and tampered with: the good events come
// back in order, the newest `limit` of them, the rest is counted; the file
// is then rewritten, and emptied once everything is done.
TEST(MqttJournalTest, ReadsBackOnlyGoodLinesAndKeepsTheNewest) {
  ScopedTempDir dir;
  const auto line = [](std::uint64_t seq) {
    return JournalAddLine(seq, AlarmEventJson(MakeEvent(static_cast<int>(seq), "S")));
  };
  std::string text = line(1) + line(2) + JournalDoneLine(2) + "not json\n" + line(3) +
                     "{\"add\":4,\"event\":{\"id\":\"x\"}}\n" +  // fields missing
                     line(3) +                                   // number not rising
                     "{\"add\":" + std::string(kMaxJournalLineBytes, '7') + "\n" +  // too long
                     line(5) + line(6) + line(7) + JournalDoneLine(99) +
                     line(8).substr(0, 40);  // torn by a kill
  {
    std::ofstream out(dir.Path(kMqttJournalName), std::ios::binary);
    out << text;
  }
  RecordingLog log;
  MqttJournal journal("MQTT", log, 4, 2);
  MqttJournal::Loaded loaded;
  std::string error;
  ASSERT_TRUE(journal.Open(dir.path().string(), loaded, error)) << error;
  std::vector<std::uint64_t> seqs;
  for (const auto& e : loaded.waiting) {
    seqs.push_back(e.seq);
    EXPECT_EQ(AlarmEventJson(e.event), AlarmEventJson(MakeEvent(static_cast<int>(e.seq), "S")));
  }
  EXPECT_EQ(seqs, (std::vector<std::uint64_t>{3, 5, 6, 7}));
  EXPECT_EQ(loaded.dropped, 1u);   // event 1, the oldest past the limit of 4
  EXPECT_EQ(loaded.badLines, 5u);  // not json, fields, not rising, too long, torn
  EXPECT_EQ(journal.LastSeq(), 7u);
  EXPECT_EQ(ReadFileText(dir.Path(kMqttJournalName)), line(3) + line(5) + line(6) + line(7));

  // A second station on the same folder is refused.
  MqttJournal other("MQTT", log, 4);
  MqttJournal::Loaded none;
  EXPECT_FALSE(other.Open(dir.path().string(), none, error));

  ASSERT_TRUE(journal.Append(8, AlarmEventJson(MakeEvent(8, "S"))));
  EXPECT_FALSE(journal.Append(8, "{}"));  // numbers only rise
  for (std::uint64_t seq : {3, 5, 6}) {
    journal.Done(seq);
  }
  // Six done lines against two waiting: rewritten.
  EXPECT_EQ(ReadFileText(dir.Path(kMqttJournalName)), line(7) + line(8));
  journal.Done(7);
  journal.Done(8);
  EXPECT_EQ(ReadFileText(dir.Path(kMqttJournalName)), "");
}

// Events published while the broker is up, while it is stopped for two
// seconds and after it is back: every one arrives, in order, and a repeat
// (at least once) is the same message.
TEST(MqttForwarderTest, DeliversEveryEventInOrderAcrossABrokerRestart) {
  REQUIRE_MOSQUITTO();
  MosquittoBroker broker;
  ASSERT_TRUE(broker.Start()) << broker.Error();
  ScopedTempDir dir;
  RecordingLog log;
  MqttForwarder forwarder(Settings(broker.Port(), "Wache/1", dir.path().string()), log,
                          QuickLimits());
  EXPECT_EQ(forwarder.AlarmTopic(), "sequelo/Wache_1/alarm");
  MqttSubscriber subscriber(broker.Port(), {forwarder.AlarmTopic()}, "sequelo-test-restart");
  ASSERT_TRUE(subscriber.Start());
  forwarder.Start();

  int n = 0;
  for (; n < 40; ++n) {
    forwarder.OnAlarm(MakeEvent(n, "Wache/1"));
  }
  broker.Stop();  // some of those are still on their way
  for (; n < 60; ++n) {
    forwarder.OnAlarm(MakeEvent(n, "Wache/1"));
  }
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(broker.Start()) << broker.Error();
  for (; n < 80; ++n) {
    forwarder.OnAlarm(MakeEvent(n, "Wache/1"));
  }

  const std::string topic = forwarder.AlarmTopic();
  EXPECT_TRUE(subscriber.WaitFor([&](auto& m) { return Tally(m, topic).order.size() >= 80; }, 20s))
      << log.All();
  EXPECT_TRUE(forwarder.WaitIdle(5000));
  const AlarmTally tally = Tally(subscriber.Messages(), topic);
  EXPECT_EQ(tally.order, Ids(0, 80));
  EXPECT_TRUE(tally.duplicatesSame);
  std::printf("80 events, %zu duplicates\n", tally.duplicates);
  EXPECT_EQ(forwarder.Delivered(), 80u);
  EXPECT_TRUE(log.Has("MQTT: connected to 127.0.0.1:" + std::to_string(broker.Port())));
  EXPECT_TRUE(log.Has("MQTT: connection lost (")) << log.All();
  forwarder.Stop();
  EXPECT_EQ(ReadFileText(dir.Path(kMqttJournalName)), "");
}

// Reads one byte from `fd` within `limit`; 0 on time-out or end.
char ReadByte(int fd, std::chrono::milliseconds limit) {
  pollfd p{fd, POLLIN, 0};
  char c = 0;
  if (::poll(&p, 1, static_cast<int>(limit.count())) == 1 && ::read(fd, &c, 1) == 1) {
    return c;
  }
  return 0;
}

// The station of the forked child: connects, then (told the broker is
// down) takes 20 events and waits to be killed. Its delivery retries only
// after a minute, so nothing is delivered before the kill.
[[noreturn]] void RunKilledStation(int port, const std::string& queueDir, int in, int out) {
  RecordingLog log;
  MqttLimits limits = QuickLimits();
  limits.delivery.firstRetryMs = limits.delivery.longestRetryMs = 60000;
  limits.retryOnConnect = false;  // its events still wait when it is killed
  MqttForwarder forwarder(Settings(port, "killed", queueDir), log, limits);
  forwarder.Start();
  const auto waitUntil = [&](bool connected) {
    for (int i = 0; i < 500 && forwarder.Connected() != connected; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    return forwarder.Connected() == connected;
  };
  char c = waitUntil(true) ? 'c' : 'x';
  if (::write(out, &c, 1) != 1 || ReadByte(in, 10s) != 'q') {
    ::_exit(1);
  }
  c = waitUntil(false) ? 'd' : 'x';
  for (int n = 0; n < 20; ++n) {
    forwarder.OnAlarm(MakeEvent(n, "killed"));
  }
  if (::write(out, &c, 1) != 1) {
    ::_exit(1);
  }
  for (;;) {
    ::pause();
  }
}

// A station killed with SIGKILL while its events wait for a broker that is
// down: the broker's last will says "offline", and the next station on the
// same queue folder delivers all of them; its clean stop says "offline".
TEST(MqttForwarderTest, EventsOfAKilledStationAreDeliveredByTheNextStart) {
  REQUIRE_MOSQUITTO();
  MosquittoBroker broker;
  ASSERT_TRUE(broker.Start()) << broker.Error();
  ScopedTempDir dir;
  int toChild[2];
  int fromChild[2];
  ASSERT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(fromChild, O_CLOEXEC), 0);
  // Forked before this process has other threads (the subscriber's comes
  // later).
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    RunKilledStation(broker.Port(), dir.path().string(), toChild[0], fromChild[1]);
  }
  struct Reaper {
    pid_t pid;
    int fds[2];
    ~Reaper() {
      if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
      }
      ::close(fds[0]);
      ::close(fds[1]);
    }
  } child{pid, {toChild[1], fromChild[0]}};
  ::close(toChild[0]);
  ::close(fromChild[1]);
  ASSERT_EQ(ReadByte(fromChild[0], 10s), 'c');

  const std::string alarm = "sequelo/killed/alarm";
  const std::string status = "sequelo/killed/status";
  MqttSubscriber subscriber(broker.Port(), {alarm, status}, "sequelo-test-killed");
  ASSERT_TRUE(subscriber.Start());
  ASSERT_TRUE(subscriber.WaitFor(
      [&](auto& m) { return !m.empty() && m[0].retained && m[0].payload == "online"; }, 5s));

  broker.Stop();  // its shut-down may send the child's will: "offline"
  ASSERT_EQ(::write(toChild[1], "q", 1), 1);
  ASSERT_EQ(ReadByte(fromChild[0], 10s), 'd');
  ASSERT_TRUE(broker.Start()) << broker.Error();
  // The child connects again ("online"), then dies at once.
  ASSERT_TRUE(
      subscriber.WaitFor([&](auto& m) { return Has(LiveStatus(m, status), "online"); }, 10s));
  std::size_t mark = subscriber.Messages().size();
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  child.pid = -1;
  EXPECT_TRUE(subscriber.WaitFor(
      [&](auto& m) { return LiveStatus(m, status, mark) == std::vector<std::string>{"offline"}; },
      5s))
      << "no last will";
  EXPECT_GT(std::filesystem::file_size(dir.Path(kMqttJournalName)), 0u);

  RecordingLog log;
  mark = subscriber.Messages().size();
  {
    MqttForwarder next(Settings(broker.Port(), "killed", dir.path().string()), log, QuickLimits());
    next.Start();
    EXPECT_TRUE(
        subscriber.WaitFor([&](auto& m) { return Tally(m, alarm).order.size() >= 20; }, 10s))
        << log.All();
    EXPECT_TRUE(next.WaitIdle(5000));
    EXPECT_TRUE(log.Has("MQTT: 20 alarm events waiting from the last run")) << log.All();
    next.Stop();
  }
  const AlarmTally tally = Tally(subscriber.Messages(), alarm);
  EXPECT_EQ(tally.order, Ids(0, 20));
  EXPECT_TRUE(tally.duplicatesSame);
  EXPECT_TRUE(subscriber.WaitFor(
      [&](auto& m) {
        return LiveStatus(m, status, mark) == std::vector<std::string>{"online", "offline"};
      },
      5s));
  EXPECT_EQ(ReadFileText(dir.Path(kMqttJournalName)), "");

  // The retained status a newcomer sees.
  MqttSubscriber newcomer(broker.Port(), {status});
  ASSERT_TRUE(newcomer.Start());
  EXPECT_TRUE(newcomer.WaitFor([&](auto& m) { return !m.empty(); }, 5s));
  ASSERT_FALSE(newcomer.Messages().empty());
  EXPECT_TRUE(newcomer.Messages()[0].retained);
  EXPECT_EQ(newcomer.Messages()[0].payload, "offline");
}

// A queue file that cannot grow (a full disk, here the file size limit):
// one log line, and the events are still delivered from memory.
TEST(MqttForwarderTest, EventsAreDeliveredWhenTheQueueFileCannotBeWritten) {
  REQUIRE_MOSQUITTO();
  MosquittoBroker broker;
  ASSERT_TRUE(broker.Start()) << broker.Error();
  ScopedTempDir dir;
  RecordingLog log;
  MqttForwarder forwarder(Settings(broker.Port(), "full", dir.path().string()), log, QuickLimits());
  MqttSubscriber subscriber(broker.Port(), {forwarder.AlarmTopic()});
  ASSERT_TRUE(subscriber.Start());
  forwarder.Start();

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit tiny = saved;
  tiny.rlim_cur = 10;  // a torn first line, then nothing
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  for (int n = 0; n < 3; ++n) {
    forwarder.OnAlarm(MakeEvent(n, "full"));
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_TRUE(subscriber.WaitFor(
      [&](auto& m) { return Tally(m, forwarder.AlarmTopic()).order.size() >= 3; }, 5s))
      << log.All();
  EXPECT_EQ(Tally(subscriber.Messages(), forwarder.AlarmTopic()).order, Ids(0, 3));
  const auto lines = log.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](auto& l) { return l.find("queue file not written") != l.npos; }),
            1)
      << log.All();
  EXPECT_EQ(ReadFileText(dir.Path(kMqttJournalName)), "");  // the torn line taken back
}

// With user names required: a wrong password is refused and logged without
// the password, the right one delivers; neither appears in any log line.
TEST(MqttForwarderTest, PasswordNeverReachesTheLog) {
  REQUIRE_MOSQUITTO();
  const std::string good = "Gut-Pa55wort";
  const std::string bad = "Falsch-Pa55wort";
  MosquittoBroker broker({{"wache", good}});
  ASSERT_TRUE(broker.Start()) << broker.Error();
  MqttSubscriber subscriber(broker.Port(), {"sequelo/+/alarm"}, {}, "wache", good);
  ASSERT_TRUE(subscriber.Start());

  RecordingLog log;
  MqttSettings refused = Settings(broker.Port(), "A", {});
  refused.user = "wache";
  refused.password = bad;
  MqttForwarder a(refused, log, QuickLimits());
  a.Start();
  EXPECT_TRUE(log.WaitFor("not authorised", 5s)) << log.All();

  MqttSettings accepted = Settings(broker.Port(), "B", {});
  accepted.user = "wache";
  accepted.password = good;
  MqttForwarder b(accepted, log, QuickLimits());
  b.Start();
  b.OnAlarm(MakeEvent(1, "B"));
  EXPECT_TRUE(subscriber.WaitFor([](auto& m) { return !m.empty(); }, 5s)) << log.All();
  a.Stop();
  b.Stop();
  for (const auto& line : log.Lines()) {
    EXPECT_EQ(line.find(good), std::string::npos) << line;
    EXPECT_EQ(line.find(bad), std::string::npos) << line;
    EXPECT_EQ(line.find("Pa55"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace sequelo::control
