// Standard error as the journal reads it. When systemd runs the station as a
// service, standard error is a stream into the journal, named by
// JOURNAL_STREAM ("device:inode"); a line that begins with "<N>" is logged at
// priority N (3 error, 4 warning, 6 information) and shown in its colour.
// There every line gets such a marker: "<3>" for the program's errors
// ("sequelo: ..."), "<4>" for its messages ("Sequelo: ...") and warnings,
// "<6>" for the rest. Anywhere else lines are written unchanged.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace sequelo::app {

// True when `journalStream` (the value of JOURNAL_STREAM, may be null) names
// the file open on `fd` by its device and inode.
bool IsJournalStream(int fd, const char* journalStream);

// The journal's marker for a line of standard error.
std::string_view JournalMarker(std::string_view line);

class JournalStream {
 public:
  // `target` must outlive this object.
  explicit JournalStream(std::FILE* target,
                         const char* journalStream = std::getenv("JOURNAL_STREAM"));
  // Writes a last unfinished line and closes the marking stream.
  ~JournalStream();
  JournalStream(const JournalStream&) = delete;
  JournalStream& operator=(const JournalStream&) = delete;

  bool ToJournal() const { return marking_ != nullptr; }
  // Where the program writes its lines: `target`, or on the journal a stream
  // that marks each whole line as it is written.
  std::FILE* Stream() const { return marking_ != nullptr ? marking_ : target_; }
  // A warning line (`text` without its line end), marked "<4>" on the
  // journal. Any thread.
  void Warning(std::string_view text);

 private:
  static ssize_t WriteMarked(void* cookie, const char* data, std::size_t size);
  void EmitLine(std::string_view line);

  std::FILE* target_;
  std::FILE* marking_ = nullptr;
  std::string pending_;  // the unfinished line, guarded by marking_'s own lock
};

}  // namespace sequelo::app
