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

bool KeysThroughHamlib(const PttSettings& settings) {
  return settings.usePttControl != 0 && settings.hamlibModel != 0;
}

RigConfig RigConfigFromSettings(const PttSettings& settings) {
  RigConfig config;
  config.model = settings.hamlibModel;
  config.port = settings.hamlibPort;
  config.speed = settings.hamlibSpeed;
  config.pttType = settings.hamlibPttType;
  config.pttPort = settings.hamlibPttPort;
  config.cm108Gpio = settings.hamlibCm108Gpio;
  return config;
}

PttController::PttController(SerialPort& port, core::MessageSink& messages, core::Sleeper& sleeper,
                             RigLink* rig)
    : port_(port), messages_(messages), sleeper_(sleeper), rig_(rig) {}

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
  if (KeysThroughHamlib(settings_)) {
    return rig_ != nullptr && rig_->IsOpen();
  }
  return port_.IsOpen();
}

std::string PttController::LastFailure() const {
  std::lock_guard lock(mutex_);
  return lastFailure_;
}

RigPtt PttController::ReadRigPtt() {
  std::lock_guard lock(mutex_);
  if (!KeysThroughHamlib(settings_) || rig_ == nullptr) {
    return RigPtt::kNotOffered;
  }
  std::string error;
  return rig_->ReadPtt(error);
}

std::string PttController::LastOpenError() const {
  std::lock_guard lock(mutex_);
  return lastOpenError_;
}

void PttController::OpenPttPort() {
  std::string message(kPortOpenError);
  {
    std::lock_guard lock(mutex_);
    lastOpenError_.clear();
    lastFailure_.clear();
    releaseOwed_ = false;
    failureShown_ = false;
    if (port_.IsOpen()) {
      port_.RestoreAndClose();
    }
    if (rig_ != nullptr && rig_->IsOpen()) {
      rig_->Close();
    }
    if (settings_.usePttControl == 0) {
      return;
    }
    if (settings_.hamlibModel != 0) {
      std::string error;
      if (EnsureRigOpen(error)) {
        return;
      }
      lastOpenError_ = "Hamlib: " + error;
      failureShown_ = true;  // keyings that fail for the same reason say nothing more
      message = std::string(kHamlibOpenError) + error;
    } else {
      const std::string device = PttDevicePath(settings_);
      if (port_.Open(device)) {
        port_.Configure(SerialConfigFromSettings(settings_));
        return;
      }
      lastOpenError_ = port_.Error();
    }
  }
  // Shown outside the lock: the message blocks until it is dismissed.
  messages_.ShowMessage(message);
}

bool PttController::EnsureRigOpen(std::string& error) {
  if (rig_ == nullptr) {
    error = kHamlibMissing;
    return false;
  }
  if (rig_->IsOpen()) {
    return true;
  }
  const RigConfig config = RigConfigFromSettings(settings_);
  if (!HamlibPttConfValue(config.pttType)) {
    std::string known;
    for (const std::string& name : HamlibPttTypes()) {
      known += (known.empty() ? "" : ", ") + name;
    }
    error = "unknown PTT type \"" + config.pttType + "\" (HamlibPttType: " + known + ")";
    return false;
  }
  return rig_->Open(config, error);
}

bool PttController::RigSetPtt(bool on, std::string& error) {
  const bool wasOpen = rig_ != nullptr && rig_->IsOpen();
  if (!EnsureRigOpen(error)) {
    return false;
  }
  if (rig_->SetPtt(on, error)) {
    return true;
  }
  if (!wasOpen) {
    return false;
  }
  // A link opened some time ago may lead to a rigctld that has since gone
  // and come back: once more on a fresh one.
  rig_->Close();
  return EnsureRigOpen(error) && rig_->SetPtt(on, error);
}

bool PttController::RigKey(std::string& error) {
  if (!RigSetPtt(true, error)) {
    return false;
  }
  std::string readError;
  switch (rig_->ReadPtt(readError)) {
    case RigPtt::kOn:
    case RigPtt::kNotOffered:  // Hamlib took it; the radio cannot say more
      return true;
    case RigPtt::kOff:
      error = "the radio reads PTT off after keying";
      return false;
    case RigPtt::kFailed:
      error = "reading PTT back: " + readError;
      return false;
  }
  return false;
}

std::string PttController::RigFailed(const std::string& error) {
  lastFailure_ = "Hamlib: " + error;
  if (rig_ != nullptr) {
    rig_->Close();  // opened afresh next time: a rigctld that came back is found
  }
  if (failureShown_) {
    return {};
  }
  failureShown_ = true;
  return std::string(kHamlibKeyError) + error;
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
  bool keyed = true;
  std::string message;
  std::uint32_t delayMs = 0;
  {
    std::lock_guard lock(mutex_);
    if (settings_.usePttControl == 0) {
      return true;
    }
    delayMs = settings_.txDelayMs;
    if (settings_.hamlibModel != 0) {
      std::string error;
      keyed = RigKey(error);
      if (keyed) {
        lastFailure_.clear();
        releaseOwed_ = false;  // the radio answers, and is keyed as asked
        failureShown_ = false;
      } else {
        message = RigFailed(error);
      }
    } else {
      legal = Act(true);
    }
  }
  if (!message.empty()) {
    messages_.ShowMessage(message);
  }
  if (!legal) {
    messages_.ShowMessage(kIllegalCatError);
  }
  if (!keyed) {
    return false;  // nothing goes on the air: no TX delay to wait
  }
  sleeper_.SleepMs(delayMs);
  // Bytes written and lines moved blind: nothing answers to confirm them.
  return true;
}

void PttController::ReleaseTransmitter() {
  bool legal = true;
  std::string message;
  {
    std::lock_guard lock(mutex_);
    if (settings_.usePttControl == 0) {
      return;
    }
    if (settings_.hamlibModel != 0) {
      if (rig_ == nullptr) {
        return;  // nothing could have been keyed
      }
      std::string error;
      if (RigSetPtt(false, error)) {
        releaseOwed_ = false;
        lastFailure_.clear();
      } else {
        releaseOwed_ = true;
        message = RigFailed(error);
      }
    } else {
      legal = Act(false);
    }
  }
  if (!message.empty()) {
    messages_.ShowMessage(message);
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
  if (rig_ == nullptr) {
    return;
  }
  // The same for a radio keyed through Hamlib, and one last try at a
  // release that is owed.
  if (KeysThroughHamlib(settings_) && (rig_->IsOpen() || releaseOwed_)) {
    std::string error;
    if (EnsureRigOpen(error) && rig_->SetPtt(false, error)) {
      releaseOwed_ = false;
    }
  }
  rig_->Close();
}

}  // namespace sequelo::tx
