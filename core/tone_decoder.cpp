#include "core/tone_decoder.h"

namespace sequelo::core {
namespace {
// All fields zero: the state before any tone set is chosen.
constexpr ToneSet kNoToneSet{};
}  // namespace

ToneDecoder::ToneDecoder(TickClock& clock, double threshold) : detector_(clock, threshold) {}

int ToneDecoder::AnalyseBuffer(CaptureBuffer buffer) {
  const ToneSet* chosen = CurrentToneSet();
  const ToneSet& toneSet = chosen != nullptr ? *chosen : kNoToneSet;
  Spectrum spectrum;
  FormSpectrum(buffer, toneSet, spectrum);
  if (sinks_.spectrumObserver != nullptr) {
    sinks_.spectrumObserver->OnSpectrum(spectrum);
  }
  detector_.Process(spectrum, toneSet, sinks_);
  return 1;
}

}  // namespace sequelo::core
