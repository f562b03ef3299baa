#include "app/decode_output.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "core/tone_set.h"

namespace sequelo::app {

std::string FormatClock(std::uint64_t ms) {
  char text[48];
  std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu.%03llu",
                static_cast<unsigned long long>(ms / 3600000),
                static_cast<unsigned long long>(ms / 60000 % 60),
                static_cast<unsigned long long>(ms / 1000 % 60),
                static_cast<unsigned long long>(ms % 1000));
  return text;
}

std::string FormatSeconds(std::uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%03llu", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned long long>(ms % 1000));
  return text;
}

std::string FormatCodeLine(OutputFormat format, std::uint64_t timeMs, std::string_view code,
                           std::string_view mode, std::string_view file) {
  switch (format) {
    case OutputFormat::kText:
      return FormatClock(timeMs) + " Code received: " + std::string(code);
    case OutputFormat::kTsv:
      return FormatSeconds(timeMs) + "\t" + std::string(code);
    case OutputFormat::kJson:
      return JsonCodeLine(static_cast<std::int64_t>(timeMs), code, mode, "file", file);
  }
  return {};
}

std::string JsonCodeLine(std::int64_t timeMs, std::string_view code, std::string_view mode,
                         std::string_view sourceKey, std::string_view source) {
  nlohmann::ordered_json line;
  line["time"] = static_cast<double>(timeMs) / 1000.0;
  line["code"] = std::string(code);
  // A sequence (more than five tones) says what it is made of; a call of
  // five tones is reported as it always was.
  if (code.size() > 5) {
    line["called"] = std::string(core::CalledCode(code));
    if (const auto caller = core::CallerCode(code); !caller.empty()) {
      line["caller"] = std::string(caller);
    }
  }
  line["mode"] = std::string(mode);
  line[std::string(sourceKey)] = std::string(source);
  // Invalid UTF-8 (in a file or device name) is replaced, not thrown at.
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace sequelo::app
