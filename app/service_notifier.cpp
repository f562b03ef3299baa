#include "app/service_notifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "core/printable.h"

namespace sequelo::app {

std::string StatusLine(std::string_view text) {
  constexpr std::size_t kMaxBytes = 200;
  std::string line = core::Printable(text);
  if (line.size() > kMaxBytes) {
    // Cut before a whole character: systemd drops a status that is not UTF-8.
    std::size_t cut = kMaxBytes;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) {
      --cut;
    }
    line.resize(cut);
  }
  return line;
}

SystemdNotifier::SystemdNotifier() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  active_ = socket != nullptr && socket[0] != '\0';
  std::uint64_t usec = 0;
  if (active_ && sd_watchdog_enabled(0, &usec) > 0) {
    watchdogIntervalMs_ = static_cast<int>(std::clamp<std::uint64_t>(usec / 2000, 1, 3600000));
  }
}

void SystemdNotifier::Send(const std::string& state) const {
  if (active_) {
    sd_notify(0, state.c_str());
  }
}

void SystemdNotifier::Ready(std::string_view status) {
  Send("READY=1\nSTATUS=" + StatusLine(status));
}

void SystemdNotifier::Status(std::string_view text) {
  Send("STATUS=" + StatusLine(text));
}

void SystemdNotifier::Watchdog() {
  if (watchdogIntervalMs_ > 0) {
    Send("WATCHDOG=1");
  }
}

void SystemdNotifier::Reloading() {
  Send("RELOADING=1\nSTATUS=Reloading the alarm settings");
}

void SystemdNotifier::Stopping() {
  Send("STOPPING=1\nSTATUS=Shutting down");
}

}  // namespace sequelo::app
