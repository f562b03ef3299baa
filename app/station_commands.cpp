#include "app/station_commands.h"

#include <array>
#include <optional>

#include "app/settings.h"
#include "tx/ptt_controller.h"
#include "tx/ptt_dialog.h"

namespace sequelo::app {
namespace {

std::string Entry(const std::vector<std::string>& entries, int index, const char* unchanged) {
  return index >= 0 && static_cast<std::size_t>(index) < entries.size()
             ? entries[static_cast<std::size_t>(index)]
             : std::string(unchanged);
}

// "CAT commands TX FE0A / RX FE0B" or "the RTS line".
std::string Method(const tx::PttSettings& s) {
  if (s.cat != 0) {
    return "CAT commands (TX \"" + s.txCommand + "\", RX \"" + s.rxCommand + "\")";
  }
  return s.rts != 0 ? "the RTS line" : "the DTR line";
}

bool CatCommandsLegal(const tx::PttSettings& s) {
  std::array<std::uint8_t, 128> bytes{};
  std::string tx = s.txCommand;
  std::string rx = s.rxCommand;
  return tx::HexCommandToBytes(tx, bytes) > 0 && tx::HexCommandToBytes(rx, bytes) > 0;
}

std::string ModelName(int model) {
  const auto found = tx::FindHamlibModel(model);
  return found ? tx::RigModelLabel(*found) : std::to_string(model) + " (unknown to this Hamlib)";
}

const char* ReadBackText(tx::RigPtt ptt) {
  switch (ptt) {
    case tx::RigPtt::kOn:
      return "the radio reads PTT on";
    case tx::RigPtt::kOff:
      return "the radio reads PTT off";
    case tx::RigPtt::kNotOffered:
      return "the radio offers no PTT read-back";
    case tx::RigPtt::kFailed:
      break;
  }
  return "the radio's PTT could not be read";
}

int RunHamlibPttTest(const tx::PttSettings& s, std::uint32_t holdMs, tx::SerialPort& port,
                     core::MessageSink& messages, core::Sleeper& sleeper, std::FILE* out,
                     tx::RigLink* rig) {
  std::string ptt = "PTT type " + s.hamlibPttType;
  if (!s.hamlibPttPort.empty()) {
    ptt += " on " + s.hamlibPttPort;
  }
  if (tx::HamlibPttConfValue(s.hamlibPttType) == "CM108") {
    ptt += ", GPIO " + std::to_string(s.hamlibCm108Gpio);
  }
  std::fprintf(
      out, "Keying through Hamlib: model %s on %s, %s, %s; TX delay %u ms\n",
      ModelName(s.hamlibModel).c_str(),
      s.hamlibPort.empty() ? "Hamlib's default port" : s.hamlibPort.c_str(),
      s.hamlibSpeed > 0 ? (std::to_string(s.hamlibSpeed) + " baud").c_str() : "the model's speed",
      ptt.c_str(), s.txDelayMs);
  std::fflush(out);

  tx::PttController controller(port, messages, sleeper, rig);
  controller.SetSettings(s);
  controller.OpenPttPort();
  if (!controller.PortOpen()) {
    std::fprintf(out, "Not tested: %s\n", controller.LastOpenError().c_str());
    return 1;
  }
  std::fprintf(out, "Opened the radio.\nKeying the transmitter ...\n");
  std::fflush(out);
  int result = 0;
  if (controller.KeyTransmitter()) {
    std::fprintf(out, "Keyed: Hamlib took it, %s.\n", ReadBackText(controller.ReadRigPtt()));
    std::fprintf(out, "Holding for %u ms ...\n", holdMs);
    std::fflush(out);
    sleeper.SleepMs(holdMs);
  } else {
    std::fprintf(out, "Keying not confirmed: %s\n", controller.LastFailure().c_str());
    result = 1;
  }
  controller.ReleaseTransmitter();
  if (controller.ReleaseOwed()) {
    std::fprintf(out, "Release not confirmed: %s\n", controller.LastFailure().c_str());
    result = 1;
  } else {
    const tx::RigPtt after = controller.ReadRigPtt();
    std::fprintf(out, "Released the transmitter, %s.\n", ReadBackText(after));
    if (after == tx::RigPtt::kOn) {
      result = 1;
    }
  }
  controller.ClosePttPort();
  std::fprintf(out, "Radio closed.\n");
  return result;
}

}  // namespace

int RunRigsCommand(const std::vector<tx::RigModel>& models, std::FILE* out) {
  for (const tx::RigModel& m : models) {
    std::fprintf(out, "%s\n", tx::RigModelLabel(m).c_str());
  }
  return 0;
}

int RunPortsCommand(const std::vector<std::string>& devices, std::FILE* out, std::FILE* err) {
  if (devices.empty()) {
    std::fprintf(err, "No serial devices found.\n");
  }
  for (const std::string& device : devices) {
    std::fprintf(out, "%s\n", device.c_str());
  }
  return 0;
}

int RunPttTestCommand(const std::string& startupDir, std::uint32_t holdMs, tx::SerialPort& port,
                      core::MessageSink& messages, core::Sleeper& sleeper, std::FILE* out,
                      tx::RigLink* rig) {
  const Settings settings = LoadSettings(startupDir, {});
  const tx::PttSettings& s = settings.ptt;
  std::fprintf(out, "Settings: %s\n", SettingsPath(startupDir).c_str());
  if (s.usePttControl == 0) {
    std::fprintf(out,
                 "PTT control is off (UsePTTControl=0): Sequelo does not key the transmitter. "
                 "Switch it on to test the wiring.\n");
    return 1;
  }
  if (s.hamlibModel != 0) {
    return RunHamlibPttTest(s, holdMs, port, messages, sleeper, out, rig);
  }
  std::fprintf(
      out,
      "Keying with %s on %s (%s), %s baud, %s data bits, %s stop bits, parity %s; TX delay %u ms\n",
      Method(s).c_str(), tx::PttDevicePath(s).c_str(), tx::ComPortName(s.comPort).c_str(),
      Entry(tx::PttBaudrateEntries(), s.baudrate, "unchanged").c_str(),
      Entry(tx::PttDatabitsEntries(), s.databits, "unchanged").c_str(),
      Entry(tx::PttStopbitsEntries(), s.stopbits, "unchanged").c_str(),
      Entry(tx::PttParityEntries(), s.parity, "unchanged").c_str(), s.txDelayMs);
  std::fflush(out);

  tx::PttController ptt(port, messages, sleeper);
  ptt.SetSettings(s);
  ptt.OpenPttPort();
  if (!ptt.PortOpen()) {
    std::fprintf(out, "Not tested: %s\n", ptt.LastOpenError().c_str());
    return 1;
  }
  std::fprintf(out, "Opened %s.\n", tx::PttDevicePath(s).c_str());
  const bool legal = s.cat == 0 || CatCommandsLegal(s);
  std::fprintf(out, "Keying the transmitter ...\n");
  std::fflush(out);
  ptt.KeyTransmitter();
  std::fprintf(out, "Holding for %u ms ...\n", holdMs);
  std::fflush(out);
  sleeper.SleepMs(holdMs);
  ptt.ReleaseTransmitter();
  std::fprintf(out, "Released the transmitter.\n");
  ptt.ClosePttPort();
  std::fprintf(out, "Port settings restored and port closed.\n");
  if (!legal) {
    std::fprintf(out, "The CAT commands are not valid hex byte pairs; nothing was sent.\n");
    return 1;
  }
  return 0;
}

}  // namespace sequelo::app
