// Text from outside (a network client, a file name, a device) shown in the
// log, the activity list or a terminal: control characters are written as
// "\xNN", so a line feed cannot forge a log line and an escape sequence
// cannot reach the operator's terminal. Valid UTF-8 stays as it is, except
// the C1 controls (U+0080..U+009F); bytes that are not UTF-8 are escaped.
// Pure.
#pragma once

#include <string>
#include <string_view>

namespace sequelo::core {

// The length of the valid UTF-8 sequence at the start of `s` (0: none).
inline std::size_t Utf8SequenceLength(std::string_view s) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const auto cont = [&](std::size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
  const unsigned char lead = b(0);
  if (lead >= 0xC2 && lead <= 0xDF) {
    return cont(1) ? 2 : 0;
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (!cont(1) || !cont(2)) {
      return 0;
    }
    const bool overlong = lead == 0xE0 && b(1) < 0xA0;
    const bool surrogate = lead == 0xED && b(1) >= 0xA0;
    return overlong || surrogate ? 0 : 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) {
      return 0;
    }
    const bool overlong = lead == 0xF0 && b(1) < 0x90;
    const bool tooHigh = lead == 0xF4 && b(1) >= 0x90;
    return overlong || tooHigh ? 0 : 4;
  }
  return 0;
}

inline bool NeedsEscaping(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7F) {
        return true;
      }
      ++i;
      continue;
    }
    const std::size_t n = Utf8SequenceLength(text.substr(i));
    if (n == 0 || (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
      return true;
    }
    i += n;
  }
  return false;
}

inline std::string Printable(std::string_view text) {
  if (!NeedsEscaping(text)) {
    return std::string(text);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 16);
  const auto escape = [&](unsigned char c) {
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7F) {
        escape(c);
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    const std::size_t n = Utf8SequenceLength(text.substr(i));
    if (n == 0) {
      escape(c);
      ++i;
    } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      escape(c);
      escape(static_cast<unsigned char>(text[i + 1]));
      i += 2;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace sequelo::core
