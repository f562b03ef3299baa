#include "app/window/main_window.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "app/window/alarm_dialog.h"
#include "app/window/bar_meter.h"
#include "app/window/control_ids.h"
#include "app/window/dialog_units.h"
#include "app/window/ptt_dialog_window.h"
#include "app/window/send_alarm_dialog.h"
#include "audio/wave_file.h"

namespace sequelo::app {
namespace {

constexpr int kBarsTimerMs = 20;  // at least the buffer rate (46.9 per second)

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

QColor ToQColor(Rgb c) {
  return {c.r, c.g, c.b};
}

std::string DesktopChooseWaveFile() {
  return QFileDialog::getOpenFileName(nullptr, QStringLiteral("Select wave file"), QString(),
                                      QStringLiteral("WAV File (*.wav)"))
      .toStdString();
}

QValidator* DigitsOnly(QObject* parent) {
  return new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), parent);
}

}  // namespace

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About"));
  const DialogUnits du = DialogUnits::ForFont(font());
  setFixedSize(du.X(211), du.Y(114));
  auto* shortName = new QLabel(QStringLiteral("Sequelo"), this);
  shortName->setGeometry(du.Rect(80, 15, 42, 8));
  shortName->setAlignment(Qt::AlignCenter);
  auto* wideName = new QLabel(QStringLiteral("Sequelo"), this);
  wideName->setGeometry(du.Rect(47, 30, 114, 8));
  wideName->setAlignment(Qt::AlignCenter);
  auto* version =
      new QLineEdit(QStringLiteral("Version %1").arg(Q(std::string(kProgramVersion))), this);
  version->setReadOnly(true);
  version->setAlignment(Qt::AlignCenter);
  version->setGeometry(du.Rect(60, 60, 86, 15));
  SetControlId(version, 1019);
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setGeometry(du.Rect(75, 82, 50, 14));
  ok->setDefault(true);
  SetControlId(ok, 1);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

