// The headless station under a service manager (sequelo-cli run in a
// systemd unit of Type=notify): READY=1 with a status once started, loud
// warnings when a stored device is gone and another stands in, and the
// watchdog fed only while capture makes progress, so that a station that
// no longer hears anything is restarted, and the journal says why.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/journal_stream.h"
#include "app/service_notifier.h"
#include "app/station.h"
#include "core/clock.h"

namespace sequelo::app {

// What to say of a device `stored` in the settings when `used` is the one
// opened: `input device "X" not found, using "Y"`, `no input device set,
// using "Loopback"`; empty when `used` is the one asked for (or any device
// but Loopback stands in for none asked for). `kind`: "input" or "output".
std::string DeviceFallback(std::string_view kind, std::string_view stored, std::string_view used);

// After start-up: with a service manager listening, each device fall-back
// as a warning on `err`, then READY=1 with the status ("Listening on X,
// mode ZVEI", and the fall-backs). Returns that status.
std::string AnnounceStation(Station& station, ServiceNotifier& notifier, JournalStream& err);

// Looks at the count of captured buffers at each check (RunStation's loop):
// while it changes (a device that starts again counts from 0), the watchdog
// is fed; once it has not changed for a while (2 s, or the watchdog
// interval when shorter) the status says "Capture stalled: no audio for N
// s" and `err` gets a warning, once; when it changes again the status is
// the ready one again. Does nothing without a service manager.
class CaptureWatch {
 public:
  CaptureWatch(ServiceNotifier& notifier, JournalStream& err, core::TickClock& clock,
               std::string readyStatus, std::uint64_t captured);
  // How long to wait between checks: a second, or the watchdog interval
  // when shorter (100 ms at least).
  int CheckEveryMs() const;
  void Check(std::uint64_t captured);

 private:
  std::uint32_t StallMs() const;

  ServiceNotifier& notifier_;
  JournalStream& err_;
  core::TickClock& clock_;
  std::string readyStatus_;
  std::uint64_t captured_;
  std::uint32_t progressMs_;  // when the count last changed
  bool stalled_ = false;
};

}  // namespace sequelo::app
