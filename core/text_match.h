// Matching texts the way operators type them: by their first letters,
// without regard to the case of ASCII letters.
#pragma once

#include <cctype>
#include <string>
#include <string_view>
#include <vector>

namespace sequelo::core {

inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (prefix.size() > text.size()) {
    return false;
  }
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// The first entry that begins with `stored`; else entry 0; -1 for no entries.
inline int FindEntryByPrefix(const std::vector<std::string>& entries, std::string_view stored) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (StartsWithNoCase(entries[i], stored)) {
      return static_cast<int>(i);
    }
  }
  return entries.empty() ? -1 : 0;
}

}  // namespace sequelo::core
