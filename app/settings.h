// The settings file "Sequelo.ini" in the start-up directory, section
// "Sequelo": loaded once at start-up into one typed record, saved once at a
// normal exit. The window and the headless station share the record.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/ini_file.h"
#include "control/alarm_events.h"
#include "control/call_responder.h"
#include "control/ip_comm_server.h"
#include "core/selectable_decoder.h"
#include "core/tone_set.h"
#include "tx/ptt_controller.h"
#include "tx/sequence_encoder.h"

namespace sequelo::app {

inline constexpr std::string_view kSettingsSection = "Sequelo";
inline constexpr std::string_view kSettingsFileName = "Sequelo.ini";
inline constexpr std::string_view kLogFileName = "Sequelo.log";
inline constexpr std::string_view kTestCallEntry = "12345 - Test Code";
inline constexpr std::uint32_t kDefaultLogMaxKB = 4096;

// The mode list's choice: the tone set calls are decoded and sent in.
// The index of the mode list (core::kModeNames): 0 ZVEI, 1 DZVEI, then the
// other sets in their order; kNone for a stored value that is none of them.
enum class Mode : int { kNone = -1, kZvei = 0, kDzvei = 1 };
// The built-in tone set of a mode; nullptr for kNone.
const core::ToneSet* ToneSetOf(Mode mode);

// Every setting of the station, typed. Loaded whole at start-up, saved whole
// at exit; while the station runs the front end edits it through the
// station's SettingsStore and every other thread reads snapshots.
struct Settings {
  Mode mode = Mode::kZvei;
  // The chosen entries of the device lists (their full names); empty: none.
  std::string inputDevice;
  std::string outputDevice;
  double threshold = 100.0;
  int pilotFreqHz = 300;
  int pilotLenMs = 300;
  bool pilotTone = false;
  bool generateSoundfiles = false;
  control::AnswerSettings answer;
  bool spectrumDisplay = true;  // also the check mark of "Spectrum Display"
  std::string logPath;
  tx::PttSettings ptt;
  core::DecoderChoice decoder = core::DecoderChoice::kStandard;
  // The Call list's entries as stored (Call_1, Call_2, ...).
  std::vector<std::string> callEntries;
  // The longest continuous keying, TX delay included.
  std::uint32_t maxTransmitSeconds = tx::kDefaultMaxTransmitSeconds;
  // Who may use the remote control, and how much.
  control::RemoteAccess remote;
  // The log file is started afresh (the old one kept as "<name>.1") when it
  // reaches this size; 0: it grows without limit.
  std::uint32_t logMaxKB = kDefaultLogMaxKB;
  // Alarm events: the repeat and trailer windows, the recording, the
  // forwarding targets.
  control::AlarmSettings alarms;
};

// The station's name when none is set: the host name ("station" if it has
// none).
std::string DefaultStationName();

// What a call sent now reads from the settings.
tx::CallOptions CallOptionsOf(const Settings& settings, const std::string& startupDir);
// The transmitter's limits the settings set.
tx::TransmitLimits LimitsOf(const Settings& settings);

// The station's settings while it runs: edits replace the whole record at
// once, readers take a snapshot that never changes under them. Any thread.
class SettingsStore {
 public:
  std::shared_ptr<const Settings> Snapshot() const {
    std::lock_guard lock(mutex_);
    return current_;
  }
  void Replace(Settings settings) {
    auto next = std::make_shared<const Settings>(std::move(settings));
    std::lock_guard lock(mutex_);
    current_ = std::move(next);
  }
  // Copies the record, applies `edit`, and puts the copy in place; edits
  // from several threads never lose one another.
  void Update(const std::function<void(Settings&)>& edit) {
    std::lock_guard edits(editMutex_);
    Settings next = *Snapshot();
    edit(next);
    Replace(std::move(next));
  }

 private:
  mutable std::mutex mutex_;
  std::mutex editMutex_;
  std::shared_ptr<const Settings> current_ = std::make_shared<const Settings>();
};

// Paths in the start-up directory.
std::string SettingsPath(const std::string& startupDir);
std::string DefaultLogPath(const std::string& startupDir);
// Where announcements are recorded unless RecordFolder says otherwise.
std::string DefaultRecordFolder(const std::string& startupDir);

// The index of the entry named exactly `name`; -1 for none (or an empty
// name).
int IndexOfEntry(const std::vector<std::string>& entries, const std::string& name);

// The first entry that begins with `stored` (letters compared without regard
// to case); else entry 0; -1 for an empty list.
int FindDeviceEntry(const std::vector<std::string>& entries, const std::string& stored);

// The names the station's device lists offer, which stored device names
// are looked up in.
struct DeviceNames {
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
};

// Loading from parsed file content: missing keys give their defaults.
Settings LoadSettingsFrom(const IniFile& ini, const std::string& startupDir,
                          const DeviceNames& devices);
// Saving into file content: every key in order, other lines left alone.
void SaveSettingsInto(IniFile& ini, const Settings& settings);

// Reads "Sequelo.ini" in `startupDir`; a missing or unreadable file gives the
// defaults, without a message.
Settings LoadSettings(const std::string& startupDir, const DeviceNames& devices);
// Writes it back, re-reading the file first so hand-made keys, comments and
// sections survive, and replacing it all at once. False (old file intact)
// when it cannot be written; `error` says why.
bool SaveSettings(const std::string& startupDir, const Settings& settings, std::string& error);

}  // namespace sequelo::app
