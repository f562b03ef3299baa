// The desktop window, headless (offscreen): its controls and menus, the
// operator's commands, the spectrum bars, the dialogs, the settings it keeps,
// calls received through the Loopback devices, and a clean shut-down while
// other threads are busy.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "app/bar_display.h"
#include "app/window/bar_meter.h"
#include "app/window/control_ids.h"
#include "app/window/main_window.h"
#include "app/window/ptt_dialog_window.h"
#include "audio/audio_system.h"
#include "core/tone_set.h"
#include "tests/support/fakes.h"
#include "tests/support/temp_dir.h"

namespace sequelo::app {
namespace {

using testsupport::FakeSerialPort;
using testsupport::ReadFileText;
using testsupport::ScopedTempDir;

// A serial port that notes, when it is opened and when it is restored, what
// the station had done by then: the start-up and shut-down orders.
class ObservingPort final : public tx::SerialPort {
 public:
  explicit ObservingPort(std::function<std::string()> observe) : observe_(std::move(observe)) {}
  bool Open(const std::string& device) override {
    atOpen.push_back(observe_());
    return fake.Open(device);
  }
  bool IsOpen() const override { return fake.IsOpen(); }
  bool Configure(const tx::SerialConfig& config) override { return fake.Configure(config); }
  bool Write(std::span<const std::uint8_t> bytes) override { return fake.Write(bytes); }
  bool SetLine(tx::ModemLine line, bool on) override { return fake.SetLine(line, on); }
  void RestoreAndClose() override {
    atClose.push_back(observe_());
    fake.RestoreAndClose();
  }
  std::string Error() const override { return fake.Error(); }

  FakeSerialPort fake;
  std::vector<std::string> atOpen;
  std::vector<std::string> atClose;

 private:
  std::function<std::string()> observe_;
};

class FixedClock final : public WallClock {
 public:
  LocalTime Now() override { return {2026, 12, 7, 10, 0, 0, 0}; }
};

class NoLauncher final : public ProcessLauncher {
 public:
  bool StartDetached(const std::vector<std::string>&) override { return true; }
};

// Processes window events until `done` holds or `ms` have passed.
bool WaitFor(const std::function<bool()>& done, int ms = 8000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) {
      return false;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Runs `action` on the next modal dialog once it is open.
void OnNextModal(std::function<void(QWidget*)> action) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, action] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      timer->stop();
      timer->deleteLater();
      action(modal);
    }
  });
  timer->start();
}

