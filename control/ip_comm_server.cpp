// The remote-control TCP server: listening, connection ids, reading lines and
// client 1's send queue (I/O thread), and the handling of the events (server-
// event thread). Start and Stop run on the owner's thread, SendToClient and
// the getters on any; each part's thread is noted at its declaration below.

// Asio's handler fences (std::atomic_thread_fence) are invisible to
// ThreadSanitizer, which sees the io_context's locks that order them anyway.
#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include "control/ip_comm_server.h"

#include "control/command_text.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <asio/buffer.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "control/line_splitter.h"
#include "control/rate_limit.h"
#include "core/tone_set.h"

namespace sequelo::control {
namespace {

using asio::ip::tcp;

// The connection whose arrival and departure are reported and which receives
// SendToClient's lines.
constexpr int kClientOne = 1;
constexpr std::size_t kReadChunk = 4096;
// The network thread's nice value, above the decoder's 0.
constexpr int kIoThreadNice = 5;
// Lines waiting for the event thread at which every connection stops reading
// (the clients' data then waits in the system's buffers), and the number at
// which reading resumes. Keeps a flood of lines from growing the queue.
constexpr std::size_t kPauseReadsAt = 256;
constexpr std::size_t kResumeReadsAt = 64;
// The system's send buffer per connection: only short lines go out, and a
// client that stops reading holds no more than this (doubled by Linux) there.
constexpr int kSocketSendBuffer = 16 * 1024;
// Delay before accepting again after a failed accept (e.g. no file
// descriptors left), so the failure does not spin.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
// How often idle and unauthenticated connections are looked for.
constexpr auto kIdleCheckPeriod = std::chrono::seconds(1);
// When every place is taken, a connection (not client 1) that has sent
// nothing for this long makes room for a new one.
constexpr std::uint32_t kEvictSilentMs = 10000;
// TCP keep-alive: a silent peer is asked after kKeepIdle s, every kKeepInterval s,
// and given up after kKeepCount unanswered probes.
constexpr int kKeepIdle = 60;
constexpr int kKeepInterval = 10;
constexpr int kKeepCount = 6;
// Refused connections logged, and connections logged: so many a second on
// average, so many at once; a flood of connections is summed up instead.
constexpr double kRefusalLogsPerSecond = 1.0;
constexpr double kRefusalLogBurst = 20.0;
constexpr double kConnectionLogsPerSecond = 1.0;
constexpr double kConnectionLogBurst = 30.0;
// A flood's summary line comes at most this often.
constexpr std::uint32_t kSummaryPeriodMs = 10000;
constexpr std::string_view kAuthPrefix = "#AUTH ";

// kRenamed: a connection that gave the secret now has its own id (in
// `line`) in place of the provisional one it was taken in with.
enum class EventKind { kConnected, kLine, kDisconnected, kRenamed };
// With a secret, connections are taken in with provisional ids from here on,
// each used once, so no client that has not given the secret can become
// client 1, and nothing meant for one connection reaches another.
constexpr int kProvisionalIds = 1 << 30;

struct Event {
  EventKind kind = EventKind::kLine;
  int id = 0;
  std::string line;  // kLine: the line; kConnected: the peer as shown
};

// One client connection; touched by the I/O thread only.
struct Connection {
  Connection(tcp::socket s, int connectionId) : socket(std::move(s)), id(connectionId) {}

