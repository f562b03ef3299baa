// The station: every part of the program wired together, with the fixed
// start-up and shut-down orders that the window and the headless command
// share. Start-up brings the parts up in this order: device lists, settings,
// log file, PTT port, tone set, "Program startup", output devices, the
// transmit queue and the call events, decoder and capture, remote control.
// Shut-down: remote control stopped, transmitter stopped and released,
// settings saved, output closed, capture stopped, the last call events
// delivered, "Program termination", port released and restored, log closed.
//
// The road of a received call: the capture thread decodes and posts a call
// event; the event thread logs it and hands it to the subscribers (the
// front end, the remote client, the responder), each on a thread of its
// own. Every transmission is a job of the one transmit queue.
//
// A front end (the window, or the console of `sequelo-cli run`) shows the
// settings and edits them through the station's store, and is told at the
// points of start-up where it has work of its own.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/event_log.h"
#include "app/settings.h"
#include "audio/announcement_recorder.h"
#include "audio/audio_device.h"
#include "audio/recorder.h"
#include "audio/tone_generator.h"
#include "control/alarm_events.h"
#include "control/alarm_forwarding.h"
#include "control/call_events.h"
#include "control/call_responder.h"
#include "control/ip_comm_server.h"
#include "core/selectable_decoder.h"
#include "core/trailer_detector.h"
#include "tx/abortable_wait.h"
#include "tx/ptt_controller.h"
#include "tx/ptt_dialog.h"
#include "tx/serial_port.h"
#include "tx/transmit_queue.h"

namespace sequelo::app {

inline constexpr std::string_view kDebugMarkerFile = "Debug.flg";

struct StationOptions {
  std::string startupDir;    // holds Sequelo.ini, the default log, sound files
  bool analysisLog = false;  // the decoder's analysis lines to the log file
  std::uint16_t remotePort = control::IPCommServer::kDefaultPort;  // 0: any free port (tests)
  // Overrides the setting Decoder for this run (not saved).
  std::optional<core::DecoderChoice> decoder;
};

// What the front end does at its points of start-up. Called on the thread
// that runs StartUp.
class StationFrontEnd {
 public:
  virtual ~StationFrontEnd() = default;
  // Fill the device lists (before the settings choose in them).
  virtual void InputDevicesListed(const std::vector<std::string>& names) { (void)names; }
  virtual void OutputDevicesListed(const std::vector<std::string>& names) { (void)names; }
  // The marker file of the start-up directory exists and can be read.
  virtual void DebugMarker(bool present) { (void)present; }
  // The settings have been loaded: show them.
  virtual void SettingsLoaded(const Settings& settings) { (void)settings; }
  // The tone set of the selected mode is in place (colour the bars);
  // nullptr when no mode is chosen.
  virtual void ToneSetSelected(const core::ToneSet* toneSet) { (void)toneSet; }
  // Where each buffer's spectrum goes; nullptr for none.
  virtual core::SpectrumObserver* Spectrum() { return nullptr; }
  // The front end's own view of received calls (the "Received code" box);
  // nullptr for none.
  virtual control::CallSubscriber* Calls() { return nullptr; }
};

class Station {
 public:
  // Everything handed in must outlive the station.
  Station(const StationOptions& options, audio::AudioBackend& audio, tx::SerialPort& port,
          WallClock& wallClock, ActivityList& activities, core::MessageSink& messages,
          ProcessLauncher& launcher, std::FILE* err);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Start-up in the fixed order. No step stops it: each reports its own
  // failure (capture and remote control on `err`).
  void StartUp(StationFrontEnd& frontEnd);
  // True while capture runs.
  bool Listening() const { return recorder_.IsRunning(); }
  // Capture that could not start (a sound server too busy to answer in
  // time) is started again on the chosen input; true when it runs.
  bool RetryCapture();
  // Cuts the transmission under way short and drops the waiting ones; the
  // transmitter is released at once. Any thread.
  void AbortTransmissions();
  // The operator's "Stop transmission" (the menu, SIGUSR1): the same, and
  // logged. Any thread.
  void StopTransmission();
  // Shut-down in the fixed order. Idempotent.
  void ShutDown();

