// The station driven from the window: calls sent and received, and the settings saved and loaded.
#include <gtest/gtest.h>

#include <algorithm>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/window/main_window.h"

#include "tests/app/window_test_support.h"

namespace sequelo::app::windowtest {
namespace {

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
  })) << Log();
  // The activity list gets its lines a moment after the log file: wait
  // until it has every line the log has.
  ASSERT_TRUE(WaitFor([&] {
    const std::string log = Log();
    return Activities().size() ==
           static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
  })) << Log();
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
                                          "HamlibModel",
                                          "HamlibPort",
                                          "HamlibSpeed",
                                          "HamlibPttType",
                                          "HamlibPttPort",
                                          "HamlibCm108Gpio",
                                          "Decoder",
                                          "Call_1",
                                          "MaxTransmitSeconds",
                                          "RemoteControl",
                                          "RemoteListen",
                                          "RemoteAllow",
                                          "RemoteTransmit",
                                          "RemoteSequences",
                                          "RemoteSecret",
                                          "RemoteMaxClients",
                                          "RemoteIdleSeconds",
                                          "LogMaxKB",
                                          "StationName",
                                          "RepeatWindow",
                                          "TrailerWindow",
                                          "RecordSeconds",
                                          "RecordFolder",
                                          "MqttHost",
                                          "MqttPort",
                                          "MqttUser",
                                          "MqttPassword",
                                          "ExecHook",
                                          "WebhookUrl",
                                          "TrailerTones"};
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

}  // namespace
}  // namespace sequelo::app::windowtest
