#include "tx/ptt_dialog.h"

#include <algorithm>
#include <cstdint>

namespace sequelo::tx {
namespace {
constexpr std::size_t kMaxCommandChars = 255;
constexpr std::size_t kMaxPathChars = 511;
constexpr std::uint32_t kMaxHamlibSpeed = 4000000;

int SelectionFor(int index, const std::vector<std::string>& entries) {
  return index >= 0 && static_cast<std::size_t>(index) < entries.size() ? index : -1;
}

// The delay field takes digits only; more than fits is the largest delay.
std::uint32_t ParseDelay(const std::string& text) {
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      break;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > UINT32_MAX) {
      return UINT32_MAX;
    }
  }
  return static_cast<std::uint32_t>(value);
}
}  // namespace

const std::vector<std::string>& PttComPortEntries() {
  static const std::vector<std::string> entries = [] {
    std::vector<std::string> list;
    for (int i = 1; i <= 256; ++i) {
      list.push_back(std::to_string(i));
    }
    return list;
  }();
  return entries;
}

const std::vector<std::string>& PttBaudrateEntries() {
  static const std::vector<std::string> entries{"2400", "4800", "9600", "19200", "38400"};
  return entries;
}

const std::vector<std::string>& PttDatabitsEntries() {
  static const std::vector<std::string> entries{"7", "8"};
  return entries;
}

const std::vector<std::string>& PttStopbitsEntries() {
  static const std::vector<std::string> entries{"1", "2"};
  return entries;
}

const std::vector<std::string>& PttParityEntries() {
  static const std::vector<std::string> entries{"Odd", "Even", "None"};
  return entries;
}

const std::vector<std::string>& PttCm108GpioEntries() {
  static const std::vector<std::string> entries{"1", "2", "3", "4", "5", "6", "7", "8"};
  return entries;
}

PttDialogState FillPttDialog(const PttSettings& settings,
                             std::vector<std::string> detectedDevices) {
  PttDialogState state;
  state.usePttControl = settings.usePttControl != 0;
  state.comPortSelection = SelectionFor(settings.comPort, PttComPortEntries());
  state.txDelayText = std::to_string(settings.txDelayMs);
  state.cat = settings.cat != 0;
  state.txCommand = settings.txCommand;
  state.rxCommand = settings.rxCommand;
  state.baudrateSelection = SelectionFor(settings.baudrate, PttBaudrateEntries());
  state.databitsSelection = SelectionFor(settings.databits, PttDatabitsEntries());
  state.stopbitsSelection = SelectionFor(settings.stopbits, PttStopbitsEntries());
  state.paritySelection = SelectionFor(settings.parity, PttParityEntries());
  state.rts = settings.rts != 0;
  state.comDevice = settings.comDevice;
  state.comDeviceChoices = std::move(detectedDevices);
  state.hamlib = settings.hamlibModel != 0;
  state.hamlibModel = settings.hamlibModel != 0 ? settings.hamlibModel : kHamlibNetRigctlModel;
  state.hamlibPort = settings.hamlibPort;
  state.hamlibSpeedText = std::to_string(settings.hamlibSpeed);
  const auto& types = HamlibPttTypes();
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (HamlibPttConfValue(settings.hamlibPttType) == HamlibPttConfValue(types[i])) {
      state.hamlibPttTypeSelection = static_cast<int>(i);
    }
  }
  state.hamlibPttPort = settings.hamlibPttPort;
  state.hamlibCm108GpioSelection =
      SelectionFor(settings.hamlibCm108Gpio - 1, PttCm108GpioEntries());
  return state;
}

PttSettings PttSettingsFromDialog(const PttDialogState& state) {
  PttSettings settings;
  settings.usePttControl = state.usePttControl ? 1 : 0;
  settings.cat = state.cat ? 1 : 0;
  settings.rts = state.rts ? 1 : 0;
  settings.comPort = state.comPortSelection;
  settings.baudrate = state.baudrateSelection;
  settings.databits = state.databitsSelection;
  settings.stopbits = state.stopbitsSelection;
  settings.parity = state.paritySelection;
  settings.txDelayMs = ParseDelay(state.txDelayText);
  settings.txCommand = state.txCommand.substr(0, kMaxCommandChars);
  settings.rxCommand = state.rxCommand.substr(0, kMaxCommandChars);
  settings.comDevice = state.comDevice;
  settings.hamlibModel = state.hamlib ? std::max(state.hamlibModel, 0) : 0;
  settings.hamlibPort = state.hamlibPort.substr(0, kMaxPathChars);
  settings.hamlibSpeed =
      static_cast<int>(std::min(ParseDelay(state.hamlibSpeedText), kMaxHamlibSpeed));
  const auto& types = HamlibPttTypes();
  settings.hamlibPttType = SelectionFor(state.hamlibPttTypeSelection, types) >= 0
                               ? types[static_cast<std::size_t>(state.hamlibPttTypeSelection)]
                               : types[0];
  settings.hamlibPttPort = state.hamlibPttPort.substr(0, kMaxPathChars);
  settings.hamlibCm108Gpio =
      SelectionFor(state.hamlibCm108GpioSelection, PttCm108GpioEntries()) >= 0
          ? state.hamlibCm108GpioSelection + 1
          : kHamlibDefaultCm108Gpio;
  return settings;
}

void AcceptPttDialog(PttController& controller, const PttDialogState& state) {
  controller.SetSettings(PttSettingsFromDialog(state));
  controller.OpenPttPort();
}

}  // namespace sequelo::tx
