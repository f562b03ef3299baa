// The serial port that keys the transmitter, as the PTT logic needs it: open
// one device exclusively, configure it on top of the settings it had, write
// bytes, raise and lower RTS and DTR, and give the port back as it was.
// Not thread-safe: the PTT controller serialises every call.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace sequelo::tx {

enum class Parity { kOdd, kEven, kNone };

// Line parameters to set; an empty field keeps the value the port had.
struct SerialConfig {
  std::optional<int> baud;      // 2400, 4800, 9600, 19200 or 38400
  std::optional<int> dataBits;  // 7 or 8
  std::optional<int> stopBits;  // 1 or 2
  std::optional<Parity> parity;
};

enum class ModemLine { kRts, kDtr };

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Opens `device` for reading and writing, exclusively (a second opener
  // fails, root included), remembers the port's settings as they are, and
  // lowers DTR and RTS at once (opening raises both, which would key a radio
  // wired for RTS/DTR keying). False with Error() on failure.
  virtual bool Open(const std::string& device) = 0;
  virtual bool IsOpen() const = 0;

  // Applies `config` to a copy of the remembered settings, with no hardware
  // handshake on RTS/DTR and bytes passed through unaltered.
  virtual bool Configure(const SerialConfig& config) = 0;

  // Writes all bytes in one write. False if not open or the write failed.
  virtual bool Write(std::span<const std::uint8_t> bytes) = 0;

  // Raises (on) or lowers one modem line. False if not open or refused.
  virtual bool SetLine(ModemLine line, bool on) = 0;

  // Writes the remembered settings back and closes. Harmless when closed.
  virtual void RestoreAndClose() = 0;

  virtual std::string Error() const = 0;
};

}  // namespace sequelo::tx
