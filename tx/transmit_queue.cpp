#include "tx/transmit_queue.h"

#include <algorithm>
#include <chrono>

namespace sequelo::tx {

namespace {
// While a job waits for its start time the thread looks at the clock again
// at least this often, so an injected clock that jumps is noticed.
constexpr std::uint32_t kRecheckMs = 50;

bool IsDue(std::uint32_t startAtMs, std::uint32_t nowMs) {
  return static_cast<std::int32_t>(nowMs - startAtMs) >= 0;  // across the 32-bit wrap
}
}  // namespace

JobOutcome JobTicket::Wait() {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [this] { return outcome_ != JobOutcome::kPending; });
  return outcome_;
}

JobOutcome JobTicket::Outcome() const {
  std::lock_guard lock(mutex_);
  return outcome_;
}

void JobTicket::Finish(JobOutcome outcome) {
  std::lock_guard lock(mutex_);
  outcome_ = outcome;
  done_.notify_all();
}

TransmitQueue::TransmitQueue(audio::ToneGenerator& tones, core::Transmitter& ptt,
                             AbortableWait& wait, core::TickClock& clock, core::EventLog* log)
    : tones_(tones), ptt_(ptt), wait_(wait), clock_(clock), log_(log) {}

TransmitQueue::~TransmitQueue() {
  Stop();
}

void TransmitQueue::Start() {
  std::lock_guard lock(mutex_);
  if (started_ || stopping_) {
    return;
  }
  started_ = true;
  {
    std::lock_guard keyLock(keyMutex_);
    watching_ = true;
  }
  thread_ = std::thread([this] { RunJobs(); });
  watchdog_ = std::thread([this] { WatchKeyTime(); });
}

void TransmitQueue::SetLimits(const TransmitLimits& limits) {
  std::lock_guard lock(keyMutex_);
  limits_ = limits;
  keyChanged_.notify_all();
}

TransmitLimits TransmitQueue::Limits() const {
  std::lock_guard lock(keyMutex_);
  return limits_;
}

std::shared_ptr<JobTicket> TransmitQueue::Post(TransmitJob job,
                                               std::optional<std::uint32_t> startAtMs) {
  auto ticket = std::make_shared<JobTicket>();
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      entries_.push_back(Entry{std::move(job), startAtMs, ticket});
      changed_.notify_all();
      return ticket;
    }
  }
  ticket->Finish(JobOutcome::kRefused);
  return ticket;
}

std::size_t TransmitQueue::Waiting() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void TransmitQueue::DropWaiting() {
  // Tickets have locks of their own, never held while taking the queue's.
  for (Entry& e : entries_) {
    e.ticket->Finish(JobOutcome::kAborted);
  }
  entries_.clear();
}

void TransmitQueue::Abort() {
  bool running = false;
  {
    std::lock_guard lock(mutex_);
    DropWaiting();
    abort_ = true;
    wait_.Abort();  // the TX delay or a pause under way ends now
    running = running_;
  }
  changed_.notify_all();
  if (running) {
    // Released here and now, with none of the queue's locks held (the PTT
    // controller may have something to say to the operator). A job keying
    // at this very moment sees the abort after its key and releases too.
    ptt_.ReleaseTransmitter();
  }
}

void TransmitQueue::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  Abort();
  if (thread_.joinable()) {
    thread_.join();
  }
  {
    std::lock_guard lock(keyMutex_);
    watching_ = false;
  }
  keyChanged_.notify_all();
  if (watchdog_.joinable()) {
    watchdog_.join();
  }
}

void TransmitQueue::Policy::BeforeKey() {
  for (;;) {
    std::uint32_t waitMs = 0;
    {
      std::lock_guard lock(q_.keyMutex_);
      if (!q_.limits_.spacing) {
        return;
      }
      const std::uint32_t now = q_.clock_.NowMs();
      // A keying of another request keeps the call gap after the last one.
      if (q_.lastRelease_ && q_.lastReleaseJob_ != q_.job_) {
        const std::uint32_t since = core::ElapsedMs(*q_.lastRelease_, now);
        if (since < kCallGapMs) {
          waitMs = kCallGapMs - since;
        }
      }
      if (q_.keyStarts_.size() == kKeyingsPerWindow) {
        const std::uint32_t since = core::ElapsedMs(q_.keyStarts_.front(), now);
        if (since < kKeyingWindowMs) {
          waitMs = std::max(waitMs, kKeyingWindowMs - since);
        }
      }
    }
    if (waitMs == 0 || q_.abort_) {
      return;
    }
    // In steps, so that a clock that jumps (tests) is noticed.
    q_.wait_.SleepMs(std::min(waitMs, kRecheckMs));
  }
}

