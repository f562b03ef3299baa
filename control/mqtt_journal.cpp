#include "control/mqtt_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>

namespace sequelo::control {
namespace {

using Json = nlohmann::json;

int Digits(std::string_view s, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (s[i] < '0' || s[i] > '9') {
      return -1;
    }
    value = value * 10 + (s[i] - '0');
  }
  return value;
}

// "2025-12-09T01:02:03.456Z", as AlarmEventJson writes it; years 1970-2200
// (system_clock counts nanoseconds in 64 bits: it ends in 2262).
std::optional<std::chrono::system_clock::time_point> ParseIsoTime(std::string_view s) {
  if (s.size() != 24 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' ||
      s[16] != ':' || s[19] != '.' || s[23] != 'Z') {
    return std::nullopt;
  }
  const int year = Digits(s, 0, 4);
  const int month = Digits(s, 5, 2);
  const int day = Digits(s, 8, 2);
  const int hour = Digits(s, 11, 2);
  const int minute = Digits(s, 14, 2);
  const int second = Digits(s, 17, 2);
  const int ms = Digits(s, 20, 3);
  if (year < 1970 || year > 2200 || month < 0 || day < 0 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59 || ms < 0) {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{std::chrono::year(year),
                                         std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) {
    return std::nullopt;
  }
  return std::chrono::sys_days(date) + std::chrono::hours(hour) + std::chrono::minutes(minute) +
         std::chrono::seconds(second) + std::chrono::milliseconds(ms);
}

bool GetString(const Json& j, const char* key, std::string& out) {
  const auto it = j.find(key);
  if (it == j.end() || !it->is_string()) {
    return false;
  }
  out = it->get<std::string>();
  return true;
}

// A string, or null for none (empty).
bool GetOptionalString(const Json& j, const char* key, std::string& out) {
  const auto it = j.find(key);
  if (it != j.end() && it->is_null()) {
    out.clear();
    return true;
  }
  return GetString(j, key, out);
}

std::optional<AlarmEvent> EventFromJson(const Json& j) {
  if (!j.is_object()) {
    return std::nullopt;
  }
  AlarmEvent event;
  std::string time;
  std::string decoder;
  if (!GetString(j, "id", event.id) || event.id.empty() || !GetString(j, "time", time) ||
      !GetString(j, "code", event.code) || !GetString(j, "toneset", event.toneSet) ||
      !GetString(j, "decoder", decoder) || !GetOptionalString(j, "class", event.alarmClass) ||
      !GetOptionalString(j, "recording", event.recording) ||
      !GetString(j, "station", event.station)) {
    return std::nullopt;
  }
  const auto when = ParseIsoTime(time);
  if (!when) {
    return std::nullopt;
  }
  event.time = *when;
  if (decoder == "standard") {
    event.decoder = core::DecoderChoice::kStandard;
  } else if (decoder == "enhanced") {
    event.decoder = core::DecoderChoice::kEnhanced;
  } else {
    return std::nullopt;
  }
  const auto repeats = j.find("repeats");
  if (repeats == j.end() || !repeats->is_number_integer()) {
    return std::nullopt;
  }
  const auto count = repeats->get<std::int64_t>();
  if (count < 1 || count > std::numeric_limits<int>::max() ||
      (repeats->is_number_unsigned() &&
       repeats->get<std::uint64_t>() > std::uint64_t{std::numeric_limits<int>::max()})) {
    return std::nullopt;
  }
  event.repeats = static_cast<int>(count);
  const auto update = j.find("update");
  if (update == j.end() || !update->is_boolean()) {
    return std::nullopt;
  }
  event.update = update->get<bool>();
  return event;
}

std::optional<std::uint64_t> GetSeq(const Json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end() || !it->is_number_unsigned()) {
    return std::nullopt;
  }
  const auto seq = it->get<std::uint64_t>();
  if (seq == 0 || seq > kMaxJournalSeq) {
    return std::nullopt;
  }
  return seq;
}

std::string ErrorText(int err) {
  return std::strerror(err);
}

}  // namespace

