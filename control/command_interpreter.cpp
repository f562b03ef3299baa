#include "control/command_interpreter.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>

namespace sequelo::control {

CommandInterpreter::CommandInterpreter(audio::ToneGenerator& tones, tx::SequenceEncoder& encoder,
                                       core::Transmitter& ptt, core::EventLog& log,
                                       core::MessageSink& messages, core::Sleeper& sleeper)
    : tones_(tones),
      encoder_(encoder),
      ptt_(ptt),
      log_(log),
      messages_(messages),
      sleeper_(sleeper) {}

void CommandInterpreter::Run(std::string_view text) {
  bool syntaxError = false;
  {
    std::lock_guard lock(tones_.TransmitLock());
    const std::size_t n = std::min(text.size(), kCommandBufferBytes - 1);
    std::copy_n(text.begin(), n, buffer_.begin());
    buffer_[n] = '\0';
    syntaxError = !RunCommandString();
  }
  // Reported once the transmitter is released and the transmit lock is
  // free: an operator reading the message holds up nothing.
  if (syntaxError) {
    messages_.ShowMessage(kSyntaxError);
  }
}

bool CommandInterpreter::ReadField(int digits, unsigned& value) {
  value = 0;
  for (int i = 0; i < digits; ++i) {
    const char c = buffer_[cursor_];
    if (c < '0' || c > '9') {
      return false;  // the cursor stays on the character that is not a digit
    }
    value = value * 10 + static_cast<unsigned>(c - '0');
    ++cursor_;
  }
  return true;
}

bool CommandInterpreter::RunCommandString() {
  for (char* c = buffer_.data(); *c != '\0'; ++c) {
    *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
  }
  cursor_ = 0;
  char line[128];
  bool ok = true;
  // A run ends at the end of the text or at a space where a command would
  // begin; a missing digit or an unknown letter ends it as a syntax error.
  while (ok && buffer_[cursor_] != '\0' && buffer_[cursor_] != ' ' && !aborted_) {
    unsigned a = 0;
    unsigned b = 0;
    const char command = buffer_[cursor_];
    if (command == 'C') {
      ++cursor_;
      if (!ReadField(5, a)) {
        ok = false;
        break;
      }
      char code[16];
      std::snprintf(code, sizeof code, "%05u", a);
      std::snprintf(line, sizeof line, "Command Call %s", code);
      log_.Report(line);
      encoder_.SendCall(code);
    } else if (command == 'P') {
      ++cursor_;
      if (!ReadField(4, a)) {
        ok = false;
        break;
      }
      std::snprintf(line, sizeof line, "Command Pause %u ms", a);
      log_.Report(line);
      sleeper_.SleepMs(a);
    } else if (command == 'T') {
      ++cursor_;
      if (!ReadField(4, a) || !ReadField(4, b)) {
        ok = false;
        break;
      }
      const unsigned hz = std::min(a, kMaxCommandToneHz);
      tones_.PlayTone(hz, b);
      std::snprintf(line, sizeof line, "Command Tone %u Hz, %u ms", hz, b);
      log_.Report(line);
    } else if (command == 'X') {
      log_.Report("Command PTT on");
      ptt_.KeyTransmitter();
      ++cursor_;
    } else if (command == 'R') {
      log_.Report("Command PTT off");
      tones_.DrainTransmit();  // what was played goes out whole
      ptt_.ReleaseTransmitter();
      ++cursor_;
    } else {
      ok = false;  // not a command
    }
  }
  // Always released at the end, once everything played has gone out.
  tones_.DrainTransmit();
  ptt_.ReleaseTransmitter();
  return ok;
}

}  // namespace sequelo::control
