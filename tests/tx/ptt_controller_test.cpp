#include "tx/ptt_controller.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fakes.h"
#include "tx/ptt_dialog.h"

namespace sequelo::tx {
namespace {

using testsupport::FakeMessageSink;
using testsupport::FakeSerialPort;
using testsupport::FakeSleeper;

using Bytes = std::vector<std::uint8_t>;
using Line = FakeSerialPort::LineChange;

class PttTest : public ::testing::Test {
 protected:
  void Configure(PttSettings s) {
    ptt_.SetSettings(s);
    ptt_.OpenPttPort();
  }
  PttSettings CatSettings(std::string tx, std::string rx) const {
    PttSettings s;
    s.usePttControl = 1;
    s.cat = 1;
    s.txCommand = std::move(tx);
    s.rxCommand = std::move(rx);
    s.txDelayMs = 150;
    return s;
  }

  FakeSerialPort port_;
  FakeMessageSink messages_;
  FakeSleeper sleeper_;
  PttController ptt_{port_, messages_, sleeper_};
};

TEST(PttNames, ComPortNames) {
  EXPECT_EQ(ComPortName(0), "COM1");
  EXPECT_EQ(ComPortName(8), "COM9");
  EXPECT_EQ(ComPortName(9), "\\\\.\\COM10");
  EXPECT_EQ(ComPortName(255), "\\\\.\\COM256");
  EXPECT_EQ(ComPortName(-1), "COM0");
  PttSettings s;
  s.comPort = 8;
  EXPECT_EQ(PttDevicePath(s), "/dev/ttyS8");
  s.comDevice = "/dev/serial/by-id/usb-FTDI-if00-port0";
  EXPECT_EQ(PttDevicePath(s), "/dev/serial/by-id/usb-FTDI-if00-port0");
}

TEST(HexCommand, PairsOfHexDigitsOnly) {
  std::array<std::uint8_t, 128> bytes{};
  std::string text = "0a1B";
  ASSERT_EQ(HexCommandToBytes(text, bytes), 2);
  EXPECT_EQ(bytes[0], 0x0A);
  EXPECT_EQ(bytes[1], 0x1B);
  EXPECT_EQ(text, "0A1B");  // upper-cased in place
  for (std::string bad : {"123", "12 34", "0x12", "1G", "-1"}) {
    EXPECT_EQ(HexCommandToBytes(bad, bytes), -1) << bad;
  }
  std::string empty;
  EXPECT_EQ(HexCommandToBytes(empty, bytes), 0);
  std::string longest(254, 'f');
  EXPECT_EQ(HexCommandToBytes(longest, bytes), 127);
  EXPECT_EQ(bytes[126], 0xFF);
  std::string odd(255, 'f');
  EXPECT_EQ(HexCommandToBytes(odd, bytes), -1);
  EXPECT_EQ(odd, std::string(255, 'f'));  // left alone
  std::string tooLong(256, 'a');
  EXPECT_EQ(HexCommandToBytes(tooLong, bytes), -1);
  EXPECT_EQ(tooLong, std::string(256, 'a'));
  EXPECT_EQ(HexDigitValue('9'), 9);
  EXPECT_EQ(HexDigitValue('F'), 15);
  EXPECT_EQ(HexDigitValue('f'), -1);  // only after upper-casing
  EXPECT_EQ(HexDigitValue('G'), -1);
}

TEST_F(PttTest, CatModeWritesTheCommandsOncePerKeying) {
  Configure(CatSettings("fe0a", "FE0B"));
  ptt_.KeyTransmitter();
  ptt_.ReleaseTransmitter();
  ptt_.KeyTransmitter();
  EXPECT_EQ(port_.writes, (std::vector<Bytes>{{0xFE, 0x0A}, {0xFE, 0x0B}, {0xFE, 0x0A}}));
  EXPECT_EQ(sleeper_.sleeps, (std::vector<std::uint32_t>{150, 150}));  // keying waits, release not
  EXPECT_TRUE(port_.lines.empty());
  EXPECT_EQ(ptt_.Settings().txCommand, "FE0A");  // the setting now reads upper case
  EXPECT_TRUE(messages_.messages.empty());
}

TEST_F(PttTest, IllegalCatCommandIsReportedAndTheDelayStillRuns) {
  Configure(CatSettings("12 34", ""));
  ptt_.KeyTransmitter();
  ptt_.ReleaseTransmitter();
  ptt_.KeyTransmitter();
  EXPECT_TRUE(port_.writes.empty());
  EXPECT_EQ(messages_.messages,
            std::vector<std::string>(
                3, "Sequelo: Error with PTT control configuration (illegal CAT command)"));
  EXPECT_EQ(sleeper_.sleeps.size(), 2U);
}

TEST_F(PttTest, HardwareModeMovesOnlyItsLine) {
  PttSettings s;
  s.usePttControl = 1;
  s.rts = 1;
  s.txDelayMs = 0;
  Configure(s);
  ptt_.KeyTransmitter();
  ptt_.ReleaseTransmitter();
  s.rts = 0;
  ptt_.SetSettings(s);
  ptt_.KeyTransmitter();
  ptt_.ReleaseTransmitter();
  EXPECT_EQ(port_.lines, (std::vector<Line>{{ModemLine::kRts, true},
                                            {ModemLine::kRts, false},
                                            {ModemLine::kDtr, true},
                                            {ModemLine::kDtr, false}}));
  EXPECT_EQ(sleeper_.sleeps, (std::vector<std::uint32_t>{0, 0}));  // delay 0 still yields once
  EXPECT_TRUE(port_.writes.empty());
}

TEST_F(PttTest, OffMeansNothingAtAll) {
  PttSettings s = CatSettings("zz", "1");  // illegal, but never looked at
  s.usePttControl = 0;
  Configure(s);
  ptt_.KeyTransmitter();
  ptt_.ReleaseTransmitter();
  EXPECT_TRUE(port_.opens.empty());
  EXPECT_TRUE(port_.writes.empty());
  EXPECT_TRUE(port_.lines.empty());
  EXPECT_TRUE(sleeper_.sleeps.empty());
  EXPECT_TRUE(messages_.messages.empty());
}

TEST_F(PttTest, PortThatWillNotOpenIsReportedAndKeyingStillWaits) {
  port_.failOpen = true;
  PttSettings s;
  s.usePttControl = 1;
  s.comPort = -1;  // the list had no selection
  s.txDelayMs = 40;
  Configure(s);
  EXPECT_EQ(port_.opens, std::vector<std::string>{"/dev/ttyS-1"});
  EXPECT_EQ(messages_.messages,
            std::vector<std::string>{"Sequelo: Error opening com port for PTT."});
  EXPECT_FALSE(ptt_.PortOpen());
  EXPECT_FALSE(ptt_.LastOpenError().empty());
  ptt_.KeyTransmitter();
  EXPECT_EQ(sleeper_.sleeps, std::vector<std::uint32_t>{40});
}

TEST_F(PttTest, OpenConfiguresFromIndexesAndOutOfRangeKeepsThePortValue) {
  PttSettings s;
  s.usePttControl = 1;
  s.baudrate = 7;  // out of range
  s.databits = 1;
  s.stopbits = 1;
  s.parity = 2;
  Configure(s);
  ASSERT_EQ(port_.configs.size(), 1U);
  const SerialConfig& c = port_.configs[0];
  EXPECT_FALSE(c.baud.has_value());
  EXPECT_EQ(c.dataBits, 8);
  EXPECT_EQ(c.stopBits, 2);
  EXPECT_EQ(c.parity, Parity::kNone);
  s.baudrate = 4;
  s.parity = 0;
  EXPECT_EQ(SerialConfigFromSettings(s).baud, 38400);
  EXPECT_EQ(SerialConfigFromSettings(s).parity, Parity::kOdd);
}

TEST_F(PttTest, ReopenRestoresTheOldPortFirst) {
  PttSettings s;
  s.usePttControl = 1;
  Configure(s);
  s.comDevice = "/dev/ttyUSB0";
  Configure(s);
  EXPECT_EQ(port_.opens, (std::vector<std::string>{"/dev/ttyS0", "/dev/ttyUSB0"}));
  EXPECT_EQ(port_.restores, 1);
  s.usePttControl = 0;
  Configure(s);  // switched off: the open port is restored and closed
  EXPECT_EQ(port_.restores, 2);
  EXPECT_FALSE(ptt_.PortOpen());
  ptt_.ClosePttPort();  // harmless when closed
  EXPECT_EQ(port_.restores, 2);
}

TEST(PttDialog, FillShowsSettingsAndOkStoresThem) {
  PttSettings s;
  s.usePttControl = 1;
  s.comPort = 255;
  s.baudrate = 7;  // out of range: no selection
  s.databits = 1;
  s.cat = 5;  // any non-zero flag is true
  s.txCommand = "FE";
  s.txDelayMs = 250;
  const PttDialogState state = FillPttDialog(s, {"/dev/ttyUSB0"});
  EXPECT_TRUE(state.usePttControl);
  EXPECT_EQ(state.comPortSelection, 255);
  EXPECT_EQ(PttComPortEntries()[255], "256");
  EXPECT_EQ(state.baudrateSelection, -1);
  EXPECT_EQ(state.databitsSelection, 1);
  EXPECT_TRUE(state.cat);
  EXPECT_FALSE(state.rts);
  EXPECT_EQ(state.txDelayText, "250");
  EXPECT_EQ(state.comDeviceChoices, std::vector<std::string>{"/dev/ttyUSB0"});

  PttDialogState edited = state;
  edited.txDelayText = "";
  edited.txCommand = std::string(300, 'A');
  const PttSettings stored = PttSettingsFromDialog(edited);
  EXPECT_EQ(stored.baudrate, -1);
  EXPECT_EQ(stored.cat, 1);
  EXPECT_EQ(stored.txDelayMs, 0U);
  EXPECT_EQ(stored.txCommand.size(), 255U);
  edited.txDelayText = "99999999999";
  EXPECT_EQ(PttSettingsFromDialog(edited).txDelayMs, UINT32_MAX);
}

TEST(PttDialog, OkStoresAndReopensCancelChangesNothing) {
  FakeSerialPort port;
  FakeMessageSink messages;
  FakeSleeper sleeper;
  PttController ptt(port, messages, sleeper);
  PttSettings s;
  s.usePttControl = 1;
  ptt.SetSettings(s);
  ptt.OpenPttPort();
  PttDialogState state = FillPttDialog(ptt.Settings(), {});
  state.comPortSelection = 3;
  // Cancel: the edited state is dropped; nothing to call.
  EXPECT_EQ(ptt.Settings().comPort, 0);
  EXPECT_EQ(port.opens.size(), 1U);
  AcceptPttDialog(ptt, state);
  EXPECT_EQ(ptt.Settings().comPort, 3);
  EXPECT_EQ(port.opens, (std::vector<std::string>{"/dev/ttyS0", "/dev/ttyS3"}));
  EXPECT_EQ(port.restores, 1);
}

}  // namespace
}  // namespace sequelo::tx