  tcp::socket socket;
  int id;
  std::string peer;
  bool open = true;
  bool readPaused = false;
  bool halfClosed = false;  // the client has sent all it will
  bool writing = false;
  bool authed = false;  // set by the event thread (posted) once "#AUTH" matched
  std::uint32_t openedMs = 0;
  std::uint32_t halfClosedMs = 0;
  std::uint32_t lastReceivedMs = 0;
  std::uint32_t lastWrittenMs = 0;
  std::array<char, kReadChunk> readBuffer{};
  LineSplitter splitter;
  std::string waiting;   // queued while a write is in progress
  std::string inFlight;  // the bytes of the write in progress
};

using ConnectionPtr = std::shared_ptr<Connection>;

// What the server keeps of each client on its event thread.
struct Client {
  explicit Client(const RemoteAccess& access)
      : lines(access.linesPerSecond, 2 * access.linesPerSecond) {}
  std::string peer;     // address and port
  std::string address;  // the address alone: its log share is the address's
  bool authed = false;
  bool announced = false;  // "Socket Client connected" logged for it
  bool refused = false;    // a wrong secret: its further lines count for nothing
  RateLimit lines;
  std::uint64_t droppedLines = 0;  // over the line rate
};

// The log lines one address may cause, whatever connections it opens.
struct LogShare {
  explicit LogShare(const RemoteAccess& access)
      : lines(access.logLinesPerSecond, access.logBurst) {}
  RateLimit lines;
  std::uint64_t unlogged = 0;
  std::uint32_t lastSummaryMs = 0;
};
// Addresses whose log share is remembered; beyond, all are forgotten.
constexpr std::size_t kLogShares = 4096;

// "Remote connection 3", or without a number while it is provisional.
std::string ConnectionName(int id) {
  return id < kProvisionalIds ? "Remote connection " + std::to_string(id) : "Remote connection";
}

std::string AddressOf(const std::string& peer) {
  std::string address = peer.substr(0, peer.rfind(':'));
  if (address.size() >= 2 && address.front() == '[') {
    address = address.substr(1, address.size() - 2);
  }
  return address;
}

// Lines worth handing to the event thread: a command string, a code, or
// the secret. Everything else is dropped where it is read.
bool MayAct(std::string_view line) {
  line = line.substr(0, line.find('\0'));
  return CommandStringOf(line).has_value() || core::IsCallCode(line) ||
         line.substr(0, kAuthPrefix.size()) == kAuthPrefix;
}

std::string PeerText(const tcp::endpoint& endpoint) {
  asio::ip::address address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  const std::string port = std::to_string(endpoint.port());
  return address.is_v6() ? "[" + address.to_string() + "]:" + port
                         : address.to_string() + ":" + port;
}

IpBytes BytesOf(const asio::ip::address& address) {
  IpBytes bytes{};
  if (address.is_v4()) {
    bytes[10] = 0xff;
    bytes[11] = 0xff;
    const auto v4 = address.to_v4().to_bytes();
    std::copy(v4.begin(), v4.end(), bytes.begin() + 12);
  } else {
    const auto v6 = address.to_v6().to_bytes();
    std::copy(v6.begin(), v6.end(), bytes.begin());
  }
  return bytes;
}

// Compares without stopping at the first difference, so the time taken
// tells nothing of the secret.
bool SameSecret(std::string_view a, std::string_view b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return diff == 0;
}

void SetKeepAlive(tcp::socket& socket, int idle, int interval, int count) {
  asio::error_code ignored;
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  const int fd = socket.native_handle();
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

}  // namespace

struct IPCommServer::Impl {
  Impl(core::EventLog& log, RemoteActions& actions, core::TickClock& clock)
      : log_(log), actions_(actions), clock_(clock) {}

  // Owner's thread.
  bool Start(std::uint16_t port, const RemoteAccess& access, std::string& error);
  void Stop();
  bool Listen(std::uint16_t port, std::string& error);
  bool Bind(const tcp::endpoint& endpoint, asio::error_code& ec);

  // Any thread.
  void SendToClient(std::string_view text);
  void PushEvent(Event event);

  // I/O thread.
  void Accept();
  void OnAccepted(const asio::error_code& ec, tcp::socket socket);
  bool MakeRoom();
  void Refuse(tcp::socket& socket, const std::string& peer, const std::string& reason);
  int LowestFreeId() const;
  void Read(const ConnectionPtr& connection);
  void OnRead(const ConnectionPtr& connection, const asio::error_code& ec, std::size_t size);
  void OnHalfClosed(const ConnectionPtr& connection);
  void ResumeReads();
  void Close(const ConnectionPtr& connection);
  void CloseById(int id, const std::string& why);
  void CloseAll();
  void QueueForClientOne(std::string line);
  void Write(const ConnectionPtr& connection);
  void OnWritten(const ConnectionPtr& connection, const asio::error_code& ec);
  void CheckIdle();
  void ScheduleIdleCheck();

