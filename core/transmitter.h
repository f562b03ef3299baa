// Keying the transmitter, as the sound side needs it: key before sending
// (returns after the TX delay), release after the last sample has played.
// Both do nothing when keying is switched off. Any thread.
//
// A way of keying that can tell whether the radio took the command (a radio
// answering over CAT, rigctld) says so: a keying it cannot confirm returns
// false, and nothing may then go on the air; a release it cannot confirm
// stays owed, and the owner of the transmitter asks again until it goes
// through. Ways that cannot tell (a modem line, bytes written blind) count
// as confirmed.
#pragma once

#include <string>

namespace sequelo::core {

class Transmitter {
 public:
  virtual ~Transmitter() = default;
  // True when the transmitter is keyed, or keying is off.
  virtual bool KeyTransmitter() = 0;
  virtual void ReleaseTransmitter() = 0;
  // Why the last keying or release failed; empty when it did not.
  virtual std::string LastFailure() const { return {}; }
  // A release that did not go through and must be asked for again.
  virtual bool ReleaseOwed() const { return false; }
};

// Keying switched off: writing a call to a file, or a station without PTT.
class NoKeying final : public Transmitter {
 public:
  bool KeyTransmitter() override { return true; }
  void ReleaseTransmitter() override {}
};

}  // namespace sequelo::core
