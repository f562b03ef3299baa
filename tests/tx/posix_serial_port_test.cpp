// Tests of the Linux serial port: the termios it builds, opening and closing
// real (socat) pseudo-terminal pairs, the bytes that come out, the modem-line
// calls (through a fake: a pty has no modem lines) and device detection.
// Run on the test thread only.
#include "tx/posix_serial_port.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/socat_pty_pair.h"
#include "tests/support/temp_dir.h"

namespace sequelo::tx {
namespace {

namespace fs = std::filesystem;
using testsupport::OpenRaw;
using testsupport::ReadBytes;
using testsupport::SocatPtyPair;

::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "\"" << text << "\" does not contain \"" << part << "\"";
}

// ---------------------------------------------------------------------------
// ApplySerialConfig

// A termios with every field we touch set "the other way", and one with them
// clear, so that both setting and keeping a field are seen.
termios BaseWithFlagsSet() {
  termios t{};
  t.c_iflag = IXON | ICRNL;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag = CS5 | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | HUPCL;
  t.c_lflag = ICANON | ECHO;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 5;
  t.c_cc[VINTR] = 3;
  cfsetispeed(&t, B1200);
  cfsetospeed(&t, B1200);
  return t;
}

termios BaseWithFlagsClear() {
  termios t{};
  t.c_cflag = CS6;
  t.c_cc[VMIN] = 4;
  t.c_cc[VSTART] = 17;
  cfsetispeed(&t, B300);
  cfsetospeed(&t, B300);
  return t;
}

constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;

// Expected results; an empty field means "as the base had it".
struct ConfigCase {
  const char* name;
  SerialConfig config;
  std::optional<speed_t> speed;
  std::optional<tcflag_t> csize;
  std::optional<bool> twoStopBits;
  std::optional<tcflag_t> parity;
};

void PrintTo(const ConfigCase& c, std::ostream* os) {
  *os << c.name;
}

class ApplySerialConfigTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ApplySerialConfigTest, SetsGivenFieldsAndKeepsTheRest) {
  const ConfigCase& c = GetParam();
  for (const termios& base : {BaseWithFlagsSet(), BaseWithFlagsClear()}) {
    SCOPED_TRACE(base.c_cflag & CRTSCTS ? "base with flags set" : "base with flags clear");
    termios t = base;
    ApplySerialConfig(t, c.config);

    EXPECT_EQ(cfgetospeed(&t), c.speed.value_or(cfgetospeed(&base)));
    EXPECT_EQ(cfgetispeed(&t), c.speed.value_or(cfgetispeed(&base)));
    EXPECT_EQ(t.c_cflag & CSIZE, c.csize.value_or(base.c_cflag & CSIZE));
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStopBits.value_or((base.c_cflag & CSTOPB) != 0));
    EXPECT_EQ(t.c_cflag & kParityBits, c.parity.value_or(base.c_cflag & kParityBits));