std::optional<JournalLine> ParseJournalLine(std::string_view line) {
  if (line.size() > kMaxJournalLineBytes || line.empty() || line.front() != '{') {
    return std::nullopt;
  }
  const Json j = Json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    return std::nullopt;
  }
  JournalLine out;
  if (j.size() == 1) {
    const auto seq = GetSeq(j, "done");
    if (!seq) {
      return std::nullopt;
    }
    out.kind = JournalLine::Kind::kDone;
    out.seq = *seq;
    return out;
  }
  const auto seq = GetSeq(j, "add");
  const auto event = j.find("event");
  if (j.size() != 2 || !seq || event == j.end()) {
    return std::nullopt;
  }
  auto parsed = EventFromJson(*event);
  if (!parsed) {
    return std::nullopt;
  }
  out.kind = JournalLine::Kind::kAdd;
  out.seq = *seq;
  out.event = std::move(*parsed);
  return out;
}

std::string JournalAddLine(std::uint64_t seq, const std::string& eventJson) {
  return "{\"add\":" + std::to_string(seq) + ",\"event\":" + eventJson + "}\n";
}

std::string JournalDoneLine(std::uint64_t seq) {
  return "{\"done\":" + std::to_string(seq) + "}\n";
}

void JournalReader::Feed(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, end);
    if (!overlong_) {
      if (pending_.size() + piece.size() > kMaxJournalLineBytes) {
        overlong_ = true;
        pending_.clear();
      } else {
        pending_.append(piece);
      }
    }
    if (end == std::string_view::npos) {
      return;
    }
    if (overlong_) {
      ++badLines_;
      overlong_ = false;
    } else {
      Line(pending_);
    }
    pending_.clear();
    bytes.remove_prefix(end + 1);
  }
}

void JournalReader::Finish() {
  if (overlong_ || !pending_.empty()) {
    ++badLines_;
  }
  overlong_ = false;
  pending_.clear();
}

void JournalReader::Line(std::string_view line) {
  auto parsed = ParseJournalLine(line);
  if (!parsed) {
    ++badLines_;
    return;
  }
  if (parsed->kind == JournalLine::Kind::kDone) {
    waiting_.erase(parsed->seq);
    return;
  }
  if (parsed->seq <= lastSeq_) {
    ++badLines_;
    return;
  }
  lastSeq_ = parsed->seq;
  waiting_.emplace(parsed->seq, std::move(parsed->event));
  if (waiting_.size() > limit_) {
    waiting_.erase(waiting_.begin());
    ++dropped_;
  }
}

MqttJournal::MqttJournal(std::string name, core::EventLog& log, std::size_t limit,
                         std::size_t compactAfter)
    : name_(std::move(name)), log_(log), limit_(limit), compactAfter_(compactAfter) {}

MqttJournal::~MqttJournal() {
  Close();
}

bool MqttJournal::Open(const std::string& dir, Loaded& loaded, std::string& error) {
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) {
    error = "already open";
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    error = ec.message();
    return false;
  }
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    error = ErrorText(errno);
    return false;
  }
  if (::flock(dirFd, LOCK_EX | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? "in use by another station" : ErrorText(errno);
    ::close(dirFd);
    return false;
  }
  const std::string path = dir + "/" + kMqttJournalName;
  const int fd =
      ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = fd < 0 || S_ISREG(st.st_mode) ? ErrorText(errno) : "not a regular file";
    if (fd >= 0) {
      ::close(fd);
    }
    ::close(dirFd);
    return false;
  }

  JournalReader reader(limit_);
  std::string buffer(64 * 1024, '\0');
  char lastByte = '\n';
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      error = ErrorText(errno);
      ::close(fd);
      ::close(dirFd);
      return false;
    }
    if (n == 0) {
      break;
    }
    lastByte = buffer[static_cast<std::size_t>(n) - 1];
    reader.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
  }
  reader.Finish();

  loaded.waiting.clear();
  lines_.clear();
  for (const auto& [seq, event] : reader.Waiting()) {
    lines_.emplace(seq, JournalAddLine(seq, AlarmEventJson(event)));
    loaded.waiting.push_back({seq, event});
  }
  loaded.badLines = reader.BadLines();
  loaded.dropped = reader.Dropped();
  lastSeq_ = reader.LastSeq();
  dir_ = dir;
  path_ = path;
  fd_ = fd;
  dirFd_ = dirFd;
  deadLines_ = 0;
  if (st.st_size > 0) {
    std::string rewriteError;
    if (!RewriteLocked(rewriteError)) {
      log_.Report(name_ + ": queue file not tidied (" + rewriteError + ")");
      // Keep appending to the old file, on a line of its own.
      if (lastByte != '\n' && fd_ >= 0) {
        WriteLocked(fd_, "\n");
      }
    }
  }
  if (fd_ < 0) {
    error = "queue file lost";
    return false;
  }
  return true;
}

