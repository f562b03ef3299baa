#include "tx/wave_send.h"

#include <algorithm>
#include <vector>

namespace sequelo::tx {
namespace {
// Written a second at a time, so an abort is seen within one write.
constexpr std::size_t kWriteSamples = audio::kPlaybackRateHz;
}  // namespace

audio::WaveOutcome SendWaveFile(Transmission& tx, const std::string& path,
                                std::uint64_t maxSoundMs) {
  if (!tx.HasDevice()) {
    return audio::WaveOutcome::kFailed;
  }
  std::vector<std::int16_t> samples;
  const audio::WaveOutcome read = audio::ReadWaveFile(path, samples);
  if (read != audio::WaveOutcome::kPlayed) {
    return read;
  }
  const std::uint64_t soundMs = samples.size() * 1000ULL / audio::kPlaybackRateHz;
  if (soundMs > maxSoundMs) {
    return audio::WaveOutcome::kTooLong;
  }
  bool written = tx.Key();
  const std::span<const std::int16_t> all(samples);
  for (std::size_t at = 0; at < all.size() && written && !tx.Stopped(); at += kWriteSamples) {
    written = tx.Play(all.subspan(at, std::min(kWriteSamples, all.size() - at)));
  }
  const bool drained = tx.Release();
  return written && drained && !tx.Stopped() ? audio::WaveOutcome::kPlayed
                                             : audio::WaveOutcome::kFailed;
}

}  // namespace sequelo::tx
