// Starts and stops the socat process behind a linked pty pair, and opens and
// reads its ends. Called from one test thread.
#include "tests/support/socat_pty_pair.h"

#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>


namespace sequelo::testsupport {
namespace {

constexpr auto kStartLimit = std::chrono::seconds(5);
constexpr auto kStopLimit = std::chrono::seconds(5);
constexpr auto kPollStep = std::chrono::milliseconds(5);

std::string ReadLog(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits for `pid` to end; true if it did within `limit`.
bool WaitForExit(pid_t pid, std::chrono::steady_clock::duration limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || (r == -1 && errno != EINTR)) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(kPollStep);
  }
}

}  // namespace

SocatPtyPair::~SocatPtyPair() {
  Stop();
}

bool SocatPtyPair::SocatAvailable() {
  const char* path = std::getenv("PATH");
  if (path == nullptr) {
    return false;
  }
  std::istringstream dirs(path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) {
      continue;
    }
    if (::access((dir + "/socat").c_str(), X_OK) == 0) {
      return true;
    }
  }
  return false;
}

bool SocatPtyPair::Start() {
  Stop();
  std::string templ = (std::filesystem::temp_directory_path() / "sequelo-pty.XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) {
    error_ = std::string("cannot make a temporary folder: ") + std::strerror(errno);
    return false;
  }
  folder_ = templ;
  endA_ = folder_ + "/ttyA";
  endB_ = folder_ + "/ttyB";
  const std::string log = folder_ + "/socat.log";

  const std::string socat = FindProgram("socat");
  const pid_t pid = socat.empty() ? -1
                                  : SpawnProgram({socat, "-d", "-d", "pty,raw,echo=0,link=" + endA_,
                                                  "pty,raw,echo=0,link=" + endB_},
                                                 log, false);
  if (pid < 0) {
    error_ = "cannot start socat";
    Stop();
    return false;
  }
  pid_ = pid;

  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  for (;;) {
    std::error_code ec;
    if (std::filesystem::exists(endA_, ec) && std::filesystem::exists(endB_, ec)) {
      return true;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "socat ended early: " + ReadLog(log);
      Stop();
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      error_ = "socat made no ptys in time: " + ReadLog(log);
      Stop();
      return false;
    }
    std::this_thread::sleep_for(kPollStep);
  }
}

void SocatPtyPair::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    if (!WaitForExit(pid_, kStopLimit)) {
      ::kill(pid_, SIGKILL);
      WaitForExit(pid_, kStopLimit);
    }
    pid_ = -1;
  }
  if (!folder_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
    folder_.clear();
  }
}

int OpenRaw(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    termios t{};
    ::tcgetattr(fd, &t);
    cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
  }
  return fd;
}

std::vector<std::uint8_t> ReadBytes(int fd, std::size_t count) {
  std::vector<std::uint8_t> got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) {
      continue;
    }
    std::array<std::uint8_t, 512> buffer{};
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n > 0) {
      got.insert(got.end(), buffer.begin(), buffer.begin() + n);
    }
  }
  return got;
}

}  // namespace sequelo::testsupport
