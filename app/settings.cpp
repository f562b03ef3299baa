#include "app/settings.h"

#include "core/text_match.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>

namespace sequelo::app {
namespace {

constexpr std::string_view S = kSettingsSection;
constexpr int kMaxHamlibSpeed = 4000000;  // the fastest rate termios knows

// A text key: its place in the record, its fallback and its length limit.
struct TextKey {
  std::string Settings::*field;
  const char* key;
  const char* fallback;
  std::size_t maxChars;
};
struct AnswerTextKey {
  std::string control::AnswerSettings::*field;
  const char* key;
  const char* fallback;
  std::size_t maxChars;
};

// Field texts in the order they are loaded and saved.
constexpr std::array<AnswerTextKey, 3> kCodeFields{{
    {&control::AnswerSettings::ownCode, "OwnCode", "0", 7},
    {&control::AnswerSettings::ownGroup, "OwnGroup", "0", 7},
    {&control::AnswerSettings::fixedText, "FixedCode", "0", 255},
}};
constexpr std::array<AnswerTextKey, 2> kWaveFields{{
    {&control::AnswerSettings::waveFileToPlay, "WaveFileToPlay", "", 511},
    {&control::AnswerSettings::waveFileToSend, "WaveFileToSend", "", 511},
}};
constexpr AnswerTextKey kDelayField{&control::AnswerSettings::delayText, "Delay", "1000", 7};
constexpr std::array<TextKey, 2> kDeviceFields{{
    {&Settings::inputDevice, "InputDevice", "", 255},
    {&Settings::outputDevice, "OutputDevice", "", 255},
}};

std::string Int(long long value) {
  return std::to_string(value);
}

Mode ModeFromValue(int value) {
  return core::BuiltInToneSet(value) != nullptr ? static_cast<Mode>(value) : Mode::kNone;
}

control::ResponseAction ActionFromValue(int value) {
  return value >= 0 && value <= 3 ? static_cast<control::ResponseAction>(value)
                                  : control::ResponseAction::kUnset;
}

}  // namespace

const core::ToneSet* ToneSetOf(Mode mode) {
  return core::BuiltInToneSet(static_cast<int>(mode));
}

tx::CallOptions CallOptionsOf(const Settings& settings, const std::string& startupDir) {
  tx::CallOptions o = tx::CallOptionsForMode(static_cast<int>(settings.mode));
  o.pilotTone = settings.pilotTone;
  o.pilotFreqHz = static_cast<std::uint32_t>(settings.pilotFreqHz);
  o.pilotLenMs = static_cast<std::uint32_t>(settings.pilotLenMs);
  o.generateSoundfiles = settings.generateSoundfiles;
  o.startupDir = startupDir;
  o.txDelayMs = settings.ptt.usePttControl != 0 ? settings.ptt.txDelayMs : 0;
  o.ownCode = settings.answer.ownCode.substr(0, 5);
  // The sirens sent are the ones listened for; a table that does not read
  // leaves the built-in one (the station says so when it starts).
  std::string error;
  if (auto table = control::ParseTrailerTones(settings.alarms.trailerTones, error); error.empty()) {
    o.trailerClasses = std::move(table);
  }
  return o;
}

tx::TransmitLimits LimitsOf(const Settings& settings) {
  tx::TransmitLimits limits;
  limits.maxKeyMs = settings.maxTransmitSeconds * 1000;
  return limits;
}

std::string SettingsPath(const std::string& startupDir) {
  return startupDir + "/" + std::string(kSettingsFileName);
}

std::string DefaultLogPath(const std::string& startupDir) {
  return startupDir + "/" + std::string(kLogFileName);
}

std::string DefaultRecordFolder(const std::string& startupDir) {
  return startupDir + "/Recordings";
}

std::string DefaultStationName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
    return "station";
  }
  return name;
}

int IndexOfEntry(const std::vector<std::string>& entries, const std::string& name) {
  const auto found = std::find(entries.begin(), entries.end(), name);
  return name.empty() || found == entries.end() ? -1 : static_cast<int>(found - entries.begin());
}

