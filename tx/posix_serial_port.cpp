// The serial port on Linux (termios, flock, modem-line ioctls) and the list of
// serial devices. PosixSerialPort is called from the PTT controller's thread
// only; the free functions from any thread.
#include "tx/posix_serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>

namespace sequelo::tx {
namespace {

std::string ErrnoText(int error) {
  return std::strerror(error);
}

// Retries a system call that was interrupted by a signal.
template <typename Call>
auto RetryOnEintr(Call call) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) {
      return result;
    }
  }
}

bool SpeedFor(int baud, speed_t& speed) {
  switch (baud) {
    case 2400:
      speed = B2400;
      return true;
    case 4800:
      speed = B4800;
      return true;
    case 9600:
      speed = B9600;
      return true;
    case 19200:
      speed = B19200;
      return true;
    case 38400:
      speed = B38400;
      return true;
    default:
      return false;
  }
}

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Orders names with runs of digits compared by value: "ttyS2" < "ttyS10".
bool NaturalLess(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      std::size_t endA = i;
      std::size_t endB = j;
      while (endA < a.size() && IsDigit(a[endA])) {
        ++endA;
      }
      while (endB < b.size() && IsDigit(b[endB])) {
        ++endB;
      }
      // Leading zeros do not change the value.
      std::size_t startA = i;
      std::size_t startB = j;
      while (startA + 1 < endA && a[startA] == '0') {
        ++startA;
      }
      while (startB + 1 < endB && b[startB] == '0') {
        ++startB;
      }
      const std::string_view numA = a.substr(startA, endA - startA);
      const std::string_view numB = b.substr(startB, endB - startB);
      if (numA.size() != numB.size()) {
        return numA.size() < numB.size();
      }
      if (numA != numB) {
        return numA < numB;
      }
      // Same value: the shorter spelling ("1" before "01") first.
      if (endA - i != endB - j) {
        return endA - i < endB - j;
      }
      i = endA;
      j = endB;
      continue;
    }
    if (a[i] != b[j]) {
      return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
    }
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

// Paths of the entries of `dir` whose names start with `prefix`, or that
// lead to something when followed (for the by-id links). Sorted naturally.
std::vector<std::string> ListEntries(const std::filesystem::path& dir, std::string_view prefix,
                                     bool requireTarget) {
  std::vector<std::string> names;
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec);
  if (ec) {
    return {};
  }
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) {
      break;
    }
    const std::string name = it->path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) {
      continue;
    }
    std::error_code existsError;
    if (requireTarget && !std::filesystem::exists(it->path(), existsError)) {
      continue;
    }
    names.push_back(name);
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return NaturalLess(a, b); });
  std::vector<std::string> paths;
  paths.reserve(names.size());
  for (const auto& name : names) {
    paths.push_back((dir / name).string());
  }
  return paths;
}

}  // namespace

