// Runs command strings: short scripts that place calls (C12345), pause
// (P0500), play single tones (T10000500: 1000 Hz for 500 ms), key (X) and
// release (R) the transmitter. Callers strip the leading '!' and hand over
// the rest. Every command is logged to both sinks; the transmitter is always
// released when the run ends, and a syntax error is reported after that.
// Any thread: the copy into the command buffer and the run hold the transmit
// lock, so runs from the window, the capture thread and the server never
// overlap with each other or with any other transmission.
#pragma once

#include <array>
#include <atomic>
#include <string_view>

#include "audio/tone_generator.h"
#include "core/clock.h"
#include "core/event_log.h"
#include "core/message_sink.h"
#include "core/transmitter.h"
#include "tx/sequence_encoder.h"

namespace sequelo::control {

inline constexpr std::size_t kCommandBufferBytes = 1024;  // 1023 characters and the end
inline constexpr std::string_view kSyntaxError = "Syntax error in command.";
inline constexpr std::uint32_t kMaxCommandToneHz = 3000;

class CommandInterpreter {
 public:
  // All must outlive the interpreter.
  CommandInterpreter(audio::ToneGenerator& tones, tx::SequenceEncoder& encoder,
                     core::Transmitter& ptt, core::EventLog& log, core::MessageSink& messages,
                     core::Sleeper& sleeper);

  // Copies `text` (the command string without its '!'; at most 1023
  // characters are kept) into the command buffer and runs it.
  void Run(std::string_view text);

  // From now on, runs stop before their next command (shut-down). The final
  // release still happens.
  void Abort() { aborted_ = true; }

 private:
  // Runs the command buffer; false after a syntax error.
  bool RunCommandString();
  bool ReadField(int digits, unsigned& value);

  audio::ToneGenerator& tones_;
  tx::SequenceEncoder& encoder_;
  core::Transmitter& ptt_;
  core::EventLog& log_;
  core::MessageSink& messages_;
  core::Sleeper& sleeper_;
  std::array<char, kCommandBufferBytes> buffer_{};  // the command buffer, NUL-terminated
  std::size_t cursor_ = 0;
  std::atomic<bool> aborted_{false};
};

}  // namespace sequelo::control
