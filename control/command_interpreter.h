// Runs command strings: short scripts that place calls (C12345), pause
// (P0500), play single tones (T10000500: 1000 Hz for 500 ms), key (X) and
// release (R) the transmitter. Callers strip the leading '!' and hand over
// the rest. Every command is logged to both sinks; the transmitter is always
// released when the run ends. A run is a transmit job: it runs on the
// transmitter's thread with the transmitter to itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/event_log.h"
#include "tx/sequence_encoder.h"
#include "tx/transmission.h"

namespace sequelo::control {

inline constexpr std::size_t kCommandBufferBytes = 1024;  // 1023 characters and the end
inline constexpr std::string_view kSyntaxError = "Syntax error in command.";
inline constexpr std::uint32_t kMaxCommandToneHz = 3000;

// Runs `text` (at most 1023 characters are read; letters in either case)
// on `tx`, its calls with `callOptions`. A run ends at the end of the text
// or at a space where a command would begin; a missing digit or an unknown
// letter ends it as a syntax error, and then false is returned: the caller
// reports kSyntaxError once the transmitter is free. An aborted run stops
// before its next command.
bool RunCommandString(tx::Transmission& tx, std::string_view text,
                      const tx::CallOptions& callOptions, core::EventLog& log);

}  // namespace sequelo::control
