#include "control/command_interpreter.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

#include "audio/tone_generator.h"
#include "tx/alarm_tones.h"

namespace sequelo::control {
namespace {

// `digits` decimal digits from `at`; false (nothing read) when one is
// missing.
bool ReadField(std::string_view text, std::size_t& at, int digits, std::uint32_t& value) {
  value = 0;
  for (int i = 0; i < digits; ++i, ++at) {
    if (at >= text.size() || text[at] < '0' || text[at] > '9') {
      return false;
    }
    value = value * 10 + static_cast<std::uint32_t>(text[at] - '0');
  }
  return true;
}

}  // namespace

CommandPlan ParseCommandString(std::string_view text) {
  // A NUL ends the text there, as does the buffer's length.
  text = text.substr(0, std::min({text.size(), text.find('\0'), kCommandBufferBytes - 1}));
  CommandPlan plan;
  std::size_t at = 0;
  while (at < text.size() && text[at] != ' ') {
    Command c;
    c.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[at++])));
    bool ok = true;
    switch (c.letter) {
      case 'C':
      case 'K':
        ok = ReadField(text, at, 5, c.a);
        break;
      case 'P':
      case 'Q':
      case 'W':
        ok = ReadField(text, at, 4, c.a);
        break;
      case 'T':
        ok = ReadField(text, at, 4, c.a) && ReadField(text, at, 4, c.b);
        break;
      case 'S':
        ok = ReadField(text, at, 1, c.a) && ReadField(text, at, 4, c.b);
        break;
      case 'X':
      case 'R':
      case 'I':
        break;
      default:
        ok = false;  // not a command
    }
    if (!ok) {
      plan.syntaxOk = false;
      break;
    }
    plan.commands.push_back(c);
  }
  return plan;
}

PlanTiming PlanTimingOf(const tx::CallOptions& callOptions) {
  return {callOptions.txDelayMs, tx::CallSoundMs(callOptions),
          callOptions.toneSet != nullptr ? callOptions.toneSet->toneMs : 0};
}

namespace {

// Walks the plan's time line: `now` as each command ends, and each keying.
template <typename OnKeying>
std::uint64_t WalkPlan(const CommandPlan& plan, const PlanTiming& t, OnKeying onKeying) {
  std::uint64_t now = 0;
  std::optional<std::uint64_t> keyedAt;
  const auto key = [&] {
    if (!keyedAt) {
      keyedAt = now;
      now += t.txDelayMs;
    }
  };
  const auto release = [&] {
    if (keyedAt) {
      onKeying(*keyedAt, now);
      keyedAt.reset();
    }
  };
  for (const Command& c : plan.commands) {
    switch (c.letter) {
      case 'C':  // keys (again, with its TX delay) and releases on its own
        if (!keyedAt) {
          keyedAt = now;
        }
        now += t.txDelayMs + t.callMs;
        release();
        break;
      case 'X':  // keys again even when keyed, with its TX delay
        if (!keyedAt) {
          keyedAt = now;
        }
        now += t.txDelayMs;
        break;
      case 'K':  // the pilot tone counted each time: never less than it plays
        key();
        now += t.callMs;
        break;
      case 'I':  // the separator and five tones
        key();
        now += 6ULL * t.toneMs;
        break;
      case 'Q':
      case 'W':
        key();
        now += c.a;
        break;
      case 'S':
        key();
        now += c.b;
        break;
      case 'R':
        release();
        break;
      case 'P':
        now += c.a;
        break;
      case 'T':
        now += std::min(c.b, audio::kMaxToneMs);
        break;
      default:
        break;
    }
  }
  release();
  return now;
}

}  // namespace

std::vector<tx::PlannedKeying> PlanKeyings(const CommandPlan& plan, const PlanTiming& timing) {
  std::vector<tx::PlannedKeying> keyings;
  WalkPlan(plan, timing, [&](std::uint64_t from, std::uint64_t to) {
    keyings.push_back({static_cast<std::uint32_t>(std::min<std::uint64_t>(from, UINT32_MAX)),
                       static_cast<std::uint32_t>(std::min<std::uint64_t>(to - from, UINT32_MAX))});
  });
  return keyings;
}

std::uint64_t PlanLengthMs(const CommandPlan& plan, const PlanTiming& timing) {
  return WalkPlan(plan, timing, [](std::uint64_t, std::uint64_t) {});
}

std::string CommandStringRefusal(std::string_view text, const tx::CallOptions& callOptions,
                                 std::uint32_t maxKeyMs) {
  const CommandPlan plan = ParseCommandString(text);
  if (!plan.syntaxOk) {
    return std::string(kSyntaxError);
  }
  const core::ToneSet* toneSet = callOptions.toneSet;
  for (const Command& c : plan.commands) {
    if (c.letter == 'I' && !core::IsCallCode(callOptions.ownCode)) {
      return "I sends the own code as the caller, and there is none (OwnCode)";
    }
    if (c.letter == 'I' && (toneSet == nullptr || tx::SeparatorLetter(*toneSet) == '\0')) {
      return "I needs a separator tone, and " + callOptions.modeName + " has none";
    }
    if (c.letter == 'W' && tx::WakeClass(callOptions.trailerClasses) == nullptr) {
      return "W sends the wake tone, and the trailer table (TrailerTones) has none";
    }
    if (c.letter == 'S' &&
        tx::SirenClass(callOptions.trailerClasses, static_cast<int>(c.a)) == nullptr) {
      return "S" + std::to_string(c.a) + ": the trailer table (TrailerTones) has no siren " +
             std::to_string(c.a);
    }
  }
  return tx::KeyingRefusal(PlanKeyings(plan, PlanTimingOf(callOptions)), maxKeyMs);
}