// A client of the remote control: connects, sends lines, reads.
class RemoteClientSocket {
 public:
  explicit RemoteClientSocket(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RemoteClientSocket() { ::close(fd_); }
  bool Send(const std::string& line) {
    const std::string data = line + "\r\n";
    return connected_ &&
           ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

class WindowTest : public ::testing::Test {
 protected:
  void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(dir_.Path(name), std::ios::binary) << text;
  }
  std::string Log() const { return ReadFileText(dir_.Path("Sequelo.log")); }
  std::string Ini() const { return ReadFileText(dir_.Path("Sequelo.ini")); }

  void Start() {
    WindowServices s;
    s.audio = &audio_;
    s.port = &observing_;
    s.wallClock = &clock_;
    s.launcher = &launcher_;
    s.presenter = [this](bool question, const std::string& text, const std::string& caption) {
      {
        std::lock_guard lock(mutex_);
        messages_.push_back(caption + ": " + text);
      }
      if (whileBoxOpen_) {
        // A box the operator leaves open: its own loop runs until closed.
        QEventLoop box;
        QTimer::singleShot(0, [this, &box] {
          whileBoxOpen_();
          box.quit();
        });
        box.exec();
      }
      return question && answerOk_;
    };
    s.chooseWaveFile = [this] { return chosenFile_; };
    s.err = stderr_ = std::tmpfile();
    StationOptions options;
    options.startupDir = dir_.path().string();
    options.remotePort = 0;
    window_ = std::make_unique<MainWindow>(options, s);
    window_->StartUp();
  }
  void TearDown() override {
    window_.reset();
    if (stderr_ != nullptr) {
      std::fclose(stderr_);
    }
  }

  template <typename T>
  T* C(int id) {
    T* control = qobject_cast<T*>(window_->Control(id));
    EXPECT_NE(control, nullptr) << "control " << id;
    return control;
  }
  std::vector<std::string> Activities() {
    std::vector<std::string> lines;
    auto* list = C<QListWidget>(1035);
    for (int i = 0; i < list->count(); ++i) {
      lines.push_back(list->item(i)->text().toStdString());
    }
    return lines;
  }
  bool ActivityShows(const std::string& text) {
    for (const auto& l : Activities()) {
      if (l.find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }
  void SetCall(const std::string& text) {
    C<QComboBox>(1001)->setCurrentText(QString::fromStdString(text));
  }
  std::vector<std::string> Messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

  ScopedTempDir dir_;
  audio::AudioSystem audio_{nullptr};  // the Loopback devices only
  // What the station had done: settings file, log file, capture running.
  std::string Observe() {
    std::string state = "ini:" + std::to_string(std::filesystem::exists(dir_.Path("Sequelo.ini")));
    if (window_) {
      state += " log:" + ReadFileText(window_->GetStation().Log().LogPath());
      state += " capture:" + std::to_string(window_->GetStation().Recorder().IsRunning());
    }
    return state;
  }
  ObservingPort observing_{[this] { return Observe(); }};
  FakeSerialPort& port_ = observing_.fake;
  FixedClock clock_;
  NoLauncher launcher_;
  std::mutex mutex_;
  std::vector<std::string> messages_;
  bool answerOk_ = false;
  std::string chosenFile_;
  std::function<void()> whileBoxOpen_;
  std::FILE* stderr_ = nullptr;
  std::unique_ptr<MainWindow> window_;
};

bool BandColoured(MainWindow& w, int first, int last);

struct ControlRow {
  int id;
  const char* kind;
  const char* caption;
  int x, y, w, h;
};

// Every control of the main window: id, kind, caption, place (dialog units).
const ControlRow kControls[] = {
    {1028, "QLabel", "Mode", 14, 16, 18, 8},
    {1029, "QComboBox", "", 35, 14, 44, 0},
    {1034, "QLabel", "0 kHz", 27, 76, 18, 8},
    {1157, "QLabel", "3 kHz", 195, 77, 18, 8},
    {1021, "QLabel", "Input device", 16, 93, 41, 8},
    {1020, "QComboBox", "", 68, 91, 127, 0},
    {1003, "QLabel", "Own code", 15, 110, 33, 8},
    {1005, "QLineEdit", "", 68, 107, 31, 13},
    {1004, "QLabel", "Own group", 124, 109, 36, 8},
    {1019, "QLineEdit", "", 164, 107, 31, 13},
    {1026, "QLabel", "Received code", 15, 127, 48, 8},
    {1027, "QLineEdit", "", 67, 124, 32, 13},
    {1015, "QCheckBox", " Play sound on RX", 16, 142, 73, 10},
    {1016, "QLineEdit", "", 89, 141, 106, 13},
    {1017, "QPushButton", "...", 198, 141, 28, 13},
    {1023, "QLabel", "Output device", 16, 167, 46, 8},
    {1022, "QComboBox", "", 68, 165, 127, 0},
    {1024, "QLabel", "On receiption of own code do:", 16, 182, 98, 8},
    {1008, "QRadioButton", "Nothing", 16, 195, 41, 10},
    {1009, "QRadioButton", "Send own code", 16, 209, 65, 10},
    {1010, "QRadioButton", "Send fixed", 16, 224, 50, 10},
    {1025, "QLineEdit", "", 84, 222, 110, 13},
    {1011, "QRadioButton", "Send sound", 16, 239, 67, 10},
    {1012, "QLineEdit", "", 84, 238, 110, 13},
    {1013, "QPushButton", "...", 197, 238, 28, 13},
    {1007, "QLabel", "Delay", 16, 257, 19, 8},
    {1006, "QLineEdit", "", 35, 255, 31, 13},
    {1014, "QLabel", "ms", 69, 257, 10, 8},
    {1002, "QLabel", "Call", 14, 279, 12, 8},
    {1001, "QComboBox", "", 29, 277, 192, 13},
    {1030, "QCheckBox", "TX pilot tone (VOX)", 15, 294, 77, 10},
    {1031, "QCheckBox", "Generate code soundfiles", 15, 305, 97, 10},
    {1018, "QPushButton", "C a l l   /   E x e c u t e", 113, 294, 109, 22},
    {1035, "QListWidget", "", 240, 17, 187, 297},
};

std::string Caption(QWidget* w) {
  if (auto* l = qobject_cast<QLabel*>(w)) {
    return l->text().toStdString();
  }
  if (auto* b = qobject_cast<QAbstractButton*>(w)) {
    return b->text().toStdString();
  }
  return "";
}

TEST_F(WindowTest, EveryControlStandsWithItsIdKindCaptionAndPlace) {
  Start();
  EXPECT_EQ(window_->windowTitle().toStdString(), "Sequelo");
  const DialogUnits& du = window_->Units();
  EXPECT_EQ(window_->centralWidget()->size(), QSize(du.X(440), du.Y(327)));
  std::vector<QWidget*> controls;
  for (const ControlRow& row : kControls) {
    QWidget* w = window_->Control(row.id);
    ASSERT_NE(w, nullptr) << row.id;
    EXPECT_STREQ(w->metaObject()->className(), row.kind) << row.id;
    EXPECT_EQ(Caption(w), row.caption) << row.id;
    EXPECT_EQ(w->x(), du.X(row.x)) << row.id;
    EXPECT_EQ(w->y(), du.Y(row.y)) << row.id;
    EXPECT_GE(w->width(), du.X(row.x + row.w) - du.X(row.x)) << row.id;
    if (qobject_cast<QPushButton*>(w)) {
      const int text = w->fontMetrics().horizontalAdvance(QString::fromUtf8(row.caption));
      EXPECT_LE(text + 8, w->width()) << "caption cut: " << row.id;
    } else if (qobject_cast<QLabel*>(w) || qobject_cast<QAbstractButton*>(w)) {
      EXPECT_LE(w->sizeHint().width(), w->width()) << "caption cut: " << row.id;
    }
    controls.push_back(w);
  }
  for (std::size_t i = 0; i < controls.size(); ++i) {
    for (std::size_t j = i + 1; j < controls.size(); ++j) {
      EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry()))
          << kControls[i].id << " overlaps " << kControls[j].id;
    }
  }
  // The 31 bars: 1033, then 1126..1155, side by side.
  for (int k = 1; k <= kBarCount; ++k) {
    SpectrumBar* bar = window_->Bar(k);
    ASSERT_EQ(bar, window_->Control(k == 1 ? 1033 : 1124 + k));
    EXPECT_EQ(bar->geometry(), du.Rect(25 + 6 * (k - 1), 36, 6, 38)) << k;
  }
  // The field kinds.
  EXPECT_TRUE(C<QLineEdit>(1027)->isReadOnly());
  EXPECT_TRUE(C<QLineEdit>(1016)->isReadOnly());
  EXPECT_TRUE(C<QLineEdit>(1012)->isReadOnly());
  EXPECT_FALSE(C<QLineEdit>(1025)->isReadOnly());
  for (int id : {1005, 1019, 1006}) {
    auto* e = C<QLineEdit>(id);
    EXPECT_NE(e->validator(), nullptr) << id;
    QTest::keyClicks(e, "4a2");
    EXPECT_EQ(e->text().right(2).toStdString(), "42") << "digits only: " << id;
  }
  EXPECT_TRUE(C<QLineEdit>(1005)->alignment() & Qt::AlignHCenter);
  EXPECT_TRUE(C<QLineEdit>(1006)->alignment() & Qt::AlignRight);
  EXPECT_TRUE(C<QComboBox>(1001)->isEditable());
  EXPECT_FALSE(C<QComboBox>(1029)->isEditable());
  EXPECT_EQ(C<QComboBox>(1029)->itemText(0).toStdString(), "ZVEI");
  EXPECT_EQ(C<QComboBox>(1029)->itemText(1).toStdString(), "DZVEI");
  // The response buttons are one group.
  C<QRadioButton>(1010)->click();
  C<QRadioButton>(1009)->click();
  EXPECT_TRUE(C<QRadioButton>(1009)->isChecked());
  EXPECT_FALSE(C<QRadioButton>(1010)->isChecked());
  EXPECT_FALSE(C<QRadioButton>(1008)->isChecked());
  // The received code: red on light green.
  const QPalette p = C<QLineEdit>(1027)->palette();
  EXPECT_EQ(p.color(QPalette::Base), QColor(196, 255, 196));
  EXPECT_EQ(p.color(QPalette::Text), QColor(255, 0, 0));
  // Group frames, one titled "Activities".
  int frames = 0;
  bool activities = false;
  for (auto* g : window_->findChildren<QGroupBox*>()) {
    ++frames;
    activities = activities || g->title() == "Activities";
  }
  EXPECT_EQ(frames, 5);
  EXPECT_TRUE(activities);
}

TEST_F(WindowTest, StartUpAndShutDownKeepTheirOrder) {
  WriteFile("Sequelo.ini",
            "[Sequelo]\r\nUsePTTControl=1\r\nLogPath=" + dir_.Path("my.log") + "\r\n");
  Start();
  // The port opens after the settings are loaded and the log file is open
  // (at the path the settings gave), before "Program startup" and capture.
  ASSERT_EQ(observing_.atOpen.size(), 1u);
  EXPECT_EQ(observing_.atOpen[0], "ini:1 log: capture:0");
  EXPECT_TRUE(std::filesystem::exists(dir_.Path("my.log")));
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("Sequelo.log")));
  EXPECT_TRUE(window_->GetStation().Recorder().IsRunning());
  std::filesystem::remove(dir_.Path("Sequelo.ini"));
  window_->close();
  // Restored after the settings were saved, capture stopped and the
  // termination written; the log is closed after it.
  ASSERT_EQ(observing_.atClose.size(), 1u);
  const std::string& atClose = observing_.atClose[0];
  EXPECT_EQ(atClose.substr(0, 6), "ini:1 ");
  EXPECT_NE(atClose.find("Program termination\r\n capture:0"), std::string::npos) << atClose;
  const std::string log = ReadFileText(dir_.Path("my.log"));
  EXPECT_EQ(log.substr(log.size() - 21), "Program termination\r\n");
}

