// The remote-control server over real sockets. Two servers run on 127.0.0.1
// for the whole process: an open one whose clients may transmit, and one
// that wants a secret ("#AUTH fuzz-secret") and lets nobody transmit. Each
// keeps a connection of ours as client 1, which receives codes.
//
// Each input is one client: its first byte picks the server (bit 0) and the
// number of writes (bits 1-2); the rest is written over a new connection,
// which is then half-closed. The server closes a connection other than
// client 1's once the client has sent all it will, so the run waits for that
// close; then, to know that the server's event thread has handled every line
// of the input too, it connects once more and waits for the log line that
// announces that connection (events are handled in order, and no client can
// write a log line that begins "Remote connection ").
//
// Checked: the server closes the connection (within kWaitMs); the actions it
// asks for are a command string or a call code from one line; log lines are
// bounded and, made printable as the log's sinks make them, hold no line
// end; a line sent to client 1 arrives whole; and, as with any input, no
// memory error, leak or undefined behaviour.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "control/command_interpreter.h"
#include "control/ip_comm_server.h"
#include "control/line_splitter.h"
#include "control/remote_actions.h"
#include "core/clock.h"
#include "core/event_log.h"
#include "core/printable.h"
#include "core/tone_set.h"
#include "fuzz/fuzz_check.h"
#include "tx/sequence_encoder.h"

namespace {

using sequelo::control::IPCommServer;
using sequelo::control::LineSplitter;

constexpr int kWaitMs = 5000;
constexpr std::string_view kSecret = "fuzz-secret";
// A log line holds at most a whole line of a client and some words.
constexpr std::size_t kMaxLogLine = 4 * LineSplitter::kMaxLineLength + 512;

// Records nothing but what the run waits for: the lines that announce a
// connection, by the peer they name.
class FakeLog final : public sequelo::core::EventLog {
 public:
  void WriteLogLine(std::string_view text) override {
    FUZZ_CHECK(text.size() <= kMaxLogLine);
    // The log's sinks write a client's bytes as printable text, which then
    // holds nothing to escape: no line end can forge a log line.
    const std::string shown = sequelo::core::Printable(text);
    FUZZ_CHECK(!sequelo::core::NeedsEscaping(shown));
    FUZZ_CHECK(shown.find_first_of("\r\n") == std::string::npos);
    constexpr std::string_view kAnnounce = "Remote connection ";
    const std::size_t from = text.rfind(" from ");
    if (text.starts_with(kAnnounce) && from != std::string_view::npos) {
      std::lock_guard lock(mutex_);
      announced_.emplace_back(text.substr(from + 6));
      if (announced_.size() > 64) {
        announced_.pop_front();
      }
      changed_.notify_all();
    }
  }
  void AddActivityLine(std::string_view text) override { FUZZ_CHECK(text.size() <= kMaxLogLine); }

  // Forgets the connections announced so far (a port comes round again).
  void Forget() {
    std::lock_guard lock(mutex_);
    announced_.clear();
  }

  // Waits for "Remote connection N from <peer>"; false when it has not come
  // within kWaitMs.
  bool WaitAnnounced(const std::string& peer) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] {
      return std::find(announced_.begin(), announced_.end(), peer) != announced_.end();
    });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> announced_;
};

// Checks what the server asks for and answers as the station would: a
// command string is refused for its syntax or the transmitter's limits.
class FakeActions final : public sequelo::control::RemoteActions {
 public:
  std::string RunCommand(std::string_view commandText) override {
    CheckLineText(commandText, LineSplitter::kMaxLineLength - 1);
    return sequelo::control::CommandStringRefusal(commandText, sequelo::tx::CallOptionsForMode(0),
                                                  120000);
  }
  std::string SendCall(std::string_view code) override {
    CheckLineText(code, LineSplitter::kMaxLineLength);
    FUZZ_CHECK(sequelo::core::IsCallCode(code));
    return code.front() == '9' ? "the transmit queue is full" : "";
  }

 private:
  static void CheckLineText(std::string_view text, std::size_t maxChars) {
    FUZZ_CHECK(text.size() <= maxChars);
    FUZZ_CHECK(text.find('\0') == std::string_view::npos);
    FUZZ_CHECK(text.find("\r\n") == std::string_view::npos);
  }
};

