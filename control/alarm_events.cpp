#include "control/alarm_events.h"

#include "audio/own_thread.h"

#include <algorithm>

#include "core/tone_set.h"

namespace sequelo::control {
namespace {

// Items waiting for the alarm thread: far more than calls can bring in the
// time one round of the thread takes.
constexpr std::size_t kIntakeItems = 1024;
constexpr std::uint32_t kPollMs = 200;
// A recording not reported this long after its end completes the event
// without it.
constexpr std::uint32_t kRecordingGraceMs = 10000;
// The trailer detector places a tone's start to within a block or two; a
// trailer that seems to start this much before the call's end still follows
// it.
constexpr std::int32_t kTrailerSlackMs = 1000;

std::int32_t SignedMs(std::uint32_t from, std::uint32_t to) {
  return static_cast<std::int32_t>(to - from);
}

bool ParseHz(std::string_view text, int& hz) {
  if (text.empty() || text.size() > 5) {
    return false;
  }
  hz = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    hz = hz * 10 + (c - '0');
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

std::vector<core::TrailerClass> ParseTrailerTones(std::string_view text, std::string& error) {
  std::vector<core::TrailerClass> classes;
  error.clear();
  while (!Trim(text).empty()) {
    const std::size_t end = std::min(text.find(';'), text.size());
    const std::string_view entry = Trim(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    if (entry.empty()) {
      continue;
    }
    const std::size_t eq = entry.find('=');
    core::TrailerClass c;
    std::string_view tones = eq == std::string_view::npos ? "" : Trim(entry.substr(eq + 1));
    c.name = std::string(Trim(entry.substr(0, std::min(eq, entry.size()))));
    const std::size_t slash = tones.find('/');
    if (slash != std::string_view::npos) {
      if (Trim(tones.substr(slash + 1)) != "intermittent") {
        error = "unknown suffix in \"" + std::string(entry.substr(0, 60)) + "\"";
        return {};
      }
      c.intermittent = true;
      tones = Trim(tones.substr(0, slash));
    }
    const std::size_t plus = tones.find('+');
    const bool ok =
        eq != std::string_view::npos && !c.name.empty() && c.name.size() <= 40 &&
        ParseHz(Trim(tones.substr(0, std::min(plus, tones.size()))), c.lowHz) &&
        (plus == std::string_view::npos || ParseHz(Trim(tones.substr(plus + 1)), c.highHz));
    if (!ok || !core::IsUsableTrailerClass(c)) {
      error = "not a tone entry: \"" + std::string(entry.substr(0, 60)) + "\"";
      return {};
    }
    if (classes.size() == static_cast<std::size_t>(core::trailer::kMaxClasses)) {
      error = "more than " + std::to_string(core::trailer::kMaxClasses) + " entries";
      return {};
    }
    classes.push_back(std::move(c));
  }
  return classes;
}

void AlarmTracker::OnCall(const CallEvent& call, std::uint32_t callMs, Output& out) {
  const std::uint32_t windowMs = settings_.repeatWindowS * 1000;
  for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
    const std::int32_t since = SignedMs(it->lastEndTickMs, call.endTickMs);
    if (it->event.code == call.code && since >= 0 &&
        static_cast<std::uint32_t>(since) <= windowMs) {
      ++it->event.repeats;
      it->lastEndTickMs = call.endTickMs;
      return;
    }
  }
  Open open;
  AlarmEvent& e = open.event;
  const auto wallMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(call.endWall.time_since_epoch())
          .count();
  e.id = std::to_string(wallMs) + "-" + std::to_string(++counter_);
  e.time = call.endWall;
  e.code = call.code;
  e.toneSet = call.toneSet;
  e.decoder = call.decoder;
  e.station = settings_.stationName;
  open.lastEndTickMs = call.endTickMs;
  out.events.push_back(e);
  if (settings_.recordSeconds > 0) {
    RecordingRequest request;
    request.eventId = e.id;
    request.code = e.code;
    request.time = e.time;
    request.fromTickMs = call.endTickMs - callMs - 2000;
    request.untilTickMs = call.endTickMs + settings_.recordSeconds * 1000;
    open.recordingPending = true;
    open.recordingDeadlineTickMs = request.untilTickMs + kRecordingGraceMs;
    out.recordings.push_back(std::move(request));
  }
  open_.push_back(std::move(open));
}

void AlarmTracker::OnTrailer(const std::string& alarmClass, std::uint32_t startTickMs) {
  const std::int32_t windowMs = static_cast<std::int32_t>(settings_.trailerWindowS * 1000);
  for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
    const std::int32_t after = SignedMs(it->lastEndTickMs, startTickMs);
    if (after >= -kTrailerSlackMs && after <= windowMs) {
      if (it->event.alarmClass.empty()) {
        it->event.alarmClass = alarmClass;
      }
      return;
    }
  }
}

void AlarmTracker::OnRecordingDone(const std::string& id, const std::string& path) {
  for (Open& open : open_) {
    if (open.event.id == id) {
      open.event.recording = path;
      open.recordingPending = false;
      return;
    }
  }
}

void AlarmTracker::Poll(std::uint32_t nowTickMs, Output& out) {
  const std::int32_t quietMs =
      static_cast<std::int32_t>(std::max(settings_.repeatWindowS, settings_.trailerWindowS) * 1000);
  // In the order they began, so a target sees the completions in order too.
  while (!open_.empty()) {
    Open& first = open_.front();
    const bool quiet = SignedMs(first.lastEndTickMs, nowTickMs) > quietMs;
    const bool recorded =
        !first.recordingPending || SignedMs(first.recordingDeadlineTickMs, nowTickMs) > 0;
    if (!quiet || !recorded) {
      return;
    }
    Complete(first, out);
    open_.pop_front();
  }
}

void AlarmTracker::Flush(Output& out) {
  for (Open& open : open_) {
    Complete(open, out);
  }
  open_.clear();
}

void AlarmTracker::Complete(Open& open, Output& out) {
  open.event.update = true;
  out.events.push_back(open.event);
}

AlarmEvents::AlarmEvents(core::EventLog& log, core::TickClock& clock) : log_(log), clock_(clock) {}

AlarmEvents::~AlarmEvents() {
  Stop();
}

void AlarmEvents::SetSettings(const AlarmSettings& settings) {
  Post(settings);
}

void AlarmEvents::Start() {
  audio::StartOwnThread(mutex_, running_, thread_, [this] { Run(); });
}

void AlarmEvents::Stop() {
  audio::StopOwnThread(mutex_, running_, changed_, thread_);
}

void AlarmEvents::OnCall(const CallEvent& event) {
  Post(event);
}

void AlarmEvents::TrailerHeard(std::string alarmClass, std::uint32_t startTickMs) {
  Post(Trailer{std::move(alarmClass), startTickMs});
}

void AlarmEvents::RecordingDone(std::string id, std::string path) {
  Post(Recorded{std::move(id), std::move(path)});
}

void AlarmEvents::Post(Item item) {
  {
    std::lock_guard lock(mutex_);
    if (items_.size() >= kIntakeItems) {
      ++refused_;
      return;
    }
    items_.push_back(std::move(item));
  }
  changed_.notify_all();
}

void AlarmEvents::WaitIdle() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return items_.empty() && !busy_; });
}