TEST_F(WindowTest, NoModeSelectedColoursEveryBarOutsideAndStillSwitches) {
  WriteFile("Sequelo.ini", "[Sequelo]\r\nMode=7\r\n");
  Start();
  EXPECT_EQ(C<QComboBox>(1029)->currentIndex(), -1);
  EXPECT_TRUE(BandColoured(*window_, 0, -1));
  window_->MenuItem(40010)->trigger();
  EXPECT_EQ(window_->Bar(1)->Background(), QColor(64, 64, 64));
  EXPECT_EQ(window_->Bar(1)->BarColour(), QColor(64, 64, 64));
}

TEST_F(WindowTest, MenusAndTheirInitialStatesWithoutMarkerFile) {
  Start();
  const std::pair<int, const char*> items[] = {
      {40003, "Delete logfile"},     {40001, "Exit"},
      {40010, "Spectrum Display"},   {40004, "Logfile"},
      {40006, "Log Audio Analysis"}, {40008, "Calibrate Log Audio Idle"},
      {40012, "PTT Control"},        {40002, "About"}};
  for (const auto& [id, text] : items) {
    QAction* a = window_->MenuItem(id);
    ASSERT_NE(a, nullptr) << id;
    EXPECT_EQ(a->text().toStdString(), text);
  }
  EXPECT_FALSE(window_->MenuItem(40006)->isEnabled());
  EXPECT_FALSE(window_->MenuItem(40008)->isEnabled());
  EXPECT_TRUE(window_->MenuItem(40012)->isEnabled());
  EXPECT_TRUE(window_->MenuItem(40010)->isChecked());  // default on
}

