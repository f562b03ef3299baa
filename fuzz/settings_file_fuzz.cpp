// The settings file: the input is a file's text, loaded into the settings
// and saved back into the same file content, as the station does at start-up
// and at exit.
//
// Checked:
// - the file model: the text a file serializes to parses back to a file that
//   serializes to the same text;
// - loading: every text setting is within its length limit;
// - saving and loading again: every number, switch and choice reads back as
//   it was saved, and every text reads back as it was saved when it can be
//   written as it is (no blanks or quotes around it, no line break in it);
//   then the settings are saved into the same file again and the file's text
//   does not change: what a second start and exit leave is what the first
//   left;
// - the trailer tones' table: read whole or refused whole, every class the
//   detector can use.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/ini_file.h"
#include "app/settings.h"
#include "fuzz/fuzz_check.h"

namespace {

using sequelo::app::DeviceNames;
using sequelo::app::IniFile;
using sequelo::app::Settings;

const std::string kStartupDir = "/tmp";

// A text written as "key=text" that reads back as itself.
bool SurvivesWriting(std::string_view text) {
  if (text.find_first_of("\r\n") != std::string_view::npos) {
    return false;
  }
  if (!text.empty() &&
      (text.front() == ' ' || text.front() == '\t' || text.back() == ' ' || text.back() == '\t')) {
    return false;
  }
  return !(text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
           text.back() == text.front());
}

// Every text setting with its length limit.
template <typename Visit>
void ForEachText(const Settings& s, Visit&& visit) {
  visit(s.inputDevice, 255);
  visit(s.outputDevice, 255);
  visit(s.answer.ownCode, 7);
  visit(s.answer.ownGroup, 7);
  visit(s.answer.fixedText, 255);
  visit(s.answer.waveFileToPlay, 511);
  visit(s.answer.waveFileToSend, 511);
  visit(s.answer.delayText, 7);
  visit(s.logPath, 511);
  visit(s.ptt.txCommand, 255);
  visit(s.ptt.rxCommand, 255);
  visit(s.ptt.comDevice, 511);
  visit(s.ptt.hamlibPort, 511);
  visit(s.ptt.hamlibPttType, 15);
  visit(s.ptt.hamlibPttPort, 511);
  visit(s.remote.listenAddress, 255);
  visit(s.remote.allow, 1023);
  visit(s.remote.secret, 255);
  visit(s.alarms.stationName, 255);
  visit(s.alarms.recordFolder, 511);
  visit(s.alarms.mqttHost, 255);
  visit(s.alarms.mqttUser, 255);
  visit(s.alarms.mqttPassword, 255);
  visit(s.alarms.execHook, 1023);
  visit(s.alarms.webhookUrl, 1023);
  visit(s.alarms.trailerTones, 1023);
}

void CheckLimits(const Settings& s) {
  ForEachText(s, [](const std::string& text, std::size_t maxChars) {
    FUZZ_CHECK(text.size() <= maxChars);
  });
  for (const std::string& entry : s.callEntries) {
    FUZZ_CHECK(!entry.empty() && entry.size() <= 255);
  }
  // Hand-edited numbers are brought within their ranges.
  FUZZ_CHECK(s.ptt.txDelayMs <= static_cast<std::uint32_t>(INT32_MAX));
  FUZZ_CHECK(s.maxTransmitSeconds >= 1 && s.maxTransmitSeconds <= 24 * 3600);
  FUZZ_CHECK(s.ptt.hamlibModel >= 0);
  FUZZ_CHECK(s.ptt.hamlibSpeed >= 0 && s.ptt.hamlibSpeed <= 4000000);
  FUZZ_CHECK(s.ptt.hamlibCm108Gpio >= 1 && s.ptt.hamlibCm108Gpio <= 8);
  FUZZ_CHECK(s.remote.maxClients >= 1 && s.remote.maxClients <= 1000);
  FUZZ_CHECK(s.remote.idleSeconds >= 1 && s.remote.idleSeconds <= 7 * 24 * 3600);
  FUZZ_CHECK(s.logMaxKB <= (1u << 22));
  FUZZ_CHECK(!s.alarms.stationName.empty() && !s.alarms.recordFolder.empty());
  FUZZ_CHECK(s.alarms.repeatWindowS <= 3600 && s.alarms.trailerWindowS <= 600);
  FUZZ_CHECK(s.alarms.recordSeconds <= 3600);
  FUZZ_CHECK(s.alarms.mqttPort >= 1 && s.alarms.mqttPort <= 65535);
  std::string error;
  const auto table = sequelo::control::ParseTrailerTones(s.alarms.trailerTones, error);
  FUZZ_CHECK(error.empty() || table.empty());
  for (const auto& trailerClass : table) {
    FUZZ_CHECK(sequelo::core::IsUsableTrailerClass(trailerClass));
  }
}

// What was saved reads back: numbers, switches and choices always, texts
// when they can be written as they are.
void CheckReadBack(const Settings& saved, const Settings& loaded) {
  FUZZ_CHECK(loaded.mode == saved.mode);
  FUZZ_CHECK(loaded.threshold == saved.threshold);
  FUZZ_CHECK(loaded.pilotFreqHz == saved.pilotFreqHz);
  FUZZ_CHECK(loaded.pilotLenMs == saved.pilotLenMs);
  FUZZ_CHECK(loaded.pilotTone == saved.pilotTone);
  FUZZ_CHECK(loaded.generateSoundfiles == saved.generateSoundfiles);
  FUZZ_CHECK(loaded.spectrumDisplay == saved.spectrumDisplay);
  FUZZ_CHECK(loaded.decoder == saved.decoder);
  FUZZ_CHECK(loaded.answer.playSoundOnRx == saved.answer.playSoundOnRx);
  FUZZ_CHECK(loaded.answer.action == saved.answer.action);
  FUZZ_CHECK((loaded.ptt.usePttControl != 0) == (saved.ptt.usePttControl != 0));
  FUZZ_CHECK(loaded.ptt.comPort == saved.ptt.comPort);
  FUZZ_CHECK(loaded.ptt.baudrate == saved.ptt.baudrate);
  FUZZ_CHECK(loaded.ptt.databits == saved.ptt.databits);
  FUZZ_CHECK(loaded.ptt.stopbits == saved.ptt.stopbits);
  FUZZ_CHECK(loaded.ptt.parity == saved.ptt.parity);
  FUZZ_CHECK(loaded.ptt.cat == saved.ptt.cat);
  FUZZ_CHECK(loaded.ptt.rts == saved.ptt.rts);
  FUZZ_CHECK(loaded.ptt.txDelayMs == saved.ptt.txDelayMs);
  FUZZ_CHECK(loaded.ptt.hamlibModel == saved.ptt.hamlibModel);
  FUZZ_CHECK(loaded.ptt.hamlibSpeed == saved.ptt.hamlibSpeed);
  FUZZ_CHECK(loaded.ptt.hamlibCm108Gpio == saved.ptt.hamlibCm108Gpio);
  FUZZ_CHECK(!loaded.callEntries.empty() && loaded.callEntries[0] == sequelo::app::kTestCallEntry);
  FUZZ_CHECK(loaded.maxTransmitSeconds == saved.maxTransmitSeconds);
  FUZZ_CHECK(loaded.remote.enabled == saved.remote.enabled);
  FUZZ_CHECK(loaded.remote.transmit == saved.remote.transmit);
  FUZZ_CHECK(loaded.remote.maxClients == saved.remote.maxClients);
  FUZZ_CHECK(loaded.remote.idleSeconds == saved.remote.idleSeconds);
  FUZZ_CHECK(loaded.logMaxKB == saved.logMaxKB);
  FUZZ_CHECK(loaded.alarms.repeatWindowS == saved.alarms.repeatWindowS);
  FUZZ_CHECK(loaded.alarms.trailerWindowS == saved.alarms.trailerWindowS);
  FUZZ_CHECK(loaded.alarms.recordSeconds == saved.alarms.recordSeconds);
  FUZZ_CHECK(loaded.alarms.mqttPort == saved.alarms.mqttPort);

  const auto same = [](const std::string& was, const std::string& now) {
    FUZZ_CHECK(now == was || !SurvivesWriting(was));
  };
  same(saved.inputDevice, loaded.inputDevice);
  same(saved.outputDevice, loaded.outputDevice);
  same(saved.answer.ownCode, loaded.answer.ownCode);
  same(saved.answer.ownGroup, loaded.answer.ownGroup);
  same(saved.answer.fixedText, loaded.answer.fixedText);
  same(saved.answer.waveFileToPlay, loaded.answer.waveFileToPlay);
  same(saved.answer.waveFileToSend, loaded.answer.waveFileToSend);
  same(saved.answer.delayText, loaded.answer.delayText);
  same(saved.logPath, loaded.logPath);
  same(saved.ptt.txCommand, loaded.ptt.txCommand);
  same(saved.ptt.rxCommand, loaded.ptt.rxCommand);
  same(saved.ptt.comDevice, loaded.ptt.comDevice);
  same(saved.ptt.hamlibPort, loaded.ptt.hamlibPort);
  same(saved.ptt.hamlibPttType, loaded.ptt.hamlibPttType);
  same(saved.ptt.hamlibPttPort, loaded.ptt.hamlibPttPort);
  same(saved.remote.listenAddress, loaded.remote.listenAddress);
  same(saved.remote.allow, loaded.remote.allow);
  same(saved.remote.secret, loaded.remote.secret);
  same(saved.alarms.stationName, loaded.alarms.stationName);
  same(saved.alarms.mqttHost, loaded.alarms.mqttHost);
  same(saved.alarms.execHook, loaded.alarms.execHook);
  same(saved.alarms.webhookUrl, loaded.alarms.webhookUrl);
  same(saved.alarms.trailerTones, loaded.alarms.trailerTones);
}

bool AllTextsSurvive(const Settings& s) {
  bool all = true;
  ForEachText(s, [&](const std::string& text, std::size_t) { all = all && SurvivesWriting(text); });
  return all;
}

void Cycle(std::string_view input, const DeviceNames& devices) {
  // The file model alone.
  const IniFile file = IniFile::Parse(input);
  const std::string text = file.Serialize();
  FUZZ_CHECK(IniFile::Parse(text).Serialize() == text);

  // First start and exit.
  const Settings first = sequelo::app::LoadSettingsFrom(file, kStartupDir, devices);
  CheckLimits(first);
  IniFile saved = file;
  sequelo::app::SaveSettingsInto(saved, first);
  const std::string savedText = saved.Serialize();
  FUZZ_CHECK(IniFile::Parse(savedText).Serialize() == savedText);

  // Second start: what was saved reads back.
  IniFile reread = IniFile::Parse(savedText);
  const Settings second = sequelo::app::LoadSettingsFrom(reread, kStartupDir, devices);
  CheckLimits(second);
  CheckReadBack(first, second);

  // Second exit: nothing changes when every text read back as it was.
  if (AllTextsSurvive(first)) {
    sequelo::app::SaveSettingsInto(reread, second);
    FUZZ_CHECK(reread.Serialize() == savedText);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // Without device lists (no sound card) for an even size; with lists, which
  // stored device names are looked up in, for an odd one.
  static const DeviceNames kDevices{{"Default", "Loopback Analog Stereo", "USB Audio"},
                                    {"Default", "Loopback Analog Stereo"}};
  Cycle(input, (size & 1) != 0 ? kDevices : DeviceNames{});
  return 0;
}
