// Keys the transmitter before a transmission and releases it after, through
// one serial port: CAT command bytes, or the RTS or DTR line. Owns the port
// (open, configure, restore, close). Any thread may key and release; one lock
// keeps a re-open from the window thread from overlapping a keying from the
// capture or server thread. The TX delay is waited outside the lock.
//
// With a Hamlib model set, the radio is keyed through Hamlib instead (a
// RigLink): a keying counts only when Hamlib took it and the radio, where it
// can tell, reads its PTT on; a release Hamlib did not take stays owed. A
// link that failed is closed and opened again at the next keying or
// release, and a command that fails on a link opened earlier is tried once
// more on a fresh one, so a rigctld that went away and came back is found
// again. Every Hamlib call is made under the lock (Hamlib's radio handle is
// not thread-safe).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/clock.h"
#include "core/message_sink.h"
#include "core/transmitter.h"
#include "tx/hamlib_rig.h"
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
  // Keying through Hamlib. Model 0: off (the serial port above keys);
  // 2: rigctld at hamlibPort (host:port); any other: that radio.
  int hamlibModel = 0;
  std::string hamlibPort;             // device or host:port; empty: Hamlib's default
  int hamlibSpeed = 0;                // baud; 0: the model's default
  std::string hamlibPttType = "RIG";  // one of HamlibPttTypes()
  std::string hamlibPttPort;          // PTT device apart from the radio's port; empty: none
  int hamlibCm108Gpio = kHamlibDefaultCm108Gpio;  // 1..8
};

inline constexpr std::string_view kPortOpenError = "Error opening com port for PTT.";
inline constexpr std::string_view kIllegalCatError =
    "Error with PTT control configuration (illegal CAT command)";
inline constexpr std::size_t kMaxCatBytes = 127;
inline constexpr std::string_view kHamlibOpenError = "Error opening the radio for PTT (Hamlib): ";
inline constexpr std::string_view kHamlibKeyError = "PTT through Hamlib failed: ";
inline constexpr std::string_view kHamlibMissing = "Hamlib is not available to this program";

// Whether the settings key through Hamlib (PTT control on, a model set).
bool KeysThroughHamlib(const PttSettings& settings);
// The Hamlib link's configuration from the settings.
RigConfig RigConfigFromSettings(const PttSettings& settings);

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
  // All must outlive the controller. `rig` (optional) is the Hamlib link:
  // without it, settings that key through Hamlib fail every keying.
  PttController(SerialPort& port, core::MessageSink& messages, core::Sleeper& sleeper,
                RigLink* rig = nullptr);

  PttSettings Settings() const;
  void SetSettings(const PttSettings& settings);

  // Restores and closes an open port (and closes the Hamlib link); then,
  // with PTT control on, opens and configures the configured one, or opens
  // the radio through Hamlib. A failure shows kPortOpenError, or
  // kHamlibOpenError with what Hamlib said.
  void OpenPttPort();
  // Keys (CAT TX command, or raises the line, or Hamlib's PTT) and waits the
  // TX delay. With PTT control off: nothing at all, not even the delay.
  // Through Hamlib: false, without the delay, when the keying is not
  // confirmed (LastFailure says why; the first failure after a success is
  // also shown).
  bool KeyTransmitter() override;
  // Releases (CAT RX command, or lowers the line, or Hamlib's PTT); never
  // waits. Through Hamlib a release that fails stays owed until one goes
  // through.
  void ReleaseTransmitter() override;
  std::string LastFailure() const override;
  bool ReleaseOwed() const override { return releaseOwed_; }
  // Releases once more, restores the port's own settings and closes it.
  void ClosePttPort();

  // The serial port, or the Hamlib link when keying through Hamlib.
  bool PortOpen() const;
  // Why the last open failed (empty after a successful open).
  std::string LastOpenError() const;
  // The radio's PTT as Hamlib reads it now (kNotOffered when not keying
  // through Hamlib).
  RigPtt ReadRigPtt();

 private:
  // Writes the CAT command or moves the line. True when the command was legal.
  bool Act(bool key);
  // With mutex_ held: opens the link when it is closed. False with `error`.
  bool EnsureRigOpen(std::string& error);
  // With mutex_ held: Hamlib's PTT on or off, the link opened first when it
  // is closed. False with `error`.
  bool RigSetPtt(bool on, std::string& error);
  // With mutex_ held: keys through Hamlib and reads back. False with `error`.
  bool RigKey(std::string& error);
  // With mutex_ held: a failure of Hamlib: recorded, the link closed. The
  // text to show the operator, or empty when one was shown since the last
  // success.
  std::string RigFailed(const std::string& error);

  SerialPort& port_;
  core::MessageSink& messages_;
  core::Sleeper& sleeper_;
  RigLink* rig_;
  mutable std::mutex mutex_;
  PttSettings settings_;
  std::string lastOpenError_;
  std::string lastFailure_;    // guarded by mutex_
  bool failureShown_ = false;  // guarded by mutex_
  std::atomic<bool> releaseOwed_{false};
};

}  // namespace sequelo::tx
