#include "app/station_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/journal_stream.h"
#include "app/service_notifier.h"
#include "tests/support/temp_dir.h"

namespace sequelo::app {
namespace {

using testsupport::ReadStream;

// Records what a service manager would be told.
class FakeNotifier final : public ServiceNotifier {
 public:
  bool active = true;
  int intervalMs = 0;
  std::vector<std::string> sent;
  bool Active() const override { return active; }
  void Ready(std::string_view status) override { sent.push_back("READY " + std::string(status)); }
  void Status(std::string_view text) override { sent.push_back("STATUS " + std::string(text)); }
  void Watchdog() override { sent.push_back("WATCHDOG"); }
  void Reloading() override { sent.push_back("RELOADING"); }
  void Stopping() override { sent.push_back("STOPPING"); }
  int WatchdogIntervalMs() const override { return intervalMs; }
};

std::string DeviceAndInode(std::FILE* file, ino_t inodeOffset = 0) {
  struct stat st {};
  EXPECT_EQ(::fstat(::fileno(file), &st), 0);
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + inodeOffset);
}

TEST(CaptureWatch, FeedsTheWatchdogOnlyWhileCaptureProgresses) {
  FakeNotifier notifier;
  notifier.intervalMs = 15000;               // WatchdogSec=30
  core::ManualTickClock clock(4294966000U);  // the tick wraps on the way
  std::FILE* file = std::tmpfile();
  JournalStream err(file, nullptr);
  CaptureWatch watch(notifier, err, clock, "Listening on Rx, mode ZVEI", 0);
  EXPECT_EQ(watch.CheckEveryMs(), 1000);

  const auto checkAfter = [&](std::uint32_t ms, std::uint64_t captured) {
    clock.Advance(ms);
    watch.Check(captured);
  };
  checkAfter(1000, 47);
  checkAfter(1000, 94);
  checkAfter(1000, 94);  // a second without audio: not yet a stall
  checkAfter(1000, 94);
  checkAfter(1000, 94);
  checkAfter(1000, 0);  // the device opened again: its count starts afresh
  EXPECT_EQ(notifier.sent, (std::vector<std::string>{
                               "WATCHDOG", "WATCHDOG", "STATUS Capture stalled: no audio for 2 s",
                               "STATUS Capture stalled: no audio for 3 s", "WATCHDOG",
                               "STATUS Listening on Rx, mode ZVEI"}));
  EXPECT_EQ(ReadStream(file),
            "sequelo: capture stalled: no audio for 2 s; the watchdog is no longer fed\n"
            "Capture resumed\n");
  std::fclose(file);
}

TEST(CaptureWatch, ChecksOftenEnoughForTheWatchdogAndNothingWithoutAManager) {
  FakeNotifier notifier;
  core::ManualTickClock clock;
  std::FILE* file = std::tmpfile();
  JournalStream err(file, nullptr);
  CaptureWatch watch(notifier, err, clock, "ready", 0);
  EXPECT_EQ(watch.CheckEveryMs(), 1000);  // no watchdog
  notifier.intervalMs = 400;              // WatchdogSec=800ms
  EXPECT_EQ(watch.CheckEveryMs(), 400);
  clock.Advance(400);
  watch.Check(0);
  EXPECT_EQ(notifier.sent, std::vector<std::string>{"STATUS Capture stalled: no audio for 1 s"});
  notifier.intervalMs = 10;
  EXPECT_EQ(watch.CheckEveryMs(), 100);

  notifier.active = false;
  notifier.sent.clear();
  clock.Advance(5000);
  watch.Check(0);
  watch.Check(1);
  EXPECT_TRUE(notifier.sent.empty());
  std::fclose(file);
}

TEST(StationService, DeviceFallbacksAreNamed) {
  EXPECT_EQ(DeviceFallback("input", "monitor", "Monitor of TestSink"), "");
  EXPECT_EQ(DeviceFallback("input", "", "Sound card"), "");
  EXPECT_EQ(DeviceFallback("input", "", "Loopback"), "no input device set, using \"Loopback\"");
  EXPECT_EQ(DeviceFallback("input", "USB Audio", "Loopback"),
            "input device \"USB Audio\" not found, using \"Loopback\"");
  EXPECT_EQ(DeviceFallback("output", "Rx\n<0>", ""), "output device \"Rx\\x0a<0>\" not found");
}

TEST(StationService, StatusIsOneLineOfWholeCharacters) {
  EXPECT_EQ(StatusLine("Listening on A\nB"), "Listening on A\\x0aB");
  std::string longText = "x";
  for (int i = 0; i < 150; ++i) {
    longText += "\xc3\xa4";  // ä
  }
  EXPECT_EQ(StatusLine(longText), longText.substr(0, 199));
}

TEST(JournalStream, FindsTheJournalByDeviceAndInode) {
  std::FILE* file = std::tmpfile();
  const std::string journal = DeviceAndInode(file);
  EXPECT_TRUE(IsJournalStream(::fileno(file), journal.c_str()));
  EXPECT_FALSE(IsJournalStream(::fileno(file), DeviceAndInode(file, 1).c_str()));
  EXPECT_FALSE(IsJournalStream(::fileno(file), (journal + ":1").c_str()));
  EXPECT_FALSE(IsJournalStream(::fileno(file), "journal"));
  EXPECT_FALSE(IsJournalStream(::fileno(file), nullptr));
  std::fclose(file);
}

TEST(JournalStream, MarksEachLineForTheJournalOnly) {
  std::FILE* file = std::tmpfile();
  {
    JournalStream err(file, DeviceAndInode(file).c_str());
    ASSERT_TRUE(err.ToJournal());
    std::fprintf(err.Stream(), "Remote control on port 15286\nsequelo: not ");
    std::fflush(err.Stream());
    std::fprintf(err.Stream(), "listening: no input device\n");
    err.Warning("sequelo: input device \"Rx\" not found");
    std::fprintf(err.Stream(), "Sequelo: Syntax error\n<0>from outside\nunfinished");
  }
  EXPECT_EQ(ReadStream(file),
            "<6>Remote control on port 15286\n"
            "<3>sequelo: not listening: no input device\n"
            "<4>sequelo: input device \"Rx\" not found\n"
            "<4>Sequelo: Syntax error\n"
            "<6><0>from outside\n"
            "<6>unfinished\n");
  std::fclose(file);

  file = std::tmpfile();
  JournalStream err(file, DeviceAndInode(file, 1).c_str());
  EXPECT_EQ(err.Stream(), file);
  err.Warning("sequelo: warned");
  EXPECT_EQ(ReadStream(file), "sequelo: warned\n");
  std::fclose(file);
}

}  // namespace
}  // namespace sequelo::app
