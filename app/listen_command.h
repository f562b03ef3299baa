// The "listen" command of sequelo-cli: decodes live from an input device and
// prints each code with the wall-clock time, until it is told to stop.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "app/decode_output.h"
#include "app/event_log.h"
#include "audio/audio_device.h"
#include "audio/recorder.h"
#include "core/selectable_decoder.h"

namespace sequelo::app {

struct ListenRequest {
  std::string device;  // first input whose name begins with it (any case); empty: the first
  int modeIndex = 0;
  std::string modeName;  // as the operator named it (ZVEI1 or ZVEI); empty: the list's name
  OutputFormat format = OutputFormat::kText;
  double threshold = 100.0;
  core::DecoderChoice decoder = core::DecoderChoice::kStandard;
};

// One output line for a code heard live at `now` (local time for text, Unix
// seconds for tsv and json).
std::string FormatLiveCodeLine(OutputFormat format, const LocalTime& now, std::int64_t unixMs,
                               std::string_view code, std::string_view mode,
                               std::string_view device);

// Reports on `err` when more capture buffers have been lost since the last
// report.
class LostBufferReport {
 public:
  void ReportNew(const audio::Recorder& recorder, std::FILE* err);

 private:
  std::uint64_t reported_ = 0;
};

// Waits until `waitForStop(ms)` returns true (called with a time-out of a
// second), reporting on `err` whenever more capture buffers have been lost.
void WaitReportingLostBuffers(const audio::Recorder& recorder,
                              const std::function<bool(int timeoutMs)>& waitForStop,
                              std::FILE* err);

// Runs until `waitForStop(ms)` returns true (it is called repeatedly with a
// time-out; between calls, buffers lost since the last report are reported
// on `err`). Returns 0, or 1 when the device cannot be opened.
int RunListenCommand(const ListenRequest& request, audio::AudioBackend& audio,
                     const std::function<bool(int timeoutMs)>& waitForStop, std::FILE* out,
                     std::FILE* err);

}  // namespace sequelo::app
