// Received calls made into alarm events. A call sent twice (German alarms
// are: call, 600 ms, call) or more within the repeat window is one event
// that counts its receptions; a different code is always an event of its
// own, however soon it follows. After the last reception the tracker waits
// for what may follow (the wake tone or a siren double tone, which gives
// the event its class) and for the recording of the announcement, then
// completes the event.
//
// Each event reaches the sinks twice: at once when first decoded, and once
// more with `update` set when it is complete. The complete event is also
// one line in the log and the activity list.
//
// AlarmTracker is the bookkeeping alone, on the tick clock (tests drive it
// by hand); AlarmEvents runs it on a thread of its own (the alarm thread),
// fed by the call events, the trailer detector and the recorder.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "control/alarm_event.h"
#include "control/call_events.h"
#include "core/clock.h"
#include "core/event_log.h"
#include "core/trailer_detector.h"

namespace sequelo::control {

// What may follow a call, as the TrailerTones setting holds it: entries
// "name=Hz" (one tone), "name=Hz+Hz" (two at once), "/intermittent" for a
// tone sent on and off, separated by ';'.
inline constexpr std::string_view kDefaultTrailerTones =
    "wake tone=2600/intermittent;fire=675+1240;test=675+1860;civil-protection alarm=675+825;"
    "warning=675+2280;all clear=675+1010";

// The table a TrailerTones text holds; an error (and no table) for text
// that is not one: an entry without '=', a tone that is no number in
// 300..2900 Hz, an unknown suffix, more than 16 entries.
std::vector<core::TrailerClass> ParseTrailerTones(std::string_view text, std::string& error);

struct AlarmSettings {
  std::string stationName;  // the StationName setting (default: the host name)
  std::uint32_t repeatWindowS = 10;
  std::uint32_t trailerWindowS = 8;
  std::uint32_t recordSeconds = 0;  // 0: no recording
  std::string recordFolder;
  std::string mqttHost;  // empty: no MQTT
  int mqttPort = 1883;
  std::string mqttUser;
  std::string mqttPassword;
  std::string execHook;    // empty: no hook
  std::string webhookUrl;  // empty: no webhook
  std::string trailerTones{kDefaultTrailerTones};
};

// What the recorder is asked for when an event begins.
struct RecordingRequest {
  std::string eventId;
  std::string code;
  std::chrono::system_clock::time_point time;
  std::uint32_t fromTickMs = 0;   // 2 s before the call began
  std::uint32_t untilTickMs = 0;  // RecordSeconds after it ended
};

class AlarmTracker {
 public:
  // What one step gives: events for the sinks (first reports and completed
  // ones) and recordings to start.
  struct Output {
    std::vector<AlarmEvent> events;
    std::vector<RecordingRequest> recordings;
  };

  void SetSettings(const AlarmSettings& settings) { settings_ = settings; }

  // A received call. `callMs` is how long the call lasted (its tones).
  void OnCall(const CallEvent& call, std::uint32_t callMs, Output& out);
  // A class of what follows a call, heard from `startTickMs` on.
  void OnTrailer(const std::string& alarmClass, std::uint32_t startTickMs);
  // The recording of event `id` is written (`path`), or failed (empty).
  void OnRecordingDone(const std::string& id, const std::string& path);
  // Completes the events whose windows have passed by `nowTickMs`.
  void Poll(std::uint32_t nowTickMs, Output& out);
  // Completes every open event now (shut-down).
  void Flush(Output& out);

  std::size_t OpenEvents() const { return open_.size(); }

 private:
  struct Open {
    AlarmEvent event;
    std::uint32_t lastEndTickMs = 0;
    bool recordingPending = false;
    std::uint32_t recordingDeadlineTickMs = 0;
  };
  void Complete(Open& open, Output& out);

  AlarmSettings settings_;
  std::deque<Open> open_;
  std::uint64_t counter_ = 0;
};

// The alarm thread. Feeds never wait; sinks are called on the alarm thread
// in the order events happen, and must not wait either (forwarders queue).
class AlarmEvents final : public CallSubscriber {
 public:
  // Starts a recording; the recorder reports back through RecordingDone.
  using StartRecording = std::function<void(const RecordingRequest&)>;

  AlarmEvents(core::EventLog& log, core::TickClock& clock);
  ~AlarmEvents() override;
  AlarmEvents(const AlarmEvents&) = delete;
  AlarmEvents& operator=(const AlarmEvents&) = delete;

  // Before Start.
  void AddSink(AlarmSink& sink) { sinks_.push_back(&sink); }
  void SetRecorder(StartRecording start) { startRecording_ = std::move(start); }
  // Any time; used for calls from then on.
  void SetSettings(const AlarmSettings& settings);

  void Start();
  // Completes the open events (their last report goes out), then ends.
  void Stop();

  // The call events' subscriber (its own thread).
  void OnCall(const CallEvent& event) override;
  // From the capture thread: never waits.
  void TrailerHeard(std::string alarmClass, std::uint32_t startTickMs);
  // From the recorder's thread.
  void RecordingDone(std::string id, std::string path);

  // Blocks until everything fed so far has been handled (tests).
  void WaitIdle();

 private:
  struct Trailer {
    std::string alarmClass;
    std::uint32_t startTickMs;
  };
  struct Recorded {
    std::string id;
    std::string path;
  };
  using Item = std::variant<CallEvent, Trailer, Recorded, AlarmSettings>;

  void Post(Item item);
  void Run();
  void Emit(AlarmTracker::Output& out);

  core::EventLog& log_;
  core::TickClock& clock_;
  std::vector<AlarmSink*> sinks_;
  StartRecording startRecording_;
  AlarmTracker tracker_;  // the alarm thread's
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Item> items_;
  bool running_ = false;
  bool busy_ = false;
  std::uint64_t refused_ = 0;
  std::thread thread_;
};

}  // namespace sequelo::control