  // Operator commands, from the front end's thread. The device changes and
  // CallExecute wait (for capture to restart, for the transmitter): a front
  // end that must not block runs them on another thread, one at a time.
  void ChangeInputDevice(int selected);   // restart capture on entry `selected`
  void ChangeOutputDevice(int selected);  // open output entry `selected`
  // Decodes `mode` from the next buffer (kNone keeps the tone set in use);
  // the tone set in use.
  const core::ToneSet* ChangeMode(Mode mode);
  // The Call/Execute command with the Call box's text: a '!' command
  // string, then an existing file sent keyed ("File sent: %s"), then a code
  // in the first five characters ("Code sent: %s"). Returns once the
  // transmission is over.
  void CallExecute(const std::string& text);
  // The PTT dialog's OK: the new settings applied and the port re-opened,
  // between two transmissions.
  void ApplyPttDialog(const tx::PttDialogState& state);
  bool ToggleAnalysisLog();  // the new state
  // Reads the alarm settings (station name, windows, recording, forwarding
  // targets) from the settings file again and puts them in place; capture
  // and decoding go on. The trailer tones take effect at the next start.
  void ReloadAlarmSettings();
  // Puts edited alarm settings in place (the window's dialog).
  void ApplyAlarmSettings(const control::AlarmSettings& alarms);
  // Sends a test event (code "TEST", class "test message") to every
  // forwarding target, and logs which.
  void SendTestAlarm();
  // Which decoder reports codes, from the next buffer; saved at exit.
  void SetDecoderChoice(core::DecoderChoice choice);
  core::DecoderChoice DecoderChoice() const { return decoder_.Choice(); }
  void CalibrateIdle();  // threshold 0: calibrate on the next buffer
  bool SpectrumDisplayOn() const { return store_.Snapshot()->spectrumDisplay; }
  void SetSpectrumDisplayOn(bool on) {
    store_.Update([on](Settings& s) { s.spectrumDisplay = on; });
  }

  // The settings while the station runs: front ends write each edit here.
  SettingsStore& Store() { return store_; }
  const std::string& StartupDir() const { return options_.startupDir; }
  tx::PttController& Ptt() { return ptt_; }
  FileEventLog& Log() { return log_; }
  audio::Recorder& Recorder() { return recorder_; }
  core::SelectableDecoder& Decoder() { return decoder_; }
  tx::TransmitQueue& Transmitter() { return transmitter_; }
  control::CallEventBus& Calls() { return calls_; }
  control::AlarmEvents* Alarms() { return alarms_.get(); }
  std::uint16_t RemotePort() const { return server_ ? server_->Port() : 0; }
  bool Running() const { return started_ && !stopped_; }
  // What a call sent now goes out with (tone set, pilot, own code, trailer
  // table).
  tx::CallOptions CurrentCallOptions() const;

 private:
  class CallsToBus;
  class RemoteActions;
  class RemoteSubscriber;
  class AnalysisToLog;
  class TrailersToAlarms;

  // Logs that the enhanced decoder reports when the standard one was chosen
  // for a set it does not know.
  void NoteDecoder();
  void StartRemoteControl(const control::RemoteAccess& access);
  void StartAlarmEvents(const control::AlarmSettings& alarms);
  // The capture thread: decoders, the trailer detector, the recorder.
  void AnalyseCapture(core::CaptureBuffer buffer);

  StationOptions options_;
  audio::AudioBackend& audio_;
  std::FILE* err_;
  QueuedActivityList activities_;
  FileEventLog log_;
  core::MessageSink& messages_;
  SettingsStore store_;
  std::vector<audio::AudioDeviceInfo> inputs_;
  audio::ToneGenerator tones_;
  tx::AbortableWait wait_;
  tx::HamlibRig rig_;  // keying through Hamlib, when the settings ask for it
  tx::PttController ptt_;
  core::SteadyTickClock tickClock_;
  core::SelectableDecoder decoder_;
  tx::TransmitQueue transmitter_;
  control::CallEventBus calls_;
  control::AlertPlayer alerts_;
  StationFrontEnd* frontEnd_ = nullptr;
  std::unique_ptr<CallsToBus> callsToBus_;
  std::unique_ptr<control::CallResponder> responder_;
  std::unique_ptr<RemoteActions> remoteActions_;
  std::unique_ptr<control::IPCommServer> server_;
  std::unique_ptr<RemoteSubscriber> remoteSubscriber_;
  std::unique_ptr<AnalysisToLog> analysisLog_;
  // Alarm events: what follows a call (on the capture thread), the
  // recordings, the forwarding targets.
  std::unique_ptr<control::AlarmForwarding> forwarding_;
  std::unique_ptr<control::AlarmEvents> alarms_;
  std::unique_ptr<audio::AnnouncementRecorder> announcements_;
  std::unique_ptr<TrailersToAlarms> trailersToAlarms_;
  std::unique_ptr<core::TrailerDetector> trailers_;
  std::atomic<bool> recording_{false};  // read by the capture thread
  audio::Recorder recorder_;
  // Read by other threads (a signal's watcher, the operator's stop).
  std::atomic<bool> started_{false};
  std::atomic<bool> stopped_{false};
};

// True when `dir`/Debug.flg exists and can be opened for reading.
bool DebugMarkerPresent(const std::string& dir);

// Runs the headless station until `waitForSignal(ms)` returns a signal that
// ends it (called repeatedly with a time-out; lost audio buffers are
// reported between calls): the transmitter is released first, then the
// station shut down. SIGUSR1 stops the transmission and goes on. Activity
// lines go to `out` (printing stops if its reader goes away), messages to
// `err`. Returns 0 after a normal shut-down.
int RunStation(const StationOptions& options, audio::AudioBackend& audio, tx::SerialPort& port,
               const std::function<int(int timeoutMs)>& waitForSignal, std::FILE* out,
               std::FILE* err);

}  // namespace sequelo::app
