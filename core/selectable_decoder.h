// The decoder the program runs: the standard ToneDecoder and the
// EnhancedDecoder side by side over the same buffers, with a choice of which
// one's codes and analysis lines reach the sinks.
//
// Every buffer goes through both decoders, so either one is warm when it is
// chosen, and ToneDecoder::AnalyseBuffer always feeds the spectrum observer.
// Codes and analysis lines come only from the chosen decoder; the choice is
// read once at the start of each buffer, so a change takes effect with the
// next buffer, without a restart and without losing the other decoder's
// state.
//
// Thread use: AnalyseBuffer and SetSinks on the analysing thread (the capture
// thread, or the caller of a file decode). SetChoice, SetToneSet,
// SetAnalysisLog and the standard decoder's threshold (Standard().Detector())
// from any thread; they take effect with the next buffer.
//
//   core::SelectableDecoder decoder(clock, threshold);
//   decoder.SetSinks({&bars, &codeHandler, &analysisLog});
//   decoder.SetToneSet(core::BuiltInToneSet(core::kModeZvei));
//   decoder.SetChoice(core::DecoderChoice::kEnhanced);   // settings key Decoder=1
//   for each capture buffer: decoder.AnalyseBuffer(buffer);
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>

#include "core/buffer_analysis.h"
#include "core/clock.h"
#include "core/decoder_sinks.h"
#include "core/enhanced_decoder.h"
#include "core/tone_decoder.h"
#include "core/tone_set.h"

namespace sequelo::core {

// The values are those of the settings key Decoder.
enum class DecoderChoice : int { kStandard = 0, kEnhanced = 1 };

// "standard" / "enhanced" (any case) for command-line options; none otherwise.
std::optional<DecoderChoice> DecoderChoiceFromName(std::string_view name);
// The settings value 0 or 1; none for any other value.
std::optional<DecoderChoice> DecoderChoiceFromValue(int value);
std::string_view DecoderChoiceName(DecoderChoice choice);

// The standard decoder decodes ZVEI and DZVEI only; with any other set the
// enhanced decoder reports, whatever was chosen. The note that says so.
std::string StandardDecoderNote(std::string_view modeName);

class SelectableDecoder {
 public:
  // `clock` (the standard decoder's) must outlive the decoder. Starts with
  // the standard decoder chosen and no tone set.
  explicit SelectableDecoder(TickClock& clock, double threshold = kDefaultThreshold);
  SelectableDecoder(const SelectableDecoder&) = delete;
  SelectableDecoder& operator=(const SelectableDecoder&) = delete;

  // The sinks of the program; call before audio starts.
  void SetSinks(const DecoderSinks& sinks);

  // Which decoder reports. Any thread; takes effect with the next buffer.
  void SetChoice(DecoderChoice choice) { choice_.store(choice, std::memory_order_relaxed); }
  DecoderChoice Choice() const { return choice_.load(std::memory_order_relaxed); }
  // The decoder that reports: the choice, or the enhanced decoder for a set
  // the standard decoder does not know.
  DecoderChoice EffectiveChoice() const;

  // Both decoders. Any thread; takes effect with the next buffer.
  void SetToneSet(const ToneSet* toneSet);
  const ToneSet* CurrentToneSet() const { return standard_.CurrentToneSet(); }
  void SetAnalysisLog(bool on);
  bool AnalysisLogOn() const { return standard_.Detector().AnalysisLogOn(); }

  // Whether the decoder not chosen runs as well (the default), so that a
  // switch finds it warm. A run whose choice never changes (a file decode,
  // `listen`) turns it off and pays for one decoder only; the standard one
  // still runs while a spectrum observer is registered. Before audio starts.
  void SetRunBoth(bool both) { runBoth_ = both; }

  // Runs the decoders over one buffer; always returns 1. Allocates nothing.
  int AnalyseBuffer(CaptureBuffer buffer);

  // The decoders themselves (the standard one's threshold and calibration
  // live in Standard().Detector()).
  ToneDecoder& Standard() { return standard_; }
  const ToneDecoder& Standard() const { return standard_; }
  EnhancedDecoder& Enhanced() { return enhanced_; }
  const EnhancedDecoder& Enhanced() const { return enhanced_; }

 private:
  // Passes a decoder's codes and lines on while that decoder is chosen.
  class Route final : public CodeHandler, public AnalysisLogWriter {
   public:
    Route(const SelectableDecoder& owner, DecoderChoice from) : owner_(owner), from_(from) {}
    void HandleReceivedCode(std::string_view code) override;
    void WriteAnalysisLine(std::string_view line) override;

   private:
    const SelectableDecoder& owner_;
    DecoderChoice from_;
  };

  std::atomic<DecoderChoice> choice_{DecoderChoice::kStandard};
  DecoderChoice bufferChoice_ = DecoderChoice::kStandard;  // read once per buffer
  DecoderSinks sinks_;
  bool runBoth_ = true;
  ToneDecoder standard_;
  EnhancedDecoder enhanced_;
  Route standardRoute_{*this, DecoderChoice::kStandard};
  Route enhancedRoute_{*this, DecoderChoice::kEnhanced};
};

}  // namespace sequelo::core