TEST_F(WindowTest, MarkerFileEnablesAnalysisItems) {
  WriteFile("Debug.flg", "");
  WriteFile("Sequelo.ini", "[Sequelo]\r\nSpectrumDisplay=0\r\n");
  Start();
  QAction* analysis = window_->MenuItem(40006);
  EXPECT_TRUE(analysis->isEnabled());
  EXPECT_FALSE(analysis->isChecked());
  EXPECT_TRUE(window_->MenuItem(40008)->isEnabled());
  EXPECT_FALSE(window_->MenuItem(40010)->isChecked());
  analysis->trigger();
  EXPECT_TRUE(analysis->isChecked());
  EXPECT_TRUE(window_->GetStation().Decoder().AnalysisLogOn());
  analysis->trigger();
  EXPECT_FALSE(window_->GetStation().Decoder().AnalysisLogOn());
  window_->MenuItem(40008)->trigger();
  EXPECT_EQ(window_->GetStation().Decoder().Standard().Detector().Threshold(), 0.0);
}

bool BandColoured(MainWindow& w, int first, int last) {
  for (int k = 1; k <= kBarCount; ++k) {
    const bool in = k >= first && k <= last;
    const QColor bg = in ? QColor(250, 240, 190) : QColor(64, 64, 64);
    const QColor bar = in ? QColor(0, 128, 0) : QColor(128, 128, 128);
    if (w.Bar(k)->Background() != bg || w.Bar(k)->BarColour() != bar ||
        w.Bar(k)->Maximum() != kBarFullScale) {
      return false;
    }
  }
  return true;
}

TEST_F(WindowTest, ModeChangeRecoloursTheBandAndSwitchDarkensTheBars) {
  Start();
  EXPECT_TRUE(BandColoured(*window_, 11, 29));
  auto* mode = C<QComboBox>(1029);
  mode->setCurrentIndex(1);
  Q_EMIT mode->activated(1);
  EXPECT_TRUE(BandColoured(*window_, 10, 25));
  EXPECT_EQ(window_->GetStation().Decoder().CurrentToneSet(), core::BuiltInToneSet(1));

  // Positions: a bin at ten times the band mean fills its bar, one at the
  // mean shows a tenth.
  core::Spectrum s{};
  s.mean = 50.0;
  s.magnitude[3] = 500.0;
  s.magnitude[4] = 50.0;
  s.magnitude[5] = 5000.0;
  window_->Feed().OnSpectrum(s);
  window_->PaintNewestSpectrum();
  EXPECT_EQ(window_->Bar(3)->Position(), kBarFullScale);
  EXPECT_EQ(window_->Bar(4)->Position(), 3276);
  EXPECT_EQ(window_->Bar(5)->Position(), kBarFullScale);
  EXPECT_EQ(window_->Bar(6)->Position(), 0);

  window_->MenuItem(40010)->trigger();  // off
  EXPECT_FALSE(window_->MenuItem(40010)->isChecked());
  for (int k = 1; k <= kBarCount; ++k) {
    EXPECT_EQ(window_->Bar(k)->Background(), QColor(64, 64, 64));
    EXPECT_EQ(window_->Bar(k)->BarColour(), QColor(64, 64, 64));
  }
  s.magnitude[3] = 0.0;
  window_->Feed().OnSpectrum(s);
  window_->PaintNewestSpectrum();
  EXPECT_EQ(window_->Bar(3)->Position(), kBarFullScale) << "frozen while off";
  window_->MenuItem(40010)->trigger();  // on again
  EXPECT_TRUE(BandColoured(*window_, 10, 25));
  window_->Feed().OnSpectrum(s);
  window_->PaintNewestSpectrum();
  EXPECT_EQ(window_->Bar(3)->Position(), 0) << "follows the next buffer";
}

TEST_F(WindowTest, CallExecuteSendsCodesAndTheLoopbackReceivesThem) {
  Start();
  SetCall("12345 - Test Code");
  window_->CallExecute();
  EXPECT_FALSE(window_->Busy());
  EXPECT_TRUE(WaitFor([&] { return ActivityShows("Code sent: 12345 - Test Code"); }));
  EXPECT_NE(Log().find("Code sent: 12345 - Test Code\r\n"), std::string::npos);
  // Sent on the Loopback output, heard on the Loopback input.
  EXPECT_TRUE(WaitFor([&] { return C<QLineEdit>(1027)->text() == "12345"; }));
  EXPECT_TRUE(WaitFor([&] { return ActivityShows("Code received: 12345"); })) << Log();

  SetCall("12345");
  window_->CallExecute();
  EXPECT_NE(Log().find("Code sent: 12345\r\n"), std::string::npos);

  // Neither a command, nor a file, nor a code: nothing at all.
  // Heard back a second time (maybe before "Code sent" was written).
  ASSERT_TRUE(WaitFor([&] {
    const std::string log = Log();
    const auto first = log.find("Code received: 12345\r\n");
    return first != std::string::npos &&
           log.find("Code received: 12345\r\n", first + 1) != std::string::npos;
  }));
  QCoreApplication::processEvents();
  const std::string before = Log();
  const auto shown = Activities().size();
  for (const std::string& text : {std::string("1234"), dir_.Path("missing.wav")}) {
    SetCall(text);
    window_->CallExecute();
  }
  QCoreApplication::processEvents();
  EXPECT_EQ(Log(), before) << "1234 and a missing file: nothing happens";
  EXPECT_EQ(Activities().size(), shown);
}