  // Server-event thread.
  void RunEvents();
  void OnClientConnected(int id, std::string peer);
  void OnClientDisconnected(int id);
  void OnClientLine(int id, std::string_view line);
  void Authenticate(int id, Client& client, std::string_view line);
  void OnRenamed(int from, int to);
  void Announce(int id, Client& client);
  // A line about `client`, within its address's share of the log.
  void ClientLog(Client& client, const std::string& text);
  void Summarise(Client& client, bool force);
  LogShare& ShareOf(const Client& client);

  // I/O thread: a line of the I/O thread's own (refusals, closes), within
  // its share of the log.
  void IoLog(const std::string& text);
  void Promote(int provisionalId);

  core::EventLog& log_;
  RemoteActions& actions_;
  core::TickClock& clock_;
  RemoteAccess access_;    // set by Start, read by both threads while running
  AddressFilter allowed_;  // likewise

  asio::io_context io_;
  tcp::acceptor acceptor_{io_};
  asio::steady_timer acceptRetry_{io_};
  asio::steady_timer idleCheck_{io_};
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::map<int, ConnectionPtr> connections_;  // I/O thread; by id, so the first free id is quick
  RateLimit refusalLogs_{kRefusalLogsPerSecond, kRefusalLogBurst};  // I/O thread
  std::uint64_t unloggedRefusals_ = 0;                              // I/O thread
  int nextProvisional_ = 0;                                         // I/O thread
  std::thread ioThread_;
  std::thread eventThread_;
  bool running_ = false;  // owner's thread

  std::map<int, Client> clients_;                                            // event thread
  std::map<std::string, LogShare> logShares_;                                // event thread
  RateLimit connectionLogs_{kConnectionLogsPerSecond, kConnectionLogBurst};  // event thread
  std::uint64_t unloggedConnections_ = 0;                                    // event thread

  std::mutex eventMutex_;
  std::condition_variable eventReady_;
  std::deque<Event> events_;     // guarded by eventMutex_
  std::size_t queuedLines_ = 0;  // guarded by eventMutex_
  bool readsPaused_ = false;     // guarded by eventMutex_
  bool stopEvents_ = false;      // guarded by eventMutex_

  std::atomic<bool> clientConnected_{false};
  std::atomic<std::uint16_t> port_{0};
  // Bytes SendToClient has accepted that the system has not yet taken.
  std::atomic<std::size_t> pendingBytes_{0};
  std::atomic<std::uint64_t> droppedLines_{0};
};

bool IPCommServer::Impl::Start(std::uint16_t port, const RemoteAccess& access, std::string& error) {
  if (running_) {
    error = "the remote-control server is already running";
    return false;
  }
  AddressFilter allowed;
  if (!allowed.Parse(access.allow, error)) {
    error = "RemoteAllow: " + error;
    return false;
  }
  access_ = access;
  access_.maxClients = std::max(1, access.maxClients);
  access_.idleSeconds = std::max(1, access.idleSeconds);
  allowed_ = allowed;
  // Lines posted by SendToClient after the last Stop run now and find no
  // connection; then the queue starts empty.
  io_.restart();
  io_.poll();
  io_.restart();
  pendingBytes_ = 0;
  if (!Listen(port, error)) {
    return false;
  }
  asio::error_code ec;
  port_ = acceptor_.local_endpoint(ec).port();
  work_.emplace(io_.get_executor());
  Accept();
  ScheduleIdleCheck();
  eventThread_ = std::thread([this] { RunEvents(); });
  ioThread_ = std::thread([this] {
    // The network comes after listening: a flood of input on two busy cores
    // must not take the decoder's time. (Linux gives each thread a nice
    // value of its own; raising it needs no privilege.)
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kIoThreadNice);
    io_.run();
  });
  running_ = true;
  return true;
}

void IPCommServer::Impl::Stop() {
  if (!running_) {
    return;
  }
  asio::post(io_, [this] { CloseAll(); });
  work_.reset();
  ioThread_.join();
  {
    std::lock_guard lock(eventMutex_);
    stopEvents_ = true;
  }
  eventReady_.notify_all();
  eventThread_.join();
  {
    std::lock_guard lock(eventMutex_);  // undelivered events are dropped
    events_.clear();
    queuedLines_ = 0;
    readsPaused_ = false;
    stopEvents_ = false;
  }
  clients_.clear();
  logShares_.clear();
  unloggedConnections_ = 0;
  clientConnected_ = false;
  port_ = 0;
  running_ = false;
}

bool IPCommServer::Impl::Listen(std::uint16_t port, std::string& error) {
  asio::error_code ec;
  if (!access_.listenAddress.empty() && access_.listenAddress != "*") {
    const std::optional<IpBytes> bytes = ParseIpAddress(access_.listenAddress);
    if (!bytes) {
      error = "RemoteListen: not an address: " + access_.listenAddress;
      return false;
    }
    asio::ip::address address = asio::ip::make_address(IpText(*bytes), ec);
    if (!ec) {
      Bind(tcp::endpoint(address, port), ec);
    }
  } else if (!Bind(tcp::endpoint(tcp::v6(), port), ec) && ec != asio::error::address_in_use &&
             ec != asio::error::access_denied) {
    // A port in use or forbidden is so for IPv4 as well; any other failure
    // means IPv6 is not available here.
    Bind(tcp::endpoint(tcp::v4(), port), ec);
  }
  if (!ec) {
    acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  }
  if (ec) {
    asio::error_code ignored;
    acceptor_.close(ignored);
    error = "cannot listen on TCP port " + std::to_string(port) + ": " + ec.message();
    return false;
  }
  return true;
}

bool IPCommServer::Impl::Bind(const tcp::endpoint& endpoint, asio::error_code& ec) {
  asio::error_code ignored;
  acceptor_.close(ignored);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec && endpoint.protocol() == tcp::v6() && endpoint.address().is_unspecified()) {
    acceptor_.set_option(asio::ip::v6_only(false), ec);
  }
  if (!ec) {
    acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
  }
  if (!ec) {
    acceptor_.bind(endpoint, ec);
  }
  return !ec;
}

