#include "tx/transmission.h"

namespace sequelo::tx {

Transmission::Transmission(audio::ToneGenerator& tones, core::Transmitter& ptt,
                           core::Sleeper& pauses, const std::atomic<bool>* abort,
                           KeyingPolicy* policy)
    : tones_(tones), ptt_(ptt), pauses_(pauses), abort_(abort), policy_(policy) {}

bool Transmission::Key() {
  if (Failed()) {
    return false;
  }
  if (policy_ != nullptr && !keyed_) {
    policy_->BeforeKey();
  }
  if (Aborted()) {
    return false;
  }
  if (policy_ != nullptr && !keyed_) {
    policy_->KeyStarted();  // the key time counts the TX delay
  }
  keyed_ = true;
  everKeyed_ = true;
  if (!ptt_.KeyTransmitter()) {
    failure_ = "keying not confirmed: " + ptt_.LastFailure();
    Release();  // whatever the radio did, it is told to stop
    return false;
  }
  // The owner's release on abort may have come before this key reached the
  // radio: release again, so the transmitter is never left keyed.
  if (Aborted()) {
    Release();
    return false;
  }
  return true;
}

bool Transmission::Release() {
  // What was played goes out whole, unless the job is being cut short.
  const bool drained = Stopped() || tones_.DrainTransmit();
  // The keying ends here for the owner's record, before the release itself,
  // so a cut at the longest key time never comes for a keying already over.
  if (policy_ != nullptr && keyed_) {
    policy_->KeyEnded();
  }
  ptt_.ReleaseTransmitter();
  keyed_ = false;
  if (ptt_.ReleaseOwed() && !Failed()) {
    failure_ = "release not confirmed: " + ptt_.LastFailure();
  }
  return drained && !ptt_.ReleaseOwed();
}

void Transmission::PlayTone(std::uint32_t freqHz, std::uint32_t durationMs) {
  if (!Stopped()) {
    tones_.PlayTone(freqHz, durationMs);
  }
}

bool Transmission::Play(std::span<const std::int16_t> samples) {
  return !Stopped() && tones_.PlayOnTransmit(samples);
}

void Transmission::Pause(std::uint32_t ms) {
  if (!Stopped()) {
    pauses_.SleepMs(ms);
  }
}

}  // namespace sequelo::tx