    // Always: no RTS/CTS handshake, local line with the receiver on, raw
    // output, reads that return at once.
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    // Everything else as the port had it.
    const tcflag_t managed =
        CBAUD | CBAUDEX | CSIZE | CSTOPB | kParityBits | CRTSCTS | CLOCAL | CREAD;
    EXPECT_EQ(t.c_cflag & ~managed, base.c_cflag & ~managed);
    EXPECT_EQ(t.c_oflag & ~static_cast<tcflag_t>(OPOST), base.c_oflag & ~OPOST);
    EXPECT_EQ(t.c_iflag, base.c_iflag);
    EXPECT_EQ(t.c_lflag, base.c_lflag);
    for (std::size_t i = 0; i < NCCS; ++i) {
      if (i != VMIN && i != VTIME) {
        EXPECT_EQ(t.c_cc[i], base.c_cc[i]) << "c_cc[" << i << "]";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ApplySerialConfigTest,
    ::testing::Values(
        ConfigCase{"Empty", {}, {}, {}, {}, {}},
        ConfigCase{"Baud2400", {2400, {}, {}, {}}, B2400, {}, {}, {}},
        ConfigCase{"Baud4800", {4800, {}, {}, {}}, B4800, {}, {}, {}},
        ConfigCase{"Baud9600", {9600, {}, {}, {}}, B9600, {}, {}, {}},
        ConfigCase{"Baud19200", {19200, {}, {}, {}}, B19200, {}, {}, {}},
        ConfigCase{"Baud38400", {38400, {}, {}, {}}, B38400, {}, {}, {}},
        ConfigCase{"Baud1200Kept", {1200, {}, {}, {}}, {}, {}, {}, {}},
        ConfigCase{"Baud115200Kept", {115200, {}, {}, {}}, {}, {}, {}, {}},
        ConfigCase{"Baud0Kept", {0, {}, {}, {}}, {}, {}, {}, {}},
        ConfigCase{"BaudNegativeKept", {-9600, {}, {}, {}}, {}, {}, {}, {}},
        ConfigCase{"DataBits7", {{}, 7, {}, {}}, {}, CS7, {}, {}},
        ConfigCase{"DataBits8", {{}, 8, {}, {}}, {}, CS8, {}, {}},
        ConfigCase{"DataBits5Kept", {{}, 5, {}, {}}, {}, {}, {}, {}},
        ConfigCase{"DataBits9Kept", {{}, 9, {}, {}}, {}, {}, {}, {}},
        ConfigCase{"StopBits1", {{}, {}, 1, {}}, {}, {}, false, {}},
        ConfigCase{"StopBits2", {{}, {}, 2, {}}, {}, {}, true, {}},
        ConfigCase{"StopBits0Kept", {{}, {}, 0, {}}, {}, {}, {}, {}},
        ConfigCase{"StopBits3Kept", {{}, {}, 3, {}}, {}, {}, {}, {}},
        ConfigCase{"ParityOdd", {{}, {}, {}, Parity::kOdd}, {}, {}, {}, PARENB | PARODD},
        ConfigCase{"ParityEven", {{}, {}, {}, Parity::kEven}, {}, {}, {}, PARENB},
        ConfigCase{"ParityNone", {{}, {}, {}, Parity::kNone}, {}, {}, {}, 0},
        ConfigCase{"All", {38400, 7, 2, Parity::kEven}, B38400, CS7, true, PARENB},
        ConfigCase{"AllOther", {2400, 8, 1, Parity::kOdd}, B2400, CS8, false, PARENB | PARODD}),
    [](const ::testing::TestParamInfo<ConfigCase>& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------
// The port

struct LineCall {
  int fd;
  int bits;
  bool on;
  bool fdValid;  // the descriptor was open when the call came
};

class FakeModemLines final : public ModemLineControl {
 public:
  bool Change(int fd, int bits, bool on) override {
    calls.push_back({fd, bits, on, ::fcntl(fd, F_GETFD) != -1});
    return accept;
  }
  std::vector<LineCall> calls;
  bool accept = true;
};

// A temporary folder, removed at the end of the test.
class TempDir : public testsupport::ScopedTempDir {
 public:
  const fs::path& Path() const { return path(); }
};

TEST(PosixSerialPortErrors, MissingDeviceNamesDeviceAndCause) {
  FakeModemLines lines;
  PosixSerialPort port(lines);
  const std::string device = "/nonexistent-sequelo/ttyUSB0";
  EXPECT_FALSE(port.Open(device));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Error(), "cannot open " + device + ": " + std::strerror(ENOENT));
  EXPECT_TRUE(lines.calls.empty());
}

TEST(PosixSerialPortErrors, RegularFileIsNotASerialPortAndIsLeftUnlocked) {
  TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  const std::string file = (dir.Path() / "not-a-tty").string();
  std::ofstream(file) << "x";
  FakeModemLines lines;
  PosixSerialPort port(lines);
  EXPECT_FALSE(port.Open(file));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_TRUE(Contains(port.Error(), "not a serial port: " + std::string(std::strerror(ENOTTY))));
  EXPECT_TRUE(Contains(port.Error(), file));
  EXPECT_EQ(port.Error().find('\n'), std::string::npos);
  // The failed open released its lock.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << std::strerror(errno);
  ::close(fd);
}

TEST(PosixSerialPortErrors, ClosedPortRefusesEverythingButClose) {
  FakeModemLines lines;
  PosixSerialPort port(lines);
  const std::array<std::uint8_t, 2> bytes{0x41, 0x0A};
  EXPECT_FALSE(port.Write(bytes));
  EXPECT_FALSE(port.Error().empty());
  EXPECT_FALSE(port.SetLine(ModemLine::kRts, true));
  EXPECT_FALSE(port.SetLine(ModemLine::kDtr, false));
  EXPECT_FALSE(port.Configure(SerialConfig{9600, 8, 1, Parity::kNone}));
  port.RestoreAndClose();
  port.RestoreAndClose();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_TRUE(lines.calls.empty());
}

bool SameTermios(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
         cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

class PosixSerialPortOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SocatPtyPair::SocatAvailable()) {
      GTEST_SKIP() << "socat is not in PATH (scripts/install-deps installs it)";
    }
    ASSERT_TRUE(pair_.Start()) << pair_.Error();
  }
  SocatPtyPair pair_;
  FakeModemLines lines_;
};

TEST_F(PosixSerialPortOnPty, BytesArriveExactlyEvenWhereOutputProcessingWasOn) {
  const int far = OpenRaw(pair_.EndB());
  ASSERT_GE(far, 0) << std::strerror(errno);
  // The near end starts with newline translation on, as a login tty has it.
  // First make sure this setup would show the fault at all.
  {
    const int near = OpenRaw(pair_.EndA());
    ASSERT_GE(near, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(near, &t), 0);
    t.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(::tcsetattr(near, TCSANOW, &t), 0);
    const std::uint8_t lf = 0x0A;
    ASSERT_EQ(::write(near, &lf, 1), 1);
    ::close(near);
    ASSERT_EQ(ReadBytes(far, 2), (std::vector<std::uint8_t>{0x0D, 0x0A}));
  }

  PosixSerialPort port(lines_);
  ASSERT_TRUE(port.Open(pair_.EndA())) << port.Error();
  ASSERT_TRUE(port.Configure(SerialConfig{9600, 8, 1, Parity::kNone})) << port.Error();
  std::vector<std::uint8_t> sent = {0x0A, 0x0D, 0x00, 0xFF, 0x0D, 0x0A, 0x03, 0x11, 0x13, 0x7F};
  for (int i = 0; i < 256; ++i) {
    sent.push_back(static_cast<std::uint8_t>(i));
  }
  ASSERT_TRUE(port.Write(sent)) << port.Error();
  EXPECT_EQ(ReadBytes(far, sent.size()), sent);
  ::close(far);
}

TEST_F(PosixSerialPortOnPty, SecondOpenerIsRefusedUntilTheFirstCloses) {
  PosixSerialPort first(lines_);
  ASSERT_TRUE(first.Open(pair_.EndA())) << first.Error();
  FakeModemLines otherLines;
  PosixSerialPort second(otherLines);
  EXPECT_FALSE(second.Open(pair_.EndA()));
  EXPECT_FALSE(second.IsOpen());
  if (::geteuid() == 0) {
    // Root passes TIOCEXCL; the lock is what stops it.
    EXPECT_TRUE(Contains(second.Error(), "port is in use by another program"));
  }
  EXPECT_TRUE(Contains(second.Error(), pair_.EndA()));
  // The refused opener must not touch the lines of a radio it does not own.
  EXPECT_TRUE(otherLines.calls.empty());
  EXPECT_TRUE(first.IsOpen());

  first.RestoreAndClose();
  EXPECT_TRUE(second.Open(pair_.EndA())) << second.Error();
}

TEST_F(PosixSerialPortOnPty, ReopeningOrDestroyingReleasesThePort) {
  {
    PosixSerialPort port(lines_);
    ASSERT_TRUE(port.Open(pair_.EndA())) << port.Error();
    ASSERT_TRUE(port.Open(pair_.EndB())) << port.Error();
    PosixSerialPort other(lines_);
    EXPECT_TRUE(other.Open(pair_.EndA())) << "the first device is still held: " << other.Error();
  }
  PosixSerialPort again(lines_);
  EXPECT_TRUE(again.Open(pair_.EndB())) << "the destroyed port still holds it: " << again.Error();
}

TEST_F(PosixSerialPortOnPty, CloseGivesBackTheSettingsThePortHad) {
  // A watcher opened first keeps seeing the device while the port holds it.
  const int watch = OpenRaw(pair_.EndA());
  ASSERT_GE(watch, 0) << std::strerror(errno);
  termios before{};
  ASSERT_EQ(::tcgetattr(watch, &before), 0);
  cfsetispeed(&before, B4800);
  cfsetospeed(&before, B4800);
  before.c_oflag |= OPOST | ONLCR;
  before.c_cc[VMIN] = 1;
  ASSERT_EQ(::tcsetattr(watch, TCSANOW, &before), 0);
  ASSERT_EQ(::tcgetattr(watch, &before), 0);
  ASSERT_EQ(cfgetospeed(&before), static_cast<speed_t>(B4800));

  PosixSerialPort port(lines_);
  ASSERT_TRUE(port.Open(pair_.EndA())) << port.Error();
  ASSERT_TRUE(port.Configure(SerialConfig{19200, 8, 2, Parity::kNone})) << port.Error();
  termios during{};
  ASSERT_EQ(::tcgetattr(watch, &during), 0);
  // A pty keeps the speed and stop bits, so the configuration took effect.
  EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B19200));
  EXPECT_NE(during.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(during.c_oflag & OPOST, 0u);
  // Other users are kept out while the port is ours.
  int exclusive = 0;
  ASSERT_EQ(::ioctl(watch, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);

  // Each configuration starts from the remembered settings, not the last one.
  ASSERT_TRUE(port.Configure(SerialConfig{{}, {}, 1, {}})) << port.Error();
  ASSERT_EQ(::tcgetattr(watch, &during), 0);
  EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B4800));

  port.RestoreAndClose();
  EXPECT_FALSE(port.IsOpen());
  termios after{};
  ASSERT_EQ(::tcgetattr(watch, &after), 0);
  EXPECT_TRUE(SameTermios(after, before));
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B4800));
  ASSERT_EQ(::ioctl(watch, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  ::close(watch);

  EXPECT_TRUE(port.Open(pair_.EndA())) << port.Error();
}

TEST_F(PosixSerialPortOnPty, OpenLowersDtrAndRtsBeforeAnythingElse) {
  PosixSerialPort port(lines_);
  ASSERT_TRUE(port.Open(pair_.EndA())) << port.Error();
  ASSERT_EQ(lines_.calls.size(), 1u);
  EXPECT_EQ(lines_.calls[0].bits, TIOCM_DTR | TIOCM_RTS);
  EXPECT_FALSE(lines_.calls[0].on);
  EXPECT_TRUE(lines_.calls[0].fdValid);
}

TEST_F(PosixSerialPortOnPty, WritesAfterOpenWaitForTheLine) {
  PosixSerialPort port(lines_);
  ASSERT_TRUE(port.Open(pair_.EndA())) << port.Error();
  ASSERT_FALSE(lines_.calls.empty());
  // Opening does not wait for a carrier, but writes afterwards must wait for
  // a slow line instead of failing half-way.
  const int flags = ::fcntl(lines_.calls[0].fd, F_GETFL);
  ASSERT_NE(flags, -1);
  EXPECT_EQ(flags & O_NONBLOCK, 0);
}

TEST_F(PosixSerialPortOnPty, OpenSucceedsThoughThePtyHasNoModemLines) {
  lines_.accept = false;
  PosixSerialPort port(lines_);
  EXPECT_TRUE(port.Open(pair_.EndA())) << port.Error();
  EXPECT_EQ(lines_.calls.size(), 1u);

  // And through the real ioctls, which a pty refuses.
  PosixSerialPort real;
  EXPECT_TRUE(real.Open(pair_.EndB())) << real.Error();
  EXPECT_FALSE(real.SetLine(ModemLine::kRts, true));
  EXPECT_TRUE(Contains(real.Error(), "RTS"));
}

TEST_F(PosixSerialPortOnPty, SetLineDrivesTheMatchingBit) {
  PosixSerialPort port(lines_);
  ASSERT_TRUE(port.Open(pair_.EndA())) << port.Error();
  const int fd = lines_.calls.at(0).fd;
  struct Step {
    ModemLine line;
    bool on;
    int bits;
  };
  const Step steps[] = {{ModemLine::kRts, true, TIOCM_RTS},
                        {ModemLine::kRts, false, TIOCM_RTS},
                        {ModemLine::kDtr, true, TIOCM_DTR},
                        {ModemLine::kDtr, false, TIOCM_DTR}};
  for (const Step& s : steps) {
    lines_.calls.clear();
    EXPECT_TRUE(port.SetLine(s.line, s.on)) << port.Error();
    ASSERT_EQ(lines_.calls.size(), 1u);
    EXPECT_EQ(lines_.calls[0].fd, fd);
    EXPECT_EQ(lines_.calls[0].bits, s.bits);
    EXPECT_EQ(lines_.calls[0].on, s.on);
  }

  lines_.accept = false;
  EXPECT_FALSE(port.SetLine(ModemLine::kDtr, true));
  EXPECT_TRUE(Contains(port.Error(), "DTR"));
}

TEST_F(PosixSerialPortOnPty, ClosedAfterUseRefusesWritesAndLines) {
  PosixSerialPort port(lines_);
  ASSERT_TRUE(port.Open(pair_.EndA())) << port.Error();
  port.RestoreAndClose();
  lines_.calls.clear();
  const std::array<std::uint8_t, 1> byte{0x55};
  EXPECT_FALSE(port.Write(byte));
  EXPECT_FALSE(port.SetLine(ModemLine::kRts, false));
  EXPECT_TRUE(lines_.calls.empty());
}

// ---------------------------------------------------------------------------
// DetectSerialDevices

void Touch(const fs::path& p) {
  std::ofstream{p};
}

TEST(DetectSerialDevices, ListsByIdLinksThenUsbAcmAndOnboardInNaturalOrder) {
  TempDir dev;
  ASSERT_FALSE(dev.Path().empty());
  const fs::path& d = dev.Path();
  for (const char* name : {"ttyS10", "ttyS2", "ttyS0", "ttyUSB10", "ttyUSB2", "ttyUSB0", "ttyACM1",
                           "ttyACM0", "tty0", "tty10", "console", "null", "ttyAMA0"}) {
    Touch(d / name);
  }
  fs::create_directories(d / "serial" / "by-id");
  fs::create_symlink("../../ttyUSB2", d / "serial/by-id/usb-FTDI_FT232R_B10-if00-port0");
  fs::create_symlink("../../ttyUSB0", d / "serial/by-id/usb-FTDI_FT232R_B9-if00-port0");
  fs::create_symlink("../../ttyUSB7", d / "serial/by-id/usb-Unplugged-if00-port0");

  const std::vector<std::string> expected = {
      (d / "serial/by-id/usb-FTDI_FT232R_B9-if00-port0").string(),
      (d / "serial/by-id/usb-FTDI_FT232R_B10-if00-port0").string(),
      (d / "ttyUSB0").string(),
      (d / "ttyUSB2").string(),
      (d / "ttyUSB10").string(),
      (d / "ttyACM0").string(),
      (d / "ttyACM1").string(),
      (d / "ttyS0").string(),
      (d / "ttyS2").string(),
      (d / "ttyS10").string()};
  EXPECT_EQ(DetectSerialDevices(d), expected);
}

TEST(DetectSerialDevices, WorksWithoutByIdFolder) {
  TempDir dev;
  ASSERT_FALSE(dev.Path().empty());
  Touch(dev.Path() / "ttyS1");
  Touch(dev.Path() / "ttyACM0");
  const std::vector<std::string> expected = {(dev.Path() / "ttyACM0").string(),
                                             (dev.Path() / "ttyS1").string()};
  EXPECT_EQ(DetectSerialDevices(dev.Path()), expected);
}

TEST(DetectSerialDevices, MissingRootGivesNothing) {
  TempDir dev;
  ASSERT_FALSE(dev.Path().empty());
  EXPECT_TRUE(DetectSerialDevices(dev.Path() / "absent").empty());
  EXPECT_TRUE(DetectSerialDevices(dev.Path()).empty());
}

}  // namespace
}  // namespace sequelo::tx
