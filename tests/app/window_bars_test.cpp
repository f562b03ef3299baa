// The window's spectrum bars: the band coloured by mode, the bar heights, the display switch.
#include <gtest/gtest.h>

#include <QAction>
#include <QColor>
#include <QComboBox>

#include "app/bar_display.h"
#include "app/window/bar_meter.h"
#include "app/window/main_window.h"
#include "core/tone_set.h"

#include "tests/app/window_test_support.h"

namespace sequelo::app::windowtest {
namespace {

bool BandColoured(MainWindow& w, int first, int last) {
  for (int k = 1; k <= kBarCount; ++k) {
    const bool in = k >= first && k <= last;
    const QColor bg = in ? QColor(250, 240, 190) : QColor(64, 64, 64);
    const QColor bar = in ? QColor(0, 128, 0) : QColor(128, 128, 128);
    if (w.Bar(k)->Background() != bg || w.Bar(k)->BarColour() != bar ||
        w.Bar(k)->Maximum() != kBarFullScale) {
      return false;
    }
  }
  return true;
}

TEST_F(WindowTest, NoModeSelectedColoursEveryBarOutsideAndStillSwitches) {
  WriteFile("Sequelo.ini", "[Sequelo]\r\nMode=8\r\n");
  Start();
  EXPECT_EQ(C<QComboBox>(1029)->currentIndex(), -1);
  EXPECT_TRUE(BandColoured(*window_, 0, -1));
  window_->MenuItem(40010)->trigger();
  EXPECT_EQ(window_->Bar(1)->Background(), QColor(64, 64, 64));
  EXPECT_EQ(window_->Bar(1)->BarColour(), QColor(64, 64, 64));
}

TEST_F(WindowTest, ModeChangeRecoloursTheBandAndSwitchDarkensTheBars) {
  Start();
  EXPECT_TRUE(BandColoured(*window_, 11, 29));
  auto* mode = C<QComboBox>(1029);
  mode->setCurrentIndex(1);
  Q_EMIT mode->activated(1);
  EXPECT_TRUE(BandColoured(*window_, 10, 25));
  EXPECT_EQ(window_->GetStation().Decoder().CurrentToneSet(), core::BuiltInToneSet(1));

  // Positions: a bin at ten times the band mean fills its bar, one at the
  // mean shows a tenth.
  core::Spectrum s{};
  s.mean = 50.0;
  s.magnitude[3] = 500.0;
  s.magnitude[4] = 50.0;
  s.magnitude[5] = 5000.0;
  window_->Feed().OnSpectrum(s);
  window_->PaintNewestSpectrum();
  EXPECT_EQ(window_->Bar(3)->Position(), kBarFullScale);
  EXPECT_EQ(window_->Bar(4)->Position(), 3276);
  EXPECT_EQ(window_->Bar(5)->Position(), kBarFullScale);
  EXPECT_EQ(window_->Bar(6)->Position(), 0);

  window_->MenuItem(40010)->trigger();  // off
  EXPECT_FALSE(window_->MenuItem(40010)->isChecked());
  for (int k = 1; k <= kBarCount; ++k) {
    EXPECT_EQ(window_->Bar(k)->Background(), QColor(64, 64, 64));
    EXPECT_EQ(window_->Bar(k)->BarColour(), QColor(64, 64, 64));
  }
  s.magnitude[3] = 0.0;
  window_->Feed().OnSpectrum(s);
  window_->PaintNewestSpectrum();
  EXPECT_EQ(window_->Bar(3)->Position(), kBarFullScale) << "frozen while off";
  window_->MenuItem(40010)->trigger();  // on again
  EXPECT_TRUE(BandColoured(*window_, 10, 25));
  window_->Feed().OnSpectrum(s);
  window_->PaintNewestSpectrum();
  EXPECT_EQ(window_->Bar(3)->Position(), 0) << "follows the next buffer";
}

// A set the standard decoder cannot separate: the enhanced decoder takes the
// calls, and the activity list says so.
TEST_F(WindowTest, ASetTheStandardDecoderDoesNotKnowIsDecodedByTheEnhancedAndSaysSo) {
  Start();
  auto* mode = C<QComboBox>(1029);
  ASSERT_EQ(mode->count(), static_cast<int>(core::kModeNames.size()));
  mode->setCurrentIndex(core::kModeCcir);
  Q_EMIT mode->activated(core::kModeCcir);
  EXPECT_EQ(window_->GetStation().Decoder().EffectiveChoice(), core::DecoderChoice::kEnhanced);
  EXPECT_TRUE(WaitFor([&] { return ActivityShows(core::StandardDecoderNote("CCIR")); }));
}

}  // namespace
}  // namespace sequelo::app::windowtest