void IPCommServer::Impl::SendToClient(std::string_view text) {
  if (!clientConnected_) {
    return;
  }
  const std::size_t size = text.size() + 2;
  std::size_t pending = pendingBytes_.load();
  do {
    if (pending + size > kSendQueueLimit) {
      ++droppedLines_;
      return;
    }
  } while (!pendingBytes_.compare_exchange_weak(pending, pending + size));
  std::string line;
  line.reserve(size);
  line.append(text).append("\r\n");
  asio::post(io_, [this, line = std::move(line)]() mutable { QueueForClientOne(std::move(line)); });
}

void IPCommServer::Impl::PushEvent(Event event) {
  {
    std::lock_guard lock(eventMutex_);
    events_.push_back(std::move(event));
  }
  eventReady_.notify_one();
}

void IPCommServer::Impl::Accept() {
  acceptor_.async_accept([this](const asio::error_code& ec, tcp::socket socket) {
    OnAccepted(ec, std::move(socket));
  });
}

void IPCommServer::Impl::OnAccepted(const asio::error_code& ec, tcp::socket socket) {
  if (ec == asio::error::operation_aborted || !acceptor_.is_open()) {
    return;
  }
  if (ec == asio::error::connection_aborted) {
    Accept();  // the client left before it was taken; take the next
    return;
  }
  if (ec) {
    acceptRetry_.expires_after(kAcceptRetryDelay);
    acceptRetry_.async_wait([this](const asio::error_code& waitEc) {
      if (!waitEc && acceptor_.is_open()) {
        Accept();
      }
    });
    return;
  }
  Accept();
  asio::error_code peerEc;
  const tcp::endpoint remote = socket.remote_endpoint(peerEc);
  if (peerEc) {
    return;  // gone already; the socket closes here
  }
  const std::string peer = PeerText(remote);
  if (!allowed_.Allows(BytesOf(remote.address()))) {
    Refuse(socket, peer, "address not allowed (RemoteAllow)");
    return;
  }
  // A half-closed client 1 gives its place to the newcomer: most likely it
  // is the same program, connected again.
  // (Not with a secret: the newcomer may be anybody.)
  const auto one = connections_.find(kClientOne);
  if (access_.secret.empty() && one != connections_.end() && one->second->halfClosed) {
    Close(ConnectionPtr(one->second));
  }
  if (static_cast<int>(connections_.size()) >= access_.maxClients && !MakeRoom()) {
    Refuse(socket, peer,
           std::to_string(access_.maxClients) + " clients connected already (RemoteMaxClients)");
    return;
  }
  asio::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  socket.set_option(asio::socket_base::send_buffer_size(kSocketSendBuffer), ignored);
  SetKeepAlive(socket, kKeepIdle, kKeepInterval, kKeepCount);
  const int id = access_.secret.empty() ? LowestFreeId()
                                        : kProvisionalIds + nextProvisional_++ % kProvisionalIds;
  auto connection = std::make_shared<Connection>(std::move(socket), id);
  connection->peer = peer;
  connection->authed = access_.secret.empty();
  connection->openedMs = connection->lastReceivedMs = connection->lastWrittenMs = clock_.NowMs();
  connections_.emplace(id, connection);
  PushEvent(Event{EventKind::kConnected, id, peer});
  Read(connection);
}

