#include "core/buffer_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace sequelo::core {
namespace {

constexpr double kMagTol = 1e-9;  // [magnitude units] float rounding of re/im stays far below

std::vector<std::int16_t> Buffer() {
  return std::vector<std::int16_t>(kBufferSamples, 0);
}

// Writes a sine into one channel of the given frames.
void AddSine(std::vector<std::int16_t>& buf, int channel, double hz, double amplitude,
             std::size_t fromFrame = 0, std::size_t toFrame = kBufferFrames) {
  for (std::size_t n = fromFrame; n < toFrame; ++n) {
    const double v =
        amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(n) / kCaptureRateHz);
    buf[n * 2 + static_cast<std::size_t>(channel)] =
        static_cast<std::int16_t>(buf[n * 2 + static_cast<std::size_t>(channel)] + std::lround(v));
  }
}

Spectrum Analyse(const std::vector<std::int16_t>& buf, int mode = kModeZvei) {
  Spectrum s;
  FormSpectrum(CaptureBuffer(buf.data(), kBufferSamples), *BuiltInToneSet(mode), s);
  return s;
}

TEST(Fft64, MatchesADirectTransform) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> dist(-32768.0, 32767.0);
  double x[64];
  double re[64];
  double im[64];
  for (double& v : x) {
    v = dist(rng);
  }
  Fft64(x, re, im);
  for (int m = 0; m < 64; ++m) {
    std::complex<double> sum;
    for (int n = 0; n < 64; ++n) {
      sum += x[n] * std::polar(1.0, -2.0 * std::numbers::pi * m * n / 64.0);
    }
    EXPECT_NEAR(re[m], sum.real(), 1e-6) << "bin " << m;
    EXPECT_NEAR(im[m], sum.imag(), 1e-6) << "bin " << m;  // negative exponent
  }
}

TEST(Fft64, DoesNothingWithoutAllThreeArrays) {
  double x[64] = {1.0};
  double re[64] = {42.0};
  double im[64] = {43.0};
  Fft64(nullptr, re, im);
  Fft64(x, nullptr, im);
  Fft64(x, re, nullptr);
  EXPECT_EQ(re[0], 42.0);
  EXPECT_EQ(im[0], 43.0);
}

TEST(FormSpectrum, SineOnBin15GivesHalfItsAmplitudeThere) {
  // 1406.25 Hz is exactly bin 15; amplitude 1000 -> magnitude 500.
  auto buf = Buffer();
  for (std::size_t n = 0; n < kBufferFrames; ++n) {
    buf[n * 2] = static_cast<std::int16_t>(std::lround(
        1000.0 * std::sin(2.0 * std::numbers::pi * 15.0 * static_cast<double>(n) / 64.0)));
  }
  const Spectrum s = Analyse(buf);
  EXPECT_NEAR(s.magnitude[15], 500.0, 0.05);  // 16-bit rounding of the samples
  for (int k = 1; k <= kBinCount; ++k) {
    if (k != 15) {
      EXPECT_LT(s.magnitude[static_cast<std::size_t>(k)], 0.3) << "bin " << k;
    }
  }
  EXPECT_EQ(s.peakBin, 15);
  EXPECT_NEAR(s.peakValue, 500.0f, 0.05f);
  EXPECT_EQ(s.peakValue, static_cast<float>(s.magnitude[15]));
  EXPECT_NEAR(s.mean, 15.625, 0.02);  // rounding noise of 19 other bins
}

TEST(FormSpectrum, ExactSineGivesExactFigures) {
  // Without 16-bit rounding the figures hold to floating-point precision.
  double x[64];
  double re[64];
  double im[64];
  for (int n = 0; n < 64; ++n) {
    x[n] = 1000.0 * std::sin(2.0 * std::numbers::pi * 15.0 * n / 64.0);
  }
  Fft64(x, re, im);
  const float r = static_cast<float>(re[15]);
  const float i = static_cast<float>(im[15]);
  EXPECT_NEAR(std::sqrt(static_cast<double>(r * r + i * i)) * 0.015625, 500.0, 1e-4);
}

