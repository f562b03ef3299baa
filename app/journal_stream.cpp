#include "app/journal_stream.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cinttypes>

namespace sequelo::app {
namespace {

// A line longer than this (no line end yet) goes out in pieces.
constexpr std::size_t kMaxPendingBytes = 65536;

}  // namespace

bool IsJournalStream(int fd, const char* journalStream) {
  if (journalStream == nullptr || fd < 0) {
    return false;
  }
  std::uintmax_t device = 0;
  std::uintmax_t inode = 0;
  char rest = 0;
  if (std::sscanf(journalStream, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &rest) != 2) {
    return false;
  }
  struct stat st {};
  return ::fstat(fd, &st) == 0 && static_cast<std::uintmax_t>(st.st_dev) == device &&
         static_cast<std::uintmax_t>(st.st_ino) == inode;
}

std::string_view JournalMarker(std::string_view line) {
  if (line.starts_with("sequelo: ") || line.starts_with("sequelo-cli: ")) {
    return "<3>";
  }
  if (line.starts_with("Sequelo: ")) {
    return "<4>";
  }
  return "<6>";
}

JournalStream::JournalStream(std::FILE* target, const char* journalStream) : target_(target) {
  if (!IsJournalStream(::fileno(target), journalStream)) {
    return;
  }
  cookie_io_functions_t io{};
  io.write = &JournalStream::WriteMarked;
  marking_ = ::fopencookie(this, "w", io);
  if (marking_ != nullptr) {
    std::setvbuf(marking_, nullptr, _IOLBF, 0);
  }
}

JournalStream::~JournalStream() {
  if (marking_ == nullptr) {
    return;
  }
  std::fclose(marking_);
  if (!pending_.empty()) {
    EmitLine(pending_);
  }
}

ssize_t JournalStream::WriteMarked(void* cookie, const char* data, std::size_t size) {
  auto& self = *static_cast<JournalStream*>(cookie);
  std::string_view rest(data, size);
  for (std::size_t end = rest.find('\n'); end != std::string_view::npos; end = rest.find('\n')) {
    self.pending_.append(rest.substr(0, end));
    self.EmitLine(self.pending_);
    self.pending_.clear();
    rest.remove_prefix(end + 1);
  }
  self.pending_.append(rest);
  if (self.pending_.size() > kMaxPendingBytes) {
    self.EmitLine(self.pending_);
    self.pending_.clear();
  }
  return static_cast<ssize_t>(size);
}

void JournalStream::EmitLine(std::string_view line) {
  const std::string_view marker = JournalMarker(line);
  std::fprintf(target_, "%.*s%.*s\n", static_cast<int>(marker.size()), marker.data(),
               static_cast<int>(line.size()), line.data());
  std::fflush(target_);
}

void JournalStream::Warning(std::string_view text) {
  if (marking_ != nullptr) {
    std::fflush(marking_);  // lines written before this one come first
  }
  std::fprintf(target_, "%s%.*s\n", ToJournal() ? "<4>" : "", static_cast<int>(text.size()),
               text.data());
  std::fflush(target_);
}

}  // namespace sequelo::app
