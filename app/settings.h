// The settings file "Sequelo.ini" in the start-up directory, section
// "Sequelo": loaded once at start-up, saved once at a normal exit. Load and
// save work on a view of the window's controls (SettingsView) and on the
// program's own values (ProgramValues), so that the window and the headless
// station (a plain record, SettingsRecord) share one implementation.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "app/ini_file.h"
#include "tx/ptt_controller.h"

namespace sequelo::app {

inline constexpr std::string_view kSettingsSection = "Sequelo";
inline constexpr std::string_view kSettingsFileName = "Sequelo.ini";
inline constexpr std::string_view kLogFileName = "Sequelo.log";
inline constexpr std::string_view kTestCallEntry = "12345 - Test Code";

enum class DeviceList { kInput, kOutput };
enum class TextField { kOwnCode, kOwnGroup, kFixedCode, kWaveFileToPlay, kWaveFileToSend, kDelay };
enum class CheckBox { kPlaySoundOnRx, kPilotTone, kGenerateSoundfiles };

// The controls that hold settings while the program runs.
class SettingsView {
 public:
  virtual ~SettingsView() = default;
  // Mode list: 0 "ZVEI", 1 "DZVEI"; -1 no selection. An index the list does
  // not have leaves it without a selection.
  virtual void SelectMode(int index) = 0;
  virtual int SelectedMode() const = 0;
  // Device lists: entry texts and the selected index (-1 none).
  virtual std::vector<std::string> DeviceNames(DeviceList list) const = 0;
  virtual void SelectDevice(DeviceList list, int index) = 0;
  virtual int SelectedDevice(DeviceList list) const = 0;
  virtual void SetText(TextField field, const std::string& text) = 0;
  virtual std::string Text(TextField field) const = 0;
  virtual void SetChecked(CheckBox box, bool checked) = 0;
  virtual bool Checked(CheckBox box) const = 0;
  // Response radio group: 0 Nothing, 1 Send own code, 2 Send fixed, 3 Send
  // sound; -1 none checked.
  virtual void SetAction(int action) = 0;
  virtual int Action() const = 0;
  // Appends to the Call list (which keeps its entries sorted).
  virtual void AddCallEntry(const std::string& entry) = 0;
};

// The settings that live in program variables rather than in controls.
struct ProgramValues {
  double threshold = 100.0;
  int pilotFreqHz = 300;
  int pilotLenMs = 300;
  int spectrumDisplayOn = 1;  // also the check mark of "Spectrum Display"
  std::string logPath;
  tx::PttSettings ptt;
  int decoder = 0;  // which decoder reports codes: 0 standard, 1 enhanced
};

// The headless station's controls: a plain record.
class SettingsRecord final : public SettingsView {
 public:
  // The lists as the station fills them before loading: the mode list holds
  // "ZVEI" and "DZVEI" with ZVEI selected.
  SettingsRecord(std::vector<std::string> inputDevices = {},
                 std::vector<std::string> outputDevices = {});

  void SelectMode(int index) override;
  int SelectedMode() const override { return mode_; }
  std::vector<std::string> DeviceNames(DeviceList list) const override;
  void SelectDevice(DeviceList list, int index) override;
  int SelectedDevice(DeviceList list) const override;
  void SetText(TextField field, const std::string& text) override;
  std::string Text(TextField field) const override;
  void SetChecked(CheckBox box, bool checked) override;
  bool Checked(CheckBox box) const override;
  void SetAction(int action) override { action_ = action >= 0 && action <= 3 ? action : -1; }
  int Action() const override { return action_; }
  void AddCallEntry(const std::string& entry) override;
  const std::vector<std::string>& CallEntries() const { return calls_; }
  // Replaces a device list's entries (no selection afterwards).
  void SetDeviceNames(DeviceList list, std::vector<std::string> names);

 private:
  int mode_ = 0;
  std::array<std::vector<std::string>, 2> devices_;
  std::array<int, 2> selectedDevice_{-1, -1};
  std::array<std::string, 6> texts_;
  std::array<bool, 3> checks_{};
  int action_ = -1;
  std::vector<std::string> calls_;
};

// Paths in the start-up directory.
std::string SettingsPath(const std::string& startupDir);
std::string DefaultLogPath(const std::string& startupDir);

// The first entry that begins with `stored` (letters compared without regard
// to case); else entry 0; -1 for an empty list.
int FindDeviceEntry(const std::vector<std::string>& entries, const std::string& stored);

// Loading from parsed file content: missing keys give their defaults.
void LoadSettingsFrom(const IniFile& ini, const std::string& startupDir, SettingsView& view,
                      ProgramValues& values);
// Saving into file content: every key in order, other lines left alone.
void SaveSettingsInto(IniFile& ini, const SettingsView& view, const ProgramValues& values);

// Reads "Sequelo.ini" in `startupDir`; a missing or unreadable file gives the
// defaults, without a message.
void LoadSettings(const std::string& startupDir, SettingsView& view, ProgramValues& values);
// Writes it back, re-reading the file first so hand-made keys, comments and
// sections survive, and replacing it all at once. False (old file intact)
// when it cannot be written; `error` says why.
bool SaveSettings(const std::string& startupDir, const SettingsView& view,
                  const ProgramValues& values, std::string& error);

}  // namespace sequelo::app
