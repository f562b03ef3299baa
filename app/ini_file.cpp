// Private-profile (INI) files: the line model behind IniFile (lookup and
// in-place edits that keep every untouched line byte for byte) and the
// whole-file read and crash-safe atomic replace the settings are stored with.
#include "app/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <utility>

namespace sequelo::app {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBlanks = " \t";

std::string_view TrimBlanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) {
    return {};
  }
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) {
      return false;
    }
  }
  return true;
}

// The name of a section line ("[name]", blanks allowed around the brackets
// and the name), or nothing when the line is not one. The name runs to the
// last ']' so that a name holding ']' still reads back as written.
// A UTF-8 byte-order mark that an editor put before the first line is
// skipped (and kept in the file).
std::optional<std::string_view> SectionName(std::string_view line) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (line.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    line.remove_prefix(kByteOrderMark.size());
  }
  const std::string_view trimmed = TrimBlanks(line);
  if (trimmed.empty() || trimmed.front() != '[') {
    return std::nullopt;
  }
  const std::size_t close = trimmed.rfind(']');
  if (close == std::string_view::npos || close == 0) {
    return std::nullopt;
  }
  return TrimBlanks(trimmed.substr(1, close - 1));
}

struct KeyLine {
  std::string_view key;    // trimmed
  std::string_view value;  // everything after the first '=', untrimmed
};

// A key line holds '=' and is neither a comment nor a section line.
std::optional<KeyLine> ParseKeyLine(std::string_view line) {
  const std::string_view trimmed = TrimBlanks(line);
  if (trimmed.empty() || trimmed.front() == ';' || SectionName(line)) {
    return std::nullopt;
  }
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) {
    return std::nullopt;
  }
  return KeyLine{TrimBlanks(line.substr(0, equals)), line.substr(equals + 1)};
}

// A value as the reader sees it: blanks around it removed, then one pair of
// matching surrounding quotes stripped.
std::string_view CleanValue(std::string_view raw) {
  std::string_view value = TrimBlanks(raw);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

// Written text must stay on its own line: a CR or LF would start a new line
// (and could forge a section or key) when the file is read again.
std::string WithoutLineBreaks(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c == '\r' || c == '\n') {
      c = ' ';
    }
  }
  return result;
}

// Index of the first section line named `section`, or lines.size().
std::size_t FindSection(const std::vector<std::string>& lines, std::string_view section) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto name = SectionName(lines[i]);
    if (name && EqualsIgnoreCase(*name, section)) {
      return i;
    }
  }
  return lines.size();
}

// One past the last line of the section whose header is at `header`.
std::size_t SectionEnd(const std::vector<std::string>& lines, std::size_t header) {
  std::size_t i = header + 1;
  while (i < lines.size() && !SectionName(lines[i])) {
    ++i;
  }
  return i;
}

// The raw value of the first `key` in the first `section`, or nothing.
std::optional<std::string_view> FindValue(const std::vector<std::string>& lines,
                                          std::string_view section, std::string_view key) {
  const std::size_t header = FindSection(lines, section);
  if (header == lines.size()) {
    return std::nullopt;
  }
  const std::size_t end = SectionEnd(lines, header);
  for (std::size_t i = header + 1; i < end; ++i) {
    const auto parsed = ParseKeyLine(lines[i]);
    if (parsed && EqualsIgnoreCase(parsed->key, key)) {
      return parsed->value;
    }
  }
  return std::nullopt;
}

std::string ErrorText(int error) {
  return std::strerror(error);
}

// The file a write to `path` replaces: a symbolic link in the last component
// is followed (also a dangling one, whose target is then created). Nothing
// when the links loop.
std::optional<fs::path> ResolveTarget(const fs::path& path) {
  constexpr int kMaxLinks = 40;
  fs::path target = path;
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(target, ec))) {
      return target;
    }
    const fs::path link = fs::read_symlink(target, ec);
    if (ec) {
      return target;
    }
    target = link.is_absolute() ? link : target.parent_path() / link;
  }
  return std::nullopt;
}

// Flushes a directory's entries (the rename) to disk. Best effort: some file
// systems refuse fsync on directories and the data itself is already safe.
void SyncDirectory(const fs::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

}  // namespace

IniFile IniFile::Parse(std::string_view text) {
  IniFile file;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t newline = text.find('\n', start);
    std::string_view line = newline == std::string_view::npos ? text.substr(start)
                                                              : text.substr(start, newline - start);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    file.lines_.emplace_back(line);
    if (newline == std::string_view::npos) {
      break;
    }
    start = newline + 1;
  }
  return file;
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view fallback, std::size_t maxChars) const {
  const auto raw = FindValue(lines_, section, key);
  const std::string_view value = raw ? CleanValue(*raw) : fallback;
  return std::string(value.substr(0, maxChars));
}

