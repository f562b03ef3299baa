#include "app/station.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include "app/console_message_sink.h"
#include "app/listen_command.h"
#include "app/program_entry.h"
#include "app/station_service.h"
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
    event.decoder = decoder_.EffectiveChoice();
    bus_.Post(std::move(event));
  }

 private:
  control::CallEventBus& bus_;
  core::TickClock& clock_;
  core::SelectableDecoder& decoder_;
};

// What follows a call, heard on the capture thread: handed to the alarm
// thread without waiting.
class Station::TrailersToAlarms final : public core::TrailerSink {
 public:
  explicit TrailersToAlarms(control::AlarmEvents& alarms) : alarms_(alarms) {}
  void OnTrailer(const core::TrailerHeard& heard) override {
    alarms_.TrailerHeard(std::string(heard.name), heard.startMs);
  }

 private:
  control::AlarmEvents& alarms_;
};

// A remote client's lines: each a transmit job, queued without waiting (one
// client's lines go out in the order sent). What waits for the transmitter
// is bounded in number and in air time; what does not fit is refused.
class Station::RemoteActions final : public control::RemoteActions {
 public:
  // Remote jobs waiting or on the air, and the time they hold the
  // transmitter (a pause counts as much as a tone).
  static constexpr std::size_t kMaxJobs = 16;
  static constexpr std::uint64_t kMaxAirMs = 120000;

  explicit RemoteActions(Station& station) : s_(station) {}
  std::string RunCommand(std::string_view text) override {
    const tx::CallOptions options = s_.CurrentCallOptions();
    const control::CommandPlan plan = control::ParseCommandString(text);
    if (!plan.syntaxOk) {
      return std::string(control::kSyntaxError);
    }
    const std::string refusal =
        control::CommandStringRefusal(text, options, s_.transmitter_.Limits().maxKeyMs);
    if (!refusal.empty()) {
      return refusal;
    }
    // Booked for as long as it holds the transmitter, keyed or not.
    return Queue(
        control::PlanLengthMs(plan, control::PlanTimingOf(options)) + tx::kCallGapMs,
        [&s = s_, command = std::string(text), options](tx::Transmission& tx) {
          control::RunCommandString(tx, command, options, s.log_);
        });
  }
  std::string SendCall(std::string_view code) override {
    const tx::CallOptions options = s_.CurrentCallOptions();
    return Queue(options.txDelayMs + tx::CallSoundMs(options) + tx::kCallGapMs,
                 [code = std::string(code), options](tx::Transmission& tx) {
                   tx::SendCall(tx, code, options);
                 });
  }

 private:
  // Holds a job's place in the bounds until the job has run or been dropped.
  struct Place {
    Place(RemoteActions& owner, std::uint64_t airMs) : owner_(owner), airMs_(airMs) {}
    ~Place() {
      std::lock_guard lock(owner_.mutex_);
      --owner_.jobs_;
      owner_.airMs_ -= airMs_;
    }
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;
    RemoteActions& owner_;
    std::uint64_t airMs_;
  };

  std::string Queue(std::uint64_t airMs, tx::TransmitJob job) {
    {
      std::lock_guard lock(mutex_);
      if (jobs_ >= kMaxJobs) {
        return "the transmitter has " + std::to_string(jobs_) + " remote transmissions waiting";
      }
      if (airMs_ + airMs > kMaxAirMs) {
        return "the transmitter has " + std::to_string((airMs_ + 999) / 1000) +
               " s of remote transmissions waiting";
      }
      ++jobs_;
      airMs_ += airMs;
    }
    auto place = std::make_shared<Place>(*this, airMs);
    const auto ticket =
        s_.transmitter_.Post([place, job = std::move(job)](tx::Transmission& tx) { job(tx); });
    if (ticket->Outcome() == tx::JobOutcome::kRefused) {
      return "the transmitter is stopping";
    }
    return {};
  }

  Station& s_;
  std::mutex mutex_;
  std::size_t jobs_ = 0;     // guarded by mutex_
  std::uint64_t airMs_ = 0;  // guarded by mutex_
};

// Received codes to the remote client (its own queue, never waiting).
class Station::RemoteSubscriber final : public control::CallSubscriber {
 public:
  RemoteSubscriber(control::RemoteClient& client, SettingsStore& store)
      : client_(client), store_(store) {}
  void OnCall(const control::CallEvent& event) override {
    const bool whole = store_.Snapshot()->remote.sequences;
    client_.SendToClient(whole ? std::string_view(event.code) : event.Called());
  }

