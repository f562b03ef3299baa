// Command strings: the parser, the keyings a plan makes and the refusal a
// front door gives. The whole input is the command text; the TX delay, the
// call length and the longest keying are read from its last bytes too, so a
// plain text is a useful seed.
//
// Checked: a plan holds at most 1023 commands, and written out again it is
// exactly the text it was read from (letters upper-cased); a syntax error
// stops just where no command can be read; the keyings are in order, do not
// overlap, cover every call and end by the end of the run; the refusal is the
// syntax error, or what the keyings give.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "control/command_interpreter.h"
#include "fuzz/fuzz_check.h"
#include "tx/sequence_encoder.h"
#include "tx/transmit_limits.h"

namespace {

using sequelo::control::Command;
using sequelo::control::CommandPlan;

// A command as it is written (upper case, fixed widths).
std::string Written(const Command& c) {
  char text[16];
  switch (c.letter) {
    case 'C':
    case 'K':
      std::snprintf(text, sizeof text, "%c%05u", c.letter, c.a);
      break;
    case 'P':
    case 'Q':
    case 'W':
      std::snprintf(text, sizeof text, "%c%04u", c.letter, c.a);
      break;
    case 'S':
      std::snprintf(text, sizeof text, "S%01u%04u", c.a, c.b);
      break;
    case 'T':
      std::snprintf(text, sizeof text, "T%04u%04u", c.a, c.b);
      break;
    default:
      std::snprintf(text, sizeof text, "%c", c.letter);
  }
  return text;
}

std::string Upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return result;
}

// True when a whole command can be read at the start of `text`.
bool CommandAt(std::string_view text) {
  const auto digits = [&](std::size_t n) {
    if (text.size() < 1 + n) {
      return false;
    }
    return std::all_of(text.begin() + 1, text.begin() + 1 + static_cast<std::ptrdiff_t>(n),
                       [](char c) { return c >= '0' && c <= '9'; });
  };
  if (text.empty()) {
    return false;
  }
  switch (std::toupper(static_cast<unsigned char>(text[0]))) {
    case 'C':
    case 'K':
      return digits(5);
    case 'P':
    case 'Q':
    case 'W':
      return digits(4);
    case 'S':
      return digits(5);
    case 'T':
      return digits(8);
    case 'X':
    case 'R':
    case 'I':
      return true;
    default:
      return false;
  }
}

std::uint32_t Uint32FromEnd(const std::uint8_t* data, std::size_t size, std::size_t back) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const std::size_t at = back * 4 + i;
    value = value << 8 | (at < size ? data[size - 1 - at] : 0u);
  }
  return value;
}

