// The event log's two sinks as the lower layers see them: the log file (with
// millisecond timestamps) and the activity list (the operator's on-screen
// record). Callers that report an event write both, log file first, with the
// same text. Any thread may call.
#pragma once

#include <string_view>

namespace sequelo::core {

class EventLog {
 public:
  virtual ~EventLog() = default;
  virtual void WriteLogLine(std::string_view text) = 0;
  virtual void AddActivityLine(std::string_view text) = 0;

  // Both sinks, log file first.
  void Report(std::string_view text) {
    WriteLogLine(text);
    AddActivityLine(text);
  }
};

}  // namespace sequelo::core
