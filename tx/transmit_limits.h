// The transmitter's own limits, the same whoever asks for a transmission
// (the window, an answer, a remote client, the command line's send):
// - one continuous keying, from key to release with the TX delay included,
//   lasts at most `maxKeyMs`: the transmit queue cuts it there, and a
//   transmission planned longer is refused before it keys;
// - at most two keyings start in any one second: a keying that comes sooner
//   waits, and a planned transmission that keys faster is refused whole;
// - two transmissions of different requests are at least kCallGapMs apart,
//   so that receivers tell their calls apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sequelo::tx {

inline constexpr std::uint32_t kDefaultMaxTransmitSeconds = 120;
inline constexpr std::uint32_t kCallGapMs = 600;
inline constexpr std::uint32_t kKeyingWindowMs = 1000;
inline constexpr std::size_t kKeyingsPerWindow = 2;

struct TransmitLimits {
  std::uint32_t maxKeyMs = kDefaultMaxTransmitSeconds * 1000;
  // Off only where tests drive the queue with a clock that stands still.
  bool spacing = true;  // the call gap and the keying rate
};

// One continuous keying of a planned transmission, in ms from its start.
struct PlannedKeying {
  std::uint32_t startMs = 0;
  std::uint32_t lengthMs = 0;
};

// Why a transmission that keys like this may not go out ("" when it may):
// a keying longer than `maxKeyMs`, or more keyings in one second than the
// transmitter allows.
std::string KeyingRefusal(const std::vector<PlannedKeying>& keyings, std::uint32_t maxKeyMs);

// What a transmission asks of the transmitter's owner at each keying;
// the transmit queue implements it. Called on the transmit thread.
class KeyingPolicy {
 public:
  virtual ~KeyingPolicy() = default;
  // Before a keying (not when already keyed): returns when the rules allow
  // it, or at once on an abort.
  virtual void BeforeKey() = 0;
  // The keying starts (before the TX delay) and ends.
  virtual void KeyStarted() = 0;
  virtual void KeyEnded() = 0;
};

}  // namespace sequelo::tx