std::string AlarmCommandString(std::string_view code, const AlarmShape& shape, std::string& error) {
  error.clear();
  const auto digits = [](std::string_view text) {
    return text.size() == 5 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(code)) {
    error = "an alarm sends a code of five digits 0-9";
  } else if (shape.repeats < 1 || shape.repeats > 9) {
    error = "the call is sent 1 to 9 times";
  } else if (shape.pauseMs > 9999 || shape.trailerMs > 9999 || shape.leadInMs > 9999) {
    error = "pauses and tones last at most 9999 ms";
  } else if (shape.leadInHz > 9999) {
    error = "a lead-in tone is at most 9999 Hz";
  } else if (shape.trailer == AlarmShape::Trailer::kSiren && (shape.siren < 1 || shape.siren > 9)) {
    error = "sirens are numbered 1 to 9";
  }
  if (!error.empty()) {
    return {};
  }
  char piece[32];
  // The first call keys (with the pilot tone, when one is set), unless a
  // lead-in tone goes first.
  std::string text;
  if (shape.leadInHz > 0 && shape.leadInMs > 0) {
    std::snprintf(piece, sizeof piece, "XT%04u%04u", shape.leadInHz, shape.leadInMs);
    text += piece;
  }
  std::snprintf(piece, sizeof piece, "Q%04u", shape.pauseMs);
  const std::string pause = shape.pauseMs > 0 ? piece : "";
  for (int i = 0; i < shape.repeats; ++i) {
    text += (i > 0 ? pause : "") + "K" + std::string(code) + (shape.caller ? "I" : "");
  }
  if (shape.trailer != AlarmShape::Trailer::kNone && shape.trailerMs > 0) {
    if (shape.trailer == AlarmShape::Trailer::kWake) {
      std::snprintf(piece, sizeof piece, "W%04u", shape.trailerMs);
    } else {
      std::snprintf(piece, sizeof piece, "S%d%04u", shape.siren, shape.trailerMs);
    }
    text += pause + piece;
  }
  return text + "R";
}

int SirenNumber(const std::vector<core::TrailerClass>& table, std::string_view name) {
  int number = 0;
  for (const core::TrailerClass& c : table) {
    if (c.highHz == 0) {
      continue;
    }
    ++number;
    if (c.name.size() == name.size() &&
        std::equal(name.begin(), name.end(), c.name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      return number;
    }
  }
  return 0;
}

bool RunCommandString(tx::Transmission& tx, std::string_view text,
                      const tx::CallOptions& callOptions, core::EventLog& log) {
  const CommandPlan plan = ParseCommandString(text);
  char line[160];
  for (std::size_t i = 0; plan.syntaxOk && i < plan.commands.size() && !tx.Stopped(); ++i) {
    const Command& c = plan.commands[i];
    char code[16];  // a call's five digits, leading zeros kept
    std::snprintf(code, sizeof code, "%05u", c.a);
    if (c.letter == 'C') {
      log.Report(std::string("Command Call ") + code);
      tx::SendCall(tx, code, callOptions);
    } else if (c.letter == 'P') {
      std::snprintf(line, sizeof line, "Command Pause %u ms", c.a);
      log.Report(line);
      tx.Pause(c.a);
    } else if (c.letter == 'T') {
      const std::uint32_t hz = std::min(c.a, kMaxCommandToneHz);
      const std::uint32_t ms = std::min(c.b, audio::kMaxToneMs);
      tx.PlayTone(hz, ms);
      // The tone as it played; a longer one asked for is said so.
      if (ms < c.b) {
        std::snprintf(line, sizeof line, "Command Tone %u Hz, %u ms (%u ms asked, %u ms longest)",
                      hz, ms, c.b, audio::kMaxToneMs);
      } else {
        std::snprintf(line, sizeof line, "Command Tone %u Hz, %u ms", hz, ms);
      }
      log.Report(line);
    } else if (c.letter == 'X') {
      log.Report("Command PTT on");
      tx.Key();
    } else if (c.letter == 'K') {
      log.Report(std::string("Command Keyed call ") + code);
      tx::PlayKeyedCall(tx, code, callOptions);
    } else if (c.letter == 'I') {
      log.Report("Command Caller " + callOptions.ownCode);
      if (!tx::PlayCaller(tx, callOptions)) {
        log.Report("Caller not sent: no own code or no separator tone");
      }
    } else if (c.letter == 'Q') {
      std::snprintf(line, sizeof line, "Command Quiet %u ms", c.a);
      log.Report(line);
      tx::PlayQuiet(tx, c.a);
    } else if (c.letter == 'W') {
      std::snprintf(line, sizeof line, "Command Wake tone %u ms", c.a);
      log.Report(line);
      if (!tx::PlayWakeTone(tx, callOptions, c.a)) {
        log.Report("Wake tone not sent: none in the trailer table");
      }
    } else if (c.letter == 'S') {
      const core::TrailerClass* siren =
          tx::SirenClass(callOptions.trailerClasses, static_cast<int>(c.a));
      const std::string name = siren != nullptr ? siren->name : "siren " + std::to_string(c.a);
      std::snprintf(line, sizeof line, "Command Siren %s, %u ms", name.c_str(), c.b);
      log.Report(line);
      if (!tx::PlaySiren(tx, callOptions, static_cast<int>(c.a), c.b)) {
        log.Report("Siren not sent: none of that number in the trailer table");
      }
    } else if (c.letter == 'R') {
      log.Report("Command PTT off");
      tx.Release();  // what was played goes out whole
    }
  }
  // Always released at the end, once everything played has gone out.
  tx.Release();
  return plan.syntaxOk;
}

}  // namespace sequelo::control