TEST_F(WindowTest, CallExecuteRunsCommandStringsAndPlaysWaveFilesKeyed) {
  WriteFile("Sequelo.ini", "[Sequelo]\r\nUsePTTControl=1\r\nCAT=0\r\nRTS=1\r\n");
  Start();
  ASSERT_TRUE(port_.IsOpen());
  // "!X": the interpreter's own lines, nothing of the Call button's.
  SetCall("!X");
  window_->CallExecute();
  EXPECT_NE(Log().find("Command PTT on"), std::string::npos);
  EXPECT_EQ(Log().find("sent:"), std::string::npos);

  // Write a call's sound file, then send that file from the Call box.
  C<QCheckBox>(1031)->setChecked(true);
  SetCall("54321");
  window_->CallExecute();
  C<QCheckBox>(1031)->setChecked(false);
  const std::string file = dir_.Path("54321_ZVEI.wav");
  ASSERT_TRUE(std::filesystem::exists(file)) << Log();
  ASSERT_TRUE(WaitFor([&] { return C<QLineEdit>(1027)->text() == "54321"; }));
  C<QLineEdit>(1027)->clear();
  const std::size_t keyed = port_.lines.size();
  SetCall(file);
  window_->CallExecute();
  EXPECT_NE(Log().find("File sent: " + file + "\r\n"), std::string::npos);
  ASSERT_GE(port_.lines.size(), keyed + 2);
  EXPECT_EQ(port_.lines[keyed], (FakeSerialPort::LineChange{tx::ModemLine::kRts, true}));
  EXPECT_EQ(port_.lines.back(), (FakeSerialPort::LineChange{tx::ModemLine::kRts, false}));
  EXPECT_TRUE(WaitFor([&] { return C<QLineEdit>(1027)->text() == "54321"; }))
      << "the file's call is heard";

  // An existing file that is no wave file: refused, and logged all the same.
  WriteFile("notes.txt", "not a wave file");
  SetCall(dir_.Path("notes.txt"));
  window_->CallExecute();
  EXPECT_NE(Log().find("File sent: " + dir_.Path("notes.txt")), std::string::npos);
  EXPECT_EQ(Messages().back(), "Sequelo: File format not supported.");
}

TEST_F(WindowTest, EnhancedDecoderItemSwitchesTheDecoderAndIsSaved) {
  Start();
  QAction* item = window_->MenuItem(kEnhancedDecoderItem);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->text().toStdString(), "Enhanced decoder");
  EXPECT_TRUE(item->isCheckable());
  EXPECT_FALSE(item->isChecked());
  item->trigger();
  EXPECT_EQ(window_->GetStation().DecoderChoice(), core::DecoderChoice::kEnhanced);
  // A call through the Loopback devices, now heard by the enhanced decoder.
  SetCall("13579");
  window_->CallExecute();
  EXPECT_TRUE(WaitFor([&] { return C<QLineEdit>(1027)->text() == "13579"; }));
  EXPECT_GE(window_->GetStation().Decoder().Enhanced().CodesReported(), 1u);
  window_->close();
  EXPECT_NE(Ini().find("\r\nDecoder=1\r\n"), std::string::npos);
}

TEST_F(WindowTest, EnhancedDecoderFromTheSettingsFile) {
  WriteFile("Sequelo.ini", "[Sequelo]\r\nDecoder=1\r\n");
  Start();
  EXPECT_TRUE(window_->MenuItem(kEnhancedDecoderItem)->isChecked());
  EXPECT_EQ(window_->GetStation().DecoderChoice(), core::DecoderChoice::kEnhanced);
  window_->MenuItem(kEnhancedDecoderItem)->trigger();
  EXPECT_EQ(window_->GetStation().DecoderChoice(), core::DecoderChoice::kStandard);
}

TEST_F(WindowTest, WaveFileChooserKeepsThePathOnRefusalOrCancel) {
  Start();
  C<QCheckBox>(1031)->setChecked(true);
  SetCall("11111");
  window_->CallExecute();
  const std::string wave = dir_.Path("11111_ZVEI.wav");
  ASSERT_TRUE(std::filesystem::exists(wave));
  chosenFile_ = wave;
  C<QPushButton>(1017)->click();
  EXPECT_EQ(C<QLineEdit>(1016)->text().toStdString(), wave);
  C<QPushButton>(1013)->click();
  EXPECT_EQ(C<QLineEdit>(1012)->text().toStdString(), wave);

  WriteFile("bad.wav", "RIFF....");
  chosenFile_ = dir_.Path("bad.wav");
  C<QPushButton>(1017)->click();
  EXPECT_EQ(Messages().back(), "Sequelo: File format not supported.");
  EXPECT_EQ(C<QLineEdit>(1016)->text().toStdString(), wave);
  const auto shown = Messages().size();
  chosenFile_.clear();  // cancelled
  C<QPushButton>(1013)->click();
  EXPECT_EQ(C<QLineEdit>(1012)->text().toStdString(), wave);
  EXPECT_EQ(Messages().size(), shown);
}

