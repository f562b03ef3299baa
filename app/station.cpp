#include "app/station.h"

#include <fcntl.h>
#include <unistd.h>

#include "app/console_message_sink.h"
#include "app/listen_command.h"
#include "audio/wave_file.h"
#include "core/tone_set.h"

namespace sequelo::app {
namespace {

std::vector<std::string> Names(const std::vector<audio::AudioDeviceInfo>& devices) {
  std::vector<std::string> names;
  for (const auto& d : devices) {
    names.push_back(d.name);
  }
  return names;
}

}  // namespace

// What a call reads when it is sent: the mode and check boxes of the
// controls, the pilot settings.
class Station::CallOptions final : public tx::CallOptionsSource {
 public:
  CallOptions(LiveControls& controls, ProgramValues& values, std::string startupDir)
      : controls_(controls), values_(values), startupDir_(std::move(startupDir)) {}
  tx::CallOptions CurrentCallOptions() override {
    tx::CallOptions o = tx::CallOptionsForMode(controls_.Mode());
    o.pilotTone = controls_.PilotTone();
    o.pilotFreqHz = static_cast<std::uint32_t>(values_.pilotFreqHz);
    o.pilotLenMs = static_cast<std::uint32_t>(values_.pilotLenMs);
    o.generateSoundfiles = controls_.GenerateSoundfiles();
    o.startupDir = startupDir_;
    return o;
  }

 private:
  LiveControls& controls_;
  ProgramValues& values_;
  std::string startupDir_;
};

class Station::RemoteActions final : public control::RemoteActions {
 public:
  RemoteActions(control::CommandInterpreter& commands, tx::SequenceEncoder& encoder)
      : commands_(commands), encoder_(encoder) {}
  void RunCommand(std::string_view text) override { commands_.Run(text); }
  void SendCall(std::string_view code) override { encoder_.SendCall(code); }

 private:
  control::CommandInterpreter& commands_;
  tx::SequenceEncoder& encoder_;
};

// The decoder's analysis lines go to the log file only.
class Station::AnalysisToLog final : public core::AnalysisLogWriter {
 public:
  explicit AnalysisToLog(core::EventLog& log) : log_(log) {}
  void WriteAnalysisLine(std::string_view line) override { log_.WriteLogLine(line); }

