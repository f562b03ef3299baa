// What the fuzzers share: a check that stops the run (libFuzzer keeps the
// input that broke it), and the temporary file the file fuzzers read.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Unlike assert, never compiled out.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace sequelo::fuzz {

// One file per process, in memory (/dev/shm) where there is one, rewritten
// with each input; removed when the process ends normally.
class ScratchFile {
 public:
  explicit ScratchFile(const char* stem) {
    for (const char* dir : {"/dev/shm", "/tmp"}) {
      path_ = std::string(dir) + "/" + stem + "-XXXXXX";
      const int fd = ::mkstemp(path_.data());
      if (fd >= 0) {
        ::close(fd);
        return;
      }
    }
    std::perror("cannot create a scratch file");
    std::abort();
  }
  ~ScratchFile() { ::unlink(path_.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Replaces the content with `size` bytes at `data`.
  const std::string& Write(const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t put = ::write(fd, data + done, size - done);
      FUZZ_CHECK(put > 0);
      done += static_cast<std::size_t>(put);
    }
    ::close(fd);
    return path_;
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace sequelo::fuzz
