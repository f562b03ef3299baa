#include "core/tone_detector.h"

#include <cstdio>

namespace sequelo::core {

ToneDetector::ToneDetector(TickClock& clock, double threshold)
    : clock_(clock), threshold_(threshold) {}

bool ToneDetector::SingleToneCondition(const Spectrum& spectrum) const {
  // Every band bin other than the peak and its two neighbours must stay
  // below 40 % of the peak. Digital silence fails: nothing is below 0.
  const double limit = 0.4 * static_cast<double>(spectrum.peakValue);
  for (std::int32_t k = spectrum.bandFirst; k <= spectrum.bandLast; ++k) {
    if (k >= spectrum.peakBin - 1 && k <= spectrum.peakBin + 1) {
      continue;
    }
    if (!(spectrum.magnitude[static_cast<std::size_t>(k)] < limit)) {
      return false;
    }
  }
  return true;
}

void ToneDetector::Log(const DecoderSinks& sinks, const char* text) const {
  if (sinks.analysisLog != nullptr && AnalysisLogOn()) {
    sinks.analysisLog->WriteAnalysisLine(text);
  }
}

void ToneDetector::Process(const Spectrum& spectrum, const ToneSet& toneSet,
                           const DecoderSinks& sinks) {
  char line[256];
  const double peak = static_cast<double>(spectrum.peakValue);

  // 1. Calibration: a threshold of 0 is set from this buffer's peak. A peak of
  //    0 keeps it at 0, so the next buffer calibrates again; the threshold is
  //    never made negative.
  if (Threshold() == 0.0) {
    const double calibrated = 1.5 * peak;
    SetThreshold(calibrated > 0.0 ? calibrated : 0.0);
  }
  const double threshold = Threshold();

  // 2. Single-tone condition.
  const bool singleTone = SingleToneCondition(spectrum);

  // 3. Clearing: counts survive only while the peak stays on the last hit's bin.
  if (storedCount_ == 0) {
    storedTone_.fill(0);
  }
  if (!hitPending_ || spectrum.peakBin != lastHitBin_) {
    hitCount_.fill(0);
    hitPending_ = false;
  }

  // 4. The tone's frequency is the bin's, truncated: bin 15 gives 1406.
  const auto f = static_cast<std::int32_t>(spectrum.peakBin * BinWidth);

  // 5. Analysis line, independent of the hit tests.
  if (AnalysisLogOn() && peak > threshold) {
    std::snprintf(line, sizeof line, "Buffer evaluation: f=%4i, p=%7.1f, avg=%7.1f (%4.1fx), %s",
                  static_cast<int>(f), peak, spectrum.mean, peak / spectrum.mean,
                  singleTone ? "single tone condition" : "no single tone condition");
    Log(sinks, line);
  }

  // 6. Hit evaluation.
  if (singleTone) {
    const std::uint32_t now = clock_.NowMs();
    const double lowEdge = (1.0 - toneSet.tolerance) * DetectionLowHz(toneSet);
    const double highEdge = (1.0 + toneSet.tolerance) * DetectionHighHz(toneSet);
    const bool deadTimeOver = !codeSeen_ || ElapsedMs(lastCodeTime_, now) > kDeadTimeMs;
    const bool hit = deadTimeOver &&                // dead time over
                     peak > 5.0 * spectrum.mean &&  // prominent
                     peak > threshold &&            // loud enough
                     lowEdge < f && f < highEdge;   // in the band
    if (hit) {
      const auto bin = static_cast<std::size_t>(spectrum.peakBin);
      ++hitCount_[bin];
      if (AnalysisLogOn()) {
        std::snprintf(line, sizeof line, "Tone hit #%i detected", static_cast<int>(hitCount_[bin]));
        Log(sinks, line);
      }
      if (!hitPending_ && !cycleActive_) {
        cycleActive_ = true;
        cycleStart_ = now;
      }
      hitPending_ = true;
      lastHitBin_ = spectrum.peakBin;
      // A tone equal to the last stored one is not accepted and keeps its
      // count, so a long tone gives one character, not two.
      if (hitCount_[bin] >= 2 &&
          (storedCount_ == 0 || f != storedTone_[static_cast<std::size_t>(storedCount_ - 1)])) {
        storedTone_[static_cast<std::size_t>(storedCount_)] = f;
        ++storedCount_;
        hitCount_[bin] = 0;
        if (AnalysisLogOn()) {
          std::snprintf(line, sizeof line, "Tone accepted as digit #%i", storedCount_);
          Log(sinks, line);
        }
      }
    }
  }

  // 7. Completion or timeout.
  if (storedCount_ == kCodeLength) {
    Complete(toneSet, sinks);
  } else if (cycleActive_ && ElapsedMs(cycleStart_, clock_.NowMs()) > kCycleTimeoutMs) {
    Log(sinks, "Evaluation timeout, starting new cycle");
    storedCount_ = 0;
    hitPending_ = false;
    cycleActive_ = false;
  }
}

void ToneDetector::Complete(const ToneSet& toneSet, const DecoderSinks& sinks) {
  char code[kCodeLength + 1];
  for (std::size_t i = 0; i < static_cast<std::size_t>(kCodeLength); ++i) {
    const char c = ClassifyTone(toneSet, storedTone_[i]);
    // The repeat tone stands for the character before it; in the first
    // position there is none, and 'R' is handed on.
    code[i] = (i > 0 && c == 'R') ? code[i - 1] : c;
  }
  code[kCodeLength] = '\0';
  if (sinks.codeHandler != nullptr) {
    sinks.codeHandler->HandleReceivedCode(std::string_view(code, kCodeLength));
  }
  // Read after the handler returns: an answer sent from the handler counts
  // into the dead time.
  lastCodeTime_ = clock_.NowMs();
  codeSeen_ = true;
  storedCount_ = 0;
  hitPending_ = false;
  cycleActive_ = false;
}

}  // namespace sequelo::core
