#include "tx/transmission.h"

namespace sequelo::tx {

Transmission::Transmission(audio::ToneGenerator& tones, core::Transmitter& ptt,
                           core::Sleeper& pauses, const std::atomic<bool>* abort,
                           KeyingPolicy* policy)
    : tones_(tones), ptt_(ptt), pauses_(pauses), abort_(abort), policy_(policy) {}

void Transmission::Key() {
  if (policy_ != nullptr && !keyed_) {
    policy_->BeforeKey();
  }
  if (Aborted()) {
    return;
  }
  if (policy_ != nullptr && !keyed_) {
    policy_->KeyStarted();  // the key time counts the TX delay
  }
  keyed_ = true;
  everKeyed_ = true;
  ptt_.KeyTransmitter();
  // The owner's release on abort may have come before this key reached the
  // radio: release again, so the transmitter is never left keyed.
  if (Aborted()) {
    Release();
  }
}

bool Transmission::Release() {
  // What was played goes out whole, unless the job is being cut short.
  const bool drained = Aborted() || tones_.DrainTransmit();
  // The keying ends here for the owner's record, before the release itself,
  // so a cut at the longest key time never comes for a keying already over.
  if (policy_ != nullptr && keyed_) {
    policy_->KeyEnded();
  }
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
