#include "app/bar_display.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

namespace sequelo::app {
namespace {

const core::ToneSet& Zvei() {
  return *core::BuiltInToneSet(core::kModeZvei);
}
const core::ToneSet& Dzvei() {
  return *core::BuiltInToneSet(core::kModeDzvei);
}

TEST(BarDisplay, ControlIds) {
  EXPECT_EQ(BarControlId(1), 1033);
  EXPECT_EQ(BarControlId(2), 1126);
  EXPECT_EQ(BarControlId(31), 1155);
  EXPECT_EQ(BarControlId(0), 0);
  EXPECT_EQ(BarControlId(32), 0);
}

TEST(BarDisplay, HighlightedBandAndColours) {
  for (int bar = 1; bar <= kBarCount; ++bar) {
    EXPECT_EQ(BarInBand(bar, Zvei()), bar >= 11 && bar <= 29) << bar;
    EXPECT_EQ(BarInBand(bar, Dzvei()), bar >= 10 && bar <= 25) << bar;
  }
  EXPECT_EQ(ColourOfBar(15, Zvei(), true), (BarColours{{250, 240, 190}, {0, 128, 0}}));
  EXPECT_EQ(ColourOfBar(30, Zvei(), true), (BarColours{{64, 64, 64}, {128, 128, 128}}));
  EXPECT_EQ(ColourOfBar(15, Zvei(), false), (BarColours{{64, 64, 64}, {64, 64, 64}}));
}

TEST(BarDisplay, PositionsScaleToTenTimesTheMean) {
  core::Spectrum s;
  s.mean = 10.0;
  s.magnitude[1] = 100.0;   // ten times the mean: full
  s.magnitude[2] = 10.0;    // the mean: 3276
  s.magnitude[3] = 5000.0;  // clipped
  s.magnitude[4] = 0.0;
  const BarPositions p = PositionsOf(s);
  EXPECT_EQ(p[0], kBarFullScale);
  EXPECT_EQ(p[1], 3276);
  EXPECT_EQ(p[2], kBarFullScale);
  EXPECT_EQ(p[3], 0);
  core::Spectrum silent;  // mean 0: silent bins 0, the others full
  silent.magnitude[5] = 1.0;
  const BarPositions q = PositionsOf(silent);
  EXPECT_EQ(q[0], 0);
  EXPECT_EQ(q[4], kBarFullScale);
}

TEST(BarFeed, TheWindowGetsTheNewestAndNothingTwice) {
  BarFeed feed;
  BarPositions p{};
  EXPECT_FALSE(feed.TakeNewest(p));
  core::Spectrum s;
  s.mean = 1.0;
  for (int i = 1; i <= 3; ++i) {
    s.magnitude[1] = i;
    feed.OnSpectrum(s);
  }
  ASSERT_TRUE(feed.TakeNewest(p));
  EXPECT_EQ(p[0], static_cast<int>(32768.0 / 1.0 / 10.0 * 3));  // older ones dropped
  EXPECT_FALSE(feed.TakeNewest(p));
  feed.SetDisplayOn(false);  // off: nothing published, the bars keep their place
  feed.OnSpectrum(s);
  EXPECT_FALSE(feed.TakeNewest(p));
}

TEST(BarFeed, AProducerAndAConsumerNeverSeeAHalfWrittenSet) {
  BarFeed feed;
  constexpr int kBuffers = 20000;
  std::thread capture([&] {
    core::Spectrum s;
    s.mean = 32768.0 / 10.0;  // position = magnitude
    for (int i = 1; i <= kBuffers; ++i) {
      for (int k = 1; k <= kBarCount; ++k) {
        s.magnitude[static_cast<std::size_t>(k)] = i % 30000;
      }
      feed.OnSpectrum(s);
    }
  });
  int last = -1;
  int taken = 0;
  BarPositions p{};
  while (last != kBuffers % 30000) {
    if (feed.TakeNewest(p)) {
      ++taken;
      for (int k = 1; k < kBarCount; ++k) {
        ASSERT_EQ(p[static_cast<std::size_t>(k)], p[0]);  // one buffer's set, whole
      }
      last = p[0];
    }
  }
  capture.join();
  EXPECT_GT(taken, 0);
}

}  // namespace
}  // namespace sequelo::app
