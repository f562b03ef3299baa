// Keying the transmitter, as the sound side needs it: key before sending
// (returns after the TX delay), release after the last sample has played.
// Both do nothing when keying is switched off. Any thread.
#pragma once

namespace sequelo::core {

class Transmitter {
 public:
  virtual ~Transmitter() = default;
  virtual void KeyTransmitter() = 0;
  virtual void ReleaseTransmitter() = 0;
};

// Keying switched off: writing a call to a file, or a station without PTT.
class NoKeying final : public Transmitter {
 public:
  void KeyTransmitter() override {}
  void ReleaseTransmitter() override {}
};

}  // namespace sequelo::core
