#include "app/event_log.h"

#include "core/printable.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>

extern char** environ;

namespace sequelo::app {

LocalTime SystemWallClock::Now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm tm{};
  localtime_r(&seconds, &tm);
  return LocalTime{
      tm.tm_year + 1900,           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
      static_cast<int>(ms.count())};
}

void AppendTimestamp(std::string& text, bool withMilliseconds, WallClock& clock) {
  const LocalTime t = clock.Now();
  char stamp[64];
  if (withMilliseconds) {
    std::snprintf(stamp, sizeof stamp, "%02i.%02i.%02i %02i:%02i:%02i.%03i ", t.day, t.month,
                  t.year % 100, t.hour, t.minute, t.second, t.millisecond);
  } else {
    std::snprintf(stamp, sizeof stamp, "%02i.%02i.%02i %02i:%02i:%02i ", t.day, t.month,
                  t.year % 100, t.hour, t.minute, t.second);
  }
  text += stamp;
}

void ActivityListModel::AddEntry(std::string entry) {
  std::lock_guard lock(mutex_);
  if (entries_.size() >= kMaxEntries) {
    entries_.pop_front();
  }
  entries_.push_back(std::move(entry));
}

std::vector<std::string> ActivityListModel::Entries() const {
  std::lock_guard lock(mutex_);
  return {entries_.begin(), entries_.end()};
}

std::size_t ActivityListModel::Count() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

int ActivityListModel::SelectedIndex() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(entries_.size()) - 1;
}

void ConsoleActivityList::AddEntry(std::string entry) {
  std::function<void()> onClosed;
  {
    std::lock_guard lock(mutex_);
    if (closed_) {
      return;
    }
    std::fprintf(out_, "%s\n", entry.c_str());
    if (std::fflush(out_) == 0 || errno != EPIPE) {
      return;
    }
    // Nobody reads any more (`sequelo-cli run | head`): printing stops, the
    // station goes on.
    closed_ = true;
    onClosed = onClosed_;
  }
  if (onClosed) {
    onClosed();
  }
}

void ConsoleActivityList::OnOutputClosed(std::function<void()> onClosed) {
  std::lock_guard lock(mutex_);
  onClosed_ = std::move(onClosed);
}

QueuedActivityList::QueuedActivityList(ActivityList& target)
    : target_(target), queue_(kWaiting, [this](std::string& entry) {
        const std::uint64_t dropped = queue_.Overflows();
        const std::uint64_t shown = shownDropped_.exchange(dropped);
        if (dropped != shown) {
          target_.AddEntry("(" + std::to_string(dropped - shown) +
                           " activity lines dropped; the log file has them)");
        }
        target_.AddEntry(std::move(entry));
      }) {
  queue_.Start();
}

void QueuedActivityList::Stop() {
  queue_.Stop();
}

void QueuedActivityList::AddEntry(std::string entry) {
  // A full queue drops the entry (the next one says how many); once the
  // queue is stopping or stopped, entries go straight to the target.
  if (!queue_.PostOrKeep(entry) && !queue_.Running()) {
    target_.AddEntry(std::move(entry));
  }
}

bool PosixProcessLauncher::StartDetached(const std::vector<std::string>& argv) {
  if (argv.empty()) {
    return false;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  pid_t pid = 0;
  // posix_spawnp reports a program that cannot be executed (not found).
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) {
    return false;
  }
  // Reap it when it ends, without making the caller wait.
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

FileEventLog::FileEventLog(WallClock& clock, ActivityList& activities, core::MessageSink& messages,
                           ProcessLauncher& launcher)
    : clock_(clock), activities_(activities), messages_(messages), launcher_(launcher) {}

FileEventLog::~FileEventLog() {
  CloseLogFile();
}

void FileEventLog::SetLogPath(std::string path) {
  std::lock_guard lock(logLock_);
  path_ = std::move(path);
}

std::string FileEventLog::LogPath() const {
  std::lock_guard lock(logLock_);
  return path_;
}

void FileEventLog::OpenLocked() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  struct stat st {};
  size_ = fd_ >= 0 && ::fstat(fd_, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

void FileEventLog::SetMaxBytes(std::uint64_t maxBytes) {
  std::lock_guard lock(logLock_);
  maxBytes_ = maxBytes;
}

void FileEventLog::WriteLocked(std::string_view line) {
  // The file is opened for appending, so each write lands at the end as one
  // piece; a short write (full disk) continues with the rest.
  std::size_t done = 0;
  while (fd_ >= 0 && done < line.size()) {
    const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;  // lost silently, as a log that cannot be written must not stop the station
    }
    done += static_cast<std::size_t>(n);
  }
  size_ += done;
}

// At its size limit the file is started afresh; the full one is kept as
// "<name>.1" (replacing the one before), so the log never takes more than
// twice the limit.
void FileEventLog::RotateIfFullLocked() {
  if (maxBytes_ == 0 || size_ < maxBytes_ || fd_ < 0) {
    return;
  }
  const std::string old = path_ + ".1";
  ::close(fd_);
  fd_ = -1;
  const bool moved = ::rename(path_.c_str(), old.c_str()) == 0;
  OpenLocked();
  if (moved) {
    std::string line;
    AppendTimestamp(line, true, clock_);
    line += "Log file started afresh at " + std::to_string(maxBytes_ / 1024) +
            " KB (LogMaxKB); the lines before are in " + old + "\r\n";
    WriteLocked(line);
  }
}

void FileEventLog::OpenLogFile() {
  std::lock_guard lock(logLock_);
  OpenLocked();
}

void FileEventLog::CloseLogFile() {
  std::lock_guard lock(logLock_);
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool FileEventLog::LogFileOpen() const {
  std::lock_guard lock(logLock_);
  return fd_ >= 0;
}

void FileEventLog::WriteLogLine(std::string_view text) {
  // Built before the lock is taken; the lock covers the write alone.
  std::string line;
  line.reserve(24 + text.size());
  AppendTimestamp(line, true, clock_);
  line.append(core::Printable(text));
  line.append("\r\n");
  std::lock_guard lock(logLock_);
  WriteLocked(line);
  RotateIfFullLocked();
}

void FileEventLog::AddActivityLine(std::string_view text) {
  std::string entry;
  entry.reserve(20 + text.size());
  AppendTimestamp(entry, false, clock_);
  entry.append(core::Printable(text));
  activities_.AddEntry(std::move(entry));
}

void FileEventLog::DeleteLogFile() {
  if (!messages_.AskOkCancel(kDeleteLogQuestion)) {
    return;
  }
  std::lock_guard lock(logLock_);
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  ::unlink(path_.c_str());
  OpenLocked();
}

void FileEventLog::ViewLogFile() {
  if (!launcher_.StartDetached({"xdg-open", LogPath()})) {
    messages_.ShowMessage(kViewerMissing, kErrorCaption);
  }
}

}  // namespace sequelo::app
