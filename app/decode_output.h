// How decoded codes are written: plain text for people, TSV for scripts and
// comparisons, JSON lines for programs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sequelo::app {

enum class OutputFormat { kText, kTsv, kJson };

// "HH:MM:SS.mmm"; hours count on past 24.
std::string FormatClock(std::uint64_t ms);
// Seconds with three decimals: "12.345".
std::string FormatSeconds(std::uint64_t ms);

// One output line for a decoded code, without the line end.
std::string FormatCodeLine(OutputFormat format, std::uint64_t timeMs, std::string_view code,
                           std::string_view mode, std::string_view file);

// One JSON object on one line: time (seconds), code, mode, and where the
// code came from under `sourceKey` ("file" or "device").
std::string JsonCodeLine(std::int64_t timeMs, std::string_view code, std::string_view mode,
                         std::string_view sourceKey, std::string_view source);

}  // namespace sequelo::app