std::int32_t IniFile::GetInt(std::string_view section, std::string_view key,
                             std::int32_t fallback) const {
  const auto raw = FindValue(lines_, section, key);
  if (!raw) {
    return fallback;
  }
  const std::string_view value = CleanValue(*raw);
  std::size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) {
    ++i;
  }
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
    negative = value[i] == '-';
    ++i;
  }
  std::uint32_t number = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    number = number * 10u + static_cast<std::uint32_t>(value[i] - '0');
  }
  if (negative) {
    number = 0u - number;
  }
  return static_cast<std::int32_t>(number);
}

bool IniFile::HasKey(std::string_view section, std::string_view key) const {
  return FindValue(lines_, section, key).has_value();
}

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  const std::string cleanValue = WithoutLineBreaks(value);
  const std::size_t header = FindSection(lines_, section);
  if (header == lines_.size()) {
    if (!lines_.empty() && !TrimBlanks(lines_.back()).empty()) {
      lines_.emplace_back();
    }
    std::string sectionLine = "[";
    sectionLine += WithoutLineBreaks(section);
    sectionLine += ']';
    lines_.push_back(std::move(sectionLine));
    lines_.push_back(WithoutLineBreaks(key) + "=" + cleanValue);
    return;
  }
  // A new key goes after the section's last key, ahead of the blank lines and
  // comments that close the section.
  const std::size_t end = SectionEnd(lines_, header);
  std::size_t insertAt = header + 1;
  for (std::size_t i = header + 1; i < end; ++i) {
    const auto parsed = ParseKeyLine(lines_[i]);
    if (!parsed) {
      continue;
    }
    if (EqualsIgnoreCase(parsed->key, key)) {
      lines_[i] = std::string(parsed->key) + "=" + cleanValue;
      return;
    }
    insertAt = i + 1;
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt),
                WithoutLineBreaks(key) + "=" + cleanValue);
}

std::string IniFile::Serialize() const {
  std::size_t size = 0;
  for (const std::string& line : lines_) {
    size += line.size() + 2;
  }
  std::string text;
  text.reserve(size);
  for (const std::string& line : lines_) {
    text += line;
    text += "\r\n";
  }
  return text;
}

bool ReadWholeFile(const std::string& path, std::string& text, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = ErrorText(errno);
    return false;
  }
  // Linux lets a directory be opened for reading; only reading it fails.
  struct stat info {};
  const int statError = ::fstat(fd, &info) != 0 ? errno : (S_ISDIR(info.st_mode) ? EISDIR : 0);
  if (statError != 0) {
    error = ErrorText(statError);
    ::close(fd);
    return false;
  }
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      error = ErrorText(errno);
      ::close(fd);
      return false;
    }
    if (got == 0) {
      break;
    }
    data.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  text = std::move(data);
  return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view text, std::string& error,
                         bool secret) {
  const auto resolved = ResolveTarget(fs::path(path));
  if (!resolved) {
    error = "cannot follow " + path + ": " + ErrorText(ELOOP);
    return false;
  }
  const fs::path& target = *resolved;
  const std::string name = target.filename().string();
  if (name.empty() || name == "." || name == "..") {
    error = "not a file name: " + path;
    return false;
  }
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");

  // The temporary name stays within the file system's name length limit.
  constexpr std::size_t kMaxBaseName = 200;
  std::string tempName = ".";
  tempName += name.substr(0, kMaxBaseName);
  tempName += ".tmp-XXXXXX";
  std::string tempPath = (dir / tempName).string();
  int fd = ::mkostemp(tempPath.data(), O_CLOEXEC);
  if (fd < 0) {
    error = "cannot create temporary file in " + dir.string() + ": " + ErrorText(errno);
    return false;
  }
  const auto fail = [&](std::string reason) {
    if (fd >= 0) {
      ::close(fd);
    }
    ::unlink(tempPath.c_str());
    error = std::move(reason);
    return false;
  };

  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t put = ::write(fd, text.data() + written, text.size() - written);
    if (put < 0) {
      if (errno == EINTR) {
        continue;
      }
      return fail("write failed: " + ErrorText(errno));
    }
    if (put == 0) {
      return fail("write failed: nothing was written");
    }
    written += static_cast<std::size_t>(put);
  }

  // The new file keeps the old one's permissions; a new file gets rw-r--r--
  // whatever the umask.
  mode_t mode = 0644;
  struct stat existing {};
  if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
    mode = existing.st_mode & 07777;
  }
  if (secret) {
    mode &= 0700;
  }
  if (::fchmod(fd, mode) != 0) {
    return fail("cannot set file mode: " + ErrorText(errno));
  }
  if (::fsync(fd) != 0) {
    return fail("cannot flush file to disk: " + ErrorText(errno));
  }
  const int closed = ::close(fd);
  fd = -1;
  if (closed != 0) {
    return fail("write failed: " + ErrorText(errno));
  }
  if (::rename(tempPath.c_str(), target.c_str()) != 0) {
    return fail("cannot replace " + target.string() + ": " + ErrorText(errno));
  }
  SyncDirectory(dir);
  return true;
}

}  // namespace sequelo::app
