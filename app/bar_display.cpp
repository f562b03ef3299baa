#include "app/bar_display.h"

#include <cmath>

namespace sequelo::app {
namespace {
constexpr Rgb kBandBackground{250, 240, 190};
constexpr Rgb kBandBar{0, 128, 0};
constexpr Rgb kOutsideBackground{64, 64, 64};
constexpr Rgb kOutsideBar{128, 128, 128};
constexpr Rgb kDark{64, 64, 64};
}  // namespace

int BarControlId(int bar) {
  if (bar == 1) {
    return 1033;
  }
  if (bar >= 2 && bar <= kBarCount) {
    return 1124 + bar;
  }
  return 0;
}

bool BarInBand(int bar, const core::ToneSet& toneSet) {
  const auto first = static_cast<int>(toneSet.bandLow / core::BinWidth);
  const auto last = static_cast<int>(toneSet.bandHigh / core::BinWidth);
  return first <= bar && bar <= last;
}

BarColours ColourOfBar(int bar, const core::ToneSet& toneSet, bool displayOn) {
  if (!displayOn) {
    return {kDark, kDark};
  }
  return BarInBand(bar, toneSet) ? BarColours{kBandBackground, kBandBar}
                                 : BarColours{kOutsideBackground, kOutsideBar};
}

BarPositions PositionsOf(const core::Spectrum& spectrum) {
  BarPositions positions{};
  for (int k = 1; k <= kBarCount; ++k) {
    const double value = static_cast<double>(kBarFullScale) / spectrum.mean / 10.0 *
                         spectrum.magnitude[static_cast<std::size_t>(k)];
    int position = 0;
    if (std::isnan(value) || value < 0.0) {
      position = 0;
    } else if (value > kBarFullScale) {
      position = kBarFullScale;
    } else {
      position = static_cast<int>(value);
    }
    positions[static_cast<std::size_t>(k - 1)] = position;
  }
  return positions;
}

void BarFeed::OnSpectrum(const core::Spectrum& spectrum) {
  if (!DisplayOn()) {
    return;  // the bars keep their last positions while the display is off
  }
  slots_[back_] = PositionsOf(spectrum);
  // Hand the filled slot over and take the one in between for the next
  // buffer: the window never sees a half-written set, and nobody waits.
  const unsigned previous = middle_.exchange(back_ | kFresh, std::memory_order_acq_rel);
  back_ = previous & ~kFresh;
}

bool BarFeed::TakeNewest(BarPositions& positions) {
  if ((middle_.load(std::memory_order_acquire) & kFresh) == 0) {
    return false;
  }
  const unsigned previous = middle_.exchange(front_, std::memory_order_acq_rel);
  front_ = previous & ~kFresh;
  positions = slots_[front_];
  return true;
}

}  // namespace sequelo::app