void AlarmEvents::Run() {
  std::uint64_t refusedReported = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait_for(lock, std::chrono::milliseconds(kPollMs),
                      [this] { return !running_ || !items_.empty(); });
    std::deque<Item> items;
    items.swap(items_);
    const bool ending = !running_;
    const std::uint64_t refused = refused_;
    busy_ = true;
    lock.unlock();

    if (refused != refusedReported) {
      log_.Report("Alarm events: " + std::to_string(refused - refusedReported) +
                  " inputs lost (queue full)");
      refusedReported = refused;
    }
    AlarmTracker::Output out;
    for (Item& item : items) {
      if (auto* call = std::get_if<CallEvent>(&item)) {
        std::uint32_t callMs = 0;
        for (std::size_t mode = 0; mode < core::kModeNames.size(); ++mode) {
          if (core::kModeNames[mode] == call->toneSet) {
            callMs = static_cast<std::uint32_t>(
                call->code.size() * core::BuiltInToneSet(static_cast<int>(mode))->toneMs);
          }
        }
        tracker_.OnCall(*call, callMs, out);
      } else if (auto* trailer = std::get_if<Trailer>(&item)) {
        tracker_.OnTrailer(trailer->alarmClass, trailer->startTickMs);
      } else if (auto* recorded = std::get_if<Recorded>(&item)) {
        tracker_.OnRecordingDone(recorded->id, recorded->path);
      } else {
        tracker_.SetSettings(std::get<AlarmSettings>(item));
      }
    }
    if (ending) {
      tracker_.Flush(out);
    } else {
      tracker_.Poll(clock_.NowMs(), out);
    }
    Emit(out);

    lock.lock();
    busy_ = false;
    changed_.notify_all();
    if (ending) {
      return;
    }
  }
}

void AlarmEvents::Emit(AlarmTracker::Output& out) {
  if (startRecording_) {
    for (const RecordingRequest& request : out.recordings) {
      startRecording_(request);
    }
  }
  for (const AlarmEvent& event : out.events) {
    if (event.update) {
      log_.Report(AlarmEventLine(event));
    }
    for (AlarmSink* sink : sinks_) {
      sink->OnAlarm(event);
    }
  }
}

}  // namespace sequelo::control
