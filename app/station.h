// The station: every part of the program wired together, with the fixed
// start-up and shut-down orders that the window and the headless command
// share. Start-up brings the parts up in this order: device lists, settings,
// log file, PTT port, tone set, "Program startup", output devices, decoder
// and capture, remote control. Shut-down: settings saved, output released,
// capture stopped, "Program termination", port restored, log closed.
//
// A front end (the window, or the console of `sequelo-cli run`) supplies the
// controls and the places where activity lines, messages, received codes and
// spectra go, and is told at the points of start-up where it has work of its
// own (filling its lists, the marker file, colouring the bars).
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/event_log.h"
#include "app/interruptible_sleeper.h"
#include "app/settings.h"
#include "audio/audio_device.h"
#include "audio/recorder.h"
#include "audio/tone_generator.h"
#include "control/call_responder.h"
#include "control/command_interpreter.h"
#include "control/ip_comm_server.h"
#include "core/selectable_decoder.h"
#include "tx/ptt_controller.h"
#include "tx/sequence_encoder.h"
#include "tx/serial_port.h"

namespace sequelo::app {

inline constexpr std::uint16_t kRemotePort = 15286;
inline constexpr std::string_view kDebugMarkerFile = "Debug.flg";

struct StationOptions {
  std::string startupDir;                  // holds Sequelo.ini, the default log, sound files
  bool analysisLog = false;                // the decoder's analysis lines to the log file
  std::uint16_t remotePort = kRemotePort;  // 0: any free port (tests)
  // Overrides the setting Decoder for this run (not saved).
  std::optional<core::DecoderChoice> decoder;
};

// The controls as the other threads (capture, remote control, a transmission
// of the window) read them while the station runs. Any thread.
class LiveControls : public control::ResponderControls {
 public:
  virtual int Mode() = 0;  // 0 ZVEI, 1 DZVEI
  virtual bool PilotTone() = 0;
  virtual bool GenerateSoundfiles() = 0;
};

// The headless front end's controls: the settings record itself, which
// nothing changes while the station runs.
class RecordControls final : public LiveControls {
 public:
  explicit RecordControls(SettingsRecord& record) : record_(record) {}
  void ShowReceivedCode(std::string_view) override {}  // the activity line shows it
  std::string OwnCode() override { return record_.Text(TextField::kOwnCode); }
  std::string OwnGroup() override { return record_.Text(TextField::kOwnGroup); }
  std::string DelayText() override { return record_.Text(TextField::kDelay); }
  int Action() override { return record_.Action(); }
  std::string FixedText() override { return record_.Text(TextField::kFixedCode); }
  std::string WaveFileToSend() override { return record_.Text(TextField::kWaveFileToSend); }
  bool PlaySoundOnRx() override { return record_.Checked(CheckBox::kPlaySoundOnRx); }
  std::string WaveFileToPlay() override { return record_.Text(TextField::kWaveFileToPlay); }
  int Mode() override { return record_.SelectedMode(); }
  bool PilotTone() override { return record_.Checked(CheckBox::kPilotTone); }
  bool GenerateSoundfiles() override { return record_.Checked(CheckBox::kGenerateSoundfiles); }

 private:
  SettingsRecord& record_;
};

// What the front end does at its points of start-up. Called on the thread
// that runs StartUp.
class StationFrontEnd {
 public:
  virtual ~StationFrontEnd() = default;
  // The controls the settings load into and save from (front end's thread).
  virtual SettingsView& Settings() = 0;
  // The controls the other threads read.
  virtual LiveControls& Live() = 0;
  // Fill the device lists (before the settings select in them).
  virtual void InputDevicesListed(const std::vector<std::string>& names) = 0;
  virtual void OutputDevicesListed(const std::vector<std::string>& names) = 0;
  // The marker file of the start-up directory exists and can be read.
  virtual void DebugMarker(bool present) { (void)present; }
  // The program values have been loaded.
  virtual void SettingsLoaded(const ProgramValues& values) { (void)values; }
  // The tone set of the selected mode is in place (colour the bars);
  // nullptr when the mode list has no selection.
  virtual void ToneSetSelected(const core::ToneSet* toneSet) { (void)toneSet; }
  // Where each buffer's spectrum goes; nullptr for none.
  virtual core::SpectrumObserver* Spectrum() { return nullptr; }
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
  // Cuts a transmission under way short at its next step, and every later
  // wait; for shut-down. Any thread.
  void AbortTransmissions();
  // Shut-down in the fixed order (after AbortTransmissions and after every
  // transmission of the front end's own has ended). Idempotent.
  void ShutDown();