// A connection other than client 1 that has been silent longest gives way,
// if it has been silent a while; with a secret, only one that has not given
// it (the newcomer has not given it yet either).
bool IPCommServer::Impl::MakeRoom() {
  const std::uint32_t now = clock_.NowMs();
  ConnectionPtr quietest;
  std::uint32_t longest = 0;
  for (const auto& [id, connection] : connections_) {
    const std::uint32_t silent = core::ElapsedMs(connection->lastReceivedMs, now);
    const bool mayGo = access_.secret.empty() || !connection->authed;
    if (id != kClientOne && mayGo && silent >= kEvictSilentMs && silent >= longest) {
      quietest = connection;
      longest = silent;
    }
  }
  if (!quietest) {
    return false;
  }
  IoLog(ConnectionName(quietest->id) + " from " + quietest->peer + " closed: silent for " +
        std::to_string(longest / 1000) + " s, its place taken by a new one");
  Close(quietest);
  return true;
}

void IPCommServer::Impl::Refuse(tcp::socket& socket, const std::string& peer,
                                const std::string& reason) {
  asio::error_code ignored;
  socket.close(ignored);  // nothing is said to it
  IoLog("Remote connection refused from " + peer + ": " + reason);
}

void IPCommServer::Impl::IoLog(const std::string& text) {
  if (!refusalLogs_.Allow(clock_.NowMs())) {
    ++unloggedRefusals_;
    return;
  }
  if (unloggedRefusals_ > 0) {
    log_.Report("Remote connections refused or closed and not logged: " +
                std::to_string(unloggedRefusals_));
    unloggedRefusals_ = 0;
  }
  log_.Report(text);
}

// The connection gave the secret: it gets the lowest free id (so the first
// to give it becomes client 1), and the event thread is told.
void IPCommServer::Impl::Promote(int provisionalId) {
  const auto found = connections_.find(provisionalId);
  if (found == connections_.end()) {
    return;  // gone meanwhile
  }
  ConnectionPtr connection = found->second;
  connections_.erase(found);
  connection->id = LowestFreeId();
  connection->authed = true;
  connections_.emplace(connection->id, connection);
  PushEvent(Event{EventKind::kRenamed, provisionalId, std::to_string(connection->id)});
}

int IPCommServer::Impl::LowestFreeId() const {
  int id = 1;
  for (const auto& entry : connections_) {
    if (entry.first != id) {
      break;
    }
    ++id;
  }
  return id;
}

void IPCommServer::Impl::Read(const ConnectionPtr& connection) {
  connection->socket.async_read_some(
      asio::buffer(connection->readBuffer),
      [this, connection](const asio::error_code& ec, std::size_t size) {
        OnRead(connection, ec, size);
      });
}

