#include "tx/alarm_tones.h"

#include <algorithm>
#include <array>
#include <span>
#include <string>

#include "audio/tone_generator.h"

namespace sequelo::tx {
namespace {

// Keyed once: the pieces of one alarm share the keying.
bool KeyOnce(Transmission& tx) {
  return tx.Keyed() || tx.Key();
}

void PlayLong(Transmission& tx, std::uint32_t hz, std::uint32_t ms) {
  while (ms > 0 && !tx.Stopped()) {
    const std::uint32_t piece = std::min(ms, audio::kMaxToneMs);
    tx.PlayTone(hz, piece);
    ms -= piece;
  }
}

}  // namespace

char SeparatorLetter(const core::ToneSet& toneSet) {
  for (std::size_t i = 0; i < toneSet.specialFreq.size(); ++i) {
    if (toneSet.specialFreq[i] == 970) {
      return toneSet.specialLetter[i];
    }
  }
  for (std::size_t i = 0; i < toneSet.specialFreq.size(); ++i) {
    if (toneSet.specialFreq[i] > 0) {
      return toneSet.specialLetter[i];
    }
  }
  return '\0';
}

const core::TrailerClass* SirenClass(const std::vector<core::TrailerClass>& table, int number) {
  int seen = 0;
  for (const core::TrailerClass& c : table) {
    if (c.highHz != 0 && ++seen == number) {
      return &c;
    }
  }
  return nullptr;
}

const core::TrailerClass* WakeClass(const std::vector<core::TrailerClass>& table) {
  const auto it = std::find_if(table.begin(), table.end(), [](const core::TrailerClass& c) {
    return c.highHz == 0 && c.intermittent;
  });
  return it != table.end() ? &*it : nullptr;
}

void PlayKeyedCall(Transmission& tx, std::string_view code, const CallOptions& options) {
  const bool keying = !tx.Keyed();
  if (!KeyOnce(tx) || options.toneSet == nullptr) {
    return;
  }
  if (keying && options.pilotTone) {
    tx.PlayTone(options.pilotFreqHz, options.pilotLenMs);
  }
  std::array<std::int32_t, 5> tones{};
  const int count = core::CallTones(*options.toneSet, code, tones);
  for (int i = 0; i < count; ++i) {
    tx.PlayTone(static_cast<std::uint32_t>(tones[static_cast<std::size_t>(i)]),
                options.toneSet->toneMs);
  }
}

bool PlayCaller(Transmission& tx, const CallOptions& options) {
  if (options.toneSet == nullptr || SeparatorLetter(*options.toneSet) == '\0' ||
      !core::IsCallCode(options.ownCode)) {
    return false;
  }
  if (!KeyOnce(tx)) {
    return true;
  }
  const std::string text = SeparatorLetter(*options.toneSet) + options.ownCode;
  std::array<std::int32_t, core::kMaxSequenceTones> tones{};
  const int count = core::SequenceTones(*options.toneSet, text, tones);
  for (int i = 0; i < count; ++i) {
    tx.PlayTone(static_cast<std::uint32_t>(tones[static_cast<std::size_t>(i)]),
                options.toneSet->toneMs);
  }
  return true;
}

void PlayQuiet(Transmission& tx, std::uint32_t ms) {
  if (KeyOnce(tx)) {
    PlayLong(tx, 0, ms);  // a tone of 0 Hz is silence, kept like any tone
  }
}

bool PlayWakeTone(Transmission& tx, const CallOptions& options, std::uint32_t ms) {
  const core::TrailerClass* wake = WakeClass(options.trailerClasses);
  if (wake == nullptr) {
    return false;
  }
  if (!KeyOnce(tx)) {
    return true;
  }
  const auto hz = static_cast<std::uint32_t>(wake->lowHz);
  while (ms > 0 && !tx.Stopped()) {
    const std::uint32_t on = std::min(ms, kWakeOnMs);
    tx.PlayTone(hz, on);
    ms -= on;
    const std::uint32_t off = std::min(ms, kWakeOffMs);
    PlayLong(tx, 0, off);
    ms -= off;
  }
  return true;
}

bool PlaySiren(Transmission& tx, const CallOptions& options, int number, std::uint32_t ms) {
  const core::TrailerClass* siren = SirenClass(options.trailerClasses, number);
  if (siren == nullptr) {
    return false;
  }
  if (!KeyOnce(tx)) {
    return true;
  }
  const std::vector<std::int16_t> samples = audio::SynthesiseDoubleTone(
      static_cast<std::uint32_t>(siren->lowHz), static_cast<std::uint32_t>(siren->highHz), ms);
  // A second at a time, so that an abort is heard within one.
  constexpr auto kPiece = static_cast<std::size_t>(audio::kPlaybackRateHz);
  const std::span<const std::int16_t> all(samples);
  for (std::size_t at = 0; at < all.size() && !tx.Stopped(); at += kPiece) {
    tx.Play(all.subspan(at, std::min(kPiece, all.size() - at)));
  }
  return true;
}

}  // namespace sequelo::tx
