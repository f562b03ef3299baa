// One job's hold on the transmitter, as the transmit thread hands it to the
// job: keying and releasing, tones and samples on the transmit device, the
// pauses between. The one place where keying is written: a call, a command
// string and a wave file sent keyed all go through it. Once aborted (shut-down,
// or the operator's stop), nothing more is keyed, played or waited for; the
// same once it has failed (a keying or a release the radio did not confirm):
// nothing goes on the air without a confirmed keying.
//
// Thread: the transmit thread (or, outside a station, the one thread that
// sends, such as writing a call to a file).
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "audio/tone_generator.h"
#include "core/clock.h"
#include "core/transmitter.h"
#include "tx/transmit_limits.h"

namespace sequelo::tx {

class Transmission {
 public:
  // All must outlive the transmission. `abort` (optional) is the flag an
  // owner sets to cut the job short, releasing the transmitter itself;
  // `policy` (optional) is the owner's rules for each keying.
  Transmission(audio::ToneGenerator& tones, core::Transmitter& ptt, core::Sleeper& pauses,
               const std::atomic<bool>* abort = nullptr, KeyingPolicy* policy = nullptr);

  // Keys the transmitter (once the owner's rules allow) and waits the TX
  // delay (inside the PTT controller). Nothing once aborted; an abort that
  // comes while keying is answered with a release right after, so the
  // transmitter never stays keyed past it. A keying the radio does not
  // confirm fails the job: released at once, false returned.
  bool Key();
  // Waits until everything played has gone out, then releases. After an
  // abort or a failure the release comes at once, without waiting for the
  // sound. False when the device failed while draining or the release was
  // not confirmed (which fails the job).
  bool Release();
  bool Keyed() const { return keyed_; }
  // Whether this job has keyed the transmitter at all.
  bool EverKeyed() const { return everKeyed_; }

  // One tone on the transmit device, kept in the sound-file buffer; returns
  // once it has been handed to the device at its real-time pace.
  void PlayTone(std::uint32_t freqHz, std::uint32_t durationMs);
  // Samples on the transmit device (not kept). False when there is no
  // transmit device or it failed.
  bool Play(std::span<const std::int16_t> samples);
  // A pause, cut short by an abort.
  void Pause(std::uint32_t ms);

  bool HasDevice() const { return tones_.HasTransmitDevice(); }
  bool Aborted() const { return abort_ != nullptr && abort_->load(); }
  // Whether the radio refused a keying or a release of this job, and why.
  bool Failed() const { return !failure_.empty(); }
  const std::string& Failure() const { return failure_; }
  // Aborted or failed: nothing more goes out.
  bool Stopped() const { return Aborted() || Failed(); }
  audio::SoundFileBuffer& SoundFile() { return tones_.SoundFile(); }

 private:
  audio::ToneGenerator& tones_;
  core::Transmitter& ptt_;
  core::Sleeper& pauses_;
  const std::atomic<bool>* abort_;
  KeyingPolicy* policy_;
  bool keyed_ = false;
  bool everKeyed_ = false;
  std::string failure_;
};

}  // namespace sequelo::tx
