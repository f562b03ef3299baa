// The window's menus and dialogs: menu items, About, PTT Control, file choosers, message boxes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QThread>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/window/control_ids.h"
#include "app/window/main_window.h"

#include "tests/app/window_test_support.h"

namespace sequelo::app::windowtest {
namespace {

TEST_F(WindowTest, MenusAndTheirInitialStatesWithoutMarkerFile) {
  Start();
  const std::pair<int, const char*> items[] = {{40003, "Delete logfile"},
                                               {40001, "Exit"},
                                               {40010, "Spectrum Display"},
                                               {40004, "Logfile"},
                                               {40006, "Log Audio Analysis"},
                                               {40008, "Calibrate Log Audio Idle"},
                                               {40012, "PTT Control"},
                                               {40002, "About"},
                                               {kAlarmSettingsItem, "Alarm settings"}};
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

// The alarm settings: "Test" puts the dialog's targets in place and sends
// them a test event; OK keeps what was edited.
TEST_F(WindowTest, AlarmSettingsDialogTestsItsTargetsAndOkPutsThemInPlace) {
  Start();
  WriteFile("hook", "#!/bin/sh\ncat >>\"$1\"\n");
  ::chmod(dir_.Path("hook").c_str(), 0755);
  const std::string received = dir_.Path("received.jsonl");
  OnNextModal([&](QWidget* dialog) {
    EXPECT_EQ(dialog->windowTitle().toStdString(), "Alarm settings");
    FindControl<QLineEdit>(dialog, 1201)->setText("fw7");
    FindControl<QLineEdit>(dialog, 1210)
        ->setText(QString::fromStdString(dir_.Path("hook") + " " + received));
    FindControl<QPushButton>(dialog, 1212)->click();
    FindControl<QSpinBox>(dialog, 1202)->setValue(5);
    FindControl<QLineEdit>(dialog, 1213)->setText("pager=1750");
    qobject_cast<QDialog*>(dialog)->accept();
  });
  window_->MenuItem(kAlarmSettingsItem)->trigger();
  const auto settings = window_->GetStation().Store().Snapshot()->alarms;
  EXPECT_EQ(settings.stationName, "fw7");
  EXPECT_EQ(settings.repeatWindowS, 5U);
  EXPECT_EQ(settings.trailerTones, "pager=1750");  // for the next start
  EXPECT_TRUE(WaitFor([&] {
    const std::string text = ReadFileText(received);
    return text.find("\"code\":\"TEST\"") != std::string::npos &&
           text.find("\"station\":\"fw7\"") != std::string::npos;
  })) << Log();
  EXPECT_NE(Log().find("-test sent to hook "), std::string::npos) << Log();
}

// "Send alarm": a code that is no code is refused in the dialog; the alarm
// goes into the Call box as its command string and out in one keying.
TEST_F(WindowTest, SendAlarmPutsItsCommandStringInTheCallBoxAndSendsIt) {
  Start();
  OnNextModal([&](QWidget* dialog) {
    EXPECT_EQ(dialog->windowTitle().toStdString(), "Send alarm");
    FindControl<QLineEdit>(dialog, 1220)->setText("1234");
    OnNextModal([](QWidget* box) { qobject_cast<QDialog*>(box)->accept(); });
    FindControl<QPushButton>(dialog, 1228)->click();  // refused: stays open
    FindControl<QLineEdit>(dialog, 1220)->setText("12345");
    FindControl<QComboBox>(dialog, 1226)->setCurrentText("fire");
    FindControl<QSpinBox>(dialog, 1227)->setValue(1000);
    FindControl<QPushButton>(dialog, 1228)->click();
  });
  window_->MenuItem(kSendAlarmItem)->trigger();
  EXPECT_EQ(FindControl<QComboBox>(window_.get(), 1001)->currentText().toStdString(),
            "!K12345Q0600K12345Q0600S11000R");
  EXPECT_TRUE(WaitFor([&] {
    return Log().find("Command Siren fire, 1000 ms") != std::string::npos;
  })) << Log();
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

TEST_F(WindowTest, PttDialogKeysThroughHamlibsDummyRadio) {
  Start();
  OnNextModal([](QWidget* dialog) {
    FindControl<QCheckBox>(dialog, 1037)->setChecked(true);
    FindControl<QRadioButton>(dialog, 1050)->setChecked(true);  // Hamlib
    auto* model = FindControl<QComboBox>(dialog, 1051);
    model->setCurrentIndex(model->findData(tx::kHamlibDummyModel));
    FindControl<QComboBox>(dialog, 1054)->setCurrentText(QStringLiteral("RIG"));
    FindControl<QComboBox>(dialog, 1056)->setCurrentIndex(3);  // GPIO 4
    FindControl<QPushButton>(dialog, 1)->click();
  });
  window_->MenuItem(40012)->trigger();
  const tx::PttSettings s = window_->GetStation().Ptt().Settings();
  EXPECT_EQ(s.hamlibModel, tx::kHamlibDummyModel);
  EXPECT_EQ(s.hamlibPttType, "RIG");
  EXPECT_EQ(s.hamlibCm108Gpio, 4);
  EXPECT_TRUE(window_->GetStation().Ptt().PortOpen())
      << window_->GetStation().Ptt().LastOpenError();
  EXPECT_TRUE(port_.opens.empty());  // the serial port is not used
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

}  // namespace
}  // namespace sequelo::app::windowtest