TEST_F(WindowTest, AboutBoxClosesOnlyWithOk) {
  Start();
  bool checked = false;
  OnNextModal([&](QWidget* box) {
    EXPECT_EQ(box->windowTitle().toStdString(), "About");
    auto* version = FindControl<QLineEdit>(box, 1019);
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text().toStdString(), "Version V1.3a");
    QTest::keyClick(box, Qt::Key_Escape);
    box->close();
    EXPECT_TRUE(box->isVisible()) << "Escape and the close box leave it open";
    checked = true;
    FindControl<QPushButton>(box, 1)->click();
  });
  window_->MenuItem(40002)->trigger();
  EXPECT_TRUE(checked);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(WindowTest, PttDialogOkStoresAndReopensCancelChangesNothing) {
  Start();
  EXPECT_FALSE(port_.IsOpen());
  OnNextModal([](QWidget* dialog) {
    EXPECT_EQ(dialog->windowTitle().toStdString(), "PTT Control");
    FindControl<QCheckBox>(dialog, 1037)->setChecked(true);
    FindControl<QRadioButton>(dialog, 1042)->setChecked(true);  // RTS
    FindControl<QComboBox>(dialog, 1045)->setCurrentIndex(2);   // "3"
    FindControl<QLineEdit>(dialog, 1049)->setText("150");
    FindControl<QPushButton>(dialog, 1)->click();
  });
  window_->MenuItem(40012)->trigger();
  tx::PttSettings s = window_->GetStation().Ptt().Settings();
  EXPECT_EQ(s.usePttControl, 1);
  EXPECT_EQ(s.rts, 1);
  EXPECT_EQ(s.comPort, 2);
  EXPECT_EQ(s.txDelayMs, 150u);
  EXPECT_TRUE(port_.IsOpen());
  ASSERT_FALSE(port_.opens.empty());
  EXPECT_EQ(port_.opens.back(), "/dev/ttyS2");

  const std::size_t opens = port_.opens.size();
  OnNextModal([](QWidget* dialog) {
    FindControl<QCheckBox>(dialog, 1037)->setChecked(false);
    FindControl<QLineEdit>(dialog, 1049)->setText("9");
    FindControl<QPushButton>(dialog, 2)->click();
  });
  window_->MenuItem(40012)->trigger();
  s = window_->GetStation().Ptt().Settings();
  EXPECT_EQ(s.usePttControl, 1);
  EXPECT_EQ(s.txDelayMs, 150u);
  EXPECT_EQ(port_.opens.size(), opens) << "the port is untouched";
}

TEST_F(WindowTest, EscapeDoesNotCloseTheWindow) {
  Start();
  window_->show();
  QTest::keyClick(window_.get(), Qt::Key_Escape);
  QCoreApplication::processEvents();
  EXPECT_TRUE(window_->isVisible());
  EXPECT_FALSE(window_->ShutDownDone());
}

TEST_F(WindowTest, ExitSavesEveryFieldAndKeepsWhatItDoesNotKnow) {
  WriteFile("Sequelo.ini",
            "; my station\r\n[Other]\r\nKey=1\r\n[Sequelo]\r\nOwnCode=11111\r\nMyKey=kept\r\n");
  Start();
  window_->show();
  EXPECT_EQ(C<QLineEdit>(1005)->text().toStdString(), "11111");
  C<QLineEdit>(1005)->setText("22222");
  C<QLineEdit>(1019)->setText("22200");
  C<QComboBox>(1029)->setCurrentIndex(1);
  C<QCheckBox>(1030)->setChecked(true);
  C<QRadioButton>(1010)->setChecked(true);
  C<QLineEdit>(1025)->setText("!C12345");
  C<QLineEdit>(1006)->setText("250");
  window_->MenuItem(40001)->trigger();  // Exit
  EXPECT_TRUE(WaitFor([&] { return window_->ShutDownDone(); }));
  EXPECT_FALSE(window_->isVisible());
  const std::string ini = Ini();
  for (const char* line :
       {"; my station\r\n", "[Other]\r\nKey=1\r\n", "MyKey=kept\r\n", "OwnCode=22222\r\n",
        "OwnGroup=22200\r\n", "Mode=1\r\n", "PilotTone=1\r\n", "Action=2\r\n",
        "FixedCode=!C12345\r\n", "Delay=250\r\n"}) {
    EXPECT_NE(ini.find(line), std::string::npos) << line << "\n" << ini;
  }
  const std::string log = Log();
  EXPECT_EQ(log.substr(log.size() - 21), "Program termination\r\n");
}