MainWindow::MainWindow(const StationOptions& options, WindowServices services)
    : options_(options), services_(std::move(services)) {
  setWindowTitle(QStringLiteral("Sequelo"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  BuildControls();
  BuildMenus();
  if (!services_.presenter) {
    services_.presenter = [this](bool question, const std::string& text,
                                 const std::string& caption) {
      return PresentMessage(question, text, caption);
    };
  }
  if (!services_.chooseWaveFile) {
    services_.chooseWaveFile = DesktopChooseWaveFile;
  }
  receivedBox_ = std::make_unique<ReceivedCodeBox>(receivedCode_);
  activityList_ = std::make_unique<WindowActivityList>(activities_);
  messages_ = std::make_unique<WindowMessageSink>(this, services_.presenter);
  station_ =
      std::make_unique<Station>(options_, *services_.audio, *services_.port, *services_.wallClock,
                                *activityList_, *messages_, *services_.launcher, services_.err);
  ConnectEdits();
  connect(&barTimer_, &QTimer::timeout, this, [this] { PaintNewestSpectrum(); });
  connect(&lostTimer_, &QTimer::timeout, this,
          [this] { lostBuffers_.ReportNew(station_->Recorder(), services_.err); });
}

MainWindow::~MainWindow() {
  ShutDown();
  station_.reset();  // before the widgets its queued work points at
}

void MainWindow::BuildControls() {
  auto* central = new QWidget(this);
  setCentralWidget(central);
  // Every control is placed in dialog units; the units are fixed once all
  // exist (see the end of this function).
  struct Placed {
    QWidget* widget;
    int x, y, width, height;
    int room;  // text controls: how far the text may reach (dialog units)
  };
  std::vector<Placed> placed;
  auto place = [&](QWidget* w, int id, int x, int y, int width, int height) {
    w->setParent(central);
    placed.push_back({w, x, y, width, height, 0});
    if (id != 0) {
      SetControlId(w, id);
    }
    return w;
  };
  // A text wider in this font than its place gets the room up to the next
  // control, so that it is never cut.
  auto widen = [&](QWidget* w, int room) {
    placed.back().room = room;
    (void)w;
  };
  auto label = [&](const char* text, int id, int x, int y, int width, int height, int room) {
    auto* l = new QLabel(QString::fromUtf8(text));
    place(l, id, x, y, width, height);
    widen(l, room);
    return l;
  };
  // A frame without a title draws its top line half a text line down, as a
  // titled one does, so that frames stacked on each other do not overlap.
  auto frame = [&](const char* title, int x, int y, int width, int height) {
    const int drop = title[0] == '\0' ? 4 : 0;
    place(new QGroupBox(QString::fromUtf8(title)), 0, x, y + drop, width, height - drop);
  };
  auto edit = [&](int id, int x, int y, int width, int height, bool digits, Qt::Alignment align) {
    auto* e = new QLineEdit;
    place(e, id, x, y, width, height);
    e->setAlignment(align | Qt::AlignVCenter);
    if (digits) {
      e->setValidator(DigitsOnly(e));
    }
    return e;
  };
  auto list = [&](int id, int x, int y, int width) {
    auto* c = new QComboBox;
    place(c, id, x, y, width, 12);
    return c;
  };
  auto check = [&](const char* text, int id, int x, int y, int width, int height, int room) {
    auto* c = new QCheckBox(QString::fromUtf8(text));
    place(c, id, x, y, width, height);
    widen(c, room);
    return c;
  };
  auto button = [&](const char* text, int id, int x, int y, int width, int height) {
    auto* b = new QPushButton(QString::fromUtf8(text));
    place(b, id, x, y, width, height);
    b->setAutoDefault(false);
    return b;
  };

  // Frames first, so that they lie beneath their controls.
  frame("", 7, 7, 221, 24);
  frame("", 7, 29, 221, 129);
  frame("", 7, 155, 221, 117);
  frame("", 7, 270, 221, 50);
  frame("Activities", 233, 7, 200, 313);

  label("Mode", 1028, 14, 16, 18, 8, 20);
  mode_ = list(1029, 35, 14, 44);
  for (std::string_view name : core::kModeNames) {  // FillModeList
    mode_->addItem(QString::fromUtf8(name.data(), static_cast<int>(name.size())));
  }
  mode_->setCurrentIndex(0);

  for (int k = 1; k <= kBarCount; ++k) {
    auto* bar = new SpectrumBar;
    place(bar, BarControlId(k), 25 + 6 * (k - 1), 36, 6, 38);
    bars_[static_cast<std::size_t>(k - 1)] = bar;
  }
  label("0 kHz", 1034, 27, 76, 18, 8, 30);
  label("3 kHz", 1157, 195, 77, 18, 8, 30);

  label("Input device", 1021, 16, 93, 41, 8, 51);
  inputDevice_ = list(1020, 68, 91, 127);
  label("Own code", 1003, 15, 110, 33, 8, 52);
  ownCode_ = edit(1005, 68, 107, 31, 13, true, Qt::AlignHCenter);
  label("Own group", 1004, 124, 109, 36, 8, 39);
  ownGroup_ = edit(1019, 164, 107, 31, 13, true, Qt::AlignHCenter);
  label("Received code", 1026, 15, 127, 48, 8, 51);
  receivedCode_ = edit(1027, 67, 124, 32, 13, false, Qt::AlignHCenter);
  receivedCode_->setReadOnly(true);
  QPalette codeColours = receivedCode_->palette();
  codeColours.setColor(QPalette::Base, QColor(196, 255, 196));
  codeColours.setColor(QPalette::Text, QColor(255, 0, 0));
  receivedCode_->setPalette(codeColours);
  playOnRx_ = check(" Play sound on RX", 1015, 16, 142, 73, 10, 73);
  waveToPlay_ = edit(1016, 89, 141, 106, 13, false, Qt::AlignLeft);
  waveToPlay_->setReadOnly(true);
  auto* choosePlay = button("...", 1017, 198, 141, 28, 13);

  label("Output device", 1023, 16, 167, 46, 8, 51);
  outputDevice_ = list(1022, 68, 165, 127);
  label("On receiption of own code do:", 1024, 16, 182, 98, 8, 210);
  response_ = new QButtonGroup(this);
  const std::array<std::pair<const char*, int>, 4> radios{
      {{"Nothing", 195}, {"Send own code", 209}, {"Send fixed", 224}, {"Send sound", 239}}};
  const std::array<int, 4> radioWidths{41, 65, 50, 67};
  for (int i = 0; i < 4; ++i) {
    const auto n = static_cast<std::size_t>(i);
    auto* r = new QRadioButton(QString::fromUtf8(radios[n].first));
    place(r, 1008 + i, 16, radios[n].second, radioWidths[n], 10);
    response_->addButton(r, i);
  }
  fixedCode_ = edit(1025, 84, 222, 110, 13, false, Qt::AlignLeft);
  waveToSend_ = edit(1012, 84, 238, 110, 13, false, Qt::AlignLeft);
  waveToSend_->setReadOnly(true);
  auto* chooseSend = button("...", 1013, 197, 238, 28, 13);
  label("Delay", 1007, 16, 257, 19, 8, 19);
  delay_ = edit(1006, 35, 255, 31, 13, true, Qt::AlignRight);
  label("ms", 1014, 69, 257, 10, 8, 20);

  label("Call", 1002, 14, 279, 12, 8, 15);
  callBox_ = new QComboBox;
  callBox_->setEditable(true);
  callBox_->setInsertPolicy(QComboBox::NoInsert);
  callBox_->setMaxVisibleItems(8);
  place(callBox_, 1001, 29, 277, 192, 13);
  callBox_->lineEdit()->setMaxLength(255);
  pilotTone_ = check("TX pilot tone (VOX)", 1030, 15, 294, 77, 10, 97);
  generateSoundfiles_ = check("Generate code soundfiles", 1031, 15, 305, 97, 10, 97);
  callButton_ = button("C a l l   /   E x e c u t e", 1018, 113, 294, 109, 22);

  activities_ = new QListWidget;
  place(activities_, 1035, 240, 17, 187, 297);
  activities_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  activities_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  activities_->setSelectionMode(QAbstractItemView::SingleSelection);

  // Dialog units from the font; where a caption does not fit its room in
  // this font, the horizontal unit grows until it does, so the layout keeps
  // its proportions and no text is cut.
  DialogUnits du = DialogUnits::ForFont(font());
  int baseX = du.BaseX();
  for (const Placed& p : placed) {
    if (p.room > 0) {
      const int natural = p.widget->sizeHint().width();
      baseX = std::max(baseX, (natural * 4 + p.room - 1) / p.room);
    }
  }
  du = DialogUnits(baseX, du.BaseY());
  units_ = du;
  central->setFixedSize(du.X(440), du.Y(327));
  for (const Placed& p : placed) {
    QRect r = du.Rect(p.x, p.y, p.width, p.height);
    if (p.room > 0) {
      r.setWidth(
          std::clamp(p.widget->sizeHint().width(), r.width(), du.X(p.x + p.room) - du.X(p.x)));
    }
    p.widget->setGeometry(r);
  }

  connect(choosePlay, &QPushButton::clicked, this, [this] { ChooseWaveFile(waveToPlay_); });
  connect(chooseSend, &QPushButton::clicked, this, [this] { ChooseWaveFile(waveToSend_); });
  connect(callButton_, &QPushButton::clicked, this, [this] { CallExecute(); });
  // Selection changes by the operator (not those the program makes).
  connect(inputDevice_, &QComboBox::activated, this, [this](int index) {
    if (index != lastInput_) {
      ChangeInputDevice();
    }
  });
  connect(outputDevice_, &QComboBox::activated, this, [this](int index) {
    if (index != lastOutput_) {
      ChangeOutputDevice();
    }
  });
  connect(mode_, &QComboBox::activated, this, [this](int index) {
    if (index != lastMode_) {
      lastMode_ = index;
      ColourBars(station_->ChangeMode(static_cast<Mode>(index)));
    }
  });
}

void MainWindow::ConnectEdits() {
  const auto text = [this](QLineEdit* e, std::string control::AnswerSettings::*field) {
    connect(e, &QLineEdit::textChanged, this, [this, field](const QString& t) {
      Edit([&](Settings& s) { s.answer.*field = t.toStdString(); });
    });
  };
  text(ownCode_, &control::AnswerSettings::ownCode);
  text(ownGroup_, &control::AnswerSettings::ownGroup);
  text(fixedCode_, &control::AnswerSettings::fixedText);
  text(waveToPlay_, &control::AnswerSettings::waveFileToPlay);
  text(waveToSend_, &control::AnswerSettings::waveFileToSend);
  text(delay_, &control::AnswerSettings::delayText);
  connect(playOnRx_, &QCheckBox::toggled, this,
          [this](bool on) { Edit([on](Settings& s) { s.answer.playSoundOnRx = on; }); });
  connect(pilotTone_, &QCheckBox::toggled, this,
          [this](bool on) { Edit([on](Settings& s) { s.pilotTone = on; }); });
  connect(generateSoundfiles_, &QCheckBox::toggled, this,
          [this](bool on) { Edit([on](Settings& s) { s.generateSoundfiles = on; }); });
  connect(response_, &QButtonGroup::idToggled, this, [this] {
    const int id = response_->checkedId();
    Edit([id](Settings& s) { s.answer.action = static_cast<control::ResponseAction>(id); });
  });
  connect(mode_, &QComboBox::currentIndexChanged, this,
          [this](int index) { Edit([index](Settings& s) { s.mode = static_cast<Mode>(index); }); });
}

void MainWindow::BuildMenus() {
  auto item = [this](QMenu* menu, const char* text, int id, auto action) {
    QAction* a = menu->addAction(QString::fromUtf8(text));
    SetControlId(a, id);
    connect(a, &QAction::triggered, this, action);
    return a;
  };
  QMenu* file = menuBar()->addMenu(QStringLiteral("File"));
  item(file, "Delete logfile", 40003, [this] { station_->Log().DeleteLogFile(); });
  // Exit posts a close request: the close box's way out, the same shut-down.
  item(file, "Exit", 40001,
       [this] { QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection); });
  QMenu* view = menuBar()->addMenu(QStringLiteral("View"));
  spectrumItem_ = item(view, "Spectrum Display", 40010, [this] { ToggleSpectrumDisplay(); });
  spectrumItem_->setCheckable(true);
  spectrumItem_->setChecked(true);
  item(view, "Logfile", 40004, [this] { station_->Log().ViewLogFile(); });
  QMenu* extras = menuBar()->addMenu(QStringLiteral("Extras"));
  analysisLogItem_ = item(extras, "Log Audio Analysis", 40006,
                          [this] { analysisLogItem_->setChecked(station_->ToggleAnalysisLog()); });
  analysisLogItem_->setCheckable(true);
  calibrateItem_ =
      item(extras, "Calibrate Log Audio Idle", 40008, [this] { station_->CalibrateIdle(); });
  item(extras, "PTT Control", 40012, [this] { ShowPttDialog(); });
  item(extras, "Alarm settings", kAlarmSettingsItem, [this] { ShowAlarmDialog(); });
  item(extras, "Send alarm", kSendAlarmItem, [this] { ShowSendAlarmDialog(); });
  // Works while the window's own transmission is on the air too.
  stopItem_ = item(extras, "Stop transmission", kStopTransmissionItem,
                   [this] { station_->StopTransmission(); });
  extras->addSeparator();
  // Which decoder reports codes; the spectrum comes from the standard one
  // either way. Takes effect with the next buffer.
  enhancedItem_ = item(extras, "Enhanced decoder", kEnhancedDecoderItem, [this] {
    station_->SetDecoderChoice(enhancedItem_->isChecked() ? core::DecoderChoice::kEnhanced
                                                          : core::DecoderChoice::kStandard);
  });
  enhancedItem_->setCheckable(true);
  QMenu* help = menuBar()->addMenu(QStringLiteral("Help"));
  item(help, "About", 40002, [this] { ShowAboutBox(); });
}

QWidget* MainWindow::Control(int id) const {
  return FindControl<QWidget>(this, id);
}

QAction* MainWindow::MenuItem(int id) const {
  return FindControl<QAction>(this, id);
}

SpectrumBar* MainWindow::Bar(int bar) const {
  return bar >= 1 && bar <= kBarCount ? bars_[static_cast<std::size_t>(bar - 1)] : nullptr;
}

void MainWindow::StartUp() {
  // Centred on the screen, on top of the others.
  if (const QScreen* screen = QApplication::primaryScreen()) {
    adjustSize();
    move(screen->availableGeometry().center() - rect().center());
  }
  raise();
  station_->StartUp(*this);
  lastInput_ = inputDevice_->currentIndex();
  lastOutput_ = outputDevice_->currentIndex();
  lastMode_ = mode_->currentIndex();
  layout()->setSizeConstraint(QLayout::SetFixedSize);  // not resizable
  enhancedItem_->setChecked(station_->DecoderChoice() == core::DecoderChoice::kEnhanced);
  barTimer_.start(kBarsTimerMs);
  lostTimer_.start(1000);
}

void MainWindow::InputDevicesListed(const std::vector<std::string>& names) {
  inputDevice_->clear();
  for (const auto& n : names) {
    inputDevice_->addItem(Q(n));
  }
}

void MainWindow::OutputDevicesListed(const std::vector<std::string>& names) {
  outputDevice_->clear();
  for (const auto& n : names) {
    outputDevice_->addItem(Q(n));
  }
}

void MainWindow::DebugMarker(bool present) {
  analysisLogItem_->setEnabled(present);
  analysisLogItem_->setChecked(false);
  calibrateItem_->setEnabled(present);
}

void MainWindow::SettingsLoaded(const Settings& settings) {
  const control::AnswerSettings& a = settings.answer;
  const int mode = static_cast<int>(settings.mode);
  mode_->setCurrentIndex(mode >= 0 && mode < mode_->count() ? mode : -1);
  inputDevice_->setCurrentIndex(inputDevice_->findText(Q(settings.inputDevice), Qt::MatchExactly));
  outputDevice_->setCurrentIndex(
      outputDevice_->findText(Q(settings.outputDevice), Qt::MatchExactly));
  ownCode_->setText(Q(a.ownCode));
  ownGroup_->setText(Q(a.ownGroup));
  fixedCode_->setText(Q(a.fixedText));
  waveToPlay_->setText(Q(a.waveFileToPlay));
  waveToSend_->setText(Q(a.waveFileToSend));
  delay_->setText(Q(a.delayText));
  playOnRx_->setChecked(a.playSoundOnRx);
  pilotTone_->setChecked(settings.pilotTone);
  generateSoundfiles_->setChecked(settings.generateSoundfiles);
  if (a.action != control::ResponseAction::kUnset) {
    response_->button(static_cast<int>(a.action))->setChecked(true);
  } else {
    // None checked: an exclusive group must let go for a moment.
    response_->setExclusive(false);
    for (QAbstractButton* b : response_->buttons()) {
      b->setChecked(false);
    }
    response_->setExclusive(true);
  }
  // The Call list keeps its entries sorted, letters compared without regard
  // to case.
  for (const std::string& entry : settings.callEntries) {
    const QString text = Q(entry);
    int at = 0;
    while (at < callBox_->count() &&
           QString::compare(callBox_->itemText(at), text, Qt::CaseInsensitive) <= 0) {
      ++at;
    }
    callBox_->insertItem(at, text);
  }
  spectrumItem_->setChecked(settings.spectrumDisplay);
  feed_.SetDisplayOn(settings.spectrumDisplay);
}

void MainWindow::ColourBars(const core::ToneSet* current) {
  static const core::ToneSet kNoToneSet{};  // no band: every bar outside
  const core::ToneSet& toneSet = current != nullptr ? *current : kNoToneSet;
  const bool on = station_->SpectrumDisplayOn();
  for (int k = 1; k <= kBarCount; ++k) {
    SpectrumBar* bar = Bar(k);
    if (on) {
      bar->SetRange(0, kBarFullScale);
    }
    const BarColours c = ColourOfBar(k, toneSet, on);
    bar->SetColours(ToQColor(c.background), ToQColor(c.bar));
  }
}

void MainWindow::ToggleSpectrumDisplay() {
  const bool on = !station_->SpectrumDisplayOn();
  station_->SetSpectrumDisplayOn(on);
  feed_.SetDisplayOn(on);
  spectrumItem_->setChecked(on);
  ColourBars(station_->Decoder().CurrentToneSet());
}

void MainWindow::PaintNewestSpectrum() {
  BarPositions positions{};
  if (feed_.TakeNewest(positions) && station_->SpectrumDisplayOn()) {
    for (int k = 1; k <= kBarCount; ++k) {
      Bar(k)->SetPosition(positions[static_cast<std::size_t>(k - 1)]);
    }
  }
}

namespace {

// While the window's own work runs, the operator's input does not reach the
// window's controls; the menus (where "Stop transmission" is the one item
// enabled) and other windows (a message box) take it as usual.
class ControlsLocked final : public QObject {
 public:
  explicit ControlsLocked(QWidget* controls) : controls_(controls) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::Wheel:
      case QEvent::Shortcut:
      case QEvent::ContextMenu: {
        auto* widget = qobject_cast<QWidget*>(watched);
        return widget != nullptr && (widget == controls_ || controls_->isAncestorOf(widget));
      }
      default:
        return false;
    }
  }

 private:
  QWidget* controls_;
};

}  // namespace

