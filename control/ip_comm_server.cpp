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

#include <array>
#include <asio/buffer.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
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
#include "core/tone_set.h"

namespace sequelo::control {
namespace {

using asio::ip::tcp;

// The connection whose arrival and departure are reported and which receives
// SendToClient's lines.
constexpr int kClientOne = 1;
constexpr std::size_t kReadChunk = 4096;
// Lines waiting for the event thread at which every connection stops reading
// (the clients' data then waits in the system's buffers), and the number at
// which reading resumes. Keeps a flood of lines from growing the queue while a
// transmission blocks the event thread.
constexpr std::size_t kPauseReadsAt = 256;
constexpr std::size_t kResumeReadsAt = 64;
// The system's send buffer per connection: only short lines go out, and a
// client that stops reading holds no more than this (doubled by Linux) there.
constexpr int kSocketSendBuffer = 16 * 1024;
// Delay before accepting again after a failed accept (e.g. no file
// descriptors left), so the failure does not spin.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

enum class EventKind { kConnected, kLine, kDisconnected };

struct Event {
  EventKind kind = EventKind::kLine;
  int id = 0;
  std::string line;
};

// One client connection; touched by the I/O thread only.
struct Connection {
  Connection(tcp::socket s, int connectionId) : socket(std::move(s)), id(connectionId) {}

  tcp::socket socket;
  int id;
  bool open = true;
  bool readPaused = false;
  bool writing = false;
  std::array<char, kReadChunk> readBuffer{};
  LineSplitter splitter;
  std::string waiting;   // queued while a write is in progress
  std::string inFlight;  // the bytes of the write in progress
};

using ConnectionPtr = std::shared_ptr<Connection>;

}  // namespace

struct IPCommServer::Impl {
  Impl(core::EventLog& log, RemoteActions& actions) : log_(log), actions_(actions) {}

  // Owner's thread.
  bool Start(std::uint16_t port, std::string& error);
  void Stop();
  bool Listen(std::uint16_t port, std::string& error);
  bool Bind(const tcp& protocol, std::uint16_t port, asio::error_code& ec);

  // Any thread.
  void SendToClient(std::string_view text);
  void PushEvent(Event event);

  // I/O thread.
  void Accept();
  void OnAccepted(const asio::error_code& ec, tcp::socket socket);
  int LowestFreeId() const;
  void Read(const ConnectionPtr& connection);
  void OnRead(const ConnectionPtr& connection, const asio::error_code& ec, std::size_t size);
  void ResumeReads();
  void Close(const ConnectionPtr& connection);
  void CloseAll();
  void QueueForClientOne(std::string line);
  void Write(const ConnectionPtr& connection);
  void OnWritten(const ConnectionPtr& connection, const asio::error_code& ec);

  // Server-event thread.
  void RunEvents();
  void OnClientConnected(int id);
  void OnClientDisconnected(int id);
  void OnClientLine(std::string_view line);

  core::EventLog& log_;
  RemoteActions& actions_;

  asio::io_context io_;
  tcp::acceptor acceptor_{io_};
  asio::steady_timer acceptRetry_{io_};
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::map<int, ConnectionPtr> connections_;  // I/O thread; by id, so the first free id is quick
  std::thread ioThread_;
  std::thread eventThread_;
  bool running_ = false;  // owner's thread

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

bool IPCommServer::Impl::Start(std::uint16_t port, std::string& error) {
  if (running_) {
    error = "the remote-control server is already running";
    return false;
  }
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
  eventThread_ = std::thread([this] { RunEvents(); });
  ioThread_ = std::thread([this] { io_.run(); });
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
  clientConnected_ = false;
  port_ = 0;
  running_ = false;
}

bool IPCommServer::Impl::Listen(std::uint16_t port, std::string& error) {
  asio::error_code ec;
  // A port in use or forbidden is so for IPv4 as well; any other failure
  // means IPv6 is not available here.
  if (!Bind(tcp::v6(), port, ec) && ec != asio::error::address_in_use &&
      ec != asio::error::access_denied) {
    Bind(tcp::v4(), port, ec);
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

bool IPCommServer::Impl::Bind(const tcp& protocol, std::uint16_t port, asio::error_code& ec) {
  asio::error_code ignored;
  acceptor_.close(ignored);
  acceptor_.open(protocol, ec);
  if (!ec && protocol == tcp::v6()) {
    acceptor_.set_option(asio::ip::v6_only(false), ec);
  }
  if (!ec) {
    acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
  }
  if (!ec) {
    acceptor_.bind(tcp::endpoint(protocol, port), ec);
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
  asio::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  socket.set_option(asio::socket_base::send_buffer_size(kSocketSendBuffer), ignored);
  const int id = LowestFreeId();
  auto connection = std::make_shared<Connection>(std::move(socket), id);
  connections_.emplace(id, connection);
  PushEvent(Event{EventKind::kConnected, id, {}});
  Read(connection);
  Accept();
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
  if (ec) {
    Close(connection);  // the client left (or the connection failed); a half line goes with it
    return;
  }
  bool pause = false;
  {
    std::lock_guard lock(eventMutex_);
    connection->splitter.Feed(
        std::string_view(connection->readBuffer.data(), size), [&](std::string_view line) {
          events_.push_back(Event{EventKind::kLine, connection->id, std::string(line)});
          ++queuedLines_;
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

void IPCommServer::Impl::CloseAll() {
  asio::error_code ignored;
  acceptor_.close(ignored);
  acceptRetry_.cancel();
  for (const auto& entry : connections_) {
    entry.second->open = false;
    entry.second->socket.close(ignored);
  }
  connections_.clear();
}

void IPCommServer::Impl::QueueForClientOne(std::string line) {
  const auto found = connections_.find(kClientOne);
  if (found == connections_.end()) {
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
        OnClientConnected(event.id);
        break;
      case EventKind::kLine:
        OnClientLine(event.line);
        break;
      case EventKind::kDisconnected:
        OnClientDisconnected(event.id);
        break;
    }
  }
}

void IPCommServer::Impl::OnClientConnected(int id) {
  if (id != kClientOne) {
    return;
  }
  clientConnected_ = true;
  log_.Report("Socket Client connected");
}

void IPCommServer::Impl::OnClientDisconnected(int id) {
  if (id != kClientOne) {
    return;
  }
  clientConnected_ = false;
  log_.Report("Socket Client disconnected");
}

// Lines of every connection count, not only client 1's.
void IPCommServer::Impl::OnClientLine(std::string_view line) {
  line = line.substr(0, line.find('\0'));
  if (const auto command = CommandStringOf(line)) {
    log_.Report("Socket command received: " + std::string(line));
    actions_.RunCommand(*command);
  } else if (core::IsCallCode(line)) {
    log_.Report("Socket code received: " + std::string(line));
    actions_.SendCall(line);
  }
}

IPCommServer::IPCommServer(core::EventLog& log, RemoteActions& actions)
    : impl_(std::make_unique<Impl>(log, actions)) {}

IPCommServer::~IPCommServer() {
  Stop();
}

bool IPCommServer::Start(std::uint16_t port, std::string& error) {
  return impl_->Start(port, error);
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
