// Spectrum analysis of one capture buffer: a 64-point transform of the first
// channel's first 64 frames into 31 magnitude bins of 93.75 Hz, the detection
// band of the current tone set, its strongest bin and its mean level.
// Pure computation: fixed arrays on the stack, no allocation, no state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/tone_set.h"

namespace sequelo::core {

inline constexpr int kCaptureRateHz = 6000;        // capture sample rate
inline constexpr int kCaptureChannels = 2;         // interleaved: first, second
inline constexpr std::size_t kBufferFrames = 128;  // 512 bytes of 16-bit stereo = 21.33 ms
inline constexpr std::size_t kBufferSamples = kBufferFrames * kCaptureChannels;
inline constexpr std::size_t kFftSize = 64;  // frames analysed per buffer (10.67 ms)
inline constexpr int kBinCount = 31;         // bins 1..31 are formed
inline constexpr double BinWidth = 93.75;    // Hz per bin: 6000 / 64

// One buffer of capture audio: 128 frames, first and second channel
// interleaved, signed 16-bit in host order.
using CaptureBuffer = std::span<const std::int16_t, kBufferSamples>;

struct Spectrum {
  std::array<double, kBinCount + 1> magnitude{};  // index = bin 1..31; index 0 unused (0)
  std::int32_t bandFirst = 0;                     // first bin of the detection band
  std::int32_t bandLast = 0;                      // last bin of the detection band
  std::int32_t peakBin = 0;                       // strongest bin in the band
  float peakValue = 0.0f;                         // its magnitude, in single precision
  double mean = 0.0;                              // band sum / 32 (not / bin count)
};

// Forward, unscaled radix-2 transform of 64 real samples into `re` and `im`
// (X[m] = sum x[n] e^(-2 pi i m n / 64)). Does nothing if any pointer is null.
void Fft64(const double* x, double* re, double* im);

// The bins of the detection band for a band of lowHz..highHz: one bin below
// the lower edge to one bin above the upper edge, kept inside bins 1..31.
void BandBins(std::int32_t lowHz, std::int32_t highHz, std::int32_t& first, std::int32_t& last);

// Forms the spectrum of one buffer for a tone set.
void FormSpectrum(CaptureBuffer buffer, const ToneSet& toneSet, Spectrum& out);

// The band part of FormSpectrum: from `magnitude`, sets the band bins, the
// peak (lowest bin among equals) and the mean (band sum x 1/32).
void LocateBandPeak(const ToneSet& toneSet, Spectrum& out);

}  // namespace sequelo::core
