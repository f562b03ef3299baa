#include "app/station.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>

#include "app/console_message_sink.h"
#include "app/listen_command.h"
#include "audio/wave_file.h"
#include "control/command_interpreter.h"
#include "control/command_text.h"
#include "core/tone_set.h"
#include "tx/wave_send.h"

namespace sequelo::app {
namespace {

std::vector<std::string> Names(const std::vector<audio::AudioDeviceInfo>& devices) {
  std::vector<std::string> names;
  for (const auto& d : devices) {
    names.push_back(d.name);
  }
  return names;
}

std::string NameAt(const std::vector<std::string>& names, int index) {
  return index >= 0 && static_cast<std::size_t>(index) < names.size()
             ? names[static_cast<std::size_t>(index)]
             : "";
}

}  // namespace

// The decoder's codes, on the capture thread: each becomes a call event,
// posted without waiting.
class Station::CallsToBus final : public core::CodeHandler {
 public:
  CallsToBus(control::CallEventBus& bus, core::TickClock& clock, core::SelectableDecoder& decoder)
      : bus_(bus), clock_(clock), decoder_(decoder) {}
  void HandleReceivedCode(std::string_view code) override {
    control::CallEvent event;
    event.code = std::string(code);
    event.endTickMs = clock_.NowMs();
    event.endWall = std::chrono::system_clock::now();
    const core::ToneSet* toneSet = decoder_.CurrentToneSet();
    for (int mode = 0; mode < static_cast<int>(core::kModeNames.size()); ++mode) {
      if (toneSet != nullptr && core::BuiltInToneSet(mode) == toneSet) {
        event.toneSet = std::string(core::kModeNames[static_cast<std::size_t>(mode)]);
      }
    }
    event.decoder = decoder_.Choice();
    bus_.Post(std::move(event));
  }

 private:
  control::CallEventBus& bus_;
  core::TickClock& clock_;
  core::SelectableDecoder& decoder_;
};

// A remote client's lines: each a transmit job, waited for on the server's
// event thread so that one client's lines go out in order.
class Station::RemoteActions final : public control::RemoteActions {
 public:
  explicit RemoteActions(Station& station) : s_(station) {}
  void RunCommand(std::string_view text) override {
    const tx::CallOptions options = s_.CurrentCallOptions();
    bool ok = true;
    s_.transmitter_.Run(
        [&](tx::Transmission& tx) { ok = control::RunCommandString(tx, text, options, s_.log_); });
    if (!ok) {
      s_.messages_.ShowMessage(control::kSyntaxError);
    }
  }
  void SendCall(std::string_view code) override {
    const tx::CallOptions options = s_.CurrentCallOptions();
    s_.transmitter_.Run([&](tx::Transmission& tx) { tx::SendCall(tx, code, options); });
  }

 private:
  Station& s_;
};

// Received codes to the remote client (its own queue, never waiting).
class Station::RemoteSubscriber final : public control::CallSubscriber {
 public:
  explicit RemoteSubscriber(control::RemoteClient& client) : client_(client) {}
  void OnCall(const control::CallEvent& event) override { client_.SendToClient(event.code); }

