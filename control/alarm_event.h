// An alarm event: what the station forwards for a received call. One call
// sent twice (or more) within the repeat window is one event whose
// `repeats` counts the receptions; a different code is always a new event.
// An event is forwarded as soon as it is decoded, and once more with
// `update` set when its repetitions, its class (the tones that followed the
// call) or its recording are known.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/selectable_decoder.h"

namespace sequelo::control {

struct AlarmEvent {
  // Unique for the station, also across restarts: the wall-clock
  // milliseconds of the first decode, a dash, and a counter.
  std::string id;
  std::chrono::system_clock::time_point time;  // end of the first reception
  std::string code;                            // as received (a sequence whole)
  std::string toneSet;                         // "ZVEI", "CCIR", ...
  core::DecoderChoice decoder = core::DecoderChoice::kStandard;
  int repeats = 1;
  std::string alarmClass;  // "fire", "wake tone", ...; empty while unknown or none
  std::string recording;   // path of the recorded announcement; empty: none
  std::string station;     // the StationName setting
  bool update = false;     // a later report of an event already forwarded
};

// The event as a JSON object on one line: "id", "time" (ISO 8601 UTC with
// milliseconds), "code", "toneset", "decoder", "repeats", "class" (null while
// unknown), "recording" (null for none), "station", "update".
std::string AlarmEventJson(const AlarmEvent& event);

// The event as environment variables for a hook: SEQUELO_ID, SEQUELO_TIME,
// SEQUELO_CODE, SEQUELO_TONESET, SEQUELO_DECODER, SEQUELO_REPEATS,
// SEQUELO_CLASS, SEQUELO_RECORDING, SEQUELO_STATION, SEQUELO_UPDATE (0/1).
std::vector<std::pair<std::string, std::string>> AlarmEventEnvironment(const AlarmEvent& event);

// One line for the log and the activity list, e.g.
// "Alarm 1765245301123-1: 12345 (ZVEI), received 2 times, fire".
std::string AlarmEventLine(const AlarmEvent& event);

// Takes alarm events; on the alarm thread, must not wait (a forwarder
// queues them for a thread of its own).
class AlarmSink {
 public:
  virtual ~AlarmSink() = default;
  virtual void OnAlarm(const AlarmEvent& event) = 0;
};

}  // namespace sequelo::control
