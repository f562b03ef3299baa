// The two small texts every front door reads the same way: a command string
// is a text that begins with '!' (the Call box, the fixed answer, a remote
// client's line), and a delay is an unsigned number of milliseconds.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace sequelo::control {

// The command string after the '!'; nullopt for a text that is not one.
inline std::optional<std::string_view> CommandStringOf(std::string_view text) {
  if (text.empty() || text.front() != '!') {
    return std::nullopt;
  }
  return text.substr(1);
}

// A delay field: an unsigned number of milliseconds; 0 when empty, not a
// number, or beyond 32 bits.
inline std::uint32_t ParseDelayMs(std::string_view text) {
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return 0;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > UINT32_MAX) {
      return 0;
    }
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace sequelo::control