 private:
  control::RemoteClient& client_;
  SettingsStore& store_;
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
      ptt_(port, messages, wait_, &rig_),
      decoder_(tickClock_, core::kDefaultThreshold),
      transmitter_(tones_, ptt_, wait_, tickClock_, &log_),
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
  log_.SetMaxBytes(static_cast<std::uint64_t>(settings->logMaxKB) * 1024);
  log_.Report("Program startup");
  NoteDecoder();
  transmitter_.SetLimits(LimitsOf(*settings));
  frontEnd.ToneSetSelected(toneSet);
  tones_.OpenOutputDevices(IndexOfEntry(devices.outputs, settings->outputDevice));

  transmitter_.Start();
  alerts_.Start();
  responder_ = std::make_unique<control::CallResponder>(
      [this] { return store_.Snapshot()->answer; }, [this] { return CurrentCallOptions(); }, log_,
      transmitter_, alerts_, messages_);
  remoteActions_ = std::make_unique<RemoteActions>(*this);
  server_ = std::make_unique<control::IPCommServer>(log_, *remoteActions_, tickClock_);
  remoteSubscriber_ = std::make_unique<RemoteSubscriber>(*server_, store_);
  if (control::CallSubscriber* shown = frontEnd.Calls()) {
    calls_.Subscribe("window", *shown);
  }
  StartAlarmEvents(settings->alarms);
  calls_.Subscribe("remote client", *remoteSubscriber_);
  calls_.Subscribe("responder", *responder_);
  calls_.Start();
  callsToBus_ = std::make_unique<CallsToBus>(calls_, tickClock_, decoder_);
  analysisLog_ = std::make_unique<AnalysisToLog>(log_);
  decoder_.SetSinks({frontEnd.Spectrum(), callsToBus_.get(), analysisLog_.get()});
  started_ = true;
  ChangeInputDevice(IndexOfEntry(devices.inputs, settings->inputDevice));
  StartRemoteControl(settings->remote);
}

void Station::StartAlarmEvents(const control::AlarmSettings& alarms) {
  forwarding_ = std::make_unique<control::AlarmForwarding>(log_, options_.startupDir);
  forwarding_->Apply(alarms);
  alarms_ = std::make_unique<control::AlarmEvents>(log_, tickClock_);
  alarms_->AddSink(*forwarding_);
  alarms_->SetSettings(alarms);
  announcements_ = std::make_unique<audio::AnnouncementRecorder>(
      log_,
      [this](const std::string& id, const std::string& path) { alarms_->RecordingDone(id, path); });
  alarms_->SetRecorder([this](const control::RecordingRequest& request) {
    audio::RecordingJob job;
    job.id = request.eventId;
    job.code = request.code;
    job.time = request.time;
    job.folder = store_.Snapshot()->alarms.recordFolder;
    job.fromTickMs = request.fromTickMs;
    job.untilTickMs = request.untilTickMs;
    announcements_->Record(std::move(job));
  });
  recording_ = alarms.recordSeconds > 0;
  std::string tableError;
  auto classes = control::ParseTrailerTones(alarms.trailerTones, tableError);
  if (!tableError.empty()) {
    log_.Report("TrailerTones not used (" + tableError + "): the built-in table is");
    classes = core::DefaultTrailerClasses();
  }
  trailersToAlarms_ = std::make_unique<TrailersToAlarms>(*alarms_);
  trailers_ = std::make_unique<core::TrailerDetector>(std::move(classes), trailersToAlarms_.get());
  calls_.Subscribe("alarm events", *alarms_);
  announcements_->Start();
  alarms_->Start();
}

void Station::ReloadAlarmSettings() {
  if (!started_ || stopped_) {
    return;
  }
  const Settings file = LoadSettings(options_.startupDir, DeviceNames{});
  ApplyAlarmSettings(file.alarms);
  log_.Report("Alarm settings reloaded from " + SettingsPath(options_.startupDir));
}

void Station::ApplyAlarmSettings(const control::AlarmSettings& alarms) {
  if (!started_ || stopped_) {
    return;
  }
  // The trailer tones are stored for the next start; the detector keeps
  // the table it started with.
  store_.Update([&](Settings& s) { s.alarms = alarms; });
  alarms_->SetSettings(alarms);
  recording_ = alarms.recordSeconds > 0;
  forwarding_->Apply(alarms);
}

void Station::SendTestAlarm() {
  if (!started_ || stopped_) {
    return;
  }
  control::AlarmEvent event;
  event.time = std::chrono::system_clock::now();
  event.id = std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                event.time.time_since_epoch())
                                .count()) +
             "-test";
  event.code = "TEST";
  event.alarmClass = "test message";
  event.station = store_.Snapshot()->alarms.stationName;
  event.decoder = decoder_.EffectiveChoice();
  const auto targets = forwarding_->Targets();
  std::string names;
  for (const std::string& target : targets) {
    names += (names.empty() ? "" : ", ") + target;
  }
  log_.Report(targets.empty() ? "Test alarm not sent: no forwarding target"
                              : "Test alarm " + event.id + " sent to " + names);
  forwarding_->OnAlarm(event);
}