void MainWindow::RunBusy(const std::function<void()>& work) {
  busy_ = true;
  callButton_->setEnabled(false);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  std::vector<QAction*> paused;
  for (QAction* a : menuBar()->findChildren<QAction*>()) {
    if (a != stopItem_ && a->isEnabled() && a->menu() == nullptr) {
      a->setEnabled(false);
      paused.push_back(a);
    }
  }
  ControlsLocked locked(centralWidget());
  qApp->installEventFilter(&locked);
  std::atomic<bool> done{false};
  QEventLoop loop;
  std::thread beside([&] {
    work();
    done = true;
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  // A loop may also end when the application is told to quit: go on until
  // the work has ended, for it may wait for a message box of this thread.
  while (!done) {
    loop.exec();
  }
  beside.join();
  qApp->removeEventFilter(&locked);
  for (QAction* a : paused) {
    a->setEnabled(true);
  }
  QApplication::restoreOverrideCursor();
  callButton_->setEnabled(true);
  busy_ = false;
  if (closeRequested_) {
    close();
  }
}

void MainWindow::CallExecute() {
  if (busy_ || shutDown_) {
    return;
  }
  const std::string text = callBox_->currentText().toStdString();
  // The transmission runs beside the window; the window keeps painting and
  // showing activity, but takes no operator input until it has ended.
  RunBusy([this, &text] { station_->CallExecute(text); });
}

// Stopping capture waits for the capture thread, and opening a device waits
// for a transmission to end; either may be waiting for a message box, which
// only this thread can show: so they run beside the window too.
void MainWindow::ChangeInputDevice() {
  if (busy_ || shutDown_) {
    return;
  }
  lastInput_ = inputDevice_->currentIndex();
  RunBusy([this, index = lastInput_] { station_->ChangeInputDevice(index); });
}

void MainWindow::ChangeOutputDevice() {
  if (busy_ || shutDown_) {
    return;
  }
  lastOutput_ = outputDevice_->currentIndex();
  RunBusy([this, index = lastOutput_] { station_->ChangeOutputDevice(index); });
}

bool MainWindow::PresentMessage(bool question, const std::string& text,
                                const std::string& caption) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  if (question) {
    icon = QMessageBox::Question;
  } else if (caption == kErrorCaption) {
    icon = QMessageBox::Warning;
  }
  QMessageBox box(icon, Q(caption), Q(text),
                  question ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok, this);
  return box.exec() == QMessageBox::Ok;
}

void MainWindow::EndOpenDialogs() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<QDialog*>(w); dialog != nullptr && dialog->isVisible()) {
      dialog->done(QDialog::Rejected);
    }
  }
}

