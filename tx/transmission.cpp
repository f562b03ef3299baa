#include "tx/transmission.h"

#include <mutex>

namespace sequelo::tx {

Transmission::Transmission(audio::ToneGenerator& tones, core::Transmitter& ptt,
                           core::Sleeper& pauses, const std::atomic<bool>* abort,
                           std::mutex* keyLock)
    : tones_(tones), ptt_(ptt), pauses_(pauses), abort_(abort), keyLock_(keyLock) {}

void Transmission::Key() {
  std::unique_lock<std::mutex> lock;
  if (keyLock_ != nullptr) {
    lock = std::unique_lock(*keyLock_);
  }
  if (Aborted()) {
    return;
  }
  keyed_ = true;
  ptt_.KeyTransmitter();
}

bool Transmission::Release() {
  // What was played goes out whole, unless the job is being cut short.
  const bool drained = Aborted() || tones_.DrainTransmit();
  ptt_.ReleaseTransmitter();
  keyed_ = false;
  return drained;
}

void Transmission::PlayTone(std::uint32_t freqHz, std::uint32_t durationMs) {
  if (!Aborted()) {
    tones_.PlayTone(freqHz, durationMs);
  }
}

bool Transmission::Play(std::span<const std::int16_t> samples) {
  return !Aborted() && tones_.PlayOnTransmit(samples);
}

void Transmission::Pause(std::uint32_t ms) {
  if (!Aborted()) {
    pauses_.SleepMs(ms);
  }
}

}  // namespace sequelo::tx
