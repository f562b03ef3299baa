// Tone detector and code assembly: decides per buffer whether one dominant
// tone stands in the band, accepts a tone on its second hit on one bin,
// collects five tones and hands the code on. Runs on the analysing thread
// only; threshold and the analysis-log flag may be changed from any thread and
// take effect with the next buffer.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "core/buffer_analysis.h"
#include "core/clock.h"
#include "core/decoder_sinks.h"
#include "core/tone_set.h"

namespace sequelo::core {

inline constexpr double kDefaultThreshold = 100.0;
inline constexpr std::uint32_t kDeadTimeMs = 70;       // no hits this long after a code
inline constexpr std::uint32_t kCycleTimeoutMs = 450;  // a cycle may last this long
inline constexpr int kCodeLength = 5;

class ToneDetector {
 public:
  // `clock` must outlive the detector.
  explicit ToneDetector(TickClock& clock, double threshold = kDefaultThreshold);

  // One buffer's spectrum, analysed against `toneSet`. Calls the code handler
  // and the analysis log of `sinks` synchronously.
  void Process(const Spectrum& spectrum, const ToneSet& toneSet, const DecoderSinks& sinks);

  // Absolute level the peak must exceed; 0 requests calibration from the
  // next buffer (threshold = 1.5 x its peak). Any thread.
  double Threshold() const { return threshold_.load(std::memory_order_relaxed); }
  void SetThreshold(double threshold) { threshold_.store(threshold, std::memory_order_relaxed); }
  void RequestCalibration() { SetThreshold(0.0); }

  bool AnalysisLogOn() const { return analysisLogOn_.load(std::memory_order_relaxed); }
  void SetAnalysisLog(bool on) { analysisLogOn_.store(on, std::memory_order_relaxed); }

  // Read-only views for tests and status displays (analysing thread only).
  int StoredCount() const { return storedCount_; }
  bool CycleActive() const { return cycleActive_; }
  int HitCount(int bin) const { return hitCount_[static_cast<std::size_t>(bin)]; }

 private:
  bool SingleToneCondition(const Spectrum& spectrum) const;
  void Log(const DecoderSinks& sinks, const char* text) const;
  void Complete(const ToneSet& toneSet, const DecoderSinks& sinks);

  TickClock& clock_;
  std::atomic<double> threshold_;
  std::atomic<bool> analysisLogOn_{false};

  std::array<std::int32_t, 32> hitCount_{};
  bool hitPending_ = false;
  std::int32_t lastHitBin_ = 0;
  std::array<std::int32_t, kCodeLength> storedTone_{};
  int storedCount_ = 0;
  bool cycleActive_ = false;
  std::uint32_t cycleStart_ = 0;
  std::uint32_t lastCodeTime_ = 0;
  // Dead time follows a handled code only. Without this flag a clock that
  // starts near 0 (the audio clock of a file) would make the first 70 ms
  // deaf and lose a call that starts with the recording.
  bool codeSeen_ = false;
};

}  // namespace sequelo::core