void MainWindow::ChooseWaveFile(QLineEdit* target) {
  const std::string path = services_.chooseWaveFile();
  if (path.empty()) {
    return;  // cancelled
  }
  if (audio::IsValidWaveFile(path)) {
    target->setText(Q(path));
  } else {
    messages_->ShowMessage(audio::kWaveFormatNotSupported, core::kProgramCaption);
  }
}

void MainWindow::ShowAboutBox() {
  AboutBox box(this);
  box.exec();
}

void MainWindow::ShowPttDialog() {
  std::vector<std::string> devices;
  if (services_.serialDevices) {
    devices = services_.serialDevices();
  }
  PttControlDialog dialog(tx::FillPttDialog(station_->Ptt().Settings(), devices), this);
  if (dialog.exec() == QDialog::Accepted && !shutDown_ && !closeRequested_) {
    // Re-opening the port waits for a keying under way.
    RunBusy([this, state = dialog.State()] { station_->ApplyPttDialog(state); });
  }
}

// The alarm goes in the Call box as its command string, so that Call sends
// it again, and out like anything typed there.
void MainWindow::ShowSendAlarmDialog() {
  if (busy_ || shutDown_) {
    return;
  }
  SendAlarmDialog dialog(callBox_->currentText().toStdString(),
                         station_->CurrentCallOptions().trailerClasses, this);
  std::string error;
  if (dialog.exec() != QDialog::Accepted || shutDown_ || closeRequested_) {
    return;
  }
  callBox_->setEditText(Q("!" + dialog.CommandString(error)));
  CallExecute();
}

