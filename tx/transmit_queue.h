// The transmitter's one owner: a thread that runs transmit jobs one after
// another (a call, a command string, a wave file sent keyed, a tone, or a
// change of output device), each with the transmitter to itself. Everyone
// else (the window, the answer to a received call, the remote client, the
// command line's send) posts jobs and may wait for their end.
//
// A job runs at its start time or as soon after as the transmitter is free;
// of the jobs that are due, the one posted first runs first. Abort cuts the
// running job short and drops those waiting: the transmitter is released at
// once by the aborting thread, and the job's later steps key nothing (a key
// under way when the abort came is released again right after).
//
// The queue enforces the transmitter's limits (tx/transmit_limits.h) on
// every job: keyings wait for the call gap and the keying rate, and a
// watchdog thread cuts a keying at the longest key time, releasing the
// transmitter and logging the cut.
//
// A job whose keying the radio does not confirm fails: nothing of it goes on
// the air, and the log says why. A release that did not go through is asked
// for again while the queue is idle, every kReleaseRetryMs, until it does.
//
// Threads: Post, Abort, SetLimits and Stop from any thread; jobs run on the
// transmit thread, the key-time watchdog on one of its own. Stop joins both.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "audio/tone_generator.h"
#include "core/clock.h"
#include "core/event_log.h"
#include "core/transmitter.h"
#include "tx/abortable_wait.h"
#include "tx/transmission.h"
#include "tx/transmit_limits.h"

namespace sequelo::tx {

using TransmitJob = std::function<void(Transmission&)>;

// How a job ended.
// kFailed: the radio did not confirm a keying or a release (the queue has
// logged why).
enum class JobOutcome { kPending, kDone, kAborted, kRefused, kFailed };

// The poster's handle on a job: wait for its end, see how it ended.
class JobTicket {
 public:
  // Blocks until the job has ended (run, aborted or dropped).
  JobOutcome Wait();
  JobOutcome Outcome() const;

 private:
  friend class TransmitQueue;
  void Finish(JobOutcome outcome);

  mutable std::mutex mutex_;
  std::condition_variable done_;
  JobOutcome outcome_ = JobOutcome::kPending;
};

inline constexpr std::uint32_t kReleaseRetryMs = 2000;

class TransmitQueue {
 public:
  // All must outlive the queue. `wait` is the one the PTT controller waits
  // the TX delay on, so that an abort cuts that short too; `clock` gives the
  // start times and the key times; `log` (optional) is told of cuts.
  TransmitQueue(audio::ToneGenerator& tones, core::Transmitter& ptt, AbortableWait& wait,
                core::TickClock& clock, core::EventLog* log = nullptr);
  ~TransmitQueue();
  TransmitQueue(const TransmitQueue&) = delete;
  TransmitQueue& operator=(const TransmitQueue&) = delete;

  void Start();
  // Aborts the running job, drops the waiting ones and joins the thread;
  // later posts are refused. The transmitter is released.
  void Stop();

  // Queues `job` to start at tick `startAtMs` of the clock (none: now).
  // Refused (the ticket says so at once) once stopped.
  std::shared_ptr<JobTicket> Post(TransmitJob job, std::optional<std::uint32_t> startAtMs = {});
  // Posts and waits for the job's end.
  JobOutcome Run(TransmitJob job) { return Post(std::move(job))->Wait(); }

  // Cuts the running job short and drops the waiting ones; releases the
  // transmitter now. Later posts run as usual.
  void Abort();

  // The clock start times are read on.
  std::uint32_t NowMs() const { return clock_.NowMs(); }

  // Takes effect from the next keying.
  void SetLimits(const TransmitLimits& limits);
  TransmitLimits Limits() const;
  // Keyings the watchdog has cut at the longest key time.
  std::uint64_t Cuts() const { return cuts_; }

  std::size_t Waiting() const;

 private:
  struct Entry {
    TransmitJob job;
    std::optional<std::uint32_t> startAtMs;
    std::shared_ptr<JobTicket> ticket;
  };
  void RunJobs();
  // The first due entry in posting order; nullopt while none is due, with
  // `waitMs` the time until the earliest one is.
  std::optional<std::size_t> NextDue(std::uint32_t& waitMs);
  void DropWaiting();  // with mutex_ held
  void WatchKeyTime();

  // The limits on each keying, as the running job's Transmission sees them.
  class Policy final : public KeyingPolicy {
   public:
    explicit Policy(TransmitQueue& queue) : q_(queue) {}
    void BeforeKey() override;
    void KeyStarted() override;
    void KeyEnded() override;

   private:
    TransmitQueue& q_;
  };

  audio::ToneGenerator& tones_;
  core::Transmitter& ptt_;
  AbortableWait& wait_;
  core::TickClock& clock_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Entry> entries_;  // guarded by mutex_
  bool stopping_ = false;      // guarded by mutex_
  bool started_ = false;       // guarded by mutex_
  bool running_ = false;       // a job is under way; guarded by mutex_
  std::atomic<bool> abort_{false};
  std::thread thread_;

  core::EventLog* log_;
  Policy policy_{*this};
  // The keying record, guarded by keyMutex_ (never held while keying).
  mutable std::mutex keyMutex_;
  std::condition_variable keyChanged_;
  TransmitLimits limits_;
  std::deque<std::uint32_t> keyStarts_;  // the latest kKeyingsPerWindow
  std::optional<std::uint32_t> keyedSince_;
  std::optional<std::uint32_t> lastRelease_;
  std::uint64_t job_ = 0;             // the running job's number
  std::uint64_t lastReleaseJob_ = 0;  // whose release lastRelease_ is
  bool watching_ = false;
  std::atomic<std::uint64_t> cuts_{0};
  std::thread watchdog_;
};

}  // namespace sequelo::tx