void Station::StartRemoteControl(const control::RemoteAccess& access) {
  if (!access.enabled) {
    std::fprintf(err_, "Remote control is off (RemoteControl=0)\n");
    std::fflush(err_);
    log_.Report("Remote control is off (RemoteControl=0)");
    return;
  }
  std::string serverError;
  if (!server_->Start(options_.remotePort, access, serverError)) {
    std::fprintf(err_, "sequelo: remote control is off: %s\n", serverError.c_str());
    std::fflush(err_);
    log_.WriteLogLine("Remote control is off: " + serverError);
    return;
  }
  std::fprintf(err_, "Remote control on port %u\n", static_cast<unsigned>(server_->Port()));
  std::fflush(err_);
  log_.Report(
      "Remote control on port " + std::to_string(server_->Port()) + ", listening on " +
      (access.listenAddress.empty() ? std::string("every interface") : access.listenAddress) +
      "; clients allowed from " + server_->AllowedText() +
      (access.transmit ? "" : "; receive only (RemoteTransmit=0)") +
      (access.secret.empty() ? "" : "; a secret is required"));
}

void Station::ChangeInputDevice(int input) {
  if (!started_ || stopped_) {
    return;
  }
  store_.Update([&](Settings& s) { s.inputDevice = NameAt(Names(inputs_), input); });
  audio::StopCapture(recorder_);
  if (!audio::StartCapture(recorder_, inputs_, input,
                           [this](core::CaptureBuffer b) { AnalyseCapture(b); })) {
    std::fprintf(err_, "sequelo: not listening: %s\n",
                 input < 0 ? "no input device" : recorder_.Error().c_str());
    std::fflush(err_);
  }
}

bool Station::RetryCapture() {
  if (!started_ || stopped_ || recorder_.IsRunning()) {
    return recorder_.IsRunning();
  }
  const std::string device = store_.Snapshot()->inputDevice;
  const int input = IndexOfEntry(Names(inputs_), device);
  if (input < 0) {
    return false;  // no device to listen on: nothing to try again
  }
  ChangeInputDevice(input);
  if (recorder_.IsRunning()) {
    log_.Report("Listening again on " + device);
  }
  return recorder_.IsRunning();
}

void Station::AnalyseCapture(core::CaptureBuffer buffer) {
  decoder_.AnalyseBuffer(buffer);
  // The tick when the buffer's last frame came in; its first came in a
  // buffer's length (21 ms) before.
  const std::uint32_t now = tickClock_.NowMs();
  constexpr auto kBufferMs =
      static_cast<std::uint32_t>(core::kBufferFrames * 1000 / core::kCaptureRateHz);
  trailers_->AnalyseBuffer(buffer, now - kBufferMs);
  if (recording_.load(std::memory_order_relaxed)) {
    announcements_->Feed(buffer, now);
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
    NoteDecoder();
  }
  return decoder_.CurrentToneSet();
}