int FindDeviceEntry(const std::vector<std::string>& entries, const std::string& stored) {
  return core::FindEntryByPrefix(entries, stored);
}

Settings LoadSettingsFrom(const IniFile& ini, const std::string& startupDir,
                          const DeviceNames& devices) {
  Settings st;
  control::AnswerSettings& a = st.answer;
  st.mode = ModeFromValue(ini.GetInt(S, "Mode", 0));
  // A stored device is found by its first letters; the first entry stands in
  // for one that is gone.
  for (const auto& [k, names] : {std::pair{kDeviceFields[0], &devices.inputs},
                                 std::pair{kDeviceFields[1], &devices.outputs}}) {
    const int found = FindDeviceEntry(*names, ini.GetString(S, k.key, k.fallback, k.maxChars));
    st.*k.field = found >= 0 ? (*names)[static_cast<std::size_t>(found)] : "";
  }
  st.threshold = static_cast<double>(ini.GetInt(S, "Threshold", 100));
  st.pilotFreqHz = ini.GetInt(S, "PilotFreq", 300);
  st.pilotLenMs = ini.GetInt(S, "PilotLen", 300);
  for (const AnswerTextKey& k : kCodeFields) {
    a.*k.field = ini.GetString(S, k.key, k.fallback, k.maxChars);
  }
  a.playSoundOnRx = ini.GetInt(S, "PlayWaveFileOnReceiption", 0) != 0;
  st.pilotTone = ini.GetInt(S, "PilotTone", 0) != 0;
  st.generateSoundfiles = ini.GetInt(S, "GenerateSoundfiles", 0) != 0;
  st.spectrumDisplay = ini.GetInt(S, "SpectrumDisplay", 1) != 0;
  for (const AnswerTextKey& k : kWaveFields) {
    a.*k.field = ini.GetString(S, k.key, k.fallback, k.maxChars);
  }
  a.action = ActionFromValue(ini.GetInt(S, "Action", 0));
  a.delayText = ini.GetString(S, kDelayField.key, kDelayField.fallback, kDelayField.maxChars);
  st.logPath = ini.GetString(S, "LogPath", "", 511);
  if (st.logPath.empty()) {
    st.logPath = DefaultLogPath(startupDir);
  }
  tx::PttSettings& p = st.ptt;
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
  // Keying through Hamlib; a negative model (hand-edited) is none.
  p.hamlibModel = std::max(0, ini.GetInt(S, "HamlibModel", 0));
  p.hamlibPort = ini.GetString(S, "HamlibPort", "", 511);
  p.hamlibSpeed = std::clamp(ini.GetInt(S, "HamlibSpeed", 0), 0, kMaxHamlibSpeed);
  p.hamlibPttType = ini.GetString(S, "HamlibPttType", "RIG", 15);
  p.hamlibPttPort = ini.GetString(S, "HamlibPttPort", "", 511);
  p.hamlibCm108Gpio =
      std::clamp(ini.GetInt(S, "HamlibCm108Gpio", tx::kHamlibDefaultCm108Gpio), 1, 8);
  // Any value but 1 (hand-edited) keeps the standard decoder.
  st.decoder = core::DecoderChoiceFromValue(ini.GetInt(S, "Decoder", 0))
                   .value_or(core::DecoderChoice::kStandard);
  // Below one second (hand-edited) nothing could be sent at all.
  st.maxTransmitSeconds = static_cast<std::uint32_t>(std::clamp(
      ini.GetInt(S, "MaxTransmitSeconds", static_cast<int>(tx::kDefaultMaxTransmitSeconds)), 1,
      24 * 3600));
  control::RemoteAccess& r = st.remote;
  r.enabled = ini.GetInt(S, "RemoteControl", 1) != 0;
  r.listenAddress = ini.GetString(S, "RemoteListen", "", 255);
  r.allow = ini.GetString(S, "RemoteAllow", std::string(control::kDefaultRemoteAllow), 1023);
  r.transmit = ini.GetInt(S, "RemoteTransmit", 1) != 0;
  r.sequences = ini.GetInt(S, "RemoteSequences", 0) != 0;
  r.secret = ini.GetString(S, "RemoteSecret", "", 255);
  r.maxClients = std::clamp(ini.GetInt(S, "RemoteMaxClients", r.maxClients), 1, 1000);
  r.idleSeconds = std::clamp(ini.GetInt(S, "RemoteIdleSeconds", r.idleSeconds), 1, 7 * 24 * 3600);
  st.logMaxKB = static_cast<std::uint32_t>(
      std::clamp(ini.GetInt(S, "LogMaxKB", static_cast<int>(kDefaultLogMaxKB)), 0, 1 << 22));
  control::AlarmSettings& al = st.alarms;
  al.stationName = ini.GetString(S, "StationName", DefaultStationName(), 255);
  if (al.stationName.empty()) {
    al.stationName = DefaultStationName();
  }
  al.repeatWindowS =
      static_cast<std::uint32_t>(std::clamp(ini.GetInt(S, "RepeatWindow", 10), 0, 3600));
  al.trailerWindowS =
      static_cast<std::uint32_t>(std::clamp(ini.GetInt(S, "TrailerWindow", 8), 0, 600));
  al.recordSeconds =
      static_cast<std::uint32_t>(std::clamp(ini.GetInt(S, "RecordSeconds", 0), 0, 3600));
  al.recordFolder = ini.GetString(S, "RecordFolder", "", 511);
  if (al.recordFolder.empty()) {
    al.recordFolder = DefaultRecordFolder(startupDir);
  }
  al.mqttHost = ini.GetString(S, "MqttHost", "", 255);
  al.mqttPort = std::clamp(ini.GetInt(S, "MqttPort", 1883), 1, 65535);
  al.mqttUser = ini.GetString(S, "MqttUser", "", 255);
  al.mqttPassword = ini.GetString(S, "MqttPassword", "", 255);
  al.execHook = ini.GetString(S, "ExecHook", "", 1023);
  al.webhookUrl = ini.GetString(S, "WebhookUrl", "", 1023);
  al.trailerTones =
      ini.GetString(S, "TrailerTones", std::string(control::kDefaultTrailerTones), 1023);
  // Call_1, Call_2, ... up to the first one that is missing or empty.
  for (int n = 1;; ++n) {
    std::string entry = ini.GetString(S, "Call_" + std::to_string(n), "", 255);
    if (entry.empty()) {
      break;
    }
    st.callEntries.push_back(std::move(entry));
  }
  return st;
}

