#include "control/command_interpreter.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

#include "audio/tone_generator.h"

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
        ok = ReadField(text, at, 5, c.a);
        break;
      case 'P':
        ok = ReadField(text, at, 4, c.a);
        break;
      case 'T':
        ok = ReadField(text, at, 4, c.a) && ReadField(text, at, 4, c.b);
        break;
      case 'X':
      case 'R':
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

std::vector<tx::PlannedKeying> PlanKeyings(const CommandPlan& plan, std::uint32_t txDelayMs,
                                           std::uint32_t callMs) {
  std::vector<tx::PlannedKeying> keyings;
  std::uint64_t now = 0;
  std::optional<std::uint64_t> keyedAt;
  const auto release = [&] {
    if (keyedAt) {
      keyings.push_back(
          {static_cast<std::uint32_t>(std::min<std::uint64_t>(*keyedAt, UINT32_MAX)),
           static_cast<std::uint32_t>(std::min<std::uint64_t>(now - *keyedAt, UINT32_MAX))});
      keyedAt.reset();
    }
  };
  for (const Command& c : plan.commands) {
    switch (c.letter) {
      case 'C':  // keys (again, with its TX delay) and releases on its own
        if (!keyedAt) {
          keyedAt = now;
        }
        now += txDelayMs + callMs;
        release();
        break;
      case 'X':
        if (!keyedAt) {
          keyedAt = now;
        }
        now += txDelayMs;
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
  return keyings;
}

std::uint64_t PlanLengthMs(const CommandPlan& plan, std::uint32_t txDelayMs, std::uint32_t callMs) {
  std::uint64_t length = 0;
  for (const Command& c : plan.commands) {
    switch (c.letter) {
      case 'C':
        length += txDelayMs + callMs;
        break;
      case 'X':
        length += txDelayMs;
        break;
      case 'P':
        length += c.a;
        break;
      case 'T':
        length += std::min(c.b, audio::kMaxToneMs);
        break;
      default:
        break;
    }
  }
  return length;
}

std::string CommandStringRefusal(std::string_view text, const tx::CallOptions& callOptions,
                                 std::uint32_t maxKeyMs) {
  const CommandPlan plan = ParseCommandString(text);
  if (!plan.syntaxOk) {
    return std::string(kSyntaxError);
  }
  return tx::KeyingRefusal(PlanKeyings(plan, callOptions.txDelayMs, tx::CallSoundMs(callOptions)),
                           maxKeyMs);
}

bool RunCommandString(tx::Transmission& tx, std::string_view text,
                      const tx::CallOptions& callOptions, core::EventLog& log) {
  const CommandPlan plan = ParseCommandString(text);
  char line[160];
  for (std::size_t i = 0; plan.syntaxOk && i < plan.commands.size() && !tx.Stopped(); ++i) {
    const Command& c = plan.commands[i];
    if (c.letter == 'C') {
      char code[16];
      std::snprintf(code, sizeof code, "%05u", c.a);
      std::snprintf(line, sizeof line, "Command Call %s", code);
      log.Report(line);
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
