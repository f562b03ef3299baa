#include "app/station_commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/fake_rig.h"
#include "tests/support/fakes.h"
#include "tests/support/temp_dir.h"

namespace sequelo::app {
namespace {

namespace fs = std::filesystem;
using testsupport::FakeMessageSink;
using testsupport::FakeSerialPort;
using testsupport::FakeSleeper;

class PttTestCommand : public ::testing::Test {
 protected:
  void SetUp() override { out_ = std::tmpfile(); }
  void TearDown() override { std::fclose(out_); }
  void Ini(const std::string& keys) {
    std::ofstream(dir_ / "Sequelo.ini") << "[Sequelo]\n" << keys;
  }
  int Run(std::uint32_t holdMs = 2000) {
    return RunPttTestCommand(dir_.string(), holdMs, port_, messages_, sleeper_, out_);
  }
  std::string Output() { return testsupport::ReadStream(out_); }

  testsupport::ScopedTempDir tmp_;
  const fs::path& dir_ = tmp_.path();
  std::FILE* out_ = nullptr;
  FakeSerialPort port_;
  FakeMessageSink messages_;
  FakeSleeper sleeper_;
};

TEST_F(PttTestCommand, KeysHoldsReleasesAndRestores) {
  Ini("UsePTTControl=1\nRTS=1\nTXDelay=120\nComDevice=/dev/ttyUSB3\nBaudrate=2\n");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(port_.opens, std::vector<std::string>{"/dev/ttyUSB3"});
  // Keyed, released, and released once more as the port closes.
  EXPECT_EQ(port_.lines, (std::vector<FakeSerialPort::LineChange>{{tx::ModemLine::kRts, true},
                                                                  {tx::ModemLine::kRts, false},
                                                                  {tx::ModemLine::kRts, false}}));
  EXPECT_EQ(sleeper_.sleeps, (std::vector<std::uint32_t>{120, 2000}));
  EXPECT_EQ(port_.restores, 1);
  const std::string out = Output();
  EXPECT_NE(out.find("the RTS line on /dev/ttyUSB3 (COM1), 9600 baud"), std::string::npos) << out;
  EXPECT_NE(out.find("Released the transmitter."), std::string::npos);
}

TEST_F(PttTestCommand, RefusesWhenPttControlIsOff) {
  Ini("UsePTTControl=0\nRTS=1\n");
  EXPECT_EQ(Run(), 1);
  EXPECT_TRUE(port_.opens.empty());
  EXPECT_NE(Output().find("PTT control is off"), std::string::npos);
}

TEST_F(PttTestCommand, ReportsAPortThatWillNotOpen) {
  Ini("UsePTTControl=1\nComPort=4\n");
  port_.failOpen = true;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(port_.opens, std::vector<std::string>{"/dev/ttyS4"});
  EXPECT_EQ(messages_.messages,
            std::vector<std::string>{"Sequelo: Error opening com port for PTT."});
  EXPECT_NE(Output().find("Not tested: cannot open"), std::string::npos);
  EXPECT_TRUE(sleeper_.sleeps.empty());
}

TEST_F(PttTestCommand, CatModeWritesTheCommandsAndFlagsIllegalOnes) {
  Ini("UsePTTControl=1\nCAT=1\nTXCommand=fe0a\nRXCommand=FE0B\n");
  EXPECT_EQ(Run(0), 0);
  EXPECT_EQ(port_.writes,
            (std::vector<std::vector<std::uint8_t>>{{0xFE, 0x0A}, {0xFE, 0x0B}, {0xFE, 0x0B}}));
  Ini("UsePTTControl=1\nCAT=1\nTXCommand=fe 0a\nRXCommand=FE0B\n");
  EXPECT_EQ(Run(0), 1);
  EXPECT_EQ(messages_.messages.size(), 1U);
}

TEST_F(PttTestCommand, ThroughHamlibReportsTheReadBackAndFailsWhatIsNotConfirmed) {
  Ini("UsePTTControl=1\nTXDelay=120\nHamlibModel=2\nHamlibPort=127.0.0.1:4532\n");
  testsupport::FakeRig rig;
  EXPECT_EQ(RunPttTestCommand(dir_.string(), 500, port_, messages_, sleeper_, out_, &rig), 0);
  EXPECT_EQ(rig.Calls(), (std::vector<std::string>{"open", "ptt on", "read", "read", "ptt off",
                                                   "read", "ptt off", "close"}));
  EXPECT_EQ(sleeper_.sleeps, (std::vector<std::uint32_t>{120, 500}));
  EXPECT_TRUE(port_.opens.empty());
  std::string out = Output();
  EXPECT_NE(out.find("Keying through Hamlib: model 2 Hamlib NET rigctl on 127.0.0.1:4532, the "
                     "model's speed, PTT type RIG; TX delay 120 ms"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Keyed: Hamlib took it, the radio reads PTT on."), std::string::npos);
  EXPECT_NE(out.find("Released the transmitter, the radio reads PTT off."), std::string::npos);

  rig.ignoreKeying = true;  // takes the command, does not key
  EXPECT_EQ(RunPttTestCommand(dir_.string(), 500, port_, messages_, sleeper_, out_, &rig), 1);
  out = Output();
  EXPECT_NE(out.find("Keying not confirmed: Hamlib: the radio reads PTT off after keying"),
            std::string::npos)
      << out;
  rig.failOpen = true;
  EXPECT_EQ(RunPttTestCommand(dir_.string(), 500, port_, messages_, sleeper_, out_, &rig), 1);
  EXPECT_NE(Output().find("Not tested: Hamlib: Connection refused"), std::string::npos);
}

TEST(RigsCommand, ListsOneModelALine) {
  std::FILE* out = std::tmpfile();
  EXPECT_EQ(RunRigsCommand({{1, "Hamlib", "Dummy"}, {2, "Hamlib", "NET rigctl"}}, out), 0);
  EXPECT_EQ(testsupport::ReadStream(out), "1 Hamlib Dummy\n2 Hamlib NET rigctl\n");
  std::fclose(out);
}

TEST(PortsCommand, ListsOnePerLineOrSaysNone) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  EXPECT_EQ(RunPortsCommand({"/dev/ttyUSB0", "/dev/ttyS0"}, out, err), 0);
  EXPECT_EQ(RunPortsCommand({}, out, err), 0);
  std::rewind(out);
  std::rewind(err);
  char a[128] = {};
  char b[128] = {};
  EXPECT_EQ(std::string(a, std::fread(a, 1, sizeof a, out)), "/dev/ttyUSB0\n/dev/ttyS0\n");
  EXPECT_EQ(std::string(b, std::fread(b, 1, sizeof b, err)), "No serial devices found.\n");
  std::fclose(out);
  std::fclose(err);
}

}  // namespace
}  // namespace sequelo::app
