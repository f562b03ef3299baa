#include "app/event_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "app/console_message_sink.h"
#include "tests/support/fakes.h"
#include "tests/support/temp_dir.h"

namespace sequelo::app {
namespace {

class FixedClock final : public WallClock {
 public:
  LocalTime Now() override { return time; }
  LocalTime time{2026, 12, 6, 1, 21, 12, 45};
};

class FakeLauncher final : public ProcessLauncher {
 public:
  bool StartDetached(const std::vector<std::string>& argv) override {
    started.push_back(argv);
    return works;
  }
  bool works = true;
  std::vector<std::vector<std::string>> started;
};

TEST(Timestamp, FieldsAreZeroPadded) {
  FixedClock clock;
  std::string text;
  AppendTimestamp(text, true, clock);
  EXPECT_EQ(text, "06.12.26 01:21:12.045 ");
  clock.time = LocalTime{2000, 1, 2, 9, 5, 3, 7};
  text.clear();
  AppendTimestamp(text, true, clock);
  EXPECT_EQ(text, "02.01.00 09:05:03.007 ");
  text = "x";
  AppendTimestamp(text, false, clock);
  EXPECT_EQ(text, "x02.01.00 09:05:03 ");
}

TEST(ActivityListModel, KeepsTheNewest1024AndSelectsTheNewest) {
  ActivityListModel list;
  EXPECT_EQ(list.SelectedIndex(), -1);
  for (int i = 0; i < 1023; ++i) {
    list.AddEntry("e" + std::to_string(i));
  }
  EXPECT_EQ(list.Count(), 1023U);
  list.AddEntry("e1023");
  EXPECT_EQ(list.Count(), 1024U);
  EXPECT_EQ(list.Entries().front(), "e0");
  list.AddEntry("e1024");
  EXPECT_EQ(list.Count(), 1024U);
  EXPECT_EQ(list.Entries().front(), "e1");
  EXPECT_EQ(list.Entries().back(), "e1024");
  EXPECT_EQ(list.SelectedIndex(), 1023);
}

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override { log_.SetLogPath(tmp_.Path("Sequelo.log")); }
  std::string Content() const { return testsupport::ReadFileText(tmp_.Path("Sequelo.log")); }

