#include "core/buffer_analysis.h"

#include <cmath>

namespace sequelo::core {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int kFftBits = 6;

std::size_t ReverseBits(std::size_t n) {
  std::size_t r = 0;
  for (int b = 0; b < kFftBits; ++b) {
    r = (r << 1) | (n & 1U);
    n >>= 1;
  }
  return r;
}

}  // namespace

void Fft64(const double* x, double* re, double* im) {
  if (x == nullptr || re == nullptr || im == nullptr) {
    return;
  }
  for (std::size_t n = 0; n < kFftSize; ++n) {
    const std::size_t r = ReverseBits(n);
    re[r] = x[n];
    im[r] = 0.0;
  }
  for (std::size_t blockSize = 2; blockSize <= kFftSize; blockSize *= 2) {
    const double delta = kTwoPi / static_cast<double>(blockSize);
    // Twiddles come from the recurrence c(n) = 2 cos(delta) c(n-1) - c(n-2),
    // started anew for every block; no table.
    const double cm2 = std::cos(-2.0 * delta);
    const double cm1 = std::cos(-delta);
    const double sm2 = std::sin(-2.0 * delta);
    const double sm1 = std::sin(-delta);
    const double w = 2.0 * cm1;
    const std::size_t half = blockSize / 2;
    for (std::size_t start = 0; start < kFftSize; start += blockSize) {
      double c2 = cm2;
      double c1 = cm1;
      double s2 = sm2;
      double s1 = sm1;
      for (std::size_t n = 0, j = start; n < half; ++n, ++j) {
        const double c0 = w * c1 - c2;
        c2 = c1;
        c1 = c0;
        const double s0 = w * s1 - s2;
        s2 = s1;
        s1 = s0;
        // t = (c0 - i s0) * X[k]
        const std::size_t k = j + half;
        const double tr = c0 * re[k] + s0 * im[k];
        const double ti = c0 * im[k] - s0 * re[k];
        re[k] = re[j] - tr;
        im[k] = im[j] - ti;
        re[j] += tr;
        im[j] += ti;
      }
    }
  }
}

void BandBins(std::int32_t lowHz, std::int32_t highHz, std::int32_t& first, std::int32_t& last) {
  // Highest bin not above 31 whose frequency lies strictly below the low edge
  // (the search stops at bin 0: anything lower is clamped to bin 1 below).
  std::int32_t k = kBinCount;
  while (k > 0 && !(k * BinWidth < lowHz)) {
    --k;
  }
  first = k;
  // Lowest bin from 1 upward whose frequency lies strictly above the high edge
  // (the search stops past bin 31, which is clamped below).
  if (highHz >= 0) {
    k = 1;
    while (k <= kBinCount && k * BinWidth <= highHz) {
      ++k;
    }
    last = k;
  } else {
    last = 0;
  }
  // Without a tone set (all zero) the band would start at bin -1; keep it
  // inside the 31 formed bins. No tone can pass the band test then anyway.
  if (first < 1) {
    first = 1;
  }
  if (last > kBinCount) {
    last = kBinCount;
  }
}

void FormSpectrum(CaptureBuffer buffer, const ToneSet& toneSet, Spectrum& out) {
  std::array<double, kFftSize> x;
  std::array<double, kFftSize> re;
  std::array<double, kFftSize> im;
  for (std::size_t n = 0; n < kFftSize; ++n) {
    x[n] = static_cast<double>(buffer[n * kCaptureChannels]);
  }
  Fft64(x.data(), re.data(), im.data());

  out.magnitude[0] = 0.0;
  for (std::size_t k = 1; k <= static_cast<std::size_t>(kBinCount); ++k) {
    const float r = static_cast<float>(re[k]);
    const float i = static_cast<float>(im[k]);
    const float power = r * r + i * i;
    out.magnitude[k] = std::sqrt(static_cast<double>(power)) * 0.015625;
  }

  LocateBandPeak(toneSet, out);
}

void LocateBandPeak(const ToneSet& toneSet, Spectrum& out) {
  BandBins(DetectionLowHz(toneSet), DetectionHighHz(toneSet), out.bandFirst, out.bandLast);

  out.peakBin = out.bandFirst;
  out.peakValue = -99999.9f;
  for (std::int32_t k = out.bandFirst; k <= out.bandLast; ++k) {
    const double m = out.magnitude[static_cast<std::size_t>(k)];
    if (out.peakValue < m) {
      out.peakBin = k;
      out.peakValue = static_cast<float>(m);
    }
  }

  double sum = 0.0;
  for (std::int32_t k = out.bandFirst; k <= out.bandLast; ++k) {
    sum += out.magnitude[static_cast<std::size_t>(k)];
  }
  out.mean = sum * 0.03125;
}

}  // namespace sequelo::core
