#include "app/settings.h"

#include "core/text_match.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>

namespace sequelo::app {
namespace {

constexpr std::string_view S = kSettingsSection;

std::size_t Index(DeviceList list) {
  return list == DeviceList::kInput ? 0 : 1;
}

struct TextKey {
  TextField field;
  const char* key;
  const char* fallback;
  std::size_t maxChars;
};

// Field texts in the order they are loaded and saved.
constexpr std::array<TextKey, 3> kCodeFields{{
    {TextField::kOwnCode, "OwnCode", "0", 7},
    {TextField::kOwnGroup, "OwnGroup", "0", 7},
    {TextField::kFixedCode, "FixedCode", "0", 255},
}};
constexpr std::array<TextKey, 2> kWaveFields{{
    {TextField::kWaveFileToPlay, "WaveFileToPlay", "", 511},
    {TextField::kWaveFileToSend, "WaveFileToSend", "", 511},
}};
constexpr TextKey kDelayField{TextField::kDelay, "Delay", "1000", 7};

struct CheckKey {
  CheckBox box;
  const char* key;
};
constexpr std::array<CheckKey, 3> kCheckBoxes{{
    {CheckBox::kPlaySoundOnRx, "PlayWaveFileOnReceiption"},
    {CheckBox::kPilotTone, "PilotTone"},
    {CheckBox::kGenerateSoundfiles, "GenerateSoundfiles"},
}};

std::string Int(long long value) {
  return std::to_string(value);
}

void SetText(IniFile& ini, const SettingsView& view, const TextKey& k) {
  ini.Set(S, k.key, view.Text(k.field).substr(0, k.maxChars));
}

}  // namespace

SettingsRecord::SettingsRecord(std::vector<std::string> inputDevices,
                               std::vector<std::string> outputDevices)
    : devices_{std::move(inputDevices), std::move(outputDevices)} {}

void SettingsRecord::SelectMode(int index) {
  mode_ = index == 0 || index == 1 ? index : -1;
}

std::vector<std::string> SettingsRecord::DeviceNames(DeviceList list) const {
  return devices_[Index(list)];
}

void SettingsRecord::SelectDevice(DeviceList list, int index) {
  const auto& names = devices_[Index(list)];
  selectedDevice_[Index(list)] =
      index >= 0 && static_cast<std::size_t>(index) < names.size() ? index : -1;
}

void SettingsRecord::SetDeviceNames(DeviceList list, std::vector<std::string> names) {
  devices_[Index(list)] = std::move(names);
  selectedDevice_[Index(list)] = -1;
}

int SettingsRecord::SelectedDevice(DeviceList list) const {
  return selectedDevice_[Index(list)];
}

void SettingsRecord::SetText(TextField field, const std::string& text) {
  texts_[static_cast<std::size_t>(field)] = text;
}

std::string SettingsRecord::Text(TextField field) const {
  return texts_[static_cast<std::size_t>(field)];
}

void SettingsRecord::SetChecked(CheckBox box, bool checked) {
  checks_[static_cast<std::size_t>(box)] = checked;
}

bool SettingsRecord::Checked(CheckBox box) const {
  return checks_[static_cast<std::size_t>(box)];
}

void SettingsRecord::AddCallEntry(const std::string& entry) {
  calls_.insert(std::upper_bound(calls_.begin(), calls_.end(), entry), entry);
}

std::string SettingsPath(const std::string& startupDir) {
  return startupDir + "/" + std::string(kSettingsFileName);
}

std::string DefaultLogPath(const std::string& startupDir) {
  return startupDir + "/" + std::string(kLogFileName);
}

int FindDeviceEntry(const std::vector<std::string>& entries, const std::string& stored) {
  return core::FindEntryByPrefix(entries, stored);
}

void LoadSettingsFrom(const IniFile& ini, const std::string& startupDir, SettingsView& view,
                      ProgramValues& values) {
  view.SelectMode(ini.GetInt(S, "Mode", 0));
  for (const auto& [list, key] : {std::pair{DeviceList::kInput, "InputDevice"},
                                  std::pair{DeviceList::kOutput, "OutputDevice"}}) {
    const std::string stored = ini.GetString(S, key, "", 255);
    view.SelectDevice(list, FindDeviceEntry(view.DeviceNames(list), stored));
  }
  values.threshold = static_cast<double>(ini.GetInt(S, "Threshold", 100));
  values.pilotFreqHz = ini.GetInt(S, "PilotFreq", 300);
  values.pilotLenMs = ini.GetInt(S, "PilotLen", 300);
  for (const TextKey& k : kCodeFields) {
    view.SetText(k.field, ini.GetString(S, k.key, k.fallback, k.maxChars));
  }
  // A 0 leaves the box as it is (unchecked at start).
  for (const CheckKey& c : kCheckBoxes) {
    if (ini.GetInt(S, c.key, 0) != 0) {
      view.SetChecked(c.box, true);
    }
  }
  values.spectrumDisplayOn = ini.GetInt(S, "SpectrumDisplay", 1);
  for (const TextKey& k : kWaveFields) {
    view.SetText(k.field, ini.GetString(S, k.key, k.fallback, k.maxChars));
  }
  const int action = ini.GetInt(S, "Action", 0);
  view.SetAction(action >= 0 && action <= 3 ? action : -1);
  view.SetText(kDelayField.field,
               ini.GetString(S, kDelayField.key, kDelayField.fallback, kDelayField.maxChars));
  values.logPath = ini.GetString(S, "LogPath", "", 511);
  if (values.logPath.empty()) {
    values.logPath = DefaultLogPath(startupDir);
  }
  tx::PttSettings& p = values.ptt;
  p.usePttControl = ini.GetInt(S, "UsePTTControl", 0);
  p.comPort = ini.GetInt(S, "ComPort", 0);
  p.baudrate = ini.GetInt(S, "Baudrate", 0);
  p.databits = ini.GetInt(S, "Databits", 0);
  p.stopbits = ini.GetInt(S, "Stopbits", 0);
  p.parity = ini.GetInt(S, "Parity", 0);
  p.cat = ini.GetInt(S, "CAT", 0);
  p.rts = ini.GetInt(S, "RTS", 0);
  p.txCommand = ini.GetString(S, "TXCommand", "", 255);
  p.rxCommand = ini.GetString(S, "RXCommand", "", 255);
  // A negative delay (hand-edited) would wrap to weeks of keyed silence.
  p.txDelayMs = static_cast<std::uint32_t>(std::max(0, ini.GetInt(S, "TXDelay", 0)));
  p.comDevice = ini.GetString(S, "ComDevice", "", 511);
  // Any value but 1 (hand-edited) keeps the standard decoder.
  values.decoder = ini.GetInt(S, "Decoder", 0) == 1 ? 1 : 0;
  // Call_1, Call_2, ... up to the first one that is missing or empty.
  for (int n = 1;; ++n) {
    const std::string entry = ini.GetString(S, "Call_" + std::to_string(n), "", 255);
    if (entry.empty()) {
      break;
    }
    view.AddCallEntry(entry);
  }
}

void SaveSettingsInto(IniFile& ini, const SettingsView& view, const ProgramValues& values) {
  ini.Set(S, "Mode", Int(view.SelectedMode()));
  for (const auto& [list, key] : {std::pair{DeviceList::kInput, "InputDevice"},
                                  std::pair{DeviceList::kOutput, "OutputDevice"}}) {
    const auto names = view.DeviceNames(list);
    const int selected = view.SelectedDevice(list);
    const bool valid = selected >= 0 && static_cast<std::size_t>(selected) < names.size();
    ini.Set(S, key, valid ? names[static_cast<std::size_t>(selected)].substr(0, 255) : "");
  }
  char threshold[512];
  std::snprintf(threshold, sizeof threshold, "%f", values.threshold);
  ini.Set(S, "Threshold", threshold);
  ini.Set(S, "PilotFreq", Int(values.pilotFreqHz));
  ini.Set(S, "PilotLen", Int(values.pilotLenMs));
  for (const TextKey& k : kCodeFields) {
    SetText(ini, view, k);
  }
  for (const CheckKey& c : kCheckBoxes) {
    ini.Set(S, c.key, view.Checked(c.box) ? "1" : "0");
  }
  ini.Set(S, "SpectrumDisplay", values.spectrumDisplayOn != 0 ? "1" : "0");
  for (const TextKey& k : kWaveFields) {
    SetText(ini, view, k);
  }
  // With no button checked the stored value stays as it was.
  const int action = view.Action();
  if (action >= 0 && action <= 3) {
    ini.Set(S, "Action", Int(action));
  }
  SetText(ini, view, kDelayField);
  ini.Set(S, "LogPath", values.logPath.substr(0, 511));
  const tx::PttSettings& p = values.ptt;
  ini.Set(S, "UsePTTControl", p.usePttControl != 0 ? "1" : "0");
  ini.Set(S, "ComPort", Int(p.comPort));
  ini.Set(S, "Baudrate", Int(p.baudrate));
  ini.Set(S, "Databits", Int(p.databits));
  ini.Set(S, "Stopbits", Int(p.stopbits));
  ini.Set(S, "Parity", Int(p.parity));
  ini.Set(S, "CAT", Int(p.cat));
  ini.Set(S, "RTS", Int(p.rts));
  ini.Set(S, "TXCommand", p.txCommand.substr(0, 255));
  ini.Set(S, "RXCommand", p.rxCommand.substr(0, 255));
  ini.Set(S, "TXDelay", Int(p.txDelayMs));
  ini.Set(S, "ComDevice", p.comDevice.substr(0, 511));
  ini.Set(S, "Decoder", Int(values.decoder));
  ini.Set(S, "Call_1", kTestCallEntry);
}

void LoadSettings(const std::string& startupDir, SettingsView& view, ProgramValues& values) {
  std::string text;
  std::string error;
  if (!ReadWholeFile(SettingsPath(startupDir), text, error)) {
    text.clear();  // defaults for everything
  }
  LoadSettingsFrom(IniFile::Parse(text), startupDir, view, values);
}

bool SaveSettings(const std::string& startupDir, const SettingsView& view,
                  const ProgramValues& values, std::string& error) {
  const std::string path = SettingsPath(startupDir);
  std::string text;
  std::string readError;
  if (!ReadWholeFile(path, text, readError)) {
    // Only a file that is not there starts empty: overwriting one that
    // exists but cannot be read would lose what it holds.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 || errno != ENOENT) {
      error = "cannot read " + path + ": " + readError + "; settings not saved";
      return false;
    }
    text.clear();
  }
  IniFile ini = IniFile::Parse(text);
  SaveSettingsInto(ini, view, values);
  return WriteFileAtomically(path, ini.Serialize(), error);
}

}  // namespace sequelo::app
