// The remote-control TCP server: accepts clients on one port (IPv6 and IPv4),
// splits what they send into lines and acts on them (a "!command" line runs
// the command string, a five-character code line sends that call), and
// forwards received codes to client 1 (SendToClient).
//
// Threads: an I/O thread of the server's own does all socket work (accepting,
// reading, writing); a server-event thread of its own delivers the events
// (connected, line, disconnected) one at a time in the order they happened,
// and hands the remote calls and command strings to the station, which
// waits on it for each transmission to end while socket I/O goes on. Start, Stop and the destructor
// are called by the owner's thread; SendToClient, ClientConnected, Port and DroppedLines by any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "control/remote_actions.h"
#include "core/event_log.h"

namespace sequelo::control {

// Where received codes go to the remote client (nothing when none is there).
class RemoteClient {
 public:
  virtual ~RemoteClient() = default;
  virtual void SendToClient(std::string_view code) = 0;
};

class IPCommServer final : public RemoteClient {
 public:
  // The port the station listens on.
  static constexpr std::uint16_t kDefaultPort = 15286;
  // Bytes that may wait to be sent to client 1 (those the system has not yet
  // taken); a line that does not fit is dropped and counted.
  static constexpr std::size_t kSendQueueLimit = 64 * 1024;

  // `log` and `actions` must outlive the server.
  IPCommServer(core::EventLog& log, RemoteActions& actions);
  ~IPCommServer() override;
  IPCommServer(const IPCommServer&) = delete;
  IPCommServer& operator=(const IPCommServer&) = delete;

  // Listens on every interface: one socket for IPv6 and IPv4 ("::"), or IPv4
  // only (0.0.0.0) where IPv6 is unavailable. Port 0 takes a free port (see
  // Port()). On failure (the port in use, already started) returns false with
  // the reason in `error`, and nothing else happens.
  bool Start(std::uint16_t port, std::string& error);
  // Closes the listening socket and every connection and joins both threads
  // (waiting for a transmission in progress to end); events not yet
  // delivered are dropped. Nothing is logged. Start may be called again.
  void Stop();

  // The port listened on; 0 when not started.
  std::uint16_t Port() const;

  // Sends text + "\r\n" to client 1 if it is connected, to nobody else.
  // Never waits for the network: the line is queued for the I/O thread, or
  // dropped (and counted) when the queue for the client is full.
  void SendToClient(std::string_view text) override;

  // True while client 1 is connected (as last reported by the event thread).
  bool ClientConnected() const;

  // Lines SendToClient dropped because the client's queue was full.
  std::uint64_t DroppedLines() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sequelo::control
