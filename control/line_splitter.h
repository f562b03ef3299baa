// Splits a remote client's byte stream into lines ended by "\r\n". Only the
// pair ends a line; a lone '\r' or '\n' is part of the text, and a '\r' at the
// end of one chunk followed by '\n' at the start of the next still ends it.
// A line keeps at most its first kMaxLineLength characters; the rest of it is
// dropped up to its "\r\n", so the splitter never holds more than that many
// bytes however long a line grows. Pure; one splitter per connection, used by
// one thread at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sequelo::control {

class LineSplitter {
 public:
  static constexpr std::size_t kMaxLineLength = 1024;

  LineSplitter() { line_.reserve(kMaxLineLength); }

  // Calls onLine(std::string_view) for each line the bytes complete, in
  // order, without its "\r\n". The view is valid only during the call.
  template <typename LineHandler>
  void Feed(std::string_view bytes, LineHandler&& onLine) {
    for (char c : bytes) {
      if (carriageReturn_) {
        carriageReturn_ = false;
        if (c == '\n') {
          onLine(std::string_view(line_));
          line_.clear();
          continue;
        }
        Append('\r');
      }
      if (c == '\r') {
        carriageReturn_ = true;
      } else {
        Append(c);
      }
    }
  }

  // Forgets the unfinished line (and a trailing '\r').
  void Clear() {
    line_.clear();
    carriageReturn_ = false;
  }

  // Bytes of the unfinished line kept so far (a held '\r' not counted).
  std::size_t PendingSize() const { return line_.size(); }

 private:
  void Append(char c) {
    if (line_.size() < kMaxLineLength) {
      line_.push_back(c);
    }
  }

  std::string line_;
  bool carriageReturn_ = false;  // the last byte was a '\r' not yet known to end the line
};

}  // namespace sequelo::control
