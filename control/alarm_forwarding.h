// The station's forwarding targets as one alarm sink: MQTT, the hook
// program and the webhook, each built from the settings when set, each with
// its own queue and thread. A reload (SIGHUP, the settings dialog) replaces
// them with the new settings' targets; events that come meanwhile are held
// for the new ones, and the MQTT queue file carries what the old client had
// not delivered over to the new one.
//
// Threads: OnAlarm from the alarm thread; Apply and Stop from the owner's.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "control/alarm_events.h"

namespace sequelo::control {

class AlarmForwarding final : public AlarmSink {
 public:
  // `queueDir` keeps the MQTT queue file (the start-up directory).
  AlarmForwarding(core::EventLog& log, std::string queueDir);
  ~AlarmForwarding() override;
  AlarmForwarding(const AlarmForwarding&) = delete;
  AlarmForwarding& operator=(const AlarmForwarding&) = delete;

  // Builds, starts and puts in place the targets `settings` name, in place
  // of the old ones (whose undelivered events go to the new target of their
  // kind); logs one line naming them. Settings that name the same targets
  // change nothing.
  void Apply(const AlarmSettings& settings);
  void Stop();

  void OnAlarm(const AlarmEvent& event) override;

  // The names of the targets in place ("MQTT broker.example:1883", ...).
  std::vector<std::string> Targets() const;

 private:
  struct Target;

  core::EventLog& log_;
  const std::string queueDir_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Target>> targets_;
  std::optional<AlarmSettings> applied_;  // what the targets in place were built from
  bool swapping_ = false;                 // Apply is replacing the targets
  std::vector<AlarmEvent> held_;          // events that came meanwhile
};

}  // namespace sequelo::control
