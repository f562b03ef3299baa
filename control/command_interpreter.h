// Runs command strings: short scripts that place calls (C12345), pause
// (P0500), play single tones (T10000500: 1000 Hz for 500 ms), key (X) and
// release (R) the transmitter. Alarms are sent in one keying with the
// letters that key if need be and never release: K12345 (a call), I (the
// separator and the own code as the caller), Q0600 (600 ms of silence on
// the air), W5000 (the wake tone for 5 s) and S15000 (siren 1 of the trailer
// table, fire by default, for 5 s); an R or the end of the string releases. Callers strip the
// leading '!' and hand over the rest. The whole string is read before anything runs: a syntax error
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
#include "tx/alarm_tones.h"
#include "tx/sequence_encoder.h"
#include "tx/transmission.h"
#include "tx/transmit_limits.h"

namespace sequelo::control {

inline constexpr std::size_t kCommandBufferBytes = 1024;  // 1023 characters and the end
inline constexpr std::string_view kSyntaxError = "Syntax error in command.";
inline constexpr std::uint32_t kMaxCommandToneHz = 3000;

// One command of a string: 'C' or 'K' (the code's digits in `a`), 'P', 'Q'
// or 'W' (`a` ms), 'T' (`a` Hz, `b` ms, as written), 'S' (siren `a`, `b`
// ms), 'X', 'R' or 'I'.
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

// The figures a plan is timed with: the TX delay of each keying, a call's
// sound (pilot tone and five tones) and one tone of the set.
struct PlanTiming {
  std::uint32_t txDelayMs = 0;
  std::uint32_t callMs = 0;
  std::uint32_t toneMs = 0;
};
PlanTiming PlanTimingOf(const tx::CallOptions& callOptions);

// The keyings the commands make, in ms from the start of the run: a call
// keys for the TX delay and its sound, X keys until R, a call or the end,
// and the alarm letters key until R, a call or the end.
std::vector<tx::PlannedKeying> PlanKeyings(const CommandPlan& plan, const PlanTiming& timing);

// How long the commands hold the transmitter's owner, keyed or not, in ms.
std::uint64_t PlanLengthMs(const CommandPlan& plan, const PlanTiming& timing);

// Why `text` may not run with `callOptions` ("" when it may): kSyntaxError,
// an alarm letter that cannot be sent (no own code for I, no separator tone
// in the set, no such siren or wake tone in the table), or the
// transmitter's limits (tx::KeyingRefusal).
std::string CommandStringRefusal(std::string_view text, const tx::CallOptions& callOptions,
                                 std::uint32_t maxKeyMs);

// An alarm as the operator asks for it (sequelo-cli send's options): the
// call `repeats` times with `pauseMs` of silence between, optionally a lead-in
// tone first and the own code as the caller after each call, then after
// another pause the wake tone or a siren for `trailerMs`. All in one keying.
struct AlarmShape {
  int repeats = 1;  // 1..9
  std::uint32_t pauseMs = tx::kDefaultAlarmPauseMs;
  std::uint32_t leadInHz = 0;  // 0: none
  std::uint32_t leadInMs = 0;
  bool caller = false;
  enum class Trailer { kNone, kWake, kSiren } trailer = Trailer::kNone;
  int siren = 0;  // the siren's number in the trailer table (1 = the first)
  std::uint32_t trailerMs = 0;
};

// The command string that sends `shape` for `code` (five digits), or empty
// with `error` set when a figure does not fit its field.
std::string AlarmCommandString(std::string_view code, const AlarmShape& shape, std::string& error);

// The number of the siren called `name` (any case) in `table`, or 0.
int SirenNumber(const std::vector<core::TrailerClass>& table, std::string_view name);

// Runs `text` on `tx`, its calls with `callOptions`. A syntax error runs no
// command at all: false is returned (after the final release) and the caller
// reports kSyntaxError. An aborted run stops before its next command.
bool RunCommandString(tx::Transmission& tx, std::string_view text,
                      const tx::CallOptions& callOptions, core::EventLog& log);

}  // namespace sequelo::control
