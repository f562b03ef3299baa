// The 31 spectrum bars of the window, apart from the widgets: which control
// id a bar has, its colours for the current tone set and display switch,
// and its position for a buffer's spectrum. The capture thread publishes
// every buffer's positions into a triple buffer and never waits; the window
// thread takes the newest set when it paints (older ones are dropped).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "core/buffer_analysis.h"
#include "core/decoder_sinks.h"
#include "core/tone_set.h"

namespace sequelo::app {

inline constexpr int kBarCount = 31;
inline constexpr int kBarFullScale = 32768;

struct Rgb {
  int r = 0;
  int g = 0;
  int b = 0;
  bool operator==(const Rgb&) const = default;
};

struct BarColours {
  Rgb background;
  Rgb bar;
  bool operator==(const BarColours&) const = default;
};

using BarPositions = std::array<int, kBarCount>;  // index 0 is bar 1

// Control id of bar 1..31 (bar 1 is 1033, bars 2..31 are 1126..1155); 0 for
// any other number.
int BarControlId(int bar);

// The highlighted bars: trunc(bandLow / 93.75) .. trunc(bandHigh / 93.75)
// (11..29 for ZVEI, 10..25 for DZVEI: one short of the detection band's top).
bool BarInBand(int bar, const core::ToneSet& toneSet);

// Colours of bar 1..31: green on light inside the band, grey on dark grey
// outside, all dark while the display is off.
BarColours ColourOfBar(int bar, const core::ToneSet& toneSet, bool displayOn);

// Positions for one spectrum: 32768 / mean / 10 x magnitude, in that order,
// clipped to 0..32768 and truncated (a bin at ten times the band mean fills
// its bar; with a mean of 0, silent bins give 0 and the others full scale).
BarPositions PositionsOf(const core::Spectrum& spectrum);

// The spectrum observer of the decoder: while the display is on, publishes
// each buffer's positions; the window takes the newest. Lock-free: one
// producer (the capture thread), one consumer (the window thread).
class BarFeed final : public core::SpectrumObserver {
 public:
  void OnSpectrum(const core::Spectrum& spectrum) override;

  // Any thread; takes effect with the next buffer.
  void SetDisplayOn(bool on) { displayOn_.store(on, std::memory_order_relaxed); }
  bool DisplayOn() const { return displayOn_.load(std::memory_order_relaxed); }

  // Window thread: the newest positions if new ones came since the last
  // call; false (and `positions` untouched) otherwise.
  bool TakeNewest(BarPositions& positions);

 private:
  static constexpr unsigned kFresh = 4;  // flag bit beside the slot index
  std::array<BarPositions, 3> slots_{};
  unsigned back_ = 0;                // the producer's slot
  std::atomic<unsigned> middle_{1};  // the slot in between, with kFresh when unread
  unsigned front_ = 2;               // the consumer's slot
  std::atomic<bool> displayOn_{true};
};

}  // namespace sequelo::app