void CheckKeyings(const CommandPlan& plan, std::uint32_t txDelayMs, std::uint32_t callMs) {
  const sequelo::control::PlanTiming timing{txDelayMs, callMs, 70};
  const auto keyings = sequelo::control::PlanKeyings(plan, timing);
  FUZZ_CHECK(sequelo::control::PlanLengthMs(plan, timing) >=
             (keyings.empty() ? 0 : std::uint64_t{keyings.back().startMs}));
  // The length of the run, and the keyed time the calls alone make.
  std::uint64_t runMs = 0;
  std::uint64_t calls = 0;
  std::uint64_t keyingCommands = 0;
  for (const Command& c : plan.commands) {
    switch (c.letter) {
      case 'C':
        runMs += std::uint64_t{txDelayMs} + callMs;
        ++calls;
        ++keyingCommands;
        break;
      case 'X':
        runMs += txDelayMs;
        ++keyingCommands;
        break;
      case 'K':  // an alarm letter keys when nothing is keyed
      case 'I':
      case 'Q':
      case 'W':
      case 'S':
        runMs += std::uint64_t{txDelayMs} + (c.letter == 'K'   ? callMs
                                             : c.letter == 'I' ? 6 * 70
                                             : c.letter == 'S' ? c.b
                                                               : c.a);
        ++keyingCommands;
        break;
      case 'P':
        runMs += c.a;
        break;
      case 'T':
        runMs += std::min(c.b, sequelo::audio::kMaxToneMs);
        break;
      default:
        break;
    }
  }
  FUZZ_CHECK(keyings.size() <= keyingCommands);
  // Beyond 32 bits the times are clamped and no longer comparable.
  if (runMs > UINT32_MAX) {
    return;
  }
  std::uint64_t keyedMs = 0;
  std::uint64_t previousEnd = 0;
  for (std::size_t i = 0; i < keyings.size(); ++i) {
    const std::uint64_t start = keyings[i].startMs;
    const std::uint64_t end = start + keyings[i].lengthMs;
    FUZZ_CHECK(i == 0 || start >= previousEnd);
    FUZZ_CHECK(end <= runMs);
    previousEnd = end;
    keyedMs += keyings[i].lengthMs;
  }
  FUZZ_CHECK(keyedMs >= calls * (std::uint64_t{txDelayMs} + callMs));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const CommandPlan plan = sequelo::control::ParseCommandString(text);

  // What the parser may read: up to a NUL, at most 1023 characters.
  const std::string_view readable =
      text.substr(0, std::min({text.size(), text.find('\0'), std::size_t{1023}}));
  FUZZ_CHECK(plan.commands.size() <= 1023);

  // Written out again, the plan is the text it came from.
  std::string written;
  for (const Command& c : plan.commands) {
    FUZZ_CHECK(std::strchr("CPTXRKIQWS", c.letter) != nullptr && c.letter != '\0');
    written += Written(c);
  }
  FUZZ_CHECK(written.size() <= readable.size());
  FUZZ_CHECK(written == Upper(readable.substr(0, written.size())));
  const std::string_view rest = readable.substr(written.size());
  if (plan.syntaxOk) {
    FUZZ_CHECK(rest.empty() || rest.front() == ' ');
  } else {
    FUZZ_CHECK(!rest.empty() && rest.front() != ' ' && !CommandAt(rest));
  }
  // ... and reads back as the same plan.
  const CommandPlan again = sequelo::control::ParseCommandString(written);
  FUZZ_CHECK(again.syntaxOk);
  FUZZ_CHECK(again.commands.size() == plan.commands.size());
  for (std::size_t i = 0; i < plan.commands.size(); ++i) {
    FUZZ_CHECK(again.commands[i].letter == plan.commands[i].letter);
    FUZZ_CHECK(again.commands[i].a == plan.commands[i].a);
    FUZZ_CHECK(again.commands[i].b == plan.commands[i].b);
  }

  // Keyings with the usual figures, and with figures from the input. The
  // TX delay and the call length are added as 32-bit numbers, so together
  // they stay below 2^32 here.
  CheckKeyings(plan, 0, 350);
  CheckKeyings(plan, 300, 650);
  const std::uint32_t txDelayMs = Uint32FromEnd(data, size, 0) >> 1;
  const std::uint32_t pilotLenMs = (Uint32FromEnd(data, size, 1) >> 1) % (1u << 30);
  CheckKeyings(plan, txDelayMs, pilotLenMs);

  // The refusal a front door gives.
  sequelo::tx::CallOptions options = sequelo::tx::CallOptionsForMode(0);
  options.pilotTone = (size & 1) != 0;
  options.pilotLenMs = pilotLenMs;
  options.txDelayMs = txDelayMs;
  const std::uint32_t maxKeyMs = Uint32FromEnd(data, size, 2);
  const std::string refusal = sequelo::control::CommandStringRefusal(text, options, maxKeyMs);
  if (!plan.syntaxOk) {
    FUZZ_CHECK(refusal == sequelo::control::kSyntaxError);
  } else if (std::none_of(plan.commands.begin(), plan.commands.end(), [](const Command& c) {
               return c.letter == 'I' || c.letter == 'S';  // may be refused for what they need
             })) {
    FUZZ_CHECK(refusal ==
               sequelo::tx::KeyingRefusal(
                   sequelo::control::PlanKeyings(plan, sequelo::control::PlanTimingOf(options)),
                   maxKeyMs));
  }
  return 0;
}