TEST_F(WindowTest, SettingsFileFromNothingHoldsEveryKeyInOrder) {
  Start();
  window_->close();
  ASSERT_TRUE(window_->ShutDownDone());
  std::vector<std::string> keys;
  std::istringstream in(Ini());
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) {
      keys.push_back(line.substr(0, eq));
    }
  }
  const std::vector<std::string> expected{"Mode",
                                          "InputDevice",
                                          "OutputDevice",
                                          "Threshold",
                                          "PilotFreq",
                                          "PilotLen",
                                          "OwnCode",
                                          "OwnGroup",
                                          "FixedCode",
                                          "PlayWaveFileOnReceiption",
                                          "PilotTone",
                                          "GenerateSoundfiles",
                                          "SpectrumDisplay",
                                          "WaveFileToPlay",
                                          "WaveFileToSend",
                                          "Action",
                                          "Delay",
                                          "LogPath",
                                          "UsePTTControl",
                                          "ComPort",
                                          "Baudrate",
                                          "Databits",
                                          "Stopbits",
                                          "Parity",
                                          "CAT",
                                          "RTS",
                                          "TXCommand",
                                          "RXCommand",
                                          "TXDelay",
                                          "ComDevice",
                                          "Decoder",
                                          "Call_1"};
  EXPECT_EQ(keys, expected);
  EXPECT_NE(Ini().find("Call_1=12345 - Test Code\r\n"), std::string::npos);
}

TEST_F(WindowTest, CallBoxKeepsItsEntriesSorted) {
  WriteFile("Sequelo.ini", "[Sequelo]\r\nCall_1=54321\r\nCall_2=!C11111\r\nCall_3=abc\r\n");
  Start();
  auto* call = C<QComboBox>(1001);
  std::vector<std::string> entries;
  for (int i = 0; i < call->count(); ++i) {
    entries.push_back(call->itemText(i).toStdString());
  }
  EXPECT_EQ(entries, (std::vector<std::string>{"!C11111", "54321", "abc"}));
}

TEST(WindowActivityListTest, KeepsTheNewest1024InOrderAndShowsTheNewest) {
  QListWidget list;
  WindowActivityList activities(&list);
  // Two threads add at once; each one's entries keep their order.
  std::thread other([&] {
    for (int i = 0; i < 600; ++i) {
      activities.AddEntry("b" + std::to_string(i));
    }
  });
  for (int i = 0; i < 600; ++i) {
    activities.AddEntry("a" + std::to_string(i));
  }
  other.join();
  ASSERT_TRUE(WaitFor([&] { return list.count() == 1024; }));
  QCoreApplication::processEvents();
  EXPECT_EQ(list.count(), 1024);
  int lastA = -1;
  int lastB = -1;
  for (int i = 0; i < list.count(); ++i) {
    const std::string e = list.item(i)->text().toStdString();
    int& last = e[0] == 'a' ? lastA : lastB;
    const int n = std::stoi(e.substr(1));
    EXPECT_GT(n, last) << e;
    last = n;
  }
  EXPECT_EQ(std::max(lastA, lastB), 599);
  EXPECT_EQ(list.currentRow(), 1023);
  EXPECT_EQ(list.item(0)->sizeHint().width(), 1024) << "the horizontal scroll extent";
}