TEST(FormSpectrum, SecondChannelAndLaterFramesAreNotAnalysed) {
  auto second = Buffer();
  AddSine(second, 1, 1406.25, 20000.0);
  auto late = Buffer();
  AddSine(late, 0, 1406.25, 20000.0, 64, 128);
  for (const auto& buf : {second, late}) {
    const Spectrum s = Analyse(buf);
    for (int k = 1; k <= kBinCount; ++k) {
      EXPECT_EQ(s.magnitude[static_cast<std::size_t>(k)], 0.0) << "bin " << k;
    }
  }
}

TEST(FormSpectrum, DcOffsetChangesNoMagnitude) {
  auto plain = Buffer();
  AddSine(plain, 0, 1500.0, 3000.0);
  auto offset = plain;
  for (std::size_t n = 0; n < kBufferFrames; ++n) {
    offset[n * 2] = static_cast<std::int16_t>(offset[n * 2] + 5000);
  }
  const Spectrum a = Analyse(plain);
  const Spectrum b = Analyse(offset);
  for (int k = 1; k <= kBinCount; ++k) {
    EXPECT_NEAR(a.magnitude[static_cast<std::size_t>(k)], b.magnitude[static_cast<std::size_t>(k)],
                kMagTol * 1e3);
  }
}

TEST(FormSpectrum, BandBinsOfEachToneSet) {
  const Spectrum zvei = Analyse(Buffer(), kModeZvei);
  EXPECT_EQ(zvei.bandFirst, 11);
  EXPECT_EQ(zvei.bandLast, 30);
  // Widened from 10..26 to take in the 810 Hz repeat tone.
  const Spectrum dzvei = Analyse(Buffer(), kModeDzvei);
  EXPECT_EQ(dzvei.bandFirst, 8);
  EXPECT_EQ(dzvei.bandLast, 26);
  // The highlighted band itself is unchanged.
  std::int32_t first = 0;
  std::int32_t last = 0;
  BandBins(970, 2400, first, last);
  EXPECT_EQ(first, 10);
  EXPECT_EQ(last, 26);
  // No tone set: kept inside the formed bins.
  BandBins(0, 0, first, last);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(last, 1);
  BandBins(5000, 9000, first, last);
  EXPECT_EQ(first, 31);
  EXPECT_EQ(last, 31);
}

TEST(FormSpectrum, DigitalSilencePeaksAtBandStartWithZero) {
  const Spectrum s = Analyse(Buffer());
  EXPECT_EQ(s.peakBin, s.bandFirst);
  EXPECT_EQ(s.peakValue, 0.0f);
  EXPECT_EQ(s.mean, 0.0);
}

TEST(FormSpectrum, EqualMagnitudesKeepTheLowerBin) {
  auto impulse = Buffer();
  impulse[0] = 6400;  // flat spectrum: every bin 100
  const Spectrum s = Analyse(impulse);
  EXPECT_EQ(s.peakBin, 11);
  EXPECT_DOUBLE_EQ(s.peakValue, 100.0f);
  // Mean is the band sum over 32, not over the 20 bins.
  EXPECT_DOUBLE_EQ(s.mean, 20 * 100.0 / 32.0);
}

TEST(FormSpectrum, ToneOutsideTheBandNeverPeaks) {
  auto buf = Buffer();
  AddSine(buf, 0, 500.0, 30000.0);
  AddSine(buf, 0, 1500.0, 100.0);
  const Spectrum s = Analyse(buf);
  EXPECT_GT(s.magnitude[5], 1000.0);
  EXPECT_GE(s.peakBin, 11);
  EXPECT_LT(static_cast<double>(s.peakValue), s.magnitude[5]);
}

}  // namespace
}  // namespace sequelo::core