void TransmitQueue::Policy::KeyStarted() {
  std::lock_guard lock(q_.keyMutex_);
  const std::uint32_t now = q_.clock_.NowMs();
  q_.keyStarts_.push_back(now);
  while (q_.keyStarts_.size() > kKeyingsPerWindow) {
    q_.keyStarts_.pop_front();
  }
  q_.keyedSince_ = now;
  q_.keyChanged_.notify_all();
}

void TransmitQueue::Policy::KeyEnded() {
  std::lock_guard lock(q_.keyMutex_);
  q_.lastRelease_ = q_.clock_.NowMs();
  q_.lastReleaseJob_ = q_.job_;
  q_.keyedSince_.reset();
}

void TransmitQueue::WatchKeyTime() {
  std::unique_lock lock(keyMutex_);
  while (watching_) {
    if (!keyedSince_) {
      keyChanged_.wait(lock);
      continue;
    }
    const std::uint32_t keyedMs = core::ElapsedMs(*keyedSince_, clock_.NowMs());
    if (keyedMs < limits_.maxKeyMs) {
      keyChanged_.wait_for(
          lock, std::chrono::milliseconds(std::min(limits_.maxKeyMs - keyedMs, kRecheckMs)));
      continue;
    }
    // The limit: the job is cut short (its later steps key nothing, its
    // waits end) and the transmitter released now.
    // While keyedSince_ is set the keying job is still running (its
    // release clears it under this lock), so the abort reaches that job.
    // All of it under the lock: the job cannot release (and end, and let
    // the next job key) before this release has gone out, so a late release
    // can never cut the next transmission; and whoever sees the job end
    // sees the cut counted.
    const std::uint32_t maxSeconds = limits_.maxKeyMs / 1000;
    keyedSince_.reset();
    abort_ = true;
    ++cuts_;
    ptt_.ReleaseTransmitter();
    wait_.Abort();
    lock.unlock();
    if (log_ != nullptr) {
      log_->Report("Transmission cut: keyed for " + std::to_string(maxSeconds) +
                   " s, the longest allowed (MaxTransmitSeconds)");
    }
    lock.lock();
  }
}

std::optional<std::size_t> TransmitQueue::NextDue(std::uint32_t& waitMs) {
  const std::uint32_t now = clock_.NowMs();
  waitMs = kRecheckMs;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const auto& start = entries_[i].startAtMs;
    if (!start || IsDue(*start, now)) {
      return i;
    }
    waitMs = std::min(waitMs, *start - now);
  }
  return std::nullopt;
}

void TransmitQueue::RunJobs() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    std::uint32_t waitMs = 0;
    const std::optional<std::size_t> due = NextDue(waitMs);
    if (!due) {
      if (entries_.empty() && ptt_.ReleaseOwed()) {
        // A radio that could not be told to stop: ask again until it hears.
        if (changed_.wait_for(lock, std::chrono::milliseconds(kReleaseRetryMs)) ==
                std::cv_status::timeout &&
            entries_.empty() && !stopping_) {
          lock.unlock();
          ptt_.ReleaseTransmitter();
          if (!ptt_.ReleaseOwed() && log_ != nullptr) {
            log_->Report("Transmitter released: the radio answers again");
          }
          lock.lock();
        }
      } else if (entries_.empty()) {
        changed_.wait(lock);
      } else {
        changed_.wait_for(lock, std::chrono::milliseconds(std::max<std::uint32_t>(waitMs, 1)));
      }
      continue;
    }
    Entry entry = std::move(entries_[*due]);
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(*due));
    // A new job starts clean: an abort before it was taken does not reach it.
    abort_ = false;
    wait_.Reset();
    running_ = true;
    lock.unlock();
    {
      std::lock_guard keyLock(keyMutex_);
      ++job_;
    }
    Transmission transmission(tones_, ptt_, wait_, &abort_, &policy_);
    entry.job(transmission);
    if (transmission.Keyed()) {
      transmission.Release();  // a job never leaves the transmitter keyed
    }
    const bool aborted = abort_.load();
    if (transmission.Failed() && log_ != nullptr) {
      log_->Report("Transmission failed, nothing more sent: " + transmission.Failure());
    }
    lock.lock();
    running_ = false;
    entry.ticket->Finish(transmission.Failed() ? JobOutcome::kFailed
                         : aborted             ? JobOutcome::kAborted
                                               : JobOutcome::kDone);
  }
  DropWaiting();
}

}  // namespace sequelo::tx