  testsupport::ScopedTempDir tmp_;
  FixedClock clock_;
  ActivityListModel activities_;
  testsupport::FakeMessageSink messages_;
  FakeLauncher launcher_;
  FileEventLog log_{clock_, activities_, messages_, launcher_};
};

TEST_F(EventLogTest, LinesAreAppendedAcrossRuns) {
  log_.OpenLogFile();
  log_.Report("Program startup");
  log_.WriteLogLine("Program termination");
  log_.CloseLogFile();
  EXPECT_EQ(
      Content(),
      "06.12.26 01:21:12.045 Program startup\r\n06.12.26 01:21:12.045 Program termination\r\n");
  EXPECT_EQ(activities_.Entries(), std::vector<std::string>{"06.12.26 01:21:12 Program startup"});
  // A second run appends, never truncates.
  FileEventLog again(clock_, activities_, messages_, launcher_);
  again.SetLogPath(log_.LogPath());
  again.OpenLogFile();
  again.WriteLogLine("Program startup");
  again.CloseLogFile();
  EXPECT_EQ(Content(),
            "06.12.26 01:21:12.045 Program startup\r\n06.12.26 01:21:12.045 Program termination\r\n"
            "06.12.26 01:21:12.045 Program startup\r\n");
}

TEST_F(EventLogTest, ControlCharactersFromOutsideCannotForgeALineOrReachTheTerminal) {
  log_.OpenLogFile();
  log_.Report("Socket command received: !a\nfake line\x1b[2J\xc2\x9b tail \xff caf\xc3\xa9");
  log_.CloseLogFile();
  const std::string shown =
      "Socket command received: !a\\x0afake line\\x1b[2J\\xc2\\x9b tail \\xff caf\xc3\xa9";
  EXPECT_EQ(Content(), "06.12.26 01:21:12.045 " + shown + "\r\n");
  EXPECT_EQ(activities_.Entries(), std::vector<std::string>{"06.12.26 01:21:12 " + shown});
}

TEST_F(EventLogTest, AFullLogStartsAfreshKeepingTheOneBefore) {
  log_.SetMaxBytes(200);
  log_.OpenLogFile();
  for (int i = 0; i < 12; ++i) {
    log_.WriteLogLine("line " + std::to_string(i) + std::string(20, '.'));
  }
  log_.CloseLogFile();
  const std::string old = testsupport::ReadFileText(tmp_.Path("Sequelo.log.1"));
  const std::string now = Content();
  // The newest lines are kept, and neither file is far beyond the limit.
  EXPECT_LE(old.size(), 200u + 60u);
  EXPECT_LE(now.size(), 200u + 200u);
  EXPECT_NE(now.find("Log file started afresh"), std::string::npos);
  EXPECT_NE((old + now).find("line 11"), std::string::npos);
  EXPECT_NE((old + now).find("line 10"), std::string::npos);
}

TEST(ConsoleOutput, AReaderThatGoesAwayStopsPrintingAndIsToldOnce) {
  std::signal(SIGPIPE, SIG_IGN);  // as the programs do
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::FILE* out = ::fdopen(fds[1], "w");
  ::close(fds[0]);
  ConsoleActivityList list(out);
  int told = 0;
  list.OnOutputClosed([&told] { ++told; });
  for (int i = 0; i < 5; ++i) {
    list.AddEntry("06.12.26 01:21:12 Code received: 12345");
  }
  std::fclose(out);
  EXPECT_EQ(told, 1);
}

TEST_F(EventLogTest, LongTextsAreWrittenWhole) {
  const std::string text(5000, 'x');
  log_.OpenLogFile();
  log_.Report(text);
  EXPECT_EQ(Content(), "06.12.26 01:21:12.045 " + text + "\r\n");
  EXPECT_EQ(activities_.Entries().back(), "06.12.26 01:21:12 " + text);
}

TEST_F(EventLogTest, LinesFromManyThreadsAreNeverInterleavedOrLost) {
  log_.OpenLogFile();
  constexpr int kThreads = 8;
  constexpr int kLines = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kLines; ++i) {
        log_.WriteLogLine(
            "thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
            std::string(static_cast<std::size_t>(50 + (i * 37) % 400), static_cast<char>('a' + t)));
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  std::istringstream in(Content());
  std::set<std::string> seen;
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    ++count;
    ASSERT_EQ(line.back(), '\r');
    ASSERT_EQ(line.rfind("06.12.26 01:21:12.045 thread ", 0), 0U) << line.substr(0, 60);
    const std::size_t tail = line.find_last_of(' ');
    const char fill = line[tail + 1];
    EXPECT_EQ(line.find_first_not_of(fill, tail + 1), line.size() - 1) << "mixed line";
    seen.insert(line.substr(22, tail - 22));
  }
  EXPECT_EQ(count, kThreads * kLines);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

TEST_F(EventLogTest, DeleteOnOkKeepsOnlyLaterLinesCancelKeepsAll) {
  log_.OpenLogFile();
  log_.Report("before");
  log_.DeleteLogFile();  // answered Cancel
  EXPECT_EQ(messages_.questions, std::vector<std::string>{"Sequelo: Delete logfile ?"});
  EXPECT_NE(Content().find("before"), std::string::npos);
  messages_.answerOk = true;
  log_.DeleteLogFile();
  log_.WriteLogLine("after");
  EXPECT_EQ(Content(), "06.12.26 01:21:12.045 after\r\n");
  EXPECT_EQ(activities_.Count(), 1U);  // the list keeps its entries
}

TEST_F(EventLogTest, UnwritableLogLosesLinesButNotActivities) {
  log_.SetLogPath(tmp_.Path("missing-dir/Sequelo.log"));
  log_.OpenLogFile();
  EXPECT_FALSE(log_.LogFileOpen());
  log_.Report("Code received: 12345");
  EXPECT_EQ(activities_.Count(), 1U);
  EXPECT_TRUE(messages_.messages.empty());
}

TEST_F(EventLogTest, ViewStartsXdgOpenOrSaysItCannot) {
  log_.ViewLogFile();
  ASSERT_EQ(launcher_.started.size(), 1U);
  EXPECT_EQ(launcher_.started[0], (std::vector<std::string>{"xdg-open", log_.LogPath()}));
  EXPECT_TRUE(messages_.messages.empty());
  launcher_.works = false;
  log_.ViewLogFile();
  EXPECT_EQ(messages_.messages,
            std::vector<std::string>{"Error: Notepad not found in current system path"});
}

TEST(PosixProcessLauncher, ReportsAProgramThatDoesNotExist) {
  PosixProcessLauncher launcher;
  EXPECT_FALSE(launcher.StartDetached({"sequelo-no-such-program-xyz"}));
  EXPECT_TRUE(launcher.StartDetached({"true"}));
}

TEST(ConsoleOutput, MessagesAndActivitiesArePrinted) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ConsoleMessageSink messages(out);
  messages.ShowMessage("Error opening com port for PTT.", core::kProgramCaption);
  EXPECT_FALSE(messages.AskOkCancel("Delete logfile ?", core::kProgramCaption));
  ConsoleActivityList list(out);
  list.AddEntry("06.12.26 01:21:12 Program startup");
  std::rewind(out);
  char buffer[256] = {};
  const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, out);
  std::fclose(out);
  EXPECT_EQ(std::string(buffer, n),
            "Sequelo: Error opening com port for PTT.\nSequelo: Delete logfile ?\n"
            "06.12.26 01:21:12 Program startup\n");
}

}  // namespace
}  // namespace sequelo::app