 private:
  core::EventLog& log_;
};

bool DebugMarkerPresent(const std::string& dir) {
  const std::string path = dir + "/" + std::string(kDebugMarkerFile);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  ::close(fd);
  return true;
}

Station::Station(const StationOptions& options, audio::AudioBackend& audio, tx::SerialPort& port,
                 WallClock& wallClock, ActivityList& activities, core::MessageSink& messages,
                 ProcessLauncher& launcher, std::FILE* err)
    : options_(options),
      audio_(audio),
      err_(err),
      log_(wallClock, activities, messages, launcher),
      messages_(messages),
      tones_(audio),
      ptt_(port, messages, sleeper_),
      decoder_(tickClock_, core::kDefaultThreshold),
      recorder_(audio) {}

Station::~Station() {
  if (started_) {
    AbortTransmissions();
    ShutDown();
  }
}

void Station::StartUp(StationFrontEnd& frontEnd) {
  frontEnd_ = &frontEnd;
  // The lists first, then the settings select in them.
  inputs_ = audio::ListInputDevices(audio_);
  frontEnd.InputDevicesListed(Names(inputs_));
  tones_.ListOutputDevices();
  frontEnd.OutputDevicesListed(Names(tones_.OutputSlots()));
  frontEnd.DebugMarker(DebugMarkerPresent(options_.startupDir));
  SettingsView& controls = frontEnd.Settings();
  LoadSettings(options_.startupDir, controls, values_);
  frontEnd.SettingsLoaded(values_);
  log_.SetLogPath(values_.logPath);
  log_.OpenLogFile();
  ptt_.SetSettings(values_.ptt);
  ptt_.OpenPttPort();
  decoder_.Standard().Detector().SetThreshold(values_.threshold);
  decoder_.SetChoice(options_.decoder.value_or(
      core::DecoderChoiceFromValue(values_.decoder).value_or(core::DecoderChoice::kStandard)));
  const core::ToneSet* toneSet = core::BuiltInToneSet(controls.SelectedMode());
  decoder_.SetToneSet(toneSet);
  decoder_.SetAnalysisLog(options_.analysisLog);
  log_.Report("Program startup");
  frontEnd.ToneSetSelected(toneSet);
  tones_.OpenOutputDevices(controls.SelectedDevice(DeviceList::kOutput));

  LiveControls& live = frontEnd.Live();
  callOptions_ = std::make_unique<CallOptions>(live, values_, options_.startupDir);
  encoder_ = std::make_unique<tx::SequenceEncoder>(tones_, ptt_, *callOptions_);
  commands_ = std::make_unique<control::CommandInterpreter>(tones_, *encoder_, ptt_, log_,
                                                            messages_, sleeper_);
  remoteActions_ = std::make_unique<RemoteActions>(*commands_, *encoder_);
  server_ = std::make_unique<control::IPCommServer>(log_, *remoteActions_);
  responder_ = std::make_unique<control::CallResponder>(live, log_, *server_, *encoder_, *commands_,
                                                        tones_, ptt_, messages_, sleeper_);
  analysisLog_ = std::make_unique<AnalysisToLog>(log_);
  decoder_.SetSinks({frontEnd.Spectrum(), responder_.get(), analysisLog_.get()});
  started_ = true;
  ChangeInputDevice(controls.SelectedDevice(DeviceList::kInput));
  std::string serverError;
  if (server_->Start(options_.remotePort, serverError)) {
    std::fprintf(err_, "Remote control on port %u\n", static_cast<unsigned>(server_->Port()));
  } else {
    std::fprintf(err_, "sequelo: remote control is off: %s\n", serverError.c_str());
  }
  std::fflush(err_);
}

void Station::ChangeInputDevice(int input) {
  if (!started_ || stopped_) {
    return;
  }
  audio::StopCapture(recorder_);
  if (!audio::StartCapture(recorder_, inputs_, input,
                           [this](core::CaptureBuffer b) { decoder_.AnalyseBuffer(b); })) {
    std::fprintf(err_, "sequelo: not listening: %s\n",
                 input < 0 ? "no input device" : recorder_.Error().c_str());
    std::fflush(err_);
  }
}

void Station::ChangeOutputDevice(int selected) {
  if (started_ && !stopped_) {
    tones_.OpenOutputDevices(selected);
  }
}

const core::ToneSet* Station::ChangeMode() {
  // No selection keeps the tone set in use.
  if (const core::ToneSet* toneSet = core::BuiltInToneSet(frontEnd_->Settings().SelectedMode())) {
    decoder_.SetToneSet(toneSet);
  }
  return decoder_.CurrentToneSet();
}

void Station::CallExecute(const std::string& callText) {
  if (!started_ || stopped_) {
    return;
  }
  const std::string text = callText.substr(0, 255);
  if (!text.empty() && text.front() == '!') {
    commands_->Run(std::string_view(text).substr(1));  // logs its own lines
  }
  if (audio::FileExists(text)) {
    audio::PlayWaveFile(tones_, ptt_, messages_, text, 1);
    log_.Report("File sent: " + text);
    return;
  }
  const std::string code = text.substr(0, 5);
  if (core::IsCallCode(code)) {
    encoder_->SendCall(code);
    log_.Report("Code sent: " + text);
  }
}

bool Station::ToggleAnalysisLog() {
  const bool on = !decoder_.AnalysisLogOn();
  decoder_.SetAnalysisLog(on);
  return on;
}

void Station::SetDecoderChoice(core::DecoderChoice choice) {
  decoder_.SetChoice(choice);
  values_.decoder = static_cast<int>(choice);
}

void Station::CalibrateIdle() {
  decoder_.Standard().Detector().SetThreshold(0.0);
}

void Station::AbortTransmissions() {
  if (commands_) {
    commands_->Abort();
  }
  sleeper_.Interrupt();
}

void Station::ShutDown() {
  if (!started_ || stopped_) {
    return;
  }
  stopped_ = true;
  values_.threshold = decoder_.Standard().Detector().Threshold();
  values_.ptt = ptt_.Settings();
  std::string saveError;
  if (!SaveSettings(options_.startupDir, frontEnd_->Settings(), values_, saveError)) {
    std::fprintf(err_, "sequelo: settings not saved: %s\n", saveError.c_str());
    std::fflush(err_);
  }
  tones_.CloseOutputDevices();
  audio::StopCapture(recorder_);
  log_.WriteLogLine("Program termination");
  ptt_.ClosePttPort();
  log_.CloseLogFile();
  // Last: the server's thread uses everything above, and must be gone
  // before any of it is destroyed (a process that ends lets it run on).
  server_->Stop();
}

namespace {

// The console's front end: a settings record, nothing to draw.
class ConsoleFrontEnd final : public StationFrontEnd {
 public:
  SettingsView& Settings() override { return record_; }
  LiveControls& Live() override { return live_; }
  void InputDevicesListed(const std::vector<std::string>& names) override {
    record_.SetDeviceNames(DeviceList::kInput, names);
  }
  void OutputDevicesListed(const std::vector<std::string>& names) override {
    record_.SetDeviceNames(DeviceList::kOutput, names);
  }

 private:
  SettingsRecord record_;
  RecordControls live_{record_};
};

}  // namespace

int RunStation(const StationOptions& options, audio::AudioBackend& audio, tx::SerialPort& port,
               const std::function<bool(int timeoutMs)>& waitForStop, std::FILE* out,
               std::FILE* err) {
  SystemWallClock wallClock;
  ConsoleActivityList activities(out);
  ConsoleMessageSink messages(err);
  PosixProcessLauncher launcher;
  ConsoleFrontEnd frontEnd;
  Station station(options, audio, port, wallClock, activities, messages, launcher, err);
  station.StartUp(frontEnd);
  WaitReportingLostBuffers(station.Recorder(), waitForStop, err);
  // A transmission under way ends at its next step.
  station.AbortTransmissions();
  station.ShutDown();
  return 0;
}

}  // namespace sequelo::app
