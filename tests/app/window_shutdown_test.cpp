// The window starting up and shutting down: in order, and cleanly while other threads are busy.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QMetaObject>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <string>

#include "app/bar_display.h"
#include "app/window/bar_meter.h"
#include "app/window/control_ids.h"
#include "app/window/main_window.h"

#include "tests/app/window_test_support.h"

namespace sequelo::app::windowtest {
namespace {

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

TEST_F(WindowTest, EscapeDoesNotCloseTheWindow) {
  Start();
  window_->show();
  QTest::keyClick(window_.get(), Qt::Key_Escape);
  QCoreApplication::processEvents();
  EXPECT_TRUE(window_->isVisible());
  EXPECT_FALSE(window_->ShutDownDone());
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

TEST_F(WindowTest, StopTransmissionFromTheMenuCutsTheWindowsOwnCallShort) {
  Start();
  SetCall("!T10001000P5000C12345");
  // The menu takes input while the window's own transmission is on the air;
  // the Call box does not.
  bool stoppable = false;
  QTimer::singleShot(600, window_.get(), [this, &stoppable] {
    QAction* stop = window_->MenuItem(kStopTransmissionItem);
    stoppable = window_->Busy() && stop->isEnabled() && !window_->MenuItem(40012)->isEnabled();
    stop->trigger();
  });
  const auto started = std::chrono::steady_clock::now();
  window_->CallExecute();
  EXPECT_TRUE(stoppable);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_FALSE(window_->Busy());
  EXPECT_TRUE(window_->MenuItem(40012)->isEnabled());  // the menus are back
  EXPECT_NE(Log().find("Transmission stopped"), std::string::npos);
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
}  // namespace sequelo::app::windowtest
