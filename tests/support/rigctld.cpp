// Starts and stops a private rigctld by PID; rigctl runs to its end (or is
// killed after 5 s) with its output in the daemon's folder.
#include "tests/support/rigctld.h"

#include "tests/support/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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

using Clock = std::chrono::steady_clock;
constexpr auto kLimit = std::chrono::seconds(5);
constexpr auto kStep = std::chrono::milliseconds(10);

// A connection taken, and ended before anyone else connects: rigctld (4.5)
// closes a finished client's socket three times over, which can cut a
// connection it accepts meanwhile. So the daemon's close is awaited (1 s at
// most), and a moment more.
bool TakesConnections(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool taken = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (taken) {
    ::shutdown(fd, SHUT_WR);
    pollfd p{fd, POLLIN, 0};
    char byte = 0;
    while (::poll(&p, 1, 1000) > 0 && ::recv(fd, &byte, 1, 0) > 0) {
    }
  }
  ::close(fd);
  if (taken) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return taken;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

Rigctld::~Rigctld() {
  Stop();
  if (!folder_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
}

std::string Rigctld::Program(const std::string& name) {
  return FindProgram(name);
}

std::string Rigctld::Address() const {
  return "127.0.0.1:" + std::to_string(port_);
}

std::string Rigctld::Log() const {
  return ReadText(folder_ + "/rigctld.log") + ReadText(folder_ + "/rigctld.log.err");
}

bool Rigctld::Launch() {
  const pid_t pid = SpawnProgram(
      {Program("rigctld"), "-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t", std::to_string(port_)},
      folder_ + "/rigctld.log");
  if (pid < 0) {
    error_ = "cannot start rigctld";
    return false;
  }
  pid_ = pid;
  const auto deadline = Clock::now() + kLimit;
  for (;;) {
    int status = 0;
    // Ended: the port was someone else's after all (or rigctld failed).
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "rigctld ended early: " + Log();
      return false;
    }
    if (TakesConnections(port_)) {
      return true;
    }
    if (Clock::now() >= deadline) {
      error_ = "rigctld took no connection in time: " + Log();
      Stop();
      return false;
    }
    std::this_thread::sleep_for(kStep);
  }
}

bool Rigctld::Start() {
  if (pid_ > 0) {
    return true;
  }
  if (Program("rigctld").empty()) {
    error_ = "rigctld not found";
    return false;
  }
  if (folder_.empty()) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "sequelo-rigctld-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      error_ = std::string("cannot make a temporary folder: ") + std::strerror(errno);
      return false;
    }
    folder_ = pattern;
  }
  return LaunchOnFreePort(port_, [this] { return Launch(); });
}

void Rigctld::Stop() {
  StopProgram(pid_, kLimit);
}

void Rigctld::Kill() {
  if (pid_ <= 0) {
    return;
  }
  ::kill(pid_, SIGKILL);
  int status = 0;
  ReapWithin(pid_, kLimit, status);
  pid_ = -1;
}

int Rigctld::ReadPttWithRigctl() {
  // rigctld may cut a connection it accepts while it closes another (its
  // triple close): a read that failed is tried again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (const int ptt = RunRigctl(); ptt >= 0) {
      return ptt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return -1;
}

int Rigctld::RunRigctl() {
  const std::string output = folder_ + "/rigctl-" + std::to_string(++reads_) + ".out";
  const pid_t pid = SpawnProgram({Program("rigctl"), "-m", "2", "-r", Address(), "t"}, output);
  if (pid < 0) {
    return -1;
  }
  int status = 0;
  if (!ReapWithin(pid, kLimit, status)) {
    ::kill(pid, SIGKILL);
    ReapWithin(pid, kLimit, status);
    return -1;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return -1;
  }
  const std::string text = ReadText(output);
  if (text.rfind("1", 0) == 0) {
    return 1;
  }
  return text.rfind("0", 0) == 0 ? 0 : -1;
}

}  // namespace sequelo::testsupport
