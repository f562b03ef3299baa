#include "app/sound_commands.h"

#include <atomic>
#include <thread>

#include "app/event_log.h"
#include "app/program_entry.h"
#include "app/settings.h"
#include "audio/audio_system.h"
#include "audio/paced_devices.h"
#include "audio/tone_generator.h"
#include "audio/wave_file.h"
#include "tx/hamlib_rig.h"
#include "tx/ptt_controller.h"
#include "tx/sequence_encoder.h"
#include "tx/transmit_queue.h"

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
  core::NoKeying noKeying;
  tx::SequenceEncoder encoder(tones, noKeying, options);
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
                   std::FILE* out, const sigset_t* signals, const SendAlarm* alarm) {
  audio::ToneGenerator tones(audio);
  tones.ListOutputDevices();
  std::vector<std::string> outputs;
  for (const auto& device : tones.OutputSlots()) {
    outputs.push_back(device.name);
  }
  Settings settings = LoadSettings(startupDir, DeviceNames{{}, outputs});
  if (modeIndex >= 0) {
    settings.mode = static_cast<Mode>(modeIndex);
  }
  if (ToneSetOf(settings.mode) == nullptr) {
    std::fprintf(out, "No mode chosen (Mode=%d in %s); use --mode ZVEI or DZVEI.\n",
                 static_cast<int>(settings.mode), SettingsPath(startupDir).c_str());
    return 1;
  }
  const int selected = IndexOfEntry(outputs, settings.outputDevice);
  if (!tones.OpenOutputDevices(selected)) {
    std::fprintf(out, "Cannot open the output device: %s\n", tones.OpenError().c_str());
    return 1;
  }
  const std::string deviceName = selected >= 0 ? settings.outputDevice : "default";

  SystemWallClock clock;
  ConsoleActivityList activities(out);
  PosixProcessLauncher launcher;
  FileEventLog log(clock, activities, messages, launcher);
  log.SetLogPath(settings.logPath);
  log.OpenLogFile();

  tx::AbortableWait wait;
  tx::HamlibRig rig;  // keying through Hamlib, when the settings ask for it
  tx::PttController ptt(port, messages, wait, &rig);
  ptt.SetSettings(settings.ptt);
  ptt.OpenPttPort();

  const tx::CallOptions options = CallOptionsOf(settings, startupDir);
  // An alarm is a command string of its own, checked whole before anything
  // is keyed.
  std::string command;
  if (alarm != nullptr) {
    control::AlarmShape shape = alarm->shape;
    if (shape.trailer == control::AlarmShape::Trailer::kSiren) {
      shape.siren = control::SirenNumber(options.trailerClasses, alarm->sirenName);
      if (shape.siren == 0) {
        std::fprintf(out, "No siren called \"%s\" in the trailer table (TrailerTones).\n",
                     alarm->sirenName.c_str());
        return 1;
      }
    }
    std::string error;
    command = control::AlarmCommandString(code, shape, error);
    if (error.empty()) {
      error = control::CommandStringRefusal(command, options, LimitsOf(settings).maxKeyMs);
    }
    if (!error.empty()) {
      std::fprintf(out, "Alarm not sent: %s.\n", error.c_str());
      return 1;
    }
  }
  std::fprintf(out, "Sending %s%s (%s) on %s ...\n", alarm != nullptr ? "an alarm to " : "",
               code.c_str(), options.modeName.c_str(), deviceName.c_str());
  std::fflush(out);
  // The call is a job of a transmit queue, as in the station: the one place
  // that keys, plays and releases.
  core::SteadyTickClock tickClock;
  tx::TransmitQueue transmitter(tones, ptt, wait, tickClock, &log);
  transmitter.SetLimits(LimitsOf(settings));
  transmitter.Start();
  std::atomic<bool> done{false};
  std::atomic<int> caught{0};
  std::thread watch;
  if (signals != nullptr) {
    watch = std::thread([&] {
      while (!done) {
        if (const int signo = WaitForSignal(*signals, 100)) {
          caught = signo;
          // Released at once; a call not yet queued is refused.
          transmitter.Stop();
        }
      }
    });
  }
  const tx::JobOutcome outcome = transmitter.Run([&](tx::Transmission& tx) {
    if (alarm != nullptr) {
      control::RunCommandString(tx, command, options, log);
    } else {
      tx::SendCall(tx, code, options);
    }
  });
  done = true;
  if (watch.joinable()) {
    watch.join();
  }
  transmitter.Stop();
  if (caught != 0) {
    log.Report("Code not sent whole: stopped by " + SignalName(caught));
  } else if (outcome == tx::JobOutcome::kDone) {
    log.Report((alarm != nullptr ? "Alarm sent: " : "Code sent: ") + code);
  } else if (outcome == tx::JobOutcome::kFailed) {
    ptt.ClosePttPort();
    tones.CloseOutputDevices();
    return 1;  // the queue has logged why
  }
  ptt.ClosePttPort();
  tones.CloseOutputDevices();
  return caught != 0 ? 128 + caught : 0;
}

}  // namespace sequelo::app