void IPCommServer::Impl::OnRead(const ConnectionPtr& connection, const asio::error_code& ec,
                                std::size_t size) {
  if (!connection->open) {
    return;
  }
  if (ec == asio::error::eof && connection->id == kClientOne) {
    OnHalfClosed(connection);
    return;
  }
  if (ec) {
    Close(connection);  // the client left (or the connection failed); a half line goes with it
    return;
  }
  connection->lastReceivedMs = clock_.NowMs();
  bool pause = false;
  {
    std::lock_guard lock(eventMutex_);
    connection->splitter.Feed(
        std::string_view(connection->readBuffer.data(), size), [&](std::string_view line) {
          if (MayAct(line)) {
            events_.push_back(Event{EventKind::kLine, connection->id, std::string(line)});
            ++queuedLines_;
          }
        });
    if (queuedLines_ >= kPauseReadsAt) {
      readsPaused_ = true;
      pause = true;
    }
  }
  eventReady_.notify_one();
  if (pause) {
    connection->readPaused = true;  // ResumeReads starts reading again
  } else {
    Read(connection);
  }
}

// Client 1 has sent all it will but may still be reading: it keeps
// receiving codes until it is gone or kHalfClosedTimeoutMs have passed.
void IPCommServer::Impl::OnHalfClosed(const ConnectionPtr& connection) {
  connection->halfClosed = true;
  connection->halfClosedMs = clock_.NowMs();
}

void IPCommServer::Impl::ResumeReads() {
  for (const auto& entry : connections_) {
    const ConnectionPtr& connection = entry.second;
    if (connection->readPaused) {
      connection->readPaused = false;
      Read(connection);
    }
  }
}

void IPCommServer::Impl::Close(const ConnectionPtr& connection) {
  if (!connection->open) {
    return;
  }
  connection->open = false;
  asio::error_code ignored;
  connection->socket.close(ignored);
  connections_.erase(connection->id);
  PushEvent(Event{EventKind::kDisconnected, connection->id, {}});
}

void IPCommServer::Impl::CloseById(int id, const std::string& why) {
  const auto found = connections_.find(id);
  if (found != connections_.end()) {
    if (!why.empty()) {
      IoLog(ConnectionName(id) + " from " + found->second->peer + " closed: " + why);
    }
    Close(ConnectionPtr(found->second));
  }
}

void IPCommServer::Impl::CloseAll() {
  asio::error_code ignored;
  acceptor_.close(ignored);
  acceptRetry_.cancel();
  idleCheck_.cancel();
  for (const auto& entry : connections_) {
    entry.second->open = false;
    entry.second->socket.close(ignored);
  }
  connections_.clear();
}

void IPCommServer::Impl::ScheduleIdleCheck() {
  idleCheck_.expires_after(kIdleCheckPeriod);
  idleCheck_.async_wait([this](const asio::error_code& ec) {
    if (!ec && acceptor_.is_open()) {
      CheckIdle();
      ScheduleIdleCheck();
    }
  });
}

void IPCommServer::Impl::CheckIdle() {
  const std::uint32_t now = clock_.NowMs();
  const std::uint32_t idleMs = static_cast<std::uint32_t>(access_.idleSeconds) * 1000;
  std::vector<std::pair<int, std::string>> closing;
  for (const auto& [id, c] : connections_) {
    const std::uint32_t silent = core::ElapsedMs(c->lastReceivedMs, now);
    // Client 1 counts as busy while it takes what is sent to it.
    const bool reading =
        id == kClientOne && (!c->writing || core::ElapsedMs(c->lastWrittenMs, now) < idleMs);
    if (!c->authed && core::ElapsedMs(c->openedMs, now) >= kAuthTimeoutMs) {
      closing.emplace_back(id, "no secret sent");
    } else if (c->halfClosed && core::ElapsedMs(c->halfClosedMs, now) >= kHalfClosedTimeoutMs) {
      closing.emplace_back(id, "");  // its time after half-closing is up
    } else if (silent >= idleMs && !reading && !c->halfClosed) {
      closing.emplace_back(id, "idle for " + std::to_string(silent / 1000) + " s");
    }
  }
  for (const auto& [id, why] : closing) {
    CloseById(id, why);
  }
}

void IPCommServer::Impl::QueueForClientOne(std::string line) {
  const auto found = connections_.find(kClientOne);
  if (found == connections_.end() || !found->second->authed) {
    pendingBytes_ -= line.size();
    return;
  }
  const ConnectionPtr& connection = found->second;
  connection->waiting.append(line);
  if (!connection->writing) {
    Write(connection);
  }
}

