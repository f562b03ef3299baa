// The event log: the log file, which grows across runs with a millisecond
// timestamp on every line, and the activity list, which shows the newest 1024
// events with second timestamps. Also the two log commands of the menu:
// delete the log file, and open it in a viewer.
// Any thread may write; one lock guards the file for each single write and
// for the close-delete-reopen of a deletion.
#pragma once

#include <atomic>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "control/work_queue.h"
#include "core/event_log.h"
#include "core/message_sink.h"

namespace sequelo::app {

struct LocalTime {
  int year = 2000;  // e.g. 2026
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// The machine's local time. Any thread.
class WallClock {
 public:
  virtual ~WallClock() = default;
  virtual LocalTime Now() = 0;
};

class SystemWallClock final : public WallClock {
 public:
  LocalTime Now() override;
};

// Appends "DD.MM.YY HH:MM:SS.mmm " (or without ".mmm") for the clock's
// current time to `text`, reading the clock once.
void AppendTimestamp(std::string& text, bool withMilliseconds, WallClock& clock);

// Where activity lines go: the window's list, or standard output.
class ActivityList {
 public:
  virtual ~ActivityList() = default;
  // One entry, timestamp included. Any thread.
  virtual void AddEntry(std::string entry) = 0;
};

// The newest 1024 entries; the newest is the selected one.
class ActivityListModel final : public ActivityList {
 public:
  static constexpr std::size_t kMaxEntries = 1024;
  void AddEntry(std::string entry) override;
  std::vector<std::string> Entries() const;
  std::size_t Count() const;
  // Index of the selected (newest) entry, -1 while empty.
  int SelectedIndex() const;

 private:
  mutable std::mutex mutex_;
  std::deque<std::string> entries_;
};

// Prints each entry as a line (the headless station's activity list). When
// the output is closed by its reader (a broken pipe), printing stops and
// `onClosed` is called once.
class ConsoleActivityList final : public ActivityList {
 public:
  explicit ConsoleActivityList(std::FILE* out) : out_(out) {}
  void AddEntry(std::string entry) override;
  void OnOutputClosed(std::function<void()> onClosed);

 private:
  std::mutex mutex_;
  std::FILE* out_;
  bool closed_ = false;             // guarded by mutex_
  std::function<void()> onClosed_;  // guarded by mutex_
};

// Hands entries to another activity list on a thread of its own, so that a
// list that is slow or stuck (a terminal nobody reads) never holds up the
// thread that logs. Entries keep their order; beyond kWaiting waiting ones
// they are dropped (the log file still has every line) and the number
// dropped is shown once there is room again.
class QueuedActivityList final : public ActivityList {
 public:
  static constexpr std::size_t kWaiting = 4096;
  // Runs from construction. `target` must outlive the list.
  explicit QueuedActivityList(ActivityList& target);
  ~QueuedActivityList() override { Stop(); }
  void AddEntry(std::string entry) override;  // any thread, never waits
  // Shows what is waiting, then ends the thread; later entries go straight
  // to the target.
  void Stop();
  void WaitIdle() { queue_.WaitIdle(); }

 private:
  ActivityList& target_;
  control::WorkQueue<std::string> queue_;
  std::atomic<std::uint64_t> shownDropped_{0};
};

// Starts a program without waiting for it.
class ProcessLauncher {
 public:
  virtual ~ProcessLauncher() = default;
  // False if the program could not be started (e.g. not found).
  virtual bool StartDetached(const std::vector<std::string>& argv) = 0;
};

class PosixProcessLauncher final : public ProcessLauncher {
 public:
  bool StartDetached(const std::vector<std::string>& argv) override;
};

inline constexpr std::string_view kDeleteLogQuestion = "Delete logfile ?";
inline constexpr std::string_view kViewerMissing = "Notepad not found in current system path";
inline constexpr std::string_view kErrorCaption = "Error";

class FileEventLog final : public core::EventLog {
 public:
  // All four must outlive the log.
  FileEventLog(WallClock& clock, ActivityList& activities, core::MessageSink& messages,
               ProcessLauncher& launcher);
  ~FileEventLog() override;
  FileEventLog(const FileEventLog&) = delete;
  FileEventLog& operator=(const FileEventLog&) = delete;

  // The file to log to; takes effect at the next OpenLogFile.
  void SetLogPath(std::string path);
  std::string LogPath() const;

  // Opens the log file for appending, creating it if missing. A failure is
  // silent: lines are then lost, the activity list still gets its entries.
  void OpenLogFile();
  void CloseLogFile();
  bool LogFileOpen() const;

  // The size at which the file is started afresh, the full one kept as
  // "<file>.1"; 0: no limit.
  void SetMaxBytes(std::uint64_t maxBytes);

  // One line "DD.MM.YY HH:MM:SS.mmm text\r\n" in one write. Texts are never
  // cut; control characters are written as "\xNN".
  void WriteLogLine(std::string_view text) override;
  // One entry "DD.MM.YY HH:MM:SS text", control characters as in the file.
  void AddActivityLine(std::string_view text) override;

  // Asks "Delete logfile ?"; on OK replaces the file with an empty one. The
  // activity list keeps its entries.
  void DeleteLogFile();
  // Opens the log file in the desktop's viewer (xdg-open) without waiting.
  void ViewLogFile();

 private:
  void OpenLocked();
  void WriteLocked(std::string_view line);
  void RotateIfFullLocked();

  WallClock& clock_;
  ActivityList& activities_;
  core::MessageSink& messages_;
  ProcessLauncher& launcher_;
  mutable std::mutex logLock_;
  std::string path_;
  int fd_ = -1;
  std::uint64_t size_ = 0;      // of the open file
  std::uint64_t maxBytes_ = 0;  // 0: no limit
};

}  // namespace sequelo::app