void SaveSettingsInto(IniFile& ini, const Settings& st) {
  const control::AnswerSettings& a = st.answer;
  auto put = [&ini](const char* key, const std::string& text, std::size_t maxChars) {
    ini.Set(S, key, text.substr(0, maxChars));
  };
  ini.Set(S, "Mode", Int(static_cast<int>(st.mode)));
  for (const TextKey& k : kDeviceFields) {
    put(k.key, st.*k.field, k.maxChars);
  }
  char threshold[512];
  std::snprintf(threshold, sizeof threshold, "%f", st.threshold);
  ini.Set(S, "Threshold", threshold);
  ini.Set(S, "PilotFreq", Int(st.pilotFreqHz));
  ini.Set(S, "PilotLen", Int(st.pilotLenMs));
  for (const AnswerTextKey& k : kCodeFields) {
    put(k.key, a.*k.field, k.maxChars);
  }
  ini.Set(S, "PlayWaveFileOnReceiption", a.playSoundOnRx ? "1" : "0");
  ini.Set(S, "PilotTone", st.pilotTone ? "1" : "0");
  ini.Set(S, "GenerateSoundfiles", st.generateSoundfiles ? "1" : "0");
  ini.Set(S, "SpectrumDisplay", st.spectrumDisplay ? "1" : "0");
  for (const AnswerTextKey& k : kWaveFields) {
    put(k.key, a.*k.field, k.maxChars);
  }
  // With no button checked the stored value stays as it was.
  if (a.action != control::ResponseAction::kUnset) {
    ini.Set(S, "Action", Int(static_cast<int>(a.action)));
  }
  put(kDelayField.key, a.delayText, kDelayField.maxChars);
  put("LogPath", st.logPath, 511);
  const tx::PttSettings& p = st.ptt;
  ini.Set(S, "UsePTTControl", p.usePttControl != 0 ? "1" : "0");
  ini.Set(S, "ComPort", Int(p.comPort));
  ini.Set(S, "Baudrate", Int(p.baudrate));
  ini.Set(S, "Databits", Int(p.databits));
  ini.Set(S, "Stopbits", Int(p.stopbits));
  ini.Set(S, "Parity", Int(p.parity));
  ini.Set(S, "CAT", Int(p.cat));
  ini.Set(S, "RTS", Int(p.rts));
  put("TXCommand", p.txCommand, 255);
  put("RXCommand", p.rxCommand, 255);
  ini.Set(S, "TXDelay", Int(p.txDelayMs));
  put("ComDevice", p.comDevice, 511);
  ini.Set(S, "HamlibModel", Int(p.hamlibModel));
  put("HamlibPort", p.hamlibPort, 511);
  ini.Set(S, "HamlibSpeed", Int(p.hamlibSpeed));
  put("HamlibPttType", p.hamlibPttType, 15);
  put("HamlibPttPort", p.hamlibPttPort, 511);
  ini.Set(S, "HamlibCm108Gpio", Int(p.hamlibCm108Gpio));
  ini.Set(S, "Decoder", Int(static_cast<int>(st.decoder)));
  ini.Set(S, "Call_1", kTestCallEntry);
  ini.Set(S, "MaxTransmitSeconds", Int(static_cast<int>(st.maxTransmitSeconds)));
  const control::RemoteAccess& r = st.remote;
  ini.Set(S, "RemoteControl", r.enabled ? "1" : "0");
  put("RemoteListen", r.listenAddress, 255);
  put("RemoteAllow", r.allow, 1023);
  ini.Set(S, "RemoteTransmit", r.transmit ? "1" : "0");
  ini.Set(S, "RemoteSequences", r.sequences ? "1" : "0");
  put("RemoteSecret", r.secret, 255);
  ini.Set(S, "RemoteMaxClients", Int(r.maxClients));
  ini.Set(S, "RemoteIdleSeconds", Int(r.idleSeconds));
  ini.Set(S, "LogMaxKB", Int(static_cast<int>(st.logMaxKB)));
  const control::AlarmSettings& al = st.alarms;
  put("StationName", al.stationName, 255);
  ini.Set(S, "RepeatWindow", Int(static_cast<int>(al.repeatWindowS)));
  ini.Set(S, "TrailerWindow", Int(static_cast<int>(al.trailerWindowS)));
  ini.Set(S, "RecordSeconds", Int(static_cast<int>(al.recordSeconds)));
  put("RecordFolder", al.recordFolder, 511);
  put("MqttHost", al.mqttHost, 255);
  ini.Set(S, "MqttPort", Int(al.mqttPort));
  put("MqttUser", al.mqttUser, 255);
  put("MqttPassword", al.mqttPassword, 255);
  put("ExecHook", al.execHook, 1023);
  put("WebhookUrl", al.webhookUrl, 1023);
  put("TrailerTones", al.trailerTones, 1023);
}

Settings LoadSettings(const std::string& startupDir, const DeviceNames& devices) {
  std::string text;
  std::string error;
  if (!ReadWholeFile(SettingsPath(startupDir), text, error)) {
    text.clear();  // defaults for everything
  }
  return LoadSettingsFrom(IniFile::Parse(text), startupDir, devices);
}

bool SaveSettings(const std::string& startupDir, const Settings& settings, std::string& error) {
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
  SaveSettingsInto(ini, settings);
  // A file that holds a secret or a password is the owner's alone.
  return WriteFileAtomically(
      path, ini.Serialize(), error,
      !settings.remote.secret.empty() || !settings.alarms.mqttPassword.empty());
}

}  // namespace sequelo::app