bool IoctlModemLines::Change(int fd, int bits, bool on) {
  return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

void ApplySerialConfig(termios& t, const SerialConfig& config) {
  speed_t speed = 0;
  if (config.baud && SpeedFor(*config.baud, speed)) {
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
  }
  if (config.dataBits == 7 || config.dataBits == 8) {
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    t.c_cflag |= *config.dataBits == 7 ? CS7 : CS8;
  }
  if (config.stopBits == 1) {
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  } else if (config.stopBits == 2) {
    t.c_cflag |= CSTOPB;
  }
  if (config.parity) {
    // CMSPAR would turn odd/even into mark/space parity.
    t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
    if (*config.parity == Parity::kOdd) {
      t.c_cflag |= PARENB | PARODD;
    } else if (*config.parity == Parity::kEven) {
      t.c_cflag |= PARENB;
    }
  }
  // RTS and DTR key the radio: the driver must never move them for flow
  // control. The port is ours alone (CLOCAL) and reads are enabled.
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD;
  // Bytes go out as given: with output processing a 0x0A inside a CAT
  // command would leave as 0x0D 0x0A.
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

PosixSerialPort::PosixSerialPort() : lines_(ownLines_) {}

PosixSerialPort::PosixSerialPort(ModemLineControl& lines) : lines_(lines) {}

PosixSerialPort::~PosixSerialPort() {
  RestoreAndClose();
}

bool PosixSerialPort::Fail(std::string message) {
  error_ = std::move(message);
  return false;
}

bool PosixSerialPort::FailNotOpen() {
  return Fail("serial port is not open");
}

bool PosixSerialPort::Open(const std::string& device) {
  RestoreAndClose();
  error_.clear();

  const int fd = RetryOnEintr(
      [&] { return ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) {
    return Fail("cannot open " + device + ": " + ErrnoText(errno));
  }
  // TIOCEXCL keeps out other users but not root; the lock keeps out every
  // program that locks too (as the usual serial tools do).
  if (RetryOnEintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) {
      return Fail("cannot open " + device + ": port is in use by another program");
    }
    return Fail("cannot lock " + device + ": " + ErrnoText(error));
  }
  ::ioctl(fd, TIOCEXCL);
  // Opening raised DTR and RTS; a radio keyed by either is transmitting now.
  // A device without modem lines refuses, which is fine.
  lines_.Change(fd, TIOCM_DTR | TIOCM_RTS, false);

  if (::tcgetattr(fd, &saved_) != 0) {
    const int error = errno;
    ::close(fd);
    return Fail("cannot open " + device + ": not a serial port: " + ErrnoText(error));
  }
  // Writes wait until the bytes are taken; reads (unused) never wait anyway.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
    const int error = errno;
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    return Fail("cannot open " + device + ": " + ErrnoText(error));
  }
  fd_ = fd;
  device_ = device;
  return true;
}

bool PosixSerialPort::Configure(const SerialConfig& config) {
  if (!IsOpen()) {
    return FailNotOpen();
  }
  termios t = saved_;
  ApplySerialConfig(t, config);
  if (RetryOnEintr([&] { return ::tcsetattr(fd_, TCSANOW, &t); }) != 0) {
    return Fail("cannot configure " + device_ + ": " + ErrnoText(errno));
  }
  return true;
}

bool PosixSerialPort::Write(std::span<const std::uint8_t> bytes) {
  if (!IsOpen()) {
    return FailNotOpen();
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return Fail("cannot write to " + device_ + ": " + ErrnoText(errno));
    }
    done += static_cast<std::size_t>(written);
  }
  if (RetryOnEintr([&] { return ::tcdrain(fd_); }) != 0) {
    return Fail("cannot write to " + device_ + ": " + ErrnoText(errno));
  }
  return true;
}

bool PosixSerialPort::SetLine(ModemLine line, bool on) {
  if (!IsOpen()) {
    return FailNotOpen();
  }
  const bool rts = line == ModemLine::kRts;
  errno = 0;
  if (!lines_.Change(fd_, rts ? TIOCM_RTS : TIOCM_DTR, on)) {
    const int error = errno;
    std::string message = std::string("cannot ") + (on ? "raise " : "lower ") +
                          (rts ? "RTS" : "DTR") + " on " + device_;
    if (error != 0) {
      message += ": " + ErrnoText(error);
    }
    return Fail(std::move(message));
  }
  return true;
}

void PosixSerialPort::RestoreAndClose() {
  if (!IsOpen()) {
    return;
  }
  RetryOnEintr([&] { return ::tcsetattr(fd_, TCSANOW, &saved_); });
  ::ioctl(fd_, TIOCNXCL);
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
  device_.clear();
}

std::vector<std::string> DetectSerialDevices(const std::filesystem::path& devRoot) {
  std::vector<std::string> devices;
  std::set<std::string> seen;
  const auto add = [&](std::vector<std::string> group) {
    for (auto& path : group) {
      if (seen.insert(path).second) {
        devices.push_back(std::move(path));
      }
    }
  };
  add(ListEntries(devRoot / "serial" / "by-id", "", true));
  add(ListEntries(devRoot, "ttyUSB", false));
  add(ListEntries(devRoot, "ttyACM", false));
  add(ListEntries(devRoot, "ttyS", false));
  return devices;
}

}  // namespace sequelo::tx
