#include "app/station_service.h"

#include <algorithm>
#include <tuple>
#include <vector>

#include "app/ini_file.h"
#include "audio/audio_device.h"
#include "core/printable.h"
#include "core/text_match.h"
#include "core/tone_set.h"

namespace sequelo::app {
namespace {

std::string Quoted(std::string_view name) {
  return "\"" + core::Printable(name) + "\"";
}

std::string ModeName(Mode mode) {
  const auto index = static_cast<std::size_t>(static_cast<int>(mode));
  return mode != Mode::kNone && index < core::kModeNames.size()
             ? std::string(core::kModeNames[index])
             : std::string("no mode");
}

}  // namespace

std::string DeviceFallback(std::string_view kind, std::string_view stored, std::string_view used) {
  if (stored.empty()) {
    return used == audio::kLoopbackName
               ? "no " + std::string(kind) + " device set, using " + Quoted(used)
               : std::string();
  }
  if (!used.empty() && core::StartsWithNoCase(used, stored)) {
    return {};
  }
  return std::string(kind) + " device " + Quoted(stored) + " not found" +
         (used.empty() ? std::string() : ", using " + Quoted(used));
}

std::string AnnounceStation(Station& station, ServiceNotifier& notifier, JournalStream& err) {
  if (!notifier.Active()) {
    return {};
  }
  const std::shared_ptr<const Settings> settings = station.Store().Snapshot();
  // The names as stored, before the lists chose among the devices there are.
  std::string text;
  std::string readError;
  (void)ReadWholeFile(SettingsPath(station.StartupDir()), text, readError);  // none: nothing stored
  const IniFile ini = IniFile::Parse(text);
  std::vector<std::string> fallbacks;
  for (const auto& [kind, key, used] :
       {std::tuple{"input", "InputDevice", &settings->inputDevice},
        std::tuple{"output", "OutputDevice", &settings->outputDevice}}) {
    const std::string note =
        DeviceFallback(kind, ini.GetString(kSettingsSection, key, "", 255), *used);
    if (!note.empty()) {
      err.Warning("sequelo: " + note);
      fallbacks.push_back(note);
    }
  }
  audio::Recorder& recorder = station.Recorder();
  std::string status =
      recorder.IsRunning()
          ? "Listening on " + core::Printable(settings->inputDevice)
          : "Not listening (" +
                (recorder.Error().empty() ? std::string("no input device") : recorder.Error()) +
                ")";
  status += ", mode " + ModeName(settings->mode);
  for (const std::string& note : fallbacks) {
    status += "; " + note;
  }
  notifier.Ready(status);
  return status;
}

CaptureWatch::CaptureWatch(ServiceNotifier& notifier, JournalStream& err, core::TickClock& clock,
                           std::string readyStatus, std::uint64_t captured)
    : notifier_(notifier),
      err_(err),
      clock_(clock),
      readyStatus_(std::move(readyStatus)),
      captured_(captured),
      progressMs_(clock.NowMs()) {}

int CaptureWatch::CheckEveryMs() const {
  const int interval = notifier_.WatchdogIntervalMs();
  return interval > 0 ? std::clamp(interval, 100, 1000) : 1000;
}

std::uint32_t CaptureWatch::StallMs() const {
  const int interval = notifier_.WatchdogIntervalMs();
  return static_cast<std::uint32_t>(interval > 0 ? std::clamp(interval, 100, 2000) : 2000);
}

void CaptureWatch::Check(std::uint64_t captured) {
  if (!notifier_.Active()) {
    return;
  }
  const std::uint32_t now = clock_.NowMs();
  if (captured != captured_) {
    captured_ = captured;
    progressMs_ = now;
    notifier_.Watchdog();
    if (stalled_) {
      stalled_ = false;
      notifier_.Status(readyStatus_);
      std::fprintf(err_.Stream(), "Capture resumed\n");
      std::fflush(err_.Stream());
    }
    return;
  }
  const std::uint32_t quietMs = core::ElapsedMs(progressMs_, now);
  if (quietMs < StallMs()) {
    return;
  }
  const std::string seconds = std::to_string(std::max<std::uint32_t>(1, (quietMs + 500) / 1000));
  notifier_.Status("Capture stalled: no audio for " + seconds + " s");
  if (!stalled_) {
    stalled_ = true;
    err_.Warning("sequelo: capture stalled: no audio for " + seconds + " s" +
                 (notifier_.WatchdogIntervalMs() > 0 ? "; the watchdog is no longer fed" : ""));
  }
}

}  // namespace sequelo::app