// A connection from 127.0.0.1 to `port`; `peer` is its address as the server
// shows it.
int Connect(std::uint16_t port, std::string& peer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  FUZZ_CHECK(fd >= 0);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    // libFuzzer's timer (SIGALRM) interrupts a connect, which then goes on
    // by itself.
    if (errno != EINTR) {
      std::perror("connect");
      FUZZ_CHECK(false);
    }
    pollfd p{fd, POLLOUT, 0};
    while (::poll(&p, 1, kWaitMs) < 0 && errno == EINTR) {
    }
    int error = 0;
    socklen_t length = sizeof error;
    FUZZ_CHECK(::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0);
  }
  socklen_t size = sizeof address;
  FUZZ_CHECK(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0);
  peer = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  return fd;
}

// Closes with a reset: no port is left waiting (TIME_WAIT) on our side.
void Reset(int fd) {
  const linger now{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  ::close(fd);
}

// Writes all it can; a server that has closed the connection takes no more.
void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
}

// Reads until the server closes the connection; false after kWaitMs.
bool AwaitClose(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  char sink[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      continue;
    }
    const ssize_t got = ::recv(fd, sink, sizeof sink, 0);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return true;  // closed (or reset)
    }
  }
}

// Reads exactly `expected` from client 1's connection.
void ExpectBytes(int fd, const std::string& expected) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (got.size() < expected.size()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    FUZZ_CHECK(left.count() > 0);
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      continue;
    }
    char buffer[4096];
    const std::size_t want = std::min(sizeof buffer, expected.size() - got.size());
    const ssize_t n = ::recv(fd, buffer, want, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    FUZZ_CHECK(n > 0);
    got.append(buffer, static_cast<std::size_t>(n));
  }
  FUZZ_CHECK(got == expected);
}

// One server, its fakes and our client 1.
struct Station {
  explicit Station(bool withSecret) : server(log, actions, clock) {
    sequelo::control::RemoteAccess access;
    access.listenAddress = "127.0.0.1";
    access.allow = "127.0.0.0/8";
    if (withSecret) {
      access.secret = std::string(kSecret);
      access.transmit = false;
    }
    std::string error;
    if (!server.Start(0, access, error)) {
      std::fprintf(stderr, "cannot start the server: %s\n", error.c_str());
      std::abort();
    }
    port = server.Port();
    std::string peer;
    clientOne = Connect(port, peer);
    if (withSecret) {
      WriteAll(clientOne, "#AUTH " + std::string(kSecret) + "\r\n");
    }
    FUZZ_CHECK(log.WaitAnnounced(peer));
    // Client 1 is announced (and takes codes) once it is known.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!server.ClientConnected()) {
      FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~Station() {
    server.Stop();
    ::close(clientOne);
  }

  FakeLog log;
  FakeActions actions;
  // Moved on 100 s before each input: every rate limit (of the connection
  // log lines, of an address's log lines) is full again, so that an input
  // does the same whatever came before it. It wraps now and then, as the
  // real clock does after 49 days.
  sequelo::core::ManualTickClock clock;
  IPCommServer server;
  std::uint16_t port = 0;
  int clientOne = -1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Station open(false);
  static Station guarded(true);
  if (size == 0) {
    return 0;
  }
  Station& station = (data[0] & 1) != 0 ? guarded : open;
  const std::size_t writes = 1 + ((data[0] >> 1) & 3);
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  station.clock.Advance(100000);
  std::string peer;
  const int fd = Connect(station.port, peer);
  for (std::size_t i = 0; i < writes; ++i) {
    const std::size_t from = bytes.size() * i / writes;
    const std::size_t to = bytes.size() * (i + 1) / writes;
    WriteAll(fd, bytes.substr(from, to - from));
  }
  ::shutdown(fd, SHUT_WR);
  FUZZ_CHECK(AwaitClose(fd));
  ::close(fd);

  // Every event of the connection handled: a new connection is announced.
  station.log.Forget();
  const int probe = Connect(station.port, peer);
  FUZZ_CHECK(station.log.WaitAnnounced(peer));
  Reset(probe);

  // A line for client 1 (the input's first bytes, without line ends)
  // arrives whole.
  std::string line(bytes.substr(0, 200));
  std::replace(line.begin(), line.end(), '\r', ' ');
  std::replace(line.begin(), line.end(), '\n', ' ');
  station.server.SendToClient(line);
  ExpectBytes(station.clientOne, line + "\r\n");
  FUZZ_CHECK(station.server.DroppedLines() == 0);
  return 0;
}