void Station::CallExecute(const std::string& callText) {
  if (!started_ || stopped_) {
    return;
  }
  const std::string text = callText.substr(0, 255);
  const tx::CallOptions options = CurrentCallOptions();
  const std::uint32_t maxKeyMs = transmitter_.Limits().maxKeyMs;
  if (const auto command = control::CommandStringOf(text)) {
    // Checked whole before anything is keyed.
    const std::string refusal = control::CommandStringRefusal(*command, options, maxKeyMs);
    if (refusal == control::kSyntaxError) {
      messages_.ShowMessage(control::kSyntaxError);
    } else if (!refusal.empty()) {
      messages_.ShowMessage("Command string not sent: " + refusal + ".");
    } else {
      transmitter_.Run([&](tx::Transmission& tx) {
        control::RunCommandString(tx, *command, options, log_);  // logs its own lines
      });
    }
  }
  if (audio::FileExists(text)) {
    audio::WaveOutcome outcome = audio::WaveOutcome::kFailed;
    const std::uint64_t maxSoundMs = maxKeyMs - std::min(maxKeyMs, options.txDelayMs);
    transmitter_.Run(
        [&](tx::Transmission& tx) { outcome = tx::SendWaveFile(tx, text, maxSoundMs); });
    audio::ReportWaveOutcome(outcome, messages_);
    if (outcome != audio::WaveOutcome::kTooLong) {
      log_.Report("File sent: " + text);
    }
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
  // Transmissions are timed with the TX delay now in use.
  store_.Update([this](Settings& s) { s.ptt = ptt_.Settings(); });
}

bool Station::ToggleAnalysisLog() {
  const bool on = !decoder_.AnalysisLogOn();
  decoder_.SetAnalysisLog(on);
  return on;
}

void Station::SetDecoderChoice(core::DecoderChoice choice) {
  decoder_.SetChoice(choice);
  store_.Update([choice](Settings& s) { s.decoder = choice; });
  NoteDecoder();
}

void Station::NoteDecoder() {
  const core::ToneSet* toneSet = decoder_.CurrentToneSet();
  if (toneSet == nullptr || decoder_.Choice() == decoder_.EffectiveChoice()) {
    return;
  }
  for (std::size_t mode = 0; mode < core::kModeNames.size(); ++mode) {
    if (core::BuiltInToneSet(static_cast<int>(mode)) == toneSet) {
      log_.Report(core::StandardDecoderNote(core::kModeNames[mode]));
    }
  }
}

void Station::CalibrateIdle() {
  decoder_.Standard().Detector().SetThreshold(0.0);
}

void Station::AbortTransmissions() {
  transmitter_.Abort();
}

void Station::StopTransmission() {
  if (!started_ || stopped_) {
    return;
  }
  transmitter_.Abort();
  log_.Report("Transmission stopped");
}

void Station::ShutDown() {
  if (!started_ || stopped_) {
    return;
  }
  stopped_ = true;
  // No transmission is asked for from here on, and none keeps the
  // transmitter: remote clients go first, then the transmitter stops.
  server_->Stop();
  transmitter_.Stop();  // the running job cut short, the transmitter released
  store_.Update([this](Settings& s) {
    s.threshold = decoder_.Standard().Detector().Threshold();
    s.ptt = ptt_.Settings();
  });
  std::string saveError;
  if (!SaveSettings(options_.startupDir, *store_.Snapshot(), saveError)) {
    std::fprintf(err_, "sequelo: settings not saved: %s\n", saveError.c_str());
    std::fflush(err_);
  }
  alerts_.Stop();
  tones_.CloseOutputDevices();
  audio::StopCapture(recorder_);
  // The calls decoded before capture stopped are still logged and handed on
  // (an answer to them is refused: the transmitter has stopped).
  calls_.Stop();
  // The recordings under way closed, then the open alarm events completed
  // and handed to the targets, which deliver what they can (the MQTT queue
  // file keeps the rest for the next start).
  announcements_->Stop();
  alarms_->Stop();
  forwarding_->Stop();
  log_.WriteLogLine("Program termination");
  ptt_.ClosePttPort();  // sends the release once more before closing
  log_.CloseLogFile();
  activities_.Stop();
}

namespace {

// The console's front end: nothing to show.
class ConsoleFrontEnd final : public StationFrontEnd {};

}  // namespace

int RunStation(const StationOptions& options, audio::AudioBackend& audio, tx::SerialPort& port,
               const std::function<int(int timeoutMs)>& waitForSignal, std::FILE* out,
               std::FILE* err) {
  // Under systemd: lines marked for the journal, and the notify protocol.
  JournalStream journal(err);
  err = journal.Stream();
  SystemdNotifier notifier;
  SystemWallClock wallClock;
  ConsoleActivityList activities(out);
  ConsoleMessageSink messages(err);
  PosixProcessLauncher launcher;
  ConsoleFrontEnd frontEnd;
  Station station(options, audio, port, wallClock, activities, messages, launcher, err);
  activities.OnOutputClosed([&station] {
    station.Log().WriteLogLine("Standard output closed: activity lines are no longer printed");
  });
  station.StartUp(frontEnd);
  core::SteadyTickClock watchClock;
  CaptureWatch watch(notifier, journal, watchClock, AnnounceStation(station, notifier, journal),
                     station.Recorder().AnalysedBuffers());
  LostBufferReport lost;
  // A station that could not start listening tries again this often.
  constexpr std::uint32_t kCaptureRetryMs = 10000;
  std::uint32_t lastCaptureTry = watchClock.NowMs();
  for (;;) {
    const int signo = waitForSignal(watch.CheckEveryMs());
    if (signo == SIGUSR1) {
      station.StopTransmission();
    } else if (signo == SIGUSR2 || (signo == SIGHUP && notifier.Active())) {
      // A reload (systemd's is SIGHUP; from a terminal SIGHUP means it has
      // closed): the alarm settings read again, audio goes on.
      notifier.Reloading();
      station.ReloadAlarmSettings();
      notifier.Ready("Alarm settings reloaded");
    } else if (signo != 0) {
      // The transmitter released before anything else.
      station.AbortTransmissions();
      station.Log().Report("Ending on " + SignalName(signo));
      break;
    }
    lost.ReportNew(station.Recorder(), err);
    watch.Check(station.Recorder().AnalysedBuffers());
    if (!station.Listening() &&
        core::ElapsedMs(lastCaptureTry, watchClock.NowMs()) >= kCaptureRetryMs) {
      lastCaptureTry = watchClock.NowMs();
      station.RetryCapture();
    }
  }
  notifier.Stopping();
  station.ShutDown();
  return 0;
}

}  // namespace sequelo::app
