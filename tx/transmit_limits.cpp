#include "tx/transmit_limits.h"

namespace sequelo::tx {

std::string KeyingRefusal(const std::vector<PlannedKeying>& keyings, std::uint32_t maxKeyMs) {
  for (const PlannedKeying& k : keyings) {
    if (k.lengthMs > maxKeyMs) {
      return "it would key the transmitter for " + std::to_string((k.lengthMs + 999) / 1000) +
             " s, longer than the " + std::to_string(maxKeyMs / 1000) +
             " s allowed (MaxTransmitSeconds)";
    }
  }
  for (std::size_t i = kKeyingsPerWindow; i < keyings.size(); ++i) {
    if (keyings[i].startMs - keyings[i - kKeyingsPerWindow].startMs < kKeyingWindowMs) {
      return "it would key the transmitter more than " + std::to_string(kKeyingsPerWindow) +
             " times a second";
    }
  }
  return {};
}

}  // namespace sequelo::tx
