// The road of a received call after the decoder: the capture thread posts a
// call event (never waiting), and the station's event thread takes each in
// turn, logs "Code received: <code>" and hands the event to every
// subscriber (the window, the remote client, the responder, ...). Each
// subscriber has a bounded queue and a thread of its own, so one that is
// slow or stuck delays only itself; an event that does not fit is counted
// and logged, and capture goes on.
//
// Threads: Post from any thread (the capture thread); Subscribe, Start and
// Stop by the owner; subscribers run on their own threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "control/work_queue.h"
#include "core/event_log.h"
#include "core/selectable_decoder.h"

namespace sequelo::control {

struct CallEvent {
  std::string code;  // as received: a five-tone call, or a longer sequence whole
  // The code the station acts on: the called code (the first five
  // characters of a sequence).
  std::string_view Called() const { return core::CalledCode(code); }
  // The end of the call as the decoder saw it: the station's tick clock
  // (the clock of transmit start times) and the wall clock.
  std::uint32_t endTickMs = 0;
  std::chrono::system_clock::time_point endWall;
  std::string toneSet;  // "ZVEI", "DZVEI"; empty when no mode was chosen
  core::DecoderChoice decoder = core::DecoderChoice::kStandard;
};

class CallSubscriber {
 public:
  virtual ~CallSubscriber() = default;
  // On the subscriber's own thread, events in the order they were decoded.
  virtual void OnCall(const CallEvent& event) = 0;
};

class CallEventBus {
 public:
  // Events the intake and each subscriber's queue hold: a call lasts at
  // least 350 ms, so 256 is well over 30 s of back-to-back calls.
  static constexpr std::size_t kQueueEvents = 256;

  // `log` must outlive the bus.
  explicit CallEventBus(core::EventLog& log);
  ~CallEventBus();
  CallEventBus(const CallEventBus&) = delete;
  CallEventBus& operator=(const CallEventBus&) = delete;

  // Before Start. `subscriber` must outlive the bus; `name` is for the log.
  void Subscribe(std::string name, CallSubscriber& subscriber);
  void Start();
  // Delivers what has been posted, then ends every thread: the events of
  // calls decoded before capture stopped are still logged and handed on.
  void Stop();

  // Never waits; false when the intake was full (counted, logged later).
  bool Post(CallEvent event);

  // Blocks until every event posted so far has reached every subscriber
  // and been handled (tests, and a clean shut-down).
  void WaitIdle();
  std::uint64_t Lost() const;

 private:
  struct Subscription {
    std::string name;
    std::unique_ptr<WorkQueue<CallEvent>> queue;
  };
  // The event thread: the log line, then every subscriber's queue.
  void HandleReceivedCode(CallEvent& event);
  // Logs how many events the full intake refused since the last report
  // (the event thread, or Stop once it has ended).
  void ReportIntakeLosses();

  core::EventLog& log_;
  std::vector<Subscription> subscribers_;
  WorkQueue<CallEvent> intake_;
  std::uint64_t intakeLostReported_ = 0;  // event thread, then Stop
};

}  // namespace sequelo::control
