// The main window: the station's controls, the spectrum bars, the activity
// list and the menus. It starts the station when it comes up and shuts it
// down when it closes ("Exit" and the close box alike).
//
// Threads: only the window thread touches widgets. The capture thread
// publishes spectra into a lock-free feed that a timer reads (stale spectra
// are dropped, the capture thread never waits); activity lines and received
// codes are queued to the window thread in order. A call, command string or
// wave file sent from the window runs beside it: the window keeps painting
// and showing activity but takes no operator input until it has ended.
#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QTimer>
#include <array>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "app/bar_display.h"
#include "app/listen_command.h"
#include "app/station.h"
#include "app/window/dialog_units.h"
#include "app/window/window_bridge.h"

class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace sequelo::app {

class SpectrumBar;

inline constexpr std::string_view kProgramVersion = "V1.3a";
// "Extras" > "Enhanced decoder"
inline constexpr int kEnhancedDecoderItem = 40014;
inline constexpr int kStopTransmissionItem = 40016;
inline constexpr int kAlarmSettingsItem = 40018;
inline constexpr int kSendAlarmItem = 40019;

// The services the window runs on; tests hand in fakes.
struct WindowServices {
  audio::AudioBackend* audio = nullptr;
  tx::SerialPort* port = nullptr;
  WallClock* wallClock = nullptr;
  ProcessLauncher* launcher = nullptr;
  // Message boxes; empty: the desktop's message box.
  MessagePresenter presenter;
  // The open-file chooser: a path, or empty when cancelled; empty function:
  // the desktop's chooser ("Select wave file", "WAV File (*.wav)").
  std::function<std::string()> chooseWaveFile;
  // Lists the serial devices for the PTT dialog; empty: none.
  std::function<std::vector<std::string>()> serialDevices;
  std::FILE* err = stderr;
};

class MainWindow final : public QMainWindow, private StationFrontEnd {
 public:
  MainWindow(const StationOptions& options, WindowServices services);
  ~MainWindow() override;

  // Brings the station up; the window shows it whether shown or not.
  void StartUp();

  // The control or menu item with a given id (nullptr if none).
  QWidget* Control(int id) const;
  QAction* MenuItem(int id) const;
  SpectrumBar* Bar(int bar) const;  // 1..31
  Station& GetStation() { return *station_; }
  BarFeed& Feed() { return feed_; }
  WindowMessageSink& MessageBoxes() { return *messages_; }

  // The operator's commands, as the controls and menu run them.
  void CallExecute();
  void ChangeInputDevice();   // restart capture on the selected input device
  void ChangeOutputDevice();  // open the selected output device
  // The chooser for one of the two wave-file fields (waveToPlay_ or
  // waveToSend_); a file the program cannot play is refused.
  void ChooseWaveFile(QLineEdit* target);
  void ShowAboutBox();
  void ShowPttDialog();
  void ShowAlarmDialog();
  void ShowSendAlarmDialog();
  // Paints the newest spectrum from the feed now (the timer does it
  // regularly).
  void PaintNewestSpectrum();

  // The dialog units the controls are placed in.
  const DialogUnits& Units() const { return units_; }
  bool Busy() const { return busy_; }
  bool ShutDownDone() const { return shutDown_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // StationFrontEnd
  void InputDevicesListed(const std::vector<std::string>& names) override;
  void OutputDevicesListed(const std::vector<std::string>& names) override;
  void DebugMarker(bool present) override;
  void SettingsLoaded(const Settings& settings) override;
  void ToneSetSelected(const core::ToneSet* toneSet) override { ColourBars(toneSet); }
  core::SpectrumObserver* Spectrum() override { return &feed_; }
  control::CallSubscriber* Calls() override { return receivedBox_.get(); }

  void BuildControls();
  void BuildMenus();
  void ColourBars(const core::ToneSet* toneSet);  // nullptr: no mode selected
  // Runs `work` beside the window: the window keeps painting and serving
  // message boxes but takes no operator input until it has ended.
  void RunBusy(const std::function<void()>& work);
  bool PresentMessage(bool question, const std::string& text, const std::string& caption);
  // Ends every dialog the window has open (stop request under a dialog).
  void EndOpenDialogs();
  // Each edit of a control goes into the station's settings at once.
  void ConnectEdits();
  void Edit(const std::function<void(Settings&)>& edit) { station_->Store().Update(edit); }
  void ToggleSpectrumDisplay();
  void ShutDown();

  StationOptions options_;
  WindowServices services_;
  BarFeed feed_;
  QTimer barTimer_;
  QTimer lostTimer_;
  LostBufferReport lostBuffers_;
  DialogUnits units_{1, 1};
  bool busy_ = false;
  bool closeRequested_ = false;
  int lastInput_ = -1;  // selections as last acted on
  int lastOutput_ = -1;
  int lastMode_ = -1;
  bool shutDown_ = false;

  // Widgets (owned by the window).
  QComboBox* mode_ = nullptr;
  QComboBox* inputDevice_ = nullptr;
  QComboBox* outputDevice_ = nullptr;
  QLineEdit* ownCode_ = nullptr;
  QLineEdit* ownGroup_ = nullptr;
  QLineEdit* receivedCode_ = nullptr;
  QCheckBox* playOnRx_ = nullptr;
  QLineEdit* waveToPlay_ = nullptr;
  QButtonGroup* response_ = nullptr;
  QLineEdit* fixedCode_ = nullptr;
  QLineEdit* waveToSend_ = nullptr;
  QLineEdit* delay_ = nullptr;
  QComboBox* callBox_ = nullptr;
  QCheckBox* pilotTone_ = nullptr;
  QCheckBox* generateSoundfiles_ = nullptr;
  QPushButton* callButton_ = nullptr;
  QListWidget* activities_ = nullptr;
  std::array<SpectrumBar*, kBarCount> bars_{};
  QAction* analysisLogItem_ = nullptr;
  QAction* calibrateItem_ = nullptr;
  QAction* stopItem_ = nullptr;
  QAction* spectrumItem_ = nullptr;
  QAction* enhancedItem_ = nullptr;

  std::unique_ptr<ReceivedCodeBox> receivedBox_;
  std::unique_ptr<WindowActivityList> activityList_;
  std::unique_ptr<WindowMessageSink> messages_;
  std::unique_ptr<Station> station_;
};

// The "About" box: the program name and "Version V1.3a"; only its OK
// button closes it (Escape and the close box do nothing).
class AboutBox final : public QDialog {
 public:
  explicit AboutBox(QWidget* parent = nullptr);
  void reject() override {}  // Escape and the close box
};

}  // namespace sequelo::app