void MainWindow::ShowAlarmDialog() {
  AlarmSettingsDialog dialog(
      station_->Store().Snapshot()->alarms,
      [this](const control::AlarmSettings& alarms) {
        station_->ApplyAlarmSettings(alarms);
        station_->SendTestAlarm();
      },
      this);
  if (dialog.exec() == QDialog::Accepted && !shutDown_ && !closeRequested_) {
    station_->ApplyAlarmSettings(dialog.Settings());
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (busy_ || QApplication::activeModalWidget() != nullptr) {
    // A stop request (a signal) under work of the window's own or an open
    // dialog: cut a transmission short, end the dialogs (answering them
    // Cancel), and close once back in the window's own loop.
    closeRequested_ = true;
    station_->AbortTransmissions();
    EndOpenDialogs();
    event->ignore();
    if (!busy_) {
      QTimer::singleShot(50, this, [this] { close(); });
    }
    return;
  }
  ShutDown();
  event->accept();
}

void MainWindow::ShutDown() {
  if (shutDown_) {
    return;
  }
  shutDown_ = true;
  barTimer_.stop();
  lostTimer_.stop();
  // Nobody may wait for a message box while the threads are stopped.
  messages_->ReleaseWaiters();
  station_->AbortTransmissions();
  station_->ShutDown();
}

}  // namespace sequelo::app
