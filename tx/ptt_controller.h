// Keys the transmitter before a transmission and releases it after, through
// one serial port: CAT command bytes, or the RTS or DTR line. Owns the port
// (open, configure, restore, close). Any thread may key and release; one lock
// keeps a re-open from the window thread from overlapping a keying from the
// capture or server thread. The TX delay is waited outside the lock.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/clock.h"
#include "core/message_sink.h"
#include "core/transmitter.h"
#include "tx/serial_port.h"

namespace sequelo::tx {

// The persisted PTT settings. Flags are integers as stored: any value but 0
// is true. Indexes outside their range keep the port's own value.
struct PttSettings {
  int usePttControl = 0;
  int comPort = 0;        // port number - 1: 0 is COM1 (/dev/ttyS0)
  int baudrate = 0;       // 0..4: 2400, 4800, 9600, 19200, 38400
  int databits = 0;       // 0..1: 7, 8
  int stopbits = 0;       // 0..1: one, two
  int parity = 0;         // 0..2: odd, even, none
  int cat = 0;            // CAT command bytes instead of a modem line
  int rts = 0;            // modem line: RTS instead of DTR
  std::string txCommand;  // hex text of the bytes that key (CAT)
  std::string rxCommand;  // hex text of the bytes that release (CAT)
  std::uint32_t txDelayMs = 0;
  std::string comDevice;  // device to open instead of /dev/ttyS<comPort>, e.g. /dev/ttyUSB0
};

inline constexpr std::string_view kPortOpenError = "Error opening com port for PTT.";
inline constexpr std::string_view kIllegalCatError =
    "Error with PTT control configuration (illegal CAT command)";
inline constexpr std::size_t kMaxCatBytes = 127;

// "COM1".."COM9" for indexes 0..8, "\\.\COM10" and up from index 9: the
// names operators know from the port list.
std::string ComPortName(int index);

// The device that is opened: `comDevice` when set, else /dev/ttyS<comPort>.
std::string PttDevicePath(const PttSettings& settings);

// 0..15 for '0'..'9' and 'A'..'F'; -1 for anything else.
int HexDigitValue(char c);

// Converts hex text, upper-cased in place, to bytes: pairs of hex digits, no
// separators. -1 for an odd length, more than 254 characters, or a character
// that is not a hex digit (the text is then left alone for the length cases).
// An empty text gives 0, which callers treat as illegal.
int HexCommandToBytes(std::string& text, std::array<std::uint8_t, 128>& bytes);

// Line parameters from the setting indexes; out-of-range indexes stay empty.
SerialConfig SerialConfigFromSettings(const PttSettings& settings);

class PttController final : public core::Transmitter {
 public:
  // All three must outlive the controller.
  PttController(SerialPort& port, core::MessageSink& messages, core::Sleeper& sleeper);

  PttSettings Settings() const;
  void SetSettings(const PttSettings& settings);

  // Restores and closes an open port; then, with PTT control on, opens and
  // configures the configured one. A failure shows kPortOpenError.
  void OpenPttPort();
  // Keys (CAT TX command, or raises the line) and waits the TX delay. With
  // PTT control off: nothing at all, not even the delay.
  bool KeyTransmitter() override;
  // Releases (CAT RX command, or lowers the line); never waits.
  void ReleaseTransmitter() override;
  // Releases once more, restores the port's own settings and closes it.
  void ClosePttPort();

  bool PortOpen() const;
  // Why the last open failed (empty after a successful open).
  std::string LastOpenError() const;

 private:
  // Writes the CAT command or moves the line. True when the command was legal.
  bool Act(bool key);

  SerialPort& port_;
  core::MessageSink& messages_;
  core::Sleeper& sleeper_;
  mutable std::mutex mutex_;
  PttSettings settings_;
  std::string lastOpenError_;
};

}  // namespace sequelo::tx
