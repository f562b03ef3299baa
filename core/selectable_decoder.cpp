#include "core/selectable_decoder.h"

#include <algorithm>
#include <cctype>

namespace sequelo::core {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::optional<DecoderChoice> DecoderChoiceFromName(std::string_view name) {
  if (EqualsIgnoringCase(name, "standard")) {
    return DecoderChoice::kStandard;
  }
  if (EqualsIgnoringCase(name, "enhanced")) {
    return DecoderChoice::kEnhanced;
  }
  return std::nullopt;
}

std::optional<DecoderChoice> DecoderChoiceFromValue(int value) {
  if (value == 0) {
    return DecoderChoice::kStandard;
  }
  if (value == 1) {
    return DecoderChoice::kEnhanced;
  }
  return std::nullopt;
}

std::string_view DecoderChoiceName(DecoderChoice choice) {
  return choice == DecoderChoice::kEnhanced ? "enhanced" : "standard";
}

std::string StandardDecoderNote(std::string_view modeName) {
  return "The standard decoder knows ZVEI and DZVEI only: " + std::string(modeName) +
         " calls are decoded by the enhanced decoder";
}

DecoderChoice SelectableDecoder::EffectiveChoice() const {
  const ToneSet* toneSet = enhanced_.CurrentToneSet();
  return toneSet != nullptr && toneSet->enhancedOnly ? DecoderChoice::kEnhanced : Choice();
}

SelectableDecoder::SelectableDecoder(TickClock& clock, double threshold)
    : standard_(clock, threshold) {
  standard_.SetSinks({nullptr, &standardRoute_, &standardRoute_});
  enhanced_.SetSinks({nullptr, &enhancedRoute_, &enhancedRoute_});
}

void SelectableDecoder::SetSinks(const DecoderSinks& sinks) {
  sinks_ = sinks;
  // The spectrum goes straight from the standard decoder to the observer.
  standard_.SetSinks({sinks.spectrumObserver, &standardRoute_, &standardRoute_});
}

void SelectableDecoder::SetToneSet(const ToneSet* toneSet) {
  standard_.SetToneSet(toneSet);
  enhanced_.SetToneSet(toneSet);
}

void SelectableDecoder::SetAnalysisLog(bool on) {
  standard_.Detector().SetAnalysisLog(on);
  enhanced_.SetAnalysisLog(on);
}

int SelectableDecoder::AnalyseBuffer(CaptureBuffer buffer) {
  bufferChoice_ = EffectiveChoice();
  if (runBoth_ || bufferChoice_ == DecoderChoice::kStandard || sinks_.spectrumObserver != nullptr) {
    standard_.AnalyseBuffer(buffer);
  }
  if (runBoth_ || bufferChoice_ == DecoderChoice::kEnhanced) {
    enhanced_.AnalyseBuffer(buffer);
  }
  return 1;
}

void SelectableDecoder::Route::HandleReceivedCode(std::string_view code) {
  if (owner_.bufferChoice_ == from_ && owner_.sinks_.codeHandler != nullptr) {
    owner_.sinks_.codeHandler->HandleReceivedCode(code);
  }
}

void SelectableDecoder::Route::WriteAnalysisLine(std::string_view line) {
  if (owner_.bufferChoice_ == from_ && owner_.sinks_.analysisLog != nullptr) {
    owner_.sinks_.analysisLog->WriteAnalysisLine(line);
  }
}

}  // namespace sequelo::core