TEST(WindowMessageSinkTest, OtherThreadsWaitForTheBoxUntilLetGo) {
  QObject context;
  std::vector<std::string> shown;
  bool onWindowThread = true;
  WindowMessageSink sink(
      &context, [&](bool question, const std::string& text, const std::string& caption) {
        onWindowThread = onWindowThread && QThread::currentThread() == context.thread();
        shown.push_back(caption + ": " + text);
        return question;
      });
  std::atomic<int> answered{0};
  bool ok = false;
  std::thread asker([&] {
    ok = sink.AskOkCancel("Delete logfile ?", "Sequelo");
    ++answered;
  });
  ASSERT_TRUE(WaitFor([&] { return answered == 1; }));
  asker.join();
  EXPECT_TRUE(ok);
  EXPECT_TRUE(onWindowThread);
  ASSERT_EQ(shown, std::vector<std::string>{"Sequelo: Delete logfile ?"});

  // Nobody answers (the window thread is busy shutting down): letting go
  // frees the waiting thread with Cancel, and later callers do not wait.
  std::thread waiter([&] {
    ok = sink.AskOkCancel("Again ?", "Sequelo");
    ++answered;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(answered, 1) << "waits for the box";
  sink.ReleaseWaiters();
  waiter.join();
  EXPECT_FALSE(ok);
  EXPECT_FALSE(sink.AskOkCancel("Later ?", "Sequelo"));
  QCoreApplication::processEvents();
  EXPECT_EQ(shown.size(), 1u) << "dropped, never shown";
}

TEST_F(WindowTest, SwitchingDevicesWhileTheCaptureThreadWaitsForABoxDoesNotHang) {
  // The answer is a file that is no wave file: the capture thread shows
  // "File format not supported." and waits for the window thread.
  WriteFile("bad.wav", "RIFF....");
  WriteFile("Sequelo.ini", "[Sequelo]\r\nOwnCode=12345\r\nAction=3\r\nDelay=0\r\nWaveFileToSend=" +
                               dir_.Path("bad.wav") + "\r\n");
  Start();
  RemoteClientSocket client(window_->GetStation().RemotePort());
  ASSERT_TRUE(client.Send("12345"));
  // Without serving the window's events: the capture thread comes to wait.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
  while (window_->MessageBoxes().Waiting() == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(window_->MessageBoxes().Waiting(), 1);
  window_->ChangeInputDevice();  // stops the capture thread: it must get its box first
  EXPECT_EQ(Messages().back(), "Sequelo: File format not supported.");
  EXPECT_TRUE(window_->GetStation().Recorder().IsRunning()) << "restarted";
  window_->ChangeOutputDevice();
  window_->close();
  EXPECT_TRUE(window_->ShutDownDone());
}

TEST_F(WindowTest, AStopRequestUnderADialogEndsItAndThenShutsDown) {
  Start();
  OnNextModal([this](QWidget* dialog) {
    FindControl<QCheckBox>(dialog, 1037)->setChecked(true);
    // A stop signal arrives while the operator edits the PTT settings.
    QMetaObject::invokeMethod(window_.get(), &QWidget::close, Qt::QueuedConnection);
  });
  window_->MenuItem(40012)->trigger();
  EXPECT_EQ(window_->GetStation().Ptt().Settings().usePttControl, 0) << "ended as by Cancel";
  ASSERT_TRUE(WaitFor([&] { return window_->ShutDownDone(); }));
  EXPECT_TRUE(port_.opens.empty()) << "the port is not opened after shut-down";
}

TEST_F(WindowTest, ClosingWhileACallIsReceivedAndAnsweredEndsCleanly) {
  WriteFile("Sequelo.ini", "[Sequelo]\r\nOwnCode=12345\r\nAction=1\r\nDelay=0\r\n");
  Start();
  RemoteClientSocket client(window_->GetStation().RemotePort());
  ASSERT_TRUE(client.Send("12345"));  // the server thread sends it, capture hears it
  ASSERT_TRUE(WaitFor([&] { return ActivityShows("Code received: 12345"); })) << Log();
  window_->close();  // while the answer goes out
  EXPECT_TRUE(window_->ShutDownDone());
  const std::string log = Log();
  EXPECT_EQ(log.substr(log.size() - 21), "Program termination\r\n");
}

TEST_F(WindowTest, ClosingWhileTheRemoteClientTransmitsEndsCleanly) {
  Start();
  RemoteClientSocket client(window_->GetStation().RemotePort());
  ASSERT_TRUE(client.Send("!P3000T10003000C12345"));
  ASSERT_TRUE(WaitFor([&] { return Log().find("Command Pause") != std::string::npos; }));
  const auto started = std::chrono::steady_clock::now();
  window_->close();
  EXPECT_TRUE(window_->ShutDownDone());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3))
      << "the 3 s pause, the tone and the call are cut short";
  EXPECT_EQ(Log().find("Command Call"), std::string::npos);
}

TEST_F(WindowTest, ClosingWhileTheWindowTransmitsWaitsForTheCutShortCall) {
  Start();
  SetCall("!T10001000P5000C12345");
  // While it is on the air the window is busy but keeps painting the
  // spectrum (the 1000 Hz tone comes back through the Loopback devices);
  // then it is closed, as the close box would.
  bool busy = false;
  bool painted = false;
  QTimer::singleShot(600, window_.get(), [this, &busy, &painted] {
    busy = window_->Busy() && !C<QPushButton>(1018)->isEnabled();
    painted = window_->Bar(11)->Position() == kBarFullScale;  // 1031 Hz
    window_->close();
    EXPECT_FALSE(window_->ShutDownDone()) << "not before the transmission has ended";
  });
  const auto started = std::chrono::steady_clock::now();
  window_->CallExecute();
  EXPECT_TRUE(busy);
  EXPECT_TRUE(painted);
  EXPECT_TRUE(window_->ShutDownDone());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_EQ(Log().find("Command Call"), std::string::npos);
}

TEST_F(WindowTest, ClosingWhileTheCaptureDeviceIsSwitchedEndsCleanly) {
  Start();
  auto* input = C<QComboBox>(1020);
  for (int i = 0; i < 5; ++i) {
    Q_EMIT input->activated(0);  // stop, then start again on the device
  }
  window_->close();
  EXPECT_TRUE(window_->ShutDownDone());
  EXPECT_FALSE(window_->GetStation().Recorder().IsRunning());
}

TEST_F(WindowTest, AMessageFromTheCaptureThreadDoesNotHoldUpShutDown) {
  // Answering with a file that is not a wave file gives a message box on
  // the capture thread; the test's message box never returns until closed.
  WriteFile("bad.wav", "RIFF....");
  WriteFile("Sequelo.ini", "[Sequelo]\r\nOwnCode=12345\r\nAction=3\r\nDelay=0\r\nWaveFileToSend=" +
                               dir_.Path("bad.wav") + "\r\n");
  Start();
  // The window closes (a stop signal) while the box is still open and the
  // capture thread waits for it.
  bool closedUnderBox = false;
  whileBoxOpen_ = [&] {
    window_->close();
    closedUnderBox = window_->ShutDownDone();
  };
  RemoteClientSocket client(window_->GetStation().RemotePort());
  ASSERT_TRUE(client.Send("12345"));
  ASSERT_TRUE(WaitFor([&] { return window_->ShutDownDone(); })) << Log();
  EXPECT_TRUE(closedUnderBox);
  EXPECT_FALSE(window_->GetStation().Recorder().IsRunning());
  EXPECT_EQ(Messages().back(), "Sequelo: File format not supported.");
}

}  // namespace
}  // namespace sequelo::app

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  QApplication::setStyle(QStringLiteral("Fusion"));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
