// The serial port on Linux: termios for the line settings, an exclusive lock
// so no other program (root included) shares the port, and the modem-line
// ioctls behind a small interface (a pseudo-terminal refuses them, so tests
// put a fake in their place). Also lists the serial devices a user may pick.
// Not thread-safe: PosixSerialPort is driven by the PTT controller alone;
// ApplySerialConfig and DetectSerialDevices may be called from any thread.
#pragma once

#include <termios.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "tx/serial_port.h"

namespace sequelo::tx {

// Raises or lowers the RTS and DTR lines of an open port.
class ModemLineControl {
 public:
  virtual ~ModemLineControl() = default;

  // `bits` is TIOCM_RTS, TIOCM_DTR or both. False (with errno set) if the
  // device refused.
  virtual bool Change(int fd, int bits, bool on) = 0;
};

// The real lines, through TIOCMBIS and TIOCMBIC.
class IoctlModemLines final : public ModemLineControl {
 public:
  bool Change(int fd, int bits, bool on) override;
};

// Builds the termios for `config` on top of `t`: the given fields are set
// (a baud rate, data bit count or stop bit count we do not offer keeps the
// port's value), the port never uses RTS/CTS handshake (those lines key the
// radio), output goes out unprocessed, reads never block, and every other
// field keeps the port's value.
void ApplySerialConfig(termios& t, const SerialConfig& config);

class PosixSerialPort final : public SerialPort {
 public:
  // Drives the modem lines through the real ioctls.
  PosixSerialPort();
  // Drives the modem lines through `lines`, which must outlive the port.
  explicit PosixSerialPort(ModemLineControl& lines);
  ~PosixSerialPort() override;

  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  bool Open(const std::string& device) override;
  bool IsOpen() const override { return fd_ >= 0; }
  bool Configure(const SerialConfig& config) override;
  bool Write(std::span<const std::uint8_t> bytes) override;
  bool SetLine(ModemLine line, bool on) override;
  void RestoreAndClose() override;
  std::string Error() const override { return error_; }

 private:
  bool Fail(std::string message);
  bool FailNotOpen();

  IoctlModemLines ownLines_;
  ModemLineControl& lines_;
  int fd_ = -1;
  std::string device_;
  termios saved_{};
  std::string error_;
};

// Serial devices to offer, in this order: the links in
// <devRoot>/serial/by-id (named as the links, which stay the same whatever
// order the adapters were plugged in), then ttyUSB*, ttyACM* and ttyS* in
// <devRoot>. Each group is sorted with numbers by value (ttyS2 before
// ttyS10). A missing folder gives no entries; links to nothing are left out.
std::vector<std::string> DetectSerialDevices(const std::filesystem::path& devRoot = "/dev");

}  // namespace sequelo::tx
