#include "control/alarm_forwarding.h"

#include <algorithm>

#include "control/exec_hook.h"
#include "control/mqtt_forwarder.h"
#include "control/webhook.h"

namespace sequelo::control {

struct AlarmForwarding::Target {
  std::string kind;  // "MQTT", "hook", "webhook"
  std::string name;
  std::unique_ptr<AlarmSink> sink;
  std::function<void()> stop;
  // The events it had not delivered (after stop); the MQTT queue file
  // keeps its own.
  std::function<std::vector<AlarmEvent>()> take;
};

namespace {

// The settings a forwarding target is built from.
bool SameTargets(const AlarmSettings& a, const AlarmSettings& b) {
  return a.stationName == b.stationName && a.mqttHost == b.mqttHost && a.mqttPort == b.mqttPort &&
         a.mqttUser == b.mqttUser && a.mqttPassword == b.mqttPassword && a.execHook == b.execHook &&
         a.webhookUrl == b.webhookUrl;
}

}  // namespace

AlarmForwarding::AlarmForwarding(core::EventLog& log, std::string queueDir)
    : log_(log), queueDir_(std::move(queueDir)) {}

AlarmForwarding::~AlarmForwarding() {
  Stop();
}

void AlarmForwarding::Apply(const AlarmSettings& settings) {
  {
    std::lock_guard lock(mutex_);
    if (applied_ && SameTargets(*applied_, settings)) {
      return;  // the targets in place serve these settings
    }
    applied_ = settings;
  }
  std::vector<std::unique_ptr<Target>> next;
  const auto add = [&next](std::string kind, std::string name, auto forwarder, auto take) {
    auto* raw = forwarder.get();
    raw->Start();
    next.push_back(std::make_unique<Target>(Target{std::move(kind), std::move(name),
                                                   std::move(forwarder), [raw] { raw->Stop(); },
                                                   [raw, take] { return take(*raw); }}));
  };
  const auto none = [](auto&) { return std::vector<AlarmEvent>(); };
  const auto waiting = [](auto& forwarder) { return forwarder.Delivery().TakeWaiting(); };
  // The old MQTT client first: the new one reads the queue file the old one
  // leaves behind. Events meanwhile wait for the new targets.
  std::vector<std::unique_ptr<Target>> old;
  {
    std::lock_guard lock(mutex_);
    old.swap(targets_);
    swapping_ = true;
  }
  std::vector<std::pair<std::string, std::vector<AlarmEvent>>> carried;
  for (auto& target : old) {
    target->stop();
    carried.emplace_back(target->kind, target->take());
  }
  old.clear();

  if (!settings.mqttHost.empty()) {
    MqttSettings mqtt;
    mqtt.host = settings.mqttHost;
    mqtt.port = settings.mqttPort;
    mqtt.user = settings.mqttUser;
    mqtt.password = settings.mqttPassword;
    mqtt.station = settings.stationName;
    mqtt.queueDir = queueDir_;
    add("MQTT", "MQTT " + settings.mqttHost + ":" + std::to_string(settings.mqttPort),
        std::make_unique<MqttForwarder>(mqtt, log_), none);
  }
  if (!settings.execHook.empty()) {
    auto hook = std::make_unique<ExecHookForwarder>(settings.execHook, log_);
    if (hook->Configured()) {
      add("hook", "hook " + settings.execHook, std::move(hook), waiting);
    } else {
      log_.Report("Exec hook not used: " + hook->ConfigError());
    }
  }
  if (!settings.webhookUrl.empty()) {
    auto webhook = std::make_unique<WebhookForwarder>(settings.webhookUrl, log_);
    if (webhook->Configured()) {
      const std::string name = "webhook " + webhook->SafeUrl();
      add("webhook", name, std::move(webhook), waiting);
    } else {
      log_.Report("Webhook not used: " + webhook->ConfigError());
    }
  }
  std::string line = "Alarm events of station " + settings.stationName + " forwarded to ";
  if (next.empty()) {
    line = "Alarm events of station " + settings.stationName + " are not forwarded";
  }
  for (std::size_t i = 0; i < next.size(); ++i) {
    line += (i > 0 ? ", " : "") + next[i]->name;
  }
  log_.Report(line);
  // What the old targets had not delivered goes to the new one of their
  // kind, ahead of what came meanwhile.
  for (auto& [kind, events] : carried) {
    const auto to = std::find_if(next.begin(), next.end(),
                                 [&kind = kind](const auto& t) { return t->kind == kind; });
    if (to == next.end()) {
      if (!events.empty()) {
        log_.Report(std::to_string(events.size()) + " alarm events not delivered: no " + kind +
                    " any more");
      }
      continue;
    }
    for (const AlarmEvent& event : events) {
      (*to)->sink->OnAlarm(event);
    }
  }
  std::lock_guard lock(mutex_);
  targets_.swap(next);
  swapping_ = false;
  for (const AlarmEvent& event : held_) {
    for (auto& target : targets_) {
      target->sink->OnAlarm(event);
    }
  }
  held_.clear();
}

void AlarmForwarding::Stop() {
  std::vector<std::unique_ptr<Target>> old;
  {
    std::lock_guard lock(mutex_);
    old.swap(targets_);
    applied_.reset();
  }
  for (auto& target : old) {
    target->stop();
  }
}

void AlarmForwarding::OnAlarm(const AlarmEvent& event) {
  std::lock_guard lock(mutex_);
  if (swapping_) {
    held_.push_back(event);
    return;
  }
  for (auto& target : targets_) {
    target->sink->OnAlarm(event);
  }
}

std::vector<std::string> AlarmForwarding::Targets() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& target : targets_) {
    names.push_back(target->name);
  }
  return names;
}

}  // namespace sequelo::control
