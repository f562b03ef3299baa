// The three optional sinks the decoder feeds on the thread that analyses
// audio (the capture thread, or the caller of a file decode). The application
// registers them before audio starts; a sink that is not registered is skipped.
// Every call is synchronous: a slow sink delays the next buffer.
#pragma once

#include <string_view>

#include "core/buffer_analysis.h"

namespace sequelo::core {

// Sees every buffer's spectrum (the bar display).
class SpectrumObserver {
 public:
  virtual ~SpectrumObserver() = default;
  virtual void OnSpectrum(const Spectrum& spectrum) = 0;
};

// Receives each completed code: five characters, NUL-terminated behind the
// view. A code may hold 'R' first (repeat tone in the first position) or '.'
// (a tone that matches no character of the tone set).
class CodeHandler {
 public:
  virtual ~CodeHandler() = default;
  virtual void HandleReceivedCode(std::string_view code) = 0;
};

// Receives the detector's analysis lines while the analysis log is on.
class AnalysisLogWriter {
 public:
  virtual ~AnalysisLogWriter() = default;
  virtual void WriteAnalysisLine(std::string_view line) = 0;
};

struct DecoderSinks {
  SpectrumObserver* spectrumObserver = nullptr;
  CodeHandler* codeHandler = nullptr;
  AnalysisLogWriter* analysisLog = nullptr;
};

}  // namespace sequelo::core
