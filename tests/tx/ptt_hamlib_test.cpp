// The PTT controller keying through a Hamlib link (a fake radio): the order
// of keying, read-back and TX delay, and what an unconfirmed keying or
// release leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/fake_rig.h"
#include "tests/support/fakes.h"
#include "tx/ptt_controller.h"
#include "tx/ptt_dialog.h"

namespace sequelo::tx {
namespace {

using testsupport::FakeMessageSink;
using testsupport::FakeRig;
using testsupport::FakeSerialPort;
using testsupport::LoggingSleeper;
using Calls = std::vector<std::string>;

class PttHamlibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PttSettings s;
    s.usePttControl = 1;
    s.txDelayMs = 150;
    s.hamlibModel = kHamlibNetRigctlModel;
    s.hamlibPort = "127.0.0.1:4532";
    ptt_.SetSettings(s);
  }
  // What happened since the last look.
  Calls Take() { return std::exchange(calls_, {}); }

  Calls calls_;
  FakeRig rig_{&calls_};
  FakeSerialPort port_;
  FakeMessageSink messages_;
  LoggingSleeper sleeper_{calls_};
  PttController ptt_{port_, messages_, sleeper_, &rig_};
};

TEST_F(PttHamlibTest, KeyingSetsPttReadsItBackThenWaitsTheTxDelay) {
  ptt_.OpenPttPort();
  ASSERT_EQ(rig_.opened.size(), 1U);
  EXPECT_EQ(rig_.opened[0].model, 2);
  EXPECT_EQ(rig_.opened[0].port, "127.0.0.1:4532");
  EXPECT_EQ(rig_.opened[0].pttType, "RIG");
  EXPECT_EQ(rig_.opened[0].cm108Gpio, 3);
  EXPECT_TRUE(ptt_.PortOpen());
  EXPECT_TRUE(port_.opens.empty());  // the serial port stays out of it
  Take();
  EXPECT_TRUE(ptt_.KeyTransmitter());
  ptt_.ReleaseTransmitter();
  EXPECT_EQ(Take(), (Calls{"ptt on", "read", "delay 150", "ptt off"}));
  EXPECT_EQ(ptt_.ReadRigPtt(), RigPtt::kOff);
  // A radio that cannot tell its PTT: Hamlib's word is all there is.
  rig_.readBack = false;
  EXPECT_TRUE(ptt_.KeyTransmitter());
  ptt_.ClosePttPort();  // released once more, then closed
  EXPECT_EQ(Take(), (Calls{"read", "ptt on", "read", "delay 150", "ptt off", "close"}));
  EXPECT_FALSE(ptt_.PortOpen());
  EXPECT_TRUE(messages_.messages.empty());
  EXPECT_TRUE(ptt_.LastFailure().empty());
}

TEST_F(PttHamlibTest, AnUnconfirmedKeyingWaitsNoDelayAndOnlyTheFirstFailureIsShown) {
  ptt_.OpenPttPort();
  Take();
  rig_.failPtt = true;
  EXPECT_FALSE(ptt_.KeyTransmitter());
  EXPECT_EQ(ptt_.LastFailure(), "Hamlib: IO error");
  EXPECT_FALSE(ptt_.PortOpen());  // closed: the next keying opens it afresh
  EXPECT_FALSE(ptt_.KeyTransmitter());
  // Tried once more on a fresh link, then closed; the next keying opens it
  // afresh. No delay.
  EXPECT_EQ(Take(),
            (Calls{"ptt on", "close", "open", "ptt on", "close", "open", "ptt on", "close"}));
  EXPECT_EQ(messages_.messages,
            Calls{"Sequelo: PTT through Hamlib failed: IO error"});  // one box, not two
  // Confirmed again, then failing again: shown again.
  rig_.failPtt = false;
  EXPECT_TRUE(ptt_.KeyTransmitter());
  EXPECT_TRUE(ptt_.LastFailure().empty());
  rig_.failPtt = true;
  EXPECT_FALSE(ptt_.KeyTransmitter());
  EXPECT_EQ(messages_.messages.size(), 2U);
}

TEST_F(PttHamlibTest, AReadBackThatDisagreesOrFailsFailsTheKeying) {
  ptt_.OpenPttPort();
  rig_.ignoreKeying = true;
  EXPECT_FALSE(ptt_.KeyTransmitter());
  EXPECT_EQ(ptt_.LastFailure(), "Hamlib: the radio reads PTT off after keying");
  rig_.ignoreKeying = false;
  rig_.failRead = true;
  EXPECT_FALSE(ptt_.KeyTransmitter());
  EXPECT_EQ(ptt_.LastFailure(), "Hamlib: reading PTT back: Communication timed out");
  EXPECT_EQ(std::count(calls_.begin(), calls_.end(), "delay 150"), 0);
}

TEST_F(PttHamlibTest, AnOwedReleaseIsClearedByALaterReleaseOrKeying) {
  ptt_.OpenPttPort();
  ASSERT_TRUE(ptt_.KeyTransmitter());
  rig_.failPtt = true;
  ptt_.ReleaseTransmitter();
  EXPECT_TRUE(ptt_.ReleaseOwed());
  EXPECT_EQ(ptt_.LastFailure(), "Hamlib: IO error");
  ptt_.ReleaseTransmitter();  // the queue asks again while idle: still failing
  EXPECT_TRUE(ptt_.ReleaseOwed());
  rig_.failPtt = false;
  Take();
  ptt_.ReleaseTransmitter();
  EXPECT_EQ(Take(), (Calls{"open", "ptt off"}));  // opened afresh
  EXPECT_FALSE(ptt_.ReleaseOwed());
  EXPECT_TRUE(ptt_.LastFailure().empty());
  EXPECT_FALSE(rig_.ptt);

  rig_.failPtt = true;
  ptt_.ReleaseTransmitter();
  ASSERT_TRUE(ptt_.ReleaseOwed());
  rig_.failPtt = false;
  EXPECT_TRUE(ptt_.KeyTransmitter());
  EXPECT_FALSE(ptt_.ReleaseOwed());
}

