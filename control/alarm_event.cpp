#include "control/alarm_event.h"

#include <ctime>
#include <nlohmann/json.hpp>

namespace sequelo::control {
namespace {

std::string IsoTime(std::chrono::system_clock::time_point t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms.count() % 1000));
  return text;
}

const char* DecoderName(core::DecoderChoice decoder) {
  return decoder == core::DecoderChoice::kEnhanced ? "enhanced" : "standard";
}

}  // namespace

std::string AlarmEventJson(const AlarmEvent& event) {
  nlohmann::ordered_json j;
  j["id"] = event.id;
  j["time"] = IsoTime(event.time);
  j["code"] = event.code;
  j["toneset"] = event.toneSet;
  j["decoder"] = DecoderName(event.decoder);
  j["repeats"] = event.repeats;
  j["class"] = event.alarmClass.empty() ? nlohmann::ordered_json()
                                        : nlohmann::ordered_json(event.alarmClass);
  j["recording"] =
      event.recording.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(event.recording);
  j["station"] = event.station;
  j["update"] = event.update;
  // Codes and names are checked text, but a station name comes from the
  // settings file: never let bad UTF-8 throw.
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::vector<std::pair<std::string, std::string>> AlarmEventEnvironment(const AlarmEvent& event) {
  return {{"SEQUELO_ID", event.id},
          {"SEQUELO_TIME", IsoTime(event.time)},
          {"SEQUELO_CODE", event.code},
          {"SEQUELO_TONESET", event.toneSet},
          {"SEQUELO_DECODER", DecoderName(event.decoder)},
          {"SEQUELO_REPEATS", std::to_string(event.repeats)},
          {"SEQUELO_CLASS", event.alarmClass},
          {"SEQUELO_RECORDING", event.recording},
          {"SEQUELO_STATION", event.station},
          {"SEQUELO_UPDATE", event.update ? "1" : "0"}};
}

std::string AlarmEventLine(const AlarmEvent& event) {
  std::string line = "Alarm " + event.id + ": " + event.code;
  if (!event.toneSet.empty()) {
    line += " (" + event.toneSet + ")";
  }
  line += event.repeats == 1 ? ", received once"
                             : ", received " + std::to_string(event.repeats) + " times";
  if (!event.alarmClass.empty()) {
    line += ", " + event.alarmClass;
  }
  if (!event.recording.empty()) {
    line += ", recorded in " + event.recording;
  }
  return line;
}

}  // namespace sequelo::control
