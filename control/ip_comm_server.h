// The remote-control TCP server: accepts clients on one port (IPv6 and IPv4),
// splits what they send into lines and acts on them (a "!command" line runs
// the command string, a five-character code line sends that call), and
// forwards received codes to client 1 (SendToClient).
//
// Who may talk to it (RemoteAccess): connections from addresses outside the
// allow-list are closed at once, without a word; with a secret, a client's
// first line must be "#AUTH <secret>"; with transmit off, clients only
// receive codes. What one client can cost is bounded: at most `maxClients`
// connections, lines that act limited per client per second, log lines per
// client limited (the rest summed up in one line), idle connections dropped,
// and TCP keep-alive on every connection. Client 1 when it half-closes (sends
// all it has, then shuts its side) still receives codes for a while.
//
// Threads: an I/O thread of the server's own does all socket work
// (accepting, reading, writing, the once-a-second look for idle
// connections); a server-event thread of its own handles the events
// (connected, line, disconnected) one at a time in the order they happened
// and hands the remote calls and command strings to the station, which
// queues them without waiting. Start, Stop and the destructor are called by
// the owner's thread; SendToClient, ClientConnected, Port and DroppedLines
// by any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "control/address_filter.h"
#include "control/remote_actions.h"
#include "core/clock.h"
#include "core/event_log.h"

namespace sequelo::control {

// Where received codes go to the remote client (nothing when none is there).
class RemoteClient {
 public:
  virtual ~RemoteClient() = default;
  virtual void SendToClient(std::string_view code) = 0;
};

// Who may use the remote control, and how much.
struct RemoteAccess {
  static constexpr int kDefaultMaxClients = 8;
  static constexpr int kDefaultIdleSeconds = 600;

  bool enabled = true;
  std::string listenAddress;  // empty: every interface (IPv6 and IPv4)
  std::string allow = std::string(kDefaultRemoteAllow);
  bool transmit = true;  // false: clients receive codes, their lines key nothing
  // A sequence longer than five tones goes to the client whole (true) or as
  // its called code, five characters like every call (false).
  bool sequences = false;
  std::string secret;  // non-empty: the first line must be "#AUTH <secret>"
  int maxClients = kDefaultMaxClients;
  // A connection that sends nothing for this long is closed, unless it is
  // client 1 taking the codes sent to it.
  int idleSeconds = kDefaultIdleSeconds;
  // Lines that act (a code or a command string), per client: so many a
  // second on average, twice that at once; more are dropped and counted.
  double linesPerSecond = 10.0;
  // Log lines about the clients of one address, however many connections
  // it opens: so many a second on average, `logBurst` at once; the rest are
  // counted and summed up in one line.
  double logLinesPerSecond = 2.0;
  double logBurst = 200.0;
};

class IPCommServer final : public RemoteClient {
 public:
  // The port the station listens on.
  static constexpr std::uint16_t kDefaultPort = 15286;
  // How long a client with a secret to send may take for its first line.
  static constexpr std::uint32_t kAuthTimeoutMs = 10000;
  // How long client 1 keeps receiving codes after it has half-closed (shut
  // its sending side, as `printf '12345\r\n' | socat -t 3 - TCP:...` does):
  // long enough for a call it sent to come back decoded. One that has closed
  // completely looks the same until something is sent to it, so it keeps
  // its place no longer than this, and not at all once another client comes.
  static constexpr std::uint32_t kHalfClosedTimeoutMs = 4000;
  // Bytes that may wait to be sent to client 1 (those the system has not yet
  // taken); a line that does not fit is dropped and counted.
  static constexpr std::size_t kSendQueueLimit = 64 * 1024;

  // All must outlive the server. `clock` times the limits and the idle
  // connections.
  IPCommServer(core::EventLog& log, RemoteActions& actions, core::TickClock& clock);
  ~IPCommServer() override;
  IPCommServer(const IPCommServer&) = delete;
  IPCommServer& operator=(const IPCommServer&) = delete;

  // Listens on `access.listenAddress`, or on every interface: one socket for
  // IPv6 and IPv4 ("::"), or IPv4 only (0.0.0.0) where IPv6 is unavailable.
  // Port 0 takes a free port (see Port()). On failure (the port in use, an
  // address or allow-list that does not parse, already started) returns
  // false with the reason in `error`, and nothing else happens.
  bool Start(std::uint16_t port, const RemoteAccess& access, std::string& error);
  // The allow-list as in use, normalised (for the start-up line).
  std::string AllowedText() const;
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
