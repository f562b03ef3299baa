// Private-profile (INI) files: sections of key=value lines, read and written
// with the rules the settings rely on. Section and key names match without
// regard to case; a write changes only the value of its key and leaves every
// other line, comment and section as it was.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sequelo::app {

class IniFile {
 public:
  IniFile() = default;
  // Parses text as found on disk: CR LF or LF line ends, any bytes (binary
  // garbage is kept as lines that hold no key).
  static IniFile Parse(std::string_view text);

  // The value of a key: text after the first '=', with surrounding blanks
  // removed and one pair of matching surrounding quotes stripped. The first
  // matching section and the first matching key in it count. Cut to
  // `maxChars` characters. `fallback` when the key is missing.
  std::string GetString(std::string_view section, std::string_view key, std::string_view fallback,
                        std::size_t maxChars) const;

  // The integer of a key: optional blanks and sign, then the leading decimal
  // digits (wrapping as unsigned 32-bit); no digits give 0; `fallback` when
  // the key is missing. "100.000000" gives 100.
  std::int32_t GetInt(std::string_view section, std::string_view key, std::int32_t fallback) const;

  bool HasKey(std::string_view section, std::string_view key) const;

  // Sets a key: an existing key's value is replaced in place (the line keeps
  // its key spelling); a missing key is added after the last key of its
  // section; a missing section is added at the end with the key.
  void Set(std::string_view section, std::string_view key, std::string_view value);

  // The file's text, every line ending in CR LF.
  std::string Serialize() const;

 private:
  std::vector<std::string> lines_;
};

// Reads a whole file. False (and `error` set) when it cannot be read; a
// missing file gives false with error "No such file or directory".
bool ReadWholeFile(const std::string& path, std::string& text, std::string& error);

// Replaces a file's content all at once: writes a temporary file in the same
// directory, flushes it to disk and renames it over `path`, so a crash or a
// full disk never leaves a half-written file. On failure the old file is left
// as it was, the temporary file is removed, and `error` says why. A symbolic
// link is followed: its target is replaced. A `secret` file (one holding a
// password) is readable by its owner alone (mode 0600).
bool WriteFileAtomically(const std::string& path, std::string_view text, std::string& error,
                         bool secret = false);

}  // namespace sequelo::app
