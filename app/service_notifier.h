// Telling a service manager how the station is doing: systemd's notify
// protocol (a datagram of NAME=VALUE lines to the socket named by
// NOTIFY_SOCKET). A unit of Type=notify is "started" once READY=1 arrives,
// shows the last STATUS in `systemctl status`, and with WatchdogSec= restarts
// the station when WATCHDOG=1 has not come for that long.
#pragma once

#include <string>
#include <string_view>

namespace sequelo::app {

class ServiceNotifier {
 public:
  virtual ~ServiceNotifier() = default;
  // A service manager listens (NOTIFY_SOCKET set). Without one every
  // notification does nothing.
  virtual bool Active() const = 0;
  // Start-up is done; `status` says what the station does.
  virtual void Ready(std::string_view status) = 0;
  virtual void Status(std::string_view text) = 0;
  // The station is alive (does nothing when no watchdog is asked for).
  virtual void Watchdog() = 0;
  // A reload has begun (Ready follows when it is done).
  virtual void Reloading() = 0;
  // Shut-down has begun.
  virtual void Stopping() = 0;
  // How often Watchdog() should come: half the watchdog time the service
  // manager asked for (WATCHDOG_USEC), 0 when it asked for none.
  virtual int WatchdogIntervalMs() const = 0;
};

// The real one, over libsystemd's sd_notify. Reads the environment once, at
// construction; safe from any thread.
class SystemdNotifier final : public ServiceNotifier {
 public:
  SystemdNotifier();
  bool Active() const override { return active_; }
  void Ready(std::string_view status) override;
  void Status(std::string_view text) override;
  void Watchdog() override;
  void Reloading() override;
  void Stopping() override;
  int WatchdogIntervalMs() const override { return watchdogIntervalMs_; }

 private:
  void Send(const std::string& state) const;

  bool active_ = false;
  int watchdogIntervalMs_ = 0;
};

// A status text as one line the notify protocol carries: control characters
// written as \xNN, cut to 200 bytes.
std::string StatusLine(std::string_view text);

}  // namespace sequelo::app