void IPCommServer::Impl::Write(const ConnectionPtr& connection) {
  connection->writing = true;
  connection->lastWrittenMs = clock_.NowMs();
  connection->inFlight.swap(connection->waiting);
  connection->waiting.clear();
  asio::async_write(
      connection->socket, asio::buffer(connection->inFlight),
      [this, connection](const asio::error_code& ec, std::size_t) { OnWritten(connection, ec); });
}

void IPCommServer::Impl::OnWritten(const ConnectionPtr& connection, const asio::error_code& ec) {
  pendingBytes_ -= connection->inFlight.size();
  connection->inFlight.clear();
  connection->writing = false;
  connection->lastWrittenMs = clock_.NowMs();
  if (ec || !connection->open) {
    pendingBytes_ -= connection->waiting.size();
    connection->waiting.clear();
    Close(connection);
    return;
  }
  if (!connection->waiting.empty()) {
    Write(connection);
  }
}

void IPCommServer::Impl::RunEvents() {
  for (;;) {
    Event event;
    bool resumeReads = false;
    {
      std::unique_lock lock(eventMutex_);
      eventReady_.wait(lock, [this] { return stopEvents_ || !events_.empty(); });
      if (stopEvents_) {
        return;
      }
      event = std::move(events_.front());
      events_.pop_front();
      if (event.kind == EventKind::kLine) {
        --queuedLines_;
        if (readsPaused_ && queuedLines_ <= kResumeReadsAt) {
          readsPaused_ = false;
          resumeReads = true;
        }
      }
    }
    if (resumeReads) {
      asio::post(io_, [this] { ResumeReads(); });
    }
    switch (event.kind) {
      case EventKind::kConnected:
        OnClientConnected(event.id, std::move(event.line));
        break;
      case EventKind::kLine:
        OnClientLine(event.id, event.line);
        break;
      case EventKind::kDisconnected:
        OnClientDisconnected(event.id);
        break;
      case EventKind::kRenamed:
        OnRenamed(event.id, std::stoi(event.line));
        break;
    }
  }
}

void IPCommServer::Impl::OnClientConnected(int id, std::string peer) {
  Client& client = clients_.insert_or_assign(id, Client(access_)).first->second;
  client.peer = std::move(peer);
  client.address = AddressOf(client.peer);
  if (connectionLogs_.Allow(clock_.NowMs())) {
    if (unloggedConnections_ > 0) {
      log_.Report("Remote connections not logged: " + std::to_string(unloggedConnections_));
      unloggedConnections_ = 0;
    }
    log_.Report(ConnectionName(id) + " from " + client.peer);
  } else {
    ++unloggedConnections_;
  }
  if (access_.secret.empty()) {
    Announce(id, client);
  }
}

// The client may now use the station: client 1 receives codes from here on.
void IPCommServer::Impl::Announce(int id, Client& client) {
  client.authed = true;
  if (id != kClientOne) {
    return;
  }
  client.announced = true;
  clientConnected_ = true;
  log_.Report("Socket Client connected");
}

void IPCommServer::Impl::OnRenamed(int from, int to) {
  const auto found = clients_.find(from);
  if (found == clients_.end()) {
    return;
  }
  Client client = std::move(found->second);
  clients_.erase(found);
  Announce(to, clients_.insert_or_assign(to, std::move(client)).first->second);
}

void IPCommServer::Impl::OnClientDisconnected(int id) {
  const auto found = clients_.find(id);
  if (found == clients_.end()) {
    return;
  }
  Summarise(found->second, true);
  const bool wasAnnounced = found->second.announced;
  clients_.erase(found);
  if (id != kClientOne || !wasAnnounced) {
    return;
  }
  clientConnected_ = false;
  log_.Report("Socket Client disconnected");
}

void IPCommServer::Impl::Authenticate(int id, Client& client, std::string_view line) {
  const bool match = line.substr(0, kAuthPrefix.size()) == kAuthPrefix &&
                     SameSecret(line.substr(kAuthPrefix.size()), access_.secret);
  if (!match) {
    client.refused = true;
    ClientLog(client, "Remote connection from " + client.peer + " closed: wrong or missing secret");
    asio::post(io_, [this, id] { CloseById(id, ""); });
    return;
  }
  // Its lines count from here on; it is announced once it has its own id.
  client.authed = true;
  asio::post(io_, [this, id] { Promote(id); });
}

