// Forwards alarm events to a program of the operator's (the setting
// `ExecHook`): the program and its arguments, split without a shell (a
// program name without a slash is looked up in PATH), run once per event with the event as
// environment variables (SEQUELO_CODE ..., AlarmEventEnvironment) and as one JSON line on its
// standard input.
//
// The program runs in a process group of its own, with default signal
// dispositions, an empty signal mask, no descriptors of the station but its
// standard input (the JSON), output (/dev/null) and error (the first 200
// bytes kept for the log). Exit status 0 is delivered; anything else, or a
// program still running at the time-out (SIGTERM to its group, SIGKILL two
// seconds later), is a failure that AlarmDelivery retries, three attempts in
// all by default. The child is always reaped.
//
// Threads: OnAlarm from the alarm thread (never waits); the program runs on
// the delivery's thread; Start and Stop by the owner.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "control/alarm_delivery.h"
#include "control/alarm_event.h"
#include "core/event_log.h"

namespace sequelo::control {

// A command line split into words without a shell: blanks (space, tab, line
// ends) separate words; double quotes group, and inside them \" is a quote
// and \\ a backslash (any other backslash stays as it is); single quotes
// group literally; quoted and unquoted parts next to each other make one
// word ("a"'b'c is abc), and "" is an empty word. A backslash outside
// double quotes is an ordinary character. `error` is empty when the line
// was split; otherwise it says why (an unterminated quote, no program, a NUL
// character) and `words` is empty.
struct CommandLineWords {
  std::vector<std::string> words;
  std::string error;
};
CommandLineWords SplitCommandLine(std::string_view line);

struct ExecHookOptions {
  std::uint32_t timeoutMs = 10000;   // SIGTERM to a program still running then
  std::uint32_t killAfterMs = 2000;  // and SIGKILL this long after the SIGTERM
  DeliveryLimits limits = {.attempts = 3};
};

class ExecHookForwarder final : public AlarmSink {
 public:
  // `commandLine` is the ExecHook setting; `log` must outlive the forwarder.
  ExecHookForwarder(std::string commandLine, core::EventLog& log, ExecHookOptions options = {});
  ~ExecHookForwarder() override;
  ExecHookForwarder(const ExecHookForwarder&) = delete;
  ExecHookForwarder& operator=(const ExecHookForwarder&) = delete;

  // False when the setting could not be split: the forwarder then starts no
  // thread and drops every event. It does not log this itself: its owner
  // reports ConfigError() (a whole log line) when it starts the forwarder,
  // at start-up and at a reload.
  bool Configured() const { return error_.empty(); }
  std::string ConfigError() const;

  void Start();
  // Stops the delivery thread; a program still running is sent SIGTERM at
  // once (SIGKILL after killAfterMs) and reaped first.
  void Stop();

  void OnAlarm(const AlarmEvent& event) override;

  // The delivery queue (its counters; WaitIdle in tests).
  AlarmDelivery& Delivery() { return delivery_; }

 private:
  ExecHookForwarder(CommandLineWords split, core::EventLog& log, ExecHookOptions options);
  bool Run(const AlarmEvent& event, std::string& error);

  const std::vector<std::string> words_;
  const std::string error_;
  const ExecHookOptions options_;
  std::atomic<bool> stopping_{false};
  int wakeFd_ = -1;  // an eventfd, readable once Stop has begun
  AlarmDelivery delivery_;
};

}  // namespace sequelo::control
