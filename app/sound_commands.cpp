#include "app/sound_commands.h"

#include "app/event_log.h"
#include "app/settings.h"
#include "audio/audio_system.h"
#include "audio/paced_devices.h"
#include "audio/tone_generator.h"
#include "audio/wave_file.h"
#include "tx/ptt_controller.h"
#include "tx/sequence_encoder.h"

namespace sequelo::app {
namespace {

void PrintDevices(std::FILE* out, const char* title,
                  const std::vector<audio::AudioDeviceInfo>& list) {
  std::fprintf(out, "%s:\n", title);
  for (std::size_t i = 0; i < list.size(); ++i) {
    std::fprintf(out, "  %2zu  %-50s (%s)\n", i, list[i].name.c_str(), list[i].backend.c_str());
  }
}

}  // namespace

int RunDevicesCommand(audio::AudioBackend& audio, const std::string& backendName,
                      const std::vector<std::string>& serialDevices, std::FILE* out) {
  std::fprintf(out, "Sound system: %s\n", backendName.c_str());
  PrintDevices(out, "Output devices", audio.OutputDevices());
  PrintDevices(out, "Input devices", audio.InputDevices());
  std::fprintf(out, "Serial devices:\n");
  if (serialDevices.empty()) {
    std::fprintf(out, "  (none found)\n");
  }
  for (const std::string& device : serialDevices) {
    std::fprintf(out, "  %s\n", device.c_str());
  }
  return 0;
}

int RunEncodeCommand(const EncodeRequest& request, std::FILE* err) {
  audio::NullAudioBackend instant(true);
  audio::ToneGenerator tones(instant);
  tones.ListOutputDevices();
  tones.OpenOutputDevices(0);
  tx::CallOptions options = tx::CallOptionsForMode(request.modeIndex);
  options.pilotTone = request.pilot;
  options.pilotFreqHz = request.pilotFreqHz;
  options.pilotLenMs = request.pilotLenMs;
  tx::FixedCallOptions source(options);
  core::NoKeying noKeying;
  tx::SequenceEncoder encoder(tones, noKeying, source);
  encoder.SendCall(request.code);
  std::string error;
  if (!audio::WriteCodeSoundFile(tones.SoundFile(), request.outputPath, &error)) {
    std::fprintf(err, "sequelo-cli: %s: %s\n", request.outputPath.c_str(),
                 error.empty() ? "cannot write the file" : error.c_str());
    return 1;
  }
  return 0;
}

int RunSendCommand(const std::string& startupDir, const std::string& code, int modeIndex,
                   audio::AudioBackend& audio, tx::SerialPort& port, core::MessageSink& messages,
                   std::FILE* out) {
  audio::ToneGenerator tones(audio);
  tones.ListOutputDevices();
  std::vector<std::string> outputs;
  for (const auto& device : tones.OutputSlots()) {
    outputs.push_back(device.name);
  }
  SettingsRecord controls({}, outputs);
  ProgramValues values;
  LoadSettings(startupDir, controls, values);
  const int mode = modeIndex >= 0 ? modeIndex : controls.SelectedMode();
  if (core::BuiltInToneSet(mode) == nullptr) {
    std::fprintf(out, "No mode chosen (Mode=%d in %s); use --mode ZVEI or DZVEI.\n", mode,
                 SettingsPath(startupDir).c_str());
    return 1;
  }
  const int selected = controls.SelectedDevice(DeviceList::kOutput);
  if (!tones.OpenOutputDevices(selected)) {
    std::fprintf(out, "Cannot open the output device: %s\n", tones.OpenError().c_str());
    return 1;
  }
  const std::string deviceName =
      selected >= 0 ? tones.OutputSlots()[static_cast<std::size_t>(selected)].name : "default";

  SystemWallClock clock;
  ConsoleActivityList activities(out);
  PosixProcessLauncher launcher;
  FileEventLog log(clock, activities, messages, launcher);
  log.SetLogPath(values.logPath);
  log.OpenLogFile();

  core::ThreadSleeper sleeper;
  tx::PttController ptt(port, messages, sleeper);
  ptt.SetSettings(values.ptt);
  ptt.OpenPttPort();

  tx::CallOptions options = tx::CallOptionsForMode(mode);
  options.pilotTone = controls.Checked(CheckBox::kPilotTone);
  options.pilotFreqHz = static_cast<std::uint32_t>(values.pilotFreqHz);
  options.pilotLenMs = static_cast<std::uint32_t>(values.pilotLenMs);
  options.generateSoundfiles = controls.Checked(CheckBox::kGenerateSoundfiles);
  options.startupDir = startupDir;
  tx::FixedCallOptions source(options);
  tx::SequenceEncoder encoder(tones, ptt, source);
  std::fprintf(out, "Sending %s (%s) on %s ...\n", code.c_str(), options.modeName.c_str(),
               deviceName.c_str());
  std::fflush(out);
  encoder.SendCall(code);
  log.Report("Code sent: " + code);
  ptt.ClosePttPort();
  tones.CloseOutputDevices();
  return 0;
}

}  // namespace sequelo::app
