// The MQTT forwarder's queue file: every alarm event the forwarder takes is
// appended as one line before it is queued, and a second line marks it done
// once the broker has acknowledged it, so the events still waiting survive
// a broker outage, a crash or a kill of the station and are sent at the next
// start.
//
// Lines (JSON, one per line):
//   {"add":12,"event":{...the event's JSON...}}   event number 12 queued
//   {"done":12}                                   event number 12 delivered
//
// The file is read back from disk and so is hostile: a line longer than
// kMaxJournalLineBytes, a line that is not one of the two forms, an event
// with a field missing or of the wrong type, an added number not above the
// one added before it (they are written rising), are skipped and counted;
// only the newest `limit` waiting events are kept.
// It is rewritten (a temporary file renamed over it) at start and whenever
// most of its lines are done ones.
//
// Threads: MqttJournal may be called from any thread (one lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/alarm_event.h"
#include "core/event_log.h"

namespace sequelo::control {

inline constexpr const char* kMqttJournalName = "Sequelo.mqtt-queue";
inline constexpr std::size_t kMaxJournalLineBytes = 32 * 1024;
// Event numbers stay below 2^53, which every JSON reader takes exactly.
inline constexpr std::uint64_t kMaxJournalSeq = (std::uint64_t{1} << 53) - 1;

struct JournalLine {
  enum class Kind { kAdd, kDone };
  Kind kind = Kind::kAdd;
  std::uint64_t seq = 0;
  AlarmEvent event;  // kAdd only
};

// One line without its line feed; nullopt when it is not a valid line.
std::optional<JournalLine> ParseJournalLine(std::string_view line);
// The lines as written, each with its line feed. The event's JSON is
// AlarmEventJson(event), passed in as made once by the caller.
std::string JournalAddLine(std::uint64_t seq, const std::string& eventJson);
std::string JournalDoneLine(std::uint64_t seq);

// Reads a queue file fed in pieces of any size: the waiting events in the
// order of their numbers, at most `limit` of them (the oldest are dropped).
class JournalReader {
 public:
  explicit JournalReader(std::size_t limit) : limit_(limit) {}
  void Feed(std::string_view bytes);
  // The end of the file: an unfinished last line is a bad line.
  void Finish();

  const std::map<std::uint64_t, AlarmEvent>& Waiting() const { return waiting_; }
  std::size_t BadLines() const { return badLines_; }
  std::size_t Dropped() const { return dropped_; }
  // The highest event number added (0: none).
  std::uint64_t LastSeq() const { return lastSeq_; }

 private:
  void Line(std::string_view line);

  const std::size_t limit_;
  std::string pending_;
  bool overlong_ = false;
  std::map<std::uint64_t, AlarmEvent> waiting_;
  std::size_t badLines_ = 0;
  std::size_t dropped_ = 0;
  std::uint64_t lastSeq_ = 0;
};

class MqttJournal {
 public:
  struct Entry {
    std::uint64_t seq;
    AlarmEvent event;
  };
  struct Loaded {
    std::vector<Entry> waiting;  // in order
    std::size_t badLines = 0;
    std::size_t dropped = 0;
  };

  // `limit`: waiting events kept when reading back. `compactAfter`: done
  // lines that, once they are also most of the file, make it be rewritten.
  // Failures to write are logged with `name` first ("MQTT"), once until a
  // write succeeds again.
  MqttJournal(std::string name, core::EventLog& log, std::size_t limit,
              std::size_t compactAfter = 1000);
  ~MqttJournal();
  MqttJournal(const MqttJournal&) = delete;
  MqttJournal& operator=(const MqttJournal&) = delete;

  // Creates `dir` if needed, takes the folder's lock (one station per
  // folder), reads the file back and rewrites it with only the waiting
  // events. False with `error` when the file cannot be used.
  bool Open(const std::string& dir, Loaded& loaded, std::string& error);
  bool IsOpen() const;
  std::uint64_t LastSeq() const;

  // Appends the event and flushes it to the disk; false (logged) when it
  // could not be written.
  bool Append(std::uint64_t seq, const std::string& eventJson);
  // Marks the event delivered (or given up); unknown numbers are ignored.
  void Done(std::uint64_t seq);
  // Empties the file when nothing waits; closes it and drops the lock.
  void Close();
  std::size_t WaitingCount() const;

 private:
  bool WriteLocked(int fd, std::string_view bytes);
  void ReportFailureLocked(const std::string& what, int err);
  void MaybeCompactLocked();
  bool RewriteLocked(std::string& error);

  const std::string name_;
  core::EventLog& log_;
  const std::size_t limit_;
  const std::size_t compactAfter_;
  mutable std::mutex mutex_;
  int dirFd_ = -1;
  int fd_ = -1;
  std::string dir_;
  std::string path_;
  std::map<std::uint64_t, std::string> lines_;  // the waiting events' add lines
  std::size_t deadLines_ = 0;                   // lines in the file for done events
  std::uint64_t lastSeq_ = 0;
  bool failing_ = false;
};

}  // namespace sequelo::control
