#include "control/command_interpreter.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

namespace sequelo::control {
namespace {

// Reads the command text field by field.
class CommandReader {
 public:
  explicit CommandReader(std::string_view text) {
    const std::size_t n = std::min(text.size(), kCommandBufferBytes - 1);
    for (std::size_t i = 0; i < n; ++i) {
      buffer_[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    }
    buffer_[n] = '\0';  // a NUL in the text ends it there too
  }
  char Peek() const { return buffer_[cursor_]; }
  void Skip() { ++cursor_; }
  // `digits` decimal digits; false (the cursor on the offending character)
  // when one is missing.
  bool ReadField(int digits, unsigned& value) {
    value = 0;
    for (int i = 0; i < digits; ++i) {
      const char c = buffer_[cursor_];
      if (c < '0' || c > '9') {
        return false;
      }
      value = value * 10 + static_cast<unsigned>(c - '0');
      ++cursor_;
    }
    return true;
  }

 private:
  std::array<char, kCommandBufferBytes> buffer_{};
  std::size_t cursor_ = 0;
};

}  // namespace

bool RunCommandString(tx::Transmission& tx, std::string_view text,
                      const tx::CallOptions& callOptions, core::EventLog& log) {
  CommandReader reader(text);
  char line[128];
  bool ok = true;
  while (ok && reader.Peek() != '\0' && reader.Peek() != ' ' && !tx.Aborted()) {
    unsigned a = 0;
    unsigned b = 0;
    const char command = reader.Peek();
    reader.Skip();
    if (command == 'C') {
      if (!(ok = reader.ReadField(5, a))) {
        break;
      }
      char code[16];
      std::snprintf(code, sizeof code, "%05u", a);
      std::snprintf(line, sizeof line, "Command Call %s", code);
      log.Report(line);
      tx::SendCall(tx, code, callOptions);
    } else if (command == 'P') {
      if (!(ok = reader.ReadField(4, a))) {
        break;
      }
      std::snprintf(line, sizeof line, "Command Pause %u ms", a);
      log.Report(line);
      tx.Pause(a);
    } else if (command == 'T') {
      if (!(ok = reader.ReadField(4, a) && reader.ReadField(4, b))) {
        break;
      }
      const unsigned hz = std::min(a, kMaxCommandToneHz);
      tx.PlayTone(hz, b);
      std::snprintf(line, sizeof line, "Command Tone %u Hz, %u ms", hz, b);
      log.Report(line);
    } else if (command == 'X') {
      log.Report("Command PTT on");
      tx.Key();
    } else if (command == 'R') {
      log.Report("Command PTT off");
      tx.Release();  // what was played goes out whole
    } else {
      ok = false;  // not a command
    }
  }
  // Always released at the end, once everything played has gone out.
  tx.Release();
  return ok;
}

}  // namespace sequelo::control
