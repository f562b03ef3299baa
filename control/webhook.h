// Forwards alarm events to an HTTP endpoint (the setting `WebhookUrl`, http
// or https): each event is POSTed as its JSON object (AlarmEventJson,
// Content-Type: application/json). A 2xx answer is delivered; anything else
// (no connection, a time-out, any other status; redirects are not followed)
// is a failure that AlarmDelivery retries until the endpoint takes the
// event, the events behind it waiting in its bounded queue.
//
// The URL may hold a user name and password (sent as HTTP basic
// authentication): they never reach the log; SafeUrl() is the form to show.
//
// Threads: OnAlarm from the alarm thread (never waits); the requests on the
// delivery's thread; Start and Stop by the owner.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "control/alarm_delivery.h"
#include "control/alarm_event.h"
#include "core/event_log.h"

namespace sequelo::control {

struct WebhookOptions {
  std::uint32_t connectTimeoutMs = 5000;
  std::uint32_t timeoutMs = 10000;  // the whole request, answer included
  DeliveryLimits limits;            // no attempt limit: events wait for the endpoint
};

class WebhookForwarder final : public AlarmSink {
 public:
  // `url` is the WebhookUrl setting; `log` must outlive the forwarder.
  WebhookForwarder(std::string url, core::EventLog& log, WebhookOptions options = {});
  ~WebhookForwarder() override;
  WebhookForwarder(const WebhookForwarder&) = delete;
  WebhookForwarder& operator=(const WebhookForwarder&) = delete;

  // False when the URL is not an http or https URL with a host: the
  // forwarder then starts no thread and drops every event. It does not log
  // this itself: its owner reports ConfigError() (a whole log line, without
  // the URL) when it starts the forwarder, at start-up and at a reload.
  bool Configured() const { return error_.empty(); }
  std::string ConfigError() const;
  // scheme://host:port/path, without user name, password and query: the
  // URL as the log may show it (empty when not configured).
  const std::string& SafeUrl() const { return safeUrl_; }

  void Start();
  // Stops the delivery thread; a request under way is cut short.
  void Stop();

  void OnAlarm(const AlarmEvent& event) override;

  // The delivery queue (its counters; WaitIdle in tests).
  AlarmDelivery& Delivery() { return delivery_; }

 private:
  struct Transfer;

  bool Post(const AlarmEvent& event, std::string& error);

  const std::string url_;
  const WebhookOptions options_;
  std::string safeUrl_;
  std::string error_;
  std::unique_ptr<Transfer> transfer_;  // libcurl's handles, used by the delivery thread
  std::atomic<bool> stopping_{false};
  AlarmDelivery delivery_;
};

}  // namespace sequelo::control
