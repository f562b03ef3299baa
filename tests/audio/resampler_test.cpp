#include "audio/resampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace sequelo::audio {
namespace {

std::vector<double> Tone(double hz, double rateHz, double seconds) {
  std::vector<double> out(static_cast<std::size_t>(rateHz * seconds));
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = 0.5 * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / rateHz);
  }
  return out;
}

// Amplitude at `hz` over the middle half of a signal, in dB relative to 0.5.
double LevelDb(const std::vector<double>& y, double hz, double rateHz) {
  double re = 0;
  double im = 0;
  const std::size_t from = y.size() / 4;
  const std::size_t to = 3 * y.size() / 4;
  for (std::size_t i = from; i < to; ++i) {
    const double phase = 2 * std::numbers::pi * hz * static_cast<double>(i) / rateHz;
    re += y[i] * std::cos(phase);
    im += y[i] * std::sin(phase);
  }
  const double amplitude = 2 * std::hypot(re, im) / static_cast<double>(to - from);
  return 20 * std::log10(amplitude / 0.5 + 1e-12);
}

// Where a frequency lands after sampling at `rateHz`.
double Folded(double hz, double rateHz) {
  const double f = std::fmod(hz, rateHz);
  return f > rateHz / 2 ? rateHz - f : f;
}

class ResampleTo6000 : public ::testing::TestWithParam<int> {};

// The band the decoders use passes flat; whatever would fold into it is
// 60 dB down or more. 8001 and 22051 Hz need too many phases for a table of
// their own and take the nearest of a fixed set.
TEST_P(ResampleTo6000, PassesTheToneBandAndRejectsWhatWouldFoldIntoIt) {
  const double rate = GetParam();
  for (double hz : {300.0, 1060.0, 2850.0}) {
    const auto out = ResampleWhole(Tone(hz, rate, 0.5), rate, 6000);
    ASSERT_FALSE(out.empty());
    EXPECT_NEAR(LevelDb(out, hz, 6000), 0.0, 0.1) << hz << " Hz";
    // In time, too: sample for sample the tone sampled at 6000 Hz.
    const auto ideal = Tone(hz, 6000, 0.5);
    for (std::size_t i = out.size() / 4; i < 3 * out.size() / 4; ++i) {
      ASSERT_NEAR(out[i], ideal[i], 0.003) << hz << " Hz, sample " << i;
    }
  }
  EXPECT_GT(LevelDb(ResampleWhole(Tone(2884, rate, 0.5), rate, 6000), 2884, 6000), -0.3);
  for (double hz : {3150.0, 3500.0, 0.45 * rate}) {
    if (hz >= rate / 2 || hz < 3150) {
      continue;
    }
    const auto out = ResampleWhole(Tone(hz, rate, 0.5), rate, 6000);
    EXPECT_LT(LevelDb(out, Folded(hz, 6000), 6000), -60.0) << hz << " Hz";
  }
}

// Output is aligned with the input, N samples give ceil(N x 6000 / rate),
// and block sizes make no difference.
TEST_P(ResampleTo6000, KeepsTimeAndLengthInAnyBlocks) {
  const double rate = GetParam();
  const auto n = static_cast<std::size_t>(rate * 0.7) + 3;
  std::vector<float> click(n, 0.0f);
  const std::size_t at = static_cast<std::size_t>(rate * 0.4);
  click[at] = 1.0f;
  std::vector<float> whole;
  Resampler all(rate, 6000);
  ASSERT_TRUE(all.Ok()) << all.Error();
  ASSERT_TRUE(all.Process(click.data(), click.size(), whole));
  const auto expected = static_cast<std::size_t>(std::ceil(static_cast<double>(n) * 6000 / rate));
  // A live stream is held back at most 150 ms before the end is known.
  EXPECT_GE(whole.size() + 900, expected);
  ASSERT_TRUE(all.Flush(whole));
  EXPECT_EQ(whole.size(), expected);
  const auto peak = std::max_element(whole.begin(), whole.end()) - whole.begin();
  EXPECT_NEAR(static_cast<double>(peak), static_cast<double>(at) * 6000 / rate, 1.0);

  for (std::size_t block : {1U, 7U, 4096U}) {
    Resampler pieces(rate, 6000);
    std::vector<float> out;
    for (std::size_t i = 0; i < n; i += block) {
      ASSERT_TRUE(pieces.Process(click.data() + i, std::min(block, n - i), out));
    }
    ASSERT_TRUE(pieces.Flush(out));
    EXPECT_EQ(out, whole) << "blocks of " << block;
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, ResampleTo6000,
                         ::testing::Values(8000, 8001, 11025, 16000, 22050, 22051, 44100, 48000,
                                           96000),
                         [](const ::testing::TestParamInfo<int>& p) {
                           return std::to_string(p.param) + "Hz";
                         });

TEST(Resampler, UpsamplesTheBandFlat) {
  for (double rate : {11025.0, 22050.0}) {
    const auto out = ResampleWhole(Tone(2400, 6000, 1.0), 6000, rate);
    EXPECT_EQ(out.size(), static_cast<std::size_t>(rate));
    EXPECT_NEAR(LevelDb(out, 2400, rate), 0.0, 0.1) << rate;
  }
}

TEST(Resampler, RefusesRatesItCannotUseAndInputAfterTheEnd) {
  for (double rate : {0.0, -8000.0, 22050.5, 2e7}) {
    Resampler r(rate, 6000);
    EXPECT_FALSE(r.Ok()) << rate;
    EXPECT_EQ(r.Error(), "sample rates must be whole numbers of hertz from 1 to 10000000");
    std::vector<float> out;
    const float x = 0;
    EXPECT_FALSE(r.Process(&x, 1, out));
    EXPECT_TRUE(ResampleWhole({0.0, 0.1}, rate, 6000).empty());
  }
  Resampler r(8000, 6000);
  std::vector<float> out;
  const float x = 0.25f;
  ASSERT_TRUE(r.Process(&x, 1, out));
  ASSERT_TRUE(r.Flush(out));
  EXPECT_EQ(out.size(), 1U);
  EXPECT_FALSE(r.Process(&x, 1, out));
  EXPECT_EQ(r.Error(), "input after the end of the stream");
}

}  // namespace
}  // namespace sequelo::audio
