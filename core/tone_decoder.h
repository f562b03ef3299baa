// The decoder's single entry: each capture buffer goes through AnalyseBuffer,
// which forms the spectrum, shows it to the spectrum observer and runs the
// tone detector. Owns no thread; call it from one thread only.
#pragma once

#include <atomic>

#include "core/buffer_analysis.h"
#include "core/decoder_sinks.h"
#include "core/tone_detector.h"
#include "core/tone_set.h"

namespace sequelo::core {

class ToneDecoder {
 public:
  // `clock` must outlive the decoder. Starts without a tone set: nothing is
  // decoded until SetToneSet.
  explicit ToneDecoder(TickClock& clock, double threshold = kDefaultThreshold);

  // Registers the sinks; call before audio starts.
  void SetSinks(const DecoderSinks& sinks) { sinks_ = sinks; }

  // The tone set to decode; it must outlive its use (the built-in tables do).
  // Any thread; takes effect with the next buffer. nullptr: no tone set.
  void SetToneSet(const ToneSet* toneSet) { toneSet_.store(toneSet, std::memory_order_release); }
  const ToneSet* CurrentToneSet() const { return toneSet_.load(std::memory_order_acquire); }

  // Analyses one buffer; always returns 1. Allocates nothing.
  int AnalyseBuffer(CaptureBuffer buffer);

  ToneDetector& Detector() { return detector_; }
  const ToneDetector& Detector() const { return detector_; }

 private:
  std::atomic<const ToneSet*> toneSet_{nullptr};
  DecoderSinks sinks_;
  ToneDetector detector_;
};

}  // namespace sequelo::core