TEST_F(PttHamlibTest, ARadioThatWouldNotOpenIsOpenedAtTheNextKeying) {
  rig_.failOpen = true;
  ptt_.OpenPttPort();
  EXPECT_EQ(messages_.messages,
            Calls{"Sequelo: Error opening the radio for PTT (Hamlib): Connection refused"});
  EXPECT_EQ(ptt_.LastOpenError(), "Hamlib: Connection refused");
  EXPECT_FALSE(ptt_.KeyTransmitter());
  EXPECT_EQ(ptt_.LastFailure(), "Hamlib: Connection refused");
  EXPECT_EQ(messages_.messages.size(), 1U);  // said once already
  rig_.failOpen = false;                     // rigctld is back
  Take();
  EXPECT_TRUE(ptt_.KeyTransmitter());
  EXPECT_EQ(Take(), (Calls{"open", "ptt on", "read", "delay 150"}));
}

TEST_F(PttHamlibTest, NoHamlibOrAnUnknownPttTypeFailsWithAReason) {
  PttSettings s = ptt_.Settings();
  s.hamlibPttType = "VOX";
  ptt_.SetSettings(s);
  ptt_.OpenPttPort();
  EXPECT_TRUE(rig_.opened.empty());  // refused before Hamlib sees it
  ASSERT_EQ(messages_.messages.size(), 1U);
  EXPECT_NE(messages_.messages[0].find("unknown PTT type \"VOX\" (HamlibPttType: RIG, DTR, RTS, "
                                       "CM108, GPIO, GPION, PARALLEL, NONE)"),
            std::string::npos)
      << messages_.messages[0];
  s.hamlibPttType = "cm108";  // Hamlib's names in any case
  ptt_.SetSettings(s);
  ptt_.OpenPttPort();
  EXPECT_TRUE(ptt_.PortOpen());

  FakeMessageSink messages;
  PttController without(port_, messages, sleeper_);
  without.SetSettings(s);
  without.OpenPttPort();
  EXPECT_FALSE(without.KeyTransmitter());
  EXPECT_EQ(without.LastFailure(), "Hamlib: Hamlib is not available to this program");
  without.ReleaseTransmitter();
  EXPECT_FALSE(without.ReleaseOwed());  // nothing can have been keyed
}

TEST(PttDialogHamlib, FillShowsTheHamlibSettingsAndOkStoresThem) {
  PttSettings s;
  s.hamlibModel = 1035;
  s.hamlibPort = "/dev/ttyUSB1";
  s.hamlibSpeed = 19200;
  s.hamlibPttType = "Parallel";
  s.hamlibCm108Gpio = 4;
  PttDialogState state = FillPttDialog(s, {});
  EXPECT_TRUE(state.hamlib);
  EXPECT_EQ(state.hamlibModel, 1035);
  EXPECT_EQ(state.hamlibSpeedText, "19200");
  EXPECT_EQ(HamlibPttTypes()[static_cast<std::size_t>(state.hamlibPttTypeSelection)], "PARALLEL");
  EXPECT_EQ(state.hamlibCm108GpioSelection, 3);
  PttSettings stored = PttSettingsFromDialog(state);
  EXPECT_EQ(stored.hamlibModel, 1035);
  EXPECT_EQ(stored.hamlibPort, "/dev/ttyUSB1");
  EXPECT_EQ(stored.hamlibSpeed, 19200);
  EXPECT_EQ(stored.hamlibPttType, "PARALLEL");
  EXPECT_EQ(stored.hamlibCm108Gpio, 4);

  state.hamlib = false;  // CAT or Hardware checked: Hamlib off, its fields kept
  state.hamlibSpeedText = "99999999999";
  state.hamlibPttTypeSelection = -1;
  state.hamlibCm108GpioSelection = -1;
  stored = PttSettingsFromDialog(state);
  EXPECT_EQ(stored.hamlibModel, 0);
  EXPECT_EQ(stored.hamlibPort, "/dev/ttyUSB1");
  EXPECT_EQ(stored.hamlibSpeed, 4000000);
  EXPECT_EQ(stored.hamlibPttType, "RIG");
  EXPECT_EQ(stored.hamlibCm108Gpio, 3);
  // Off, the list offers rigctld first.
  EXPECT_EQ(FillPttDialog(PttSettings{}, {}).hamlibModel, kHamlibNetRigctlModel);
}

TEST(RigAddress, HostAndPortSplit) {
  std::string host;
  int port = 0;
  ASSERT_TRUE(SplitRigAddress("127.0.0.1:4533", host, port));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 4533);
  ASSERT_TRUE(SplitRigAddress("radio.local", host, port));
  EXPECT_EQ(host, "radio.local");
  EXPECT_EQ(port, 4532);
  ASSERT_TRUE(SplitRigAddress("[::1]:7000", host, port));
  EXPECT_EQ(host, "::1");
  EXPECT_EQ(port, 7000);
  ASSERT_TRUE(SplitRigAddress("fe80::1", host, port));
  EXPECT_EQ(host, "fe80::1");
  EXPECT_EQ(port, 4532);
  for (const char* bad : {"", ":4532", "host:", "host:0", "host:65536", "host:12x", "[::1",
                          "[::1]x", "[]:1", "host:-1"}) {
    EXPECT_FALSE(SplitRigAddress(bad, host, port)) << bad;
  }
}

}  // namespace
}  // namespace sequelo::tx
