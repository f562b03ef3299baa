#include "app/station.h"

#include "app/console_message_sink.h"
#include "app/event_log.h"
#include "app/interruptible_sleeper.h"
#include "app/listen_command.h"
#include "app/settings.h"
#include "audio/recorder.h"
#include "audio/tone_generator.h"
#include "control/call_responder.h"
#include "control/command_interpreter.h"
#include "control/ip_comm_server.h"
#include "core/tone_decoder.h"
#include "tx/ptt_controller.h"
#include "tx/sequence_encoder.h"

namespace sequelo::app {
namespace {

std::vector<std::string> Names(const std::vector<audio::AudioDeviceInfo>& devices) {
  std::vector<std::string> names;
  for (const auto& d : devices) {
    names.push_back(d.name);
  }
  return names;
}

// What a call reads when it is sent: the mode and check boxes of the
// station's controls, the pilot settings.
class StationCallOptions final : public tx::CallOptionsSource {
 public:
  StationCallOptions(SettingsRecord& controls, ProgramValues& values, std::string startupDir)
      : controls_(controls), values_(values), startupDir_(std::move(startupDir)) {}
  tx::CallOptions CurrentCallOptions() override {
    tx::CallOptions o = tx::CallOptionsForMode(controls_.SelectedMode());
    o.pilotTone = controls_.Checked(CheckBox::kPilotTone);
    o.pilotFreqHz = static_cast<std::uint32_t>(values_.pilotFreqHz);
    o.pilotLenMs = static_cast<std::uint32_t>(values_.pilotLenMs);
    o.generateSoundfiles = controls_.Checked(CheckBox::kGenerateSoundfiles);
    o.startupDir = startupDir_;
    return o;
  }

 private:
  SettingsRecord& controls_;
  ProgramValues& values_;
  std::string startupDir_;
};

// The responder's view of the station's controls.
class StationControls final : public control::ResponderControls {
 public:
  explicit StationControls(SettingsRecord& controls) : controls_(controls) {}
  void ShowReceivedCode(std::string_view) override {}  // the activity line shows it
  std::string OwnCode() override { return controls_.Text(TextField::kOwnCode); }
  std::string OwnGroup() override { return controls_.Text(TextField::kOwnGroup); }
  std::string DelayText() override { return controls_.Text(TextField::kDelay); }
  int Action() override { return controls_.Action(); }
  std::string FixedText() override { return controls_.Text(TextField::kFixedCode); }
  std::string WaveFileToSend() override { return controls_.Text(TextField::kWaveFileToSend); }
  bool PlaySoundOnRx() override { return controls_.Checked(CheckBox::kPlaySoundOnRx); }
  std::string WaveFileToPlay() override { return controls_.Text(TextField::kWaveFileToPlay); }

 private:
  SettingsRecord& controls_;
};

class StationRemoteActions final : public control::RemoteActions {
 public:
  StationRemoteActions(control::CommandInterpreter& commands, tx::SequenceEncoder& encoder)
      : commands_(commands), encoder_(encoder) {}
  void RunCommand(std::string_view text) override { commands_.Run(text); }
  void SendCall(std::string_view code) override { encoder_.SendCall(code); }

 private:
  control::CommandInterpreter& commands_;
  tx::SequenceEncoder& encoder_;
};

// The decoder's analysis lines go to the log file only.
class AnalysisToLogFile final : public core::AnalysisLogWriter {
 public:
  explicit AnalysisToLogFile(core::EventLog& log) : log_(log) {}
  void WriteAnalysisLine(std::string_view line) override { log_.WriteLogLine(line); }

 private:
  core::EventLog& log_;
};

}  // namespace

int RunStation(const StationOptions& options, audio::AudioBackend& audio, tx::SerialPort& port,
               const std::function<bool(int timeoutMs)>& waitForStop, std::FILE* out,
               std::FILE* err) {
  const std::string& dir = options.startupDir;
  SystemWallClock wallClock;
  ConsoleActivityList activities(out);
  ConsoleMessageSink messages(err);
  PosixProcessLauncher launcher;
  FileEventLog log(wallClock, activities, messages, launcher);
  InterruptibleSleeper sleeper;

  // The lists first, then the settings select in them.
  const std::vector<audio::AudioDeviceInfo> inputs = audio::ListInputDevices(audio);
  audio::ToneGenerator tones(audio);
  tones.ListOutputDevices();
  SettingsRecord controls(Names(inputs), Names(tones.OutputSlots()));
  ProgramValues values;
  LoadSettings(dir, controls, values);
  log.SetLogPath(values.logPath);
  log.OpenLogFile();
  tx::PttController ptt(port, messages, sleeper);
  ptt.SetSettings(values.ptt);
  ptt.OpenPttPort();
  core::SteadyTickClock tickClock;
  core::ToneDecoder decoder(tickClock, values.threshold);
  decoder.SetToneSet(core::BuiltInToneSet(controls.SelectedMode()));
  decoder.Detector().SetAnalysisLog(options.analysisLog);
  log.Report("Program startup");
  tones.OpenOutputDevices(controls.SelectedDevice(DeviceList::kOutput));

  StationCallOptions callOptions(controls, values, dir);
  tx::SequenceEncoder encoder(tones, ptt, callOptions);
  control::CommandInterpreter commands(tones, encoder, ptt, log, messages, sleeper);
  StationRemoteActions remoteActions(commands, encoder);
  control::IPCommServer server(log, remoteActions);
  StationControls responderControls(controls);
  control::CallResponder responder(responderControls, log, server, encoder, commands, tones, ptt,
                                   messages, sleeper);
  AnalysisToLogFile analysisLog(log);
  decoder.SetSinks({nullptr, &responder, &analysisLog});
  audio::Recorder recorder(audio);
  const int input = controls.SelectedDevice(DeviceList::kInput);
  if (!audio::StartCapture(recorder, inputs, input,
                           [&decoder](core::CaptureBuffer b) { decoder.AnalyseBuffer(b); })) {
    std::fprintf(err, "sequelo-cli: not listening: %s\n",
                 input < 0 ? "no input device" : recorder.Error().c_str());
  }
  std::string serverError;
  if (server.Start(options.remotePort, serverError)) {
    std::fprintf(err, "Remote control on port %u\n", static_cast<unsigned>(server.Port()));
  } else {
    std::fprintf(err, "sequelo-cli: remote control is off: %s\n", serverError.c_str());
  }
  std::fflush(err);

  WaitReportingLostBuffers(recorder, waitForStop, err);

  // Shut-down: a transmission under way ends at its next step.
  commands.Abort();
  sleeper.Interrupt();
  values.threshold = decoder.Detector().Threshold();
  values.ptt = ptt.Settings();
  std::string saveError;
  if (!SaveSettings(dir, controls, values, saveError)) {
    std::fprintf(err, "sequelo-cli: settings not saved: %s\n", saveError.c_str());
  }
  tones.CloseOutputDevices();
  audio::StopCapture(recorder);
  log.WriteLogLine("Program termination");
  ptt.ClosePttPort();
  log.CloseLogFile();
  server.Stop();
  return 0;
}

}  // namespace sequelo::app