LogShare& IPCommServer::Impl::ShareOf(const Client& client) {
  if (logShares_.size() >= kLogShares && logShares_.count(client.address) == 0) {
    logShares_.clear();
  }
  return logShares_.try_emplace(client.address, access_).first->second;
}

void IPCommServer::Impl::ClientLog(Client& client, const std::string& text) {
  LogShare& share = ShareOf(client);
  if (!share.lines.Allow(clock_.NowMs())) {
    ++share.unlogged;
    Summarise(client, false);
    return;
  }
  Summarise(client, false);
  log_.Report(text);
}

// What was dropped or not logged for a client, in one line: at once when
// `force` (the client leaves), else at most every kSummaryPeriodMs.
void IPCommServer::Impl::Summarise(Client& client, bool force) {
  const std::uint32_t now = clock_.NowMs();
  LogShare& share = ShareOf(client);
  if (client.droppedLines == 0 && share.unlogged == 0) {
    return;
  }
  if (!force && core::ElapsedMs(share.lastSummaryMs, now) < kSummaryPeriodMs) {
    return;
  }
  share.lastSummaryMs = now;
  std::string text = "Remote client " + client.peer + ":";
  if (client.droppedLines > 0) {
    text += " " + std::to_string(client.droppedLines) + " lines dropped (more than " +
            std::to_string(static_cast<int>(access_.linesPerSecond)) + " a second)";
  }
  if (share.unlogged > 0) {
    text += std::string(client.droppedLines > 0 ? "," : "") + " " + std::to_string(share.unlogged) +
            " log lines left out";
  }
  client.droppedLines = 0;
  share.unlogged = 0;
  log_.Report(text);
}

void IPCommServer::Impl::OnClientLine(int id, std::string_view line) {
  const auto found = clients_.find(id);
  if (found == clients_.end()) {
    return;  // a line that came after its connection was closed
  }
  Client& client = found->second;
  line = line.substr(0, line.find('\0'));
  if (client.refused) {
    return;
  }
  if (!client.authed) {
    Authenticate(id, client, line);
    return;
  }
  const std::optional<std::string_view> command = CommandStringOf(line);
  const bool code = !command && core::IsCallCode(line);
  if (!command && !code) {
    return;  // a second "#AUTH" line: nothing to do
  }
  if (!client.lines.Allow(clock_.NowMs())) {
    ++client.droppedLines;
    Summarise(client, false);
    return;
  }
  const std::string shown(line);
  ClientLog(client, (command ? "Socket command received: " : "Socket code received: ") + shown);
  if (!access_.transmit) {
    ClientLog(client,
              "Remote line not sent: remote clients may not transmit (RemoteTransmit=0): " + shown);
    return;
  }
  const std::string refusal = command ? actions_.RunCommand(*command) : actions_.SendCall(line);
  if (!refusal.empty()) {
    ClientLog(client, "Remote line not sent: " + refusal + ": " + shown);
  }
}

IPCommServer::IPCommServer(core::EventLog& log, RemoteActions& actions, core::TickClock& clock)
    : impl_(std::make_unique<Impl>(log, actions, clock)) {}

IPCommServer::~IPCommServer() {
  Stop();
}

bool IPCommServer::Start(std::uint16_t port, const RemoteAccess& access, std::string& error) {
  return impl_->Start(port, access, error);
}

std::string IPCommServer::AllowedText() const {
  return impl_->allowed_.Text();
}

void IPCommServer::Stop() {
  impl_->Stop();
}

std::uint16_t IPCommServer::Port() const {
  return impl_->port_;
}

void IPCommServer::SendToClient(std::string_view text) {
  impl_->SendToClient(text);
}

bool IPCommServer::ClientConnected() const {
  return impl_->clientConnected_;
}

std::uint64_t IPCommServer::DroppedLines() const {
  return impl_->droppedLines_;
}

}  // namespace sequelo::control
