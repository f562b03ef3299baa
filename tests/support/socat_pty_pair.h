// A linked pair of pseudo-terminals made by socat, for tests of code that
// talks to a serial port: bytes written on one end arrive on the other.
// Each pair lives in its own temporary folder and its socat is stopped by
// PID when the pair is destroyed. Use from one test thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sequelo::testsupport {

class SocatPtyPair {
 public:
  SocatPtyPair() = default;
  ~SocatPtyPair();

  SocatPtyPair(const SocatPtyPair&) = delete;
  SocatPtyPair& operator=(const SocatPtyPair&) = delete;

  // True if a socat executable is found in PATH.
  static bool SocatAvailable();

  // Starts socat and waits (a few seconds at most) until both ends exist.
  // False with Error() if it could not.
  bool Start();

  // The two ends, as links to the pty devices.
  const std::string& EndA() const { return endA_; }
  const std::string& EndB() const { return endB_; }

  const std::string& Error() const { return error_; }

 private:
  void Stop();

  pid_t pid_ = -1;
  std::string folder_;
  std::string endA_;
  std::string endB_;
  std::string error_;
};

// Opens one end for setting it up or watching it: raw, non-blocking, not
// the controlling terminal. -1 on failure.
int OpenRaw(const std::string& path);

// Reads from `fd` until `count` bytes came or a few seconds passed without
// them; returns what came (possibly more than `count`).
std::vector<std::uint8_t> ReadBytes(int fd, std::size_t count);

}  // namespace sequelo::testsupport
