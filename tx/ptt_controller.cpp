#include "tx/ptt_controller.h"

#include <cctype>

namespace sequelo::tx {
namespace {
constexpr std::array<int, 5> kBaudRates{2400, 4800, 9600, 19200, 38400};
constexpr std::array<int, 2> kDataBits{7, 8};
constexpr std::array<int, 2> kStopBits{1, 2};
constexpr std::array<Parity, 3> kParities{Parity::kOdd, Parity::kEven, Parity::kNone};
constexpr std::size_t kMaxHexChars = 254;

template <typename T, std::size_t N>
std::optional<T> Pick(const std::array<T, N>& values, int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= N) {
    return std::nullopt;
  }
  return values[static_cast<std::size_t>(index)];
}
}  // namespace

std::string ComPortName(int index) {
  const long long number = static_cast<long long>(index) + 1;
  return (index < 9 ? "COM" : "\\\\.\\COM") + std::to_string(number);
}

std::string PttDevicePath(const PttSettings& settings) {
  if (!settings.comDevice.empty()) {
    return settings.comDevice;
  }
  return "/dev/ttyS" + std::to_string(settings.comPort);
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

int HexCommandToBytes(std::string& text, std::array<std::uint8_t, 128>& bytes) {
  if (text.size() > kMaxHexChars || text.size() % 2 != 0) {
    return -1;
  }
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigitValue(text[i]);
    const int low = HexDigitValue(text[i + 1]);
    if (high < 0 || low < 0) {
      return -1;
    }
    bytes[count++] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return static_cast<int>(count);
}

SerialConfig SerialConfigFromSettings(const PttSettings& settings) {
  SerialConfig config;
  config.baud = Pick(kBaudRates, settings.baudrate);
  config.dataBits = Pick(kDataBits, settings.databits);
  config.stopBits = Pick(kStopBits, settings.stopbits);
  config.parity = Pick(kParities, settings.parity);
  return config;
}

PttController::PttController(SerialPort& port, core::MessageSink& messages, core::Sleeper& sleeper)
    : port_(port), messages_(messages), sleeper_(sleeper) {}

PttSettings PttController::Settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

void PttController::SetSettings(const PttSettings& settings) {
  std::lock_guard lock(mutex_);
  settings_ = settings;
}

bool PttController::PortOpen() const {
  std::lock_guard lock(mutex_);
  return port_.IsOpen();
}

std::string PttController::LastOpenError() const {
  std::lock_guard lock(mutex_);
  return lastOpenError_;
}

void PttController::OpenPttPort() {
  {
    std::lock_guard lock(mutex_);
    lastOpenError_.clear();
    if (port_.IsOpen()) {
      port_.RestoreAndClose();
    }
    if (settings_.usePttControl == 0) {
      return;
    }
    const std::string device = PttDevicePath(settings_);
    if (port_.Open(device)) {
      port_.Configure(SerialConfigFromSettings(settings_));
      return;
    }
    lastOpenError_ = port_.Error();
  }
  // Shown outside the lock: the message blocks until it is dismissed.
  messages_.ShowMessage(kPortOpenError);
}

bool PttController::Act(bool key) {
  if (settings_.cat != 0) {
    std::array<std::uint8_t, 128> bytes{};
    std::string& command = key ? settings_.txCommand : settings_.rxCommand;
    const int count = HexCommandToBytes(command, bytes);
    if (count < 1) {
      return false;
    }
    port_.Write(std::span<const std::uint8_t>(bytes.data(), static_cast<std::size_t>(count)));
    return true;
  }
  port_.SetLine(settings_.rts != 0 ? ModemLine::kRts : ModemLine::kDtr, key);
  return true;
}

bool PttController::KeyTransmitter() {
  bool legal = true;
  std::uint32_t delayMs = 0;
  {
    std::lock_guard lock(mutex_);
    if (settings_.usePttControl == 0) {
      return true;
    }
    legal = Act(true);
    delayMs = settings_.txDelayMs;
  }
  if (!legal) {
    messages_.ShowMessage(kIllegalCatError);
  }
  sleeper_.SleepMs(delayMs);
  // Bytes written and lines moved blind: nothing answers to confirm them.
  return true;
}

void PttController::ReleaseTransmitter() {
  bool legal = true;
  {
    std::lock_guard lock(mutex_);
    if (settings_.usePttControl == 0) {
      return;
    }
    legal = Act(false);
  }
  if (!legal) {
    messages_.ShowMessage(kIllegalCatError);
  }
}

void PttController::ClosePttPort() {
  std::lock_guard lock(mutex_);
  // A last release before the port goes, whatever came before: the lines
  // drop when the port closes, but a CAT radio hears only what it is sent.
  if (port_.IsOpen() && settings_.usePttControl != 0) {
    Act(false);
  }
  port_.RestoreAndClose();
}

}  // namespace sequelo::tx
