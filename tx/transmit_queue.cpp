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
                             AbortableWait& wait, core::TickClock& clock)
    : tones_(tones), ptt_(ptt), wait_(wait), clock_(clock) {}

TransmitQueue::~TransmitQueue() {
  Stop();
}

void TransmitQueue::Start() {
  std::lock_guard lock(mutex_);
  if (started_ || stopping_) {
    return;
  }
  started_ = true;
  thread_ = std::thread([this] { RunJobs(); });
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
      if (entries_.empty()) {
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
    Transmission transmission(tones_, ptt_, wait_, &abort_);
    entry.job(transmission);
    if (transmission.Keyed()) {
      transmission.Release();  // a job never leaves the transmitter keyed
    }
    const bool aborted = abort_.load();
    lock.lock();
    running_ = false;
    entry.ticket->Finish(aborted ? JobOutcome::kAborted : JobOutcome::kDone);
  }
  DropWaiting();
}

}  // namespace sequelo::tx
