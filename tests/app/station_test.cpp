// The headless station with its front end's view of calls and its activity
// list stuck: decoding goes on, no buffer and no call is lost.
#include "app/station.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "tests/app/app_fakes.h"
#include "tests/support/fake_audio.h"
#include "tests/support/fakes.h"
#include "tests/support/gate.h"
#include "tests/support/signal_generator.h"
#include "tests/support/temp_dir.h"

namespace sequelo::app {
namespace {

using testsupport::FixedClock;
using testsupport::Gate;
using testsupport::NoLauncher;

class StuckActivities final : public ActivityList {
 public:
  void AddEntry(std::string entry) override {
    gate.Pass();
    std::lock_guard lock(mutex_);
    entries.push_back(std::move(entry));
  }
  Gate gate;
  std::mutex mutex_;
  std::vector<std::string> entries;
};

class StuckFrontEnd final : public StationFrontEnd, public control::CallSubscriber {
 public:
  control::CallSubscriber* Calls() override { return this; }
  void OnCall(const control::CallEvent& event) override {
    gate.Pass();
    std::lock_guard lock(mutex_);
    codes.push_back(event.code);
  }
  std::vector<std::string> Codes() {
    std::lock_guard lock(mutex_);
    return codes;
  }
  Gate gate;
  std::mutex mutex_;
  std::vector<std::string> codes;
};

// A remote client that connects and then never reads.
// What a station is built with in these tests, but its audio.
struct StationParts {
  explicit StationParts(const testsupport::ScopedTempDir& dir) {
    options.startupDir = dir.path().string();
    options.remotePort = 0;
  }
  ~StationParts() { std::fclose(err); }
  StationParts(const StationParts&) = delete;
  StationParts& operator=(const StationParts&) = delete;
  Station Make(audio::AudioBackend& audio) {
    return Station(options, audio, port, clock, activities, messages, launcher, err);
  }
  testsupport::FakeSerialPort port;
  FixedClock clock;
  StuckActivities activities;
  testsupport::FakeMessageSink messages;
  NoLauncher launcher;
  std::FILE* err = std::tmpfile();
  StationOptions options;
};

int ConnectSilentClient(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// Capture that could not open at start-up (a sound server too busy to
// answer in time) is opened again when asked, on the chosen input.
TEST(StationTest, CaptureThatFailedToOpenIsTriedAgain) {
  testsupport::ScopedTempDir dir;
  std::ofstream(dir.Path("Sequelo.ini"), std::ios::binary)
      << "[Sequelo]\r\nInputDevice=Receiver\r\nRemoteControl=0\r\n";
  testsupport::FakeCaptureBackend audio(/*freeRunning=*/true);
  audio.failOpens = 1;
  StationParts parts(dir);
  Station station = parts.Make(audio);
  StuckFrontEnd front;
  station.StartUp(front);
  EXPECT_FALSE(station.Listening());
  EXPECT_EQ(audio.opens, 0);
  EXPECT_TRUE(station.RetryCapture());
  EXPECT_TRUE(station.Listening());
  EXPECT_EQ(audio.opens, 1);
  EXPECT_TRUE(station.RetryCapture()) << "listening: nothing to do";
  EXPECT_EQ(audio.opens, 1);
  station.ShutDown();
  EXPECT_NE(testsupport::ReadFileText(dir.Path("Sequelo.log")).find("Listening again on Receiver"),
            std::string::npos);
  EXPECT_NE(testsupport::ReadFileText(dir.Path("Sequelo.ini")).find("InputDevice=Receiver\r\n"),
            std::string::npos)
      << "the chosen input is kept while it cannot be opened";
}

TEST(StationTest, StuckSubscribersLoseNoCaptureBufferAndNoCall) {
  testsupport::ScopedTempDir dir;
  {
    std::ofstream ini(dir.Path("Sequelo.ini"), std::ios::binary);
    ini << "[Sequelo]\r\nInputDevice=Receiver\r\nOwnCode=12345\r\nAction=1\r\nDelay=0\r\n";
  }
  testsupport::FakeCaptureBackend audio(false, /*paced=*/true);
  StationParts parts(dir);
  StuckActivities& activities = parts.activities;
  Station station = parts.Make(audio);
  StuckFrontEnd front;
  activities.gate.Hold();
  front.gate.Hold();
  station.StartUp(front);
  ASSERT_NE(audio.current, nullptr);
  // However the test ends, the stuck ones are let go and the device ends,
  // so the station can stop.
  struct LetGoAtTheEnd {
    testsupport::FakeCaptureStream* stream;
    Gate& a;
    Gate& b;
    ~LetGoAtTheEnd() {
      a.LetGo();
      b.LetGo();
      if (stream != nullptr) {
        stream->End();
      }
    }
  } letGo{audio.current, activities.gate, front.gate};
  const int client = ConnectSilentClient(station.RemotePort());
  ASSERT_GE(client, 0);

  // A burst of calls, the first to the own code (answered at once).
  const std::vector<std::string> codes{"12345", "23456", "34567", "45678", "56789"};
  std::vector<double> burst;
  for (const std::string& code : codes) {
    const auto call = testsupport::MakeCall({.code = code});
    burst.insert(burst.end(), call.begin(), call.end());
  }
  burst.resize(burst.size() + 3000, 0.0);  // half a second for the last one
  const auto stereo = testsupport::ToCaptureStereo(burst);
  audio.current->Feed(stereo);
  audio.current->WaitForReads(stereo.size() / core::kBufferSamples);

  // Every call reaches the log file while the two subscribers are stuck.
  const std::string logPath = dir.Path("Sequelo.log");
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (Count(testsupport::ReadFileText(logPath), "Code received: ") < codes.size()) {
    ASSERT_LT(std::chrono::steady_clock::now(), giveUp) << testsupport::ReadFileText(logPath);
    std::this_thread::yield();
  }
  EXPECT_EQ(station.Recorder().LostBuffers(), 0U);
  EXPECT_LE(front.Codes().size(), 1U);  // held in its first call
  const std::string log = testsupport::ReadFileText(logPath);
  for (const std::string& code : codes) {
    EXPECT_NE(log.find("Code received: " + code), std::string::npos) << log;
  }
  EXPECT_NE(log.find("Responding with own code: 12345"), std::string::npos) << log;

  front.gate.LetGo();
  activities.gate.LetGo();
  station.Calls().WaitIdle();
  EXPECT_EQ(front.Codes(), codes);
  // The silent client was sent every code all the same.
  std::string received;
  char buffer[256];
  while (Count(received, "\r\n") < codes.size()) {
    const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    received.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(received, "12345\r\n23456\r\n34567\r\n45678\r\n56789\r\n");
  audio.current->End();
  letGo.stream = nullptr;  // the recorder owns it, and lets it go at shut-down
  station.AbortTransmissions();
  station.ShutDown();
  ::close(client);
  // The activity list got every line once it was served again.
  std::string shown;
  for (const auto& entry : activities.entries) {
    shown += entry + "\n";
  }
  EXPECT_EQ(Count(shown, "Code received: "), codes.size());
}

}  // namespace
}  // namespace sequelo::app