bool MqttJournal::IsOpen() const {
  std::lock_guard lock(mutex_);
  return fd_ >= 0;
}

std::uint64_t MqttJournal::LastSeq() const {
  std::lock_guard lock(mutex_);
  return lastSeq_;
}

std::size_t MqttJournal::WaitingCount() const {
  std::lock_guard lock(mutex_);
  return lines_.size();
}

bool MqttJournal::WriteLocked(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      if (n == 0) {
        errno = EIO;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void MqttJournal::ReportFailureLocked(const std::string& what, int err) {
  if (!failing_) {
    failing_ = true;
    log_.Report(name_ + ": " + what + " (" + ErrorText(err) + ")");
  }
}

bool MqttJournal::Append(std::uint64_t seq, const std::string& eventJson) {
  std::lock_guard lock(mutex_);
  if (fd_ < 0 || seq <= lastSeq_ || seq > kMaxJournalSeq) {
    return false;
  }
  const std::string line = JournalAddLine(seq, eventJson);
  if (line.size() > kMaxJournalLineBytes + 1) {
    log_.Report(name_ + ": alarm event too long for the queue file, kept in memory only");
    return false;
  }
  const off_t before = ::lseek(fd_, 0, SEEK_END);
  if (!WriteLocked(fd_, line)) {
    const int err = errno;
    if (before >= 0 && ::ftruncate(fd_, before) != 0) {
      // The torn line is skipped as a bad line when the file is read back.
    }
    ReportFailureLocked("queue file not written, alarm events kept in memory only", err);
    return false;
  }
  if (::fdatasync(fd_) != 0) {
    ReportFailureLocked("queue file not flushed to the disk", errno);
  } else {
    failing_ = false;
  }
  lines_.emplace(seq, line);
  lastSeq_ = seq;
  return true;
}

void MqttJournal::Done(std::uint64_t seq) {
  std::lock_guard lock(mutex_);
  if (fd_ < 0 || lines_.erase(seq) == 0) {
    return;
  }
  deadLines_ += 2;
  if (lines_.empty()) {
    // Nothing waits: start the file afresh.
    if (::ftruncate(fd_, 0) == 0) {
      deadLines_ = 0;
      return;
    }
  }
  // Not synced: a lost done line only sends the event once more.
  if (!WriteLocked(fd_, JournalDoneLine(seq))) {
    ReportFailureLocked("queue file not written", errno);
  }
  MaybeCompactLocked();
}

void MqttJournal::MaybeCompactLocked() {
  if (deadLines_ < compactAfter_ || deadLines_ < 2 * lines_.size()) {
    return;
  }
  std::string error;
  if (!RewriteLocked(error)) {
    log_.Report(name_ + ": queue file not tidied (" + error + ")");
    deadLines_ = 0;  // try again after as many lines more
  }
}

bool MqttJournal::RewriteLocked(std::string& error) {
  const std::string temp = path_ + ".tmp";
  const int t = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (t < 0) {
    error = ErrorText(errno);
    return false;
  }
  std::string chunk;
  bool ok = true;
  for (const auto& [seq, line] : lines_) {
    chunk += line;
    if (chunk.size() >= 64 * 1024) {
      ok = ok && WriteLocked(t, chunk);
      chunk.clear();
    }
  }
  ok = ok && WriteLocked(t, chunk) && ::fsync(t) == 0;
  const int err = errno;
  ::close(t);
  if (!ok || ::rename(temp.c_str(), path_.c_str()) != 0) {
    error = ErrorText(ok ? errno : err);
    ::unlink(temp.c_str());
    return false;
  }
  ::fsync(dirFd_);
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  const int openError = errno;
  ::close(fd_);
  fd_ = fd;
  deadLines_ = 0;
  if (fd_ < 0) {
    error = "not reopened: " + ErrorText(openError) + ", alarm events kept in memory only";
    return false;
  }
  return true;
}

void MqttJournal::Close() {
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) {
    if (lines_.empty() && ::ftruncate(fd_, 0) != 0) {
      // Left as it is: read back, its done lines cancel its events.
    }
    ::close(fd_);
    fd_ = -1;
  }
  if (dirFd_ >= 0) {
    ::close(dirFd_);  // and with it the folder's lock
    dirFd_ = -1;
  }
  lines_.clear();
}

}  // namespace sequelo::control