  // Operator commands. The two device changes may wait (for the capture
  // thread to stop, for a transmission to end): a front end that must not
  // block runs them on another thread, one command at a time.
  void ChangeInputDevice(int selected);   // restart capture on entry `selected`
  void ChangeOutputDevice(int selected);  // open output entry `selected`
  // Decodes the selected mode from the next buffer; the tone set in use.
  const core::ToneSet* ChangeMode();
  // The Call/Execute command with the Call box's text: a '!' command
  // string, then an existing file played keyed ("File sent: %s"), then a
  // code in the first five characters ("Code sent: %s"). Blocks until the
  // transmission is over; any thread, one at a time.
  void CallExecute(const std::string& text);
  bool ToggleAnalysisLog();  // the new state
  // Which decoder reports codes, from the next buffer; saved at exit.
  void SetDecoderChoice(core::DecoderChoice choice);
  core::DecoderChoice DecoderChoice() const { return decoder_.Choice(); }
  void CalibrateIdle();  // threshold 0: calibrate on the next buffer
  bool SpectrumDisplayOn() const { return values_.spectrumDisplayOn != 0; }
  void SetSpectrumDisplayOn(bool on) { values_.spectrumDisplayOn = on ? 1 : 0; }

  const std::string& StartupDir() const { return options_.startupDir; }
  tx::PttController& Ptt() { return ptt_; }
  FileEventLog& Log() { return log_; }
  audio::Recorder& Recorder() { return recorder_; }
  core::SelectableDecoder& Decoder() { return decoder_; }
  std::uint16_t RemotePort() const { return server_ ? server_->Port() : 0; }
  bool Running() const { return started_ && !stopped_; }

 private:
  class CallOptions;
  class RemoteActions;
  class AnalysisToLog;
  class Responder;

  StationOptions options_;
  audio::AudioBackend& audio_;
  std::FILE* err_;
  FileEventLog log_;
  InterruptibleSleeper sleeper_;
  core::MessageSink& messages_;
  std::vector<audio::AudioDeviceInfo> inputs_;
  audio::ToneGenerator tones_;
  ProgramValues values_;
  tx::PttController ptt_;
  core::SteadyTickClock tickClock_;
  core::SelectableDecoder decoder_;
  StationFrontEnd* frontEnd_ = nullptr;
  std::unique_ptr<CallOptions> callOptions_;
  std::unique_ptr<tx::SequenceEncoder> encoder_;
  std::unique_ptr<control::CommandInterpreter> commands_;
  std::unique_ptr<RemoteActions> remoteActions_;
  std::unique_ptr<control::IPCommServer> server_;
  std::unique_ptr<control::CallResponder> responder_;
  std::unique_ptr<AnalysisToLog> analysisLog_;
  audio::Recorder recorder_;
  bool started_ = false;
  bool stopped_ = false;
};

// True when `dir`/Debug.flg exists and can be opened for reading.
bool DebugMarkerPresent(const std::string& dir);

// Runs the headless station until `waitForStop(ms)` returns true (called
// repeatedly with a time-out; lost audio buffers are reported between
// calls). Activity lines go to `out`, messages to `err`. Returns 0 after a
// normal shut-down.
int RunStation(const StationOptions& options, audio::AudioBackend& audio, tx::SerialPort& port,
               const std::function<bool(int timeoutMs)>& waitForStop, std::FILE* out,
               std::FILE* err);

}  // namespace sequelo::app
