// Runs command strings: short scripts that place calls (C12345), pause
// (P0500), play single tones (T10000500: 1000 Hz for 500 ms), key (X) and
// release (R) the transmitter. Callers strip the leading '!' and hand over
// the rest. The whole string is read before anything runs: a syntax error
// anywhere runs nothing. Every command is logged to both sinks; the
// transmitter is always released when the run ends. A run is a transmit
// job: it runs on the transmitter's thread with the transmitter to itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_log.h"
#include "tx/sequence_encoder.h"
#include "tx/transmission.h"
#include "tx/transmit_limits.h"

namespace sequelo::control {

inline constexpr std::size_t kCommandBufferBytes = 1024;  // 1023 characters and the end
inline constexpr std::string_view kSyntaxError = "Syntax error in command.";
inline constexpr std::uint32_t kMaxCommandToneHz = 3000;

// One command of a string: 'C' (the code's digits in `a`), 'P' (`a` ms),
// 'T' (`a` Hz, `b` ms, as written), 'X' or 'R'.
struct Command {
  char letter = 'X';
  std::uint32_t a = 0;
  std::uint32_t b = 0;
};

struct CommandPlan {
  std::vector<Command> commands;
  bool syntaxOk = true;
};

// Reads `text` (at most 1023 characters; letters in either case) up to its
// end or a space where a command would begin. A missing digit or an unknown
// letter makes it a syntax error.
CommandPlan ParseCommandString(std::string_view text);

// The keyings the commands make, in ms from the start of the run: a call
// keys for `txDelayMs` and `callMs`, X keys until R, a call or the end.
std::vector<tx::PlannedKeying> PlanKeyings(const CommandPlan& plan, std::uint32_t txDelayMs,
                                           std::uint32_t callMs);

// How long the commands hold the transmitter's owner, keyed or not, in ms.
std::uint64_t PlanLengthMs(const CommandPlan& plan, std::uint32_t txDelayMs, std::uint32_t callMs);

// Why `text` may not run with `callOptions` ("" when it may): kSyntaxError,
// or the transmitter's limits (tx::KeyingRefusal).
std::string CommandStringRefusal(std::string_view text, const tx::CallOptions& callOptions,
                                 std::uint32_t maxKeyMs);

// Runs `text` on `tx`, its calls with `callOptions`. A syntax error runs no
// command at all: false is returned (after the final release) and the caller
// reports kSyntaxError. An aborted run stops before its next command.
bool RunCommandString(tx::Transmission& tx, std::string_view text,
                      const tx::CallOptions& callOptions, core::EventLog& log);

}  // namespace sequelo::control