 private:
  control::RemoteClient& client_;
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
      activities_(activities),
      log_(wallClock, activities_, messages, launcher),
      messages_(messages),
      tones_(audio),
      ptt_(port, messages, wait_),
      decoder_(tickClock_, core::kDefaultThreshold),
      transmitter_(tones_, ptt_, wait_, tickClock_),
      calls_(log_),
      alerts_(tones_, messages),
      recorder_(audio) {}

Station::~Station() {
  if (started_) {
    AbortTransmissions();
    ShutDown();
  }
}

tx::CallOptions Station::CurrentCallOptions() const {
  return CallOptionsOf(*store_.Snapshot(), options_.startupDir);
}

void Station::StartUp(StationFrontEnd& frontEnd) {
  frontEnd_ = &frontEnd;
  // The lists first, then the settings choose in them.
  inputs_ = audio::ListInputDevices(audio_);
  DeviceNames devices{Names(inputs_), {}};
  frontEnd.InputDevicesListed(devices.inputs);
  tones_.ListOutputDevices();
  devices.outputs = Names(tones_.OutputSlots());
  frontEnd.OutputDevicesListed(devices.outputs);
  frontEnd.DebugMarker(DebugMarkerPresent(options_.startupDir));
  store_.Replace(LoadSettings(options_.startupDir, devices));
  const std::shared_ptr<const Settings> settings = store_.Snapshot();
  frontEnd.SettingsLoaded(*settings);
  log_.SetLogPath(settings->logPath);
  log_.OpenLogFile();
  ptt_.SetSettings(settings->ptt);
  ptt_.OpenPttPort();
  decoder_.Standard().Detector().SetThreshold(settings->threshold);
  decoder_.SetChoice(options_.decoder.value_or(settings->decoder));
  const core::ToneSet* toneSet = ToneSetOf(settings->mode);
  decoder_.SetToneSet(toneSet);
  decoder_.SetAnalysisLog(options_.analysisLog);
  log_.Report("Program startup");
  frontEnd.ToneSetSelected(toneSet);
  tones_.OpenOutputDevices(IndexOfEntry(devices.outputs, settings->outputDevice));

  transmitter_.Start();
  alerts_.Start();
  responder_ = std::make_unique<control::CallResponder>(
      [this] { return store_.Snapshot()->answer; }, [this] { return CurrentCallOptions(); }, log_,
      transmitter_, alerts_, messages_);
  remoteActions_ = std::make_unique<RemoteActions>(*this);
  server_ = std::make_unique<control::IPCommServer>(log_, *remoteActions_);
  remoteSubscriber_ = std::make_unique<RemoteSubscriber>(*server_);
  if (control::CallSubscriber* shown = frontEnd.Calls()) {
    calls_.Subscribe("window", *shown);
  }
  calls_.Subscribe("remote client", *remoteSubscriber_);
  calls_.Subscribe("responder", *responder_);
  calls_.Start();
  callsToBus_ = std::make_unique<CallsToBus>(calls_, tickClock_, decoder_);
  analysisLog_ = std::make_unique<AnalysisToLog>(log_);
  decoder_.SetSinks({frontEnd.Spectrum(), callsToBus_.get(), analysisLog_.get()});
  started_ = true;
  ChangeInputDevice(IndexOfEntry(devices.inputs, settings->inputDevice));
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
  store_.Update([&](Settings& s) { s.inputDevice = NameAt(Names(inputs_), input); });
  audio::StopCapture(recorder_);
  if (!audio::StartCapture(recorder_, inputs_, input,
                           [this](core::CaptureBuffer b) { decoder_.AnalyseBuffer(b); })) {
    std::fprintf(err_, "sequelo: not listening: %s\n",
                 input < 0 ? "no input device" : recorder_.Error().c_str());
    std::fflush(err_);
  }
}

void Station::ChangeOutputDevice(int selected) {
  if (!started_ || stopped_) {
    return;
  }
  store_.Update(
      [&](Settings& s) { s.outputDevice = NameAt(Names(tones_.OutputSlots()), selected); });
  // The transmit device belongs to the transmit thread: it is replaced
  // between two transmissions, never under one.
  transmitter_.Run([this, selected](tx::Transmission&) { tones_.OpenOutputDevices(selected); });
}

const core::ToneSet* Station::ChangeMode(Mode mode) {
  store_.Update([mode](Settings& s) { s.mode = mode; });
  // No selection keeps the tone set in use.
  if (const core::ToneSet* toneSet = ToneSetOf(mode)) {
    decoder_.SetToneSet(toneSet);
  }
  return decoder_.CurrentToneSet();
}

void Station::CallExecute(const std::string& callText) {
  if (!started_ || stopped_) {
    return;
  }
  const std::string text = callText.substr(0, 255);
  const tx::CallOptions options = CurrentCallOptions();
  if (const auto command = control::CommandStringOf(text)) {
    bool ok = true;
    transmitter_.Run([&](tx::Transmission& tx) {
      ok = control::RunCommandString(tx, *command, options, log_);  // logs its own lines
    });
    if (!ok) {
      messages_.ShowMessage(control::kSyntaxError);
    }
  }
  if (audio::FileExists(text)) {
    audio::WaveOutcome outcome = audio::WaveOutcome::kFailed;
    transmitter_.Run([&](tx::Transmission& tx) { outcome = tx::SendWaveFile(tx, text); });
    audio::ReportWaveOutcome(outcome, messages_);
    log_.Report("File sent: " + text);
    return;
  }
  const std::string code = text.substr(0, 5);
  if (core::IsCallCode(code)) {
    transmitter_.Run([&](tx::Transmission& tx) { tx::SendCall(tx, code, options); });
    log_.Report("Code sent: " + text);
  }
}

void Station::ApplyPttDialog(const tx::PttDialogState& state) {
  if (!started_ || stopped_) {
    tx::AcceptPttDialog(ptt_, state);
    return;
  }
  // The port is re-opened between two transmissions, never under one.
  transmitter_.Run([&](tx::Transmission&) { tx::AcceptPttDialog(ptt_, state); });
}

bool Station::ToggleAnalysisLog() {
  const bool on = !decoder_.AnalysisLogOn();
  decoder_.SetAnalysisLog(on);
  return on;
}

void Station::SetDecoderChoice(core::DecoderChoice choice) {
  decoder_.SetChoice(choice);
  store_.Update([choice](Settings& s) { s.decoder = choice; });
}

void Station::CalibrateIdle() {
  decoder_.Standard().Detector().SetThreshold(0.0);
}

void Station::AbortTransmissions() {
  transmitter_.Abort();
}

void Station::ShutDown() {
  if (!started_ || stopped_) {
    return;
  }
  stopped_ = true;
  store_.Update([this](Settings& s) {
    s.threshold = decoder_.Standard().Detector().Threshold();
    s.ptt = ptt_.Settings();
  });
  std::string saveError;
  if (!SaveSettings(options_.startupDir, *store_.Snapshot(), saveError)) {
    std::fprintf(err_, "sequelo: settings not saved: %s\n", saveError.c_str());
    std::fflush(err_);
  }
  transmitter_.Stop();  // the running job cut short, the transmitter released
  alerts_.Stop();
  tones_.CloseOutputDevices();
  audio::StopCapture(recorder_);
  // The calls decoded before capture stopped are still logged and handed on
  // (an answer to them is refused: the transmitter has stopped).
  calls_.Stop();
  log_.WriteLogLine("Program termination");
  ptt_.ClosePttPort();
  log_.CloseLogFile();
  activities_.Stop();
  // Last: the server's thread uses everything above, and must be gone
  // before any of it is destroyed (a process that ends lets it run on).
  server_->Stop();
}

namespace {

// The console's front end: nothing to show.
class ConsoleFrontEnd final : public StationFrontEnd {};

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
  // A transmission under way ends at once, the transmitter released.
  station.AbortTransmissions();
  station.ShutDown();
  return 0;
}

}  // namespace sequelo::app
