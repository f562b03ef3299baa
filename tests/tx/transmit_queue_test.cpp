#include "tx/transmit_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "tests/support/fake_playback.h"
#include "tests/support/gate.h"
#include "tests/support/memory_log.h"

namespace sequelo::tx {
namespace {

using testsupport::PlaybackEventLog;
using testsupport::RecordingAudioBackend;
using testsupport::RecordingPlayback;
using testsupport::RecordingTransmitter;

class TransmitQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tones_.ListOutputDevices();
    ASSERT_TRUE(tones_.OpenOutputDevices(0));
    radio_ = dynamic_cast<RecordingPlayback*>(tones_.TransmitDevice());
    ASSERT_NE(radio_, nullptr);
    events_.clear();
    // The clock stands still unless a test moves it: no spacing of keyings.
    TransmitLimits unspaced;
    unspaced.spacing = false;
    queue_.SetLimits(unspaced);
    queue_.Start();
  }
  void TearDown() override { queue_.Stop(); }

  // A job as a call is: keyed, five tones, released.
  static TransmitJob FiveTones(std::uint32_t hz) {
    return [hz](Transmission& tx) {
      tx.Key();
      for (int i = 0; i < 5; ++i) {
        tx.PlayTone(hz, 70);
      }
      tx.Release();
    };
  }

  PlaybackEventLog events_;  // written by the transmit thread alone
  RecordingAudioBackend backend_{&events_};
  audio::ToneGenerator tones_{backend_};
  RecordingTransmitter ptt_{&events_};
  AbortableWait wait_;
  core::ManualTickClock clock_{1000};
  TransmitQueue queue_{tones_, ptt_, wait_, clock_};
  RecordingPlayback* radio_ = nullptr;
};

// A keying the radio does not confirm: nothing goes on the air, the job
// fails and the log says why. A release it does not confirm is asked for
// again while the queue is idle, until it goes through.
TEST_F(TransmitQueueTest, AnUnconfirmedKeyingSendsNothingAndAnOwedReleaseIsAskedAgain) {
  queue_.Stop();  // this radio has one owner: a queue with a log
  testsupport::MemoryLog log;
  TransmitQueue queue(tones_, ptt_, wait_, clock_, &log);
  queue.SetLimits(queue_.Limits());  // unspaced: the clock stands still
  queue.Start();
  ptt_.refuseKeys = true;
  EXPECT_EQ(queue.Run(FiveTones(1000)), JobOutcome::kFailed);
  EXPECT_EQ(events_, (PlaybackEventLog{"key", "release", "release"}));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                             "Transmission failed, nothing more sent: keying not confirmed: the "
                             "radio does not answer"}));

  ptt_.refuseKeys = false;
  ptt_.failReleases = 1;
  EXPECT_EQ(queue.Run(FiveTones(1000)), JobOutcome::kFailed);
  // Asked again until the radio hears it (every kReleaseRetryMs).
  for (int i = 0; i < 100 && ptt_.releases < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(ptt_.releases, 4);
  EXPECT_FALSE(ptt_.ReleaseOwed());
  queue.Stop();
  EXPECT_EQ(log.Lines().back(), "Transmitter released: the radio answers again");
}

TEST_F(TransmitQueueTest, JobsPostedFromThreeThreadsNeverInterleave) {
  constexpr int kJobsEach = 10;
  const std::array<std::uint32_t, 3> hz{1000, 2000, 3000};
  std::vector<std::thread> posters;
  std::vector<std::shared_ptr<JobTicket>> tickets[3];
  for (std::size_t t = 0; t < 3; ++t) {
    posters.emplace_back([&, t] {
      for (int j = 0; j < kJobsEach; ++j) {
        tickets[t].push_back(queue_.Post(FiveTones(hz[t])));
      }
    });
  }
  for (auto& p : posters) {
    p.join();
  }
  for (auto& list : tickets) {
    for (auto& ticket : list) {
      EXPECT_EQ(ticket->Wait(), JobOutcome::kDone);
    }
  }
  // Each job: key, its five tones, drain, release; nothing of another job
  // in between, and every job's tones of one frequency.
  const std::size_t jobs = 3 * kJobsEach;
  ASSERT_EQ(events_.size(), jobs * 8);
  const auto tone = audio::SynthesiseTone(1000, 70);
  const std::vector<std::int16_t>& samples = radio_->Samples();
  ASSERT_EQ(samples.size(), jobs * 5 * tone.size());
  for (std::size_t j = 0; j < jobs; ++j) {
    const auto at = events_.begin() + static_cast<std::ptrdiff_t>(j * 8);
    EXPECT_EQ(
        std::vector<std::string>(at, at + 8),
        (std::vector<std::string>{"key", "radio write 771", "radio write 771", "radio write 771",
                                  "radio write 771", "radio write 771", "radio drain", "release"}))
        << "job " << j;
    const auto first = samples.begin() + static_cast<std::ptrdiff_t>(j * 5 * tone.size());
    const auto f = std::find_if(hz.begin(), hz.end(), [&](std::uint32_t h) {
      const auto t = audio::SynthesiseTone(h, 70);
      return std::equal(t.begin(), t.end(), first);
    });
    ASSERT_NE(f, hz.end()) << "job " << j;
    for (std::size_t k = 1; k < 5; ++k) {
      const auto t = audio::SynthesiseTone(*f, 70);
      EXPECT_TRUE(std::equal(t.begin(), t.end(), first + static_cast<std::ptrdiff_t>(k * t.size())))
          << "job " << j << " tone " << k;
    }
  }
  EXPECT_EQ(ptt_.keys, static_cast<int>(jobs));
  EXPECT_EQ(ptt_.releases, static_cast<int>(jobs));
}

TEST_F(TransmitQueueTest, AJobWaitsForItsStartTimeWhileDueOnesGoFirst) {
  std::vector<std::string> ran;  // written on the transmit thread, read after the waits
  auto later = queue_.Post([&](Transmission&) { ran.push_back("answer"); }, 1000 + 1000);
  auto now = queue_.Post([&](Transmission&) { ran.push_back("call"); });
  EXPECT_EQ(now->Wait(), JobOutcome::kDone);
  EXPECT_EQ(later->Outcome(), JobOutcome::kPending);
  clock_.Set(1999);
  EXPECT_EQ(queue_.Post([&](Transmission&) { ran.push_back("second call"); })->Wait(),
            JobOutcome::kDone);
  EXPECT_EQ(later->Outcome(), JobOutcome::kPending);  // 1 ms to go
  clock_.Set(2000);
  EXPECT_EQ(later->Wait(), JobOutcome::kDone);
  EXPECT_EQ(ran, (std::vector<std::string>{"call", "second call", "answer"}));
  // Start times are ticks of a wrapping clock: a start just past the wrap
  // is not due just before it.
  clock_.Set(0xFFFFFFF0u);
  auto wrapped = queue_.Post([&](Transmission&) { ran.push_back("wrapped"); }, 0x10u);
  EXPECT_EQ(queue_.Post([](Transmission&) {})->Wait(), JobOutcome::kDone);
  EXPECT_EQ(wrapped->Outcome(), JobOutcome::kPending);
  clock_.Set(0x10u);
  EXPECT_EQ(wrapped->Wait(), JobOutcome::kDone);
}

TEST_F(TransmitQueueTest, AbortReleasesAtOnceEvenWhileAWriteIsStillUnderWay) {
  // The device holds the first write, as a full sound buffer does.
  testsupport::FirstCallHold held;
  radio_->onWrite = held.Hook();
  int keysAfterAbort = -1;
  auto job = queue_.Post([&](Transmission& tx) {
    tx.Key();
    tx.PlayTone(1000, 500);  // held in the device
    tx.Key();                // an abort came meanwhile: no second key
    tx.PlayTone(1000, 500);
    tx.Pause(60000);  // an abort cuts a pause short too
    keysAfterAbort = ptt_.keys;
  });
  auto waiting = queue_.Post([](Transmission& tx) { tx.Key(); });
  held.WaitReached();
  queue_.Abort();
  // Released by the aborting thread, the job still held in its write.
  EXPECT_EQ(ptt_.keys, 1);
  EXPECT_EQ(ptt_.releases, 1);
  EXPECT_EQ(waiting->Outcome(), JobOutcome::kAborted);  // dropped, never run
  held.LetGo();
  EXPECT_EQ(job->Wait(), JobOutcome::kAborted);
  EXPECT_EQ(keysAfterAbort, 1);
  EXPECT_EQ(std::count(events_.begin(), events_.end(), "radio write 5512"), 1);
  // The queue goes on with the next job as usual.
  EXPECT_EQ(queue_.Post(FiveTones(2000))->Wait(), JobOutcome::kDone);
  EXPECT_EQ(ptt_.keys, 2);
  queue_.Stop();
  EXPECT_EQ(queue_.Post(FiveTones(2000))->Wait(), JobOutcome::kRefused);
  EXPECT_EQ(ptt_.keys, 2);
}

TEST_F(TransmitQueueTest, AnAbortWhileKeyingIsFollowedByARelease) {
  // The abort (and its release) come while the key is on its way: the job
  // releases once more after its key, so the transmitter ends released.
  ptt_.onKey = [&] { queue_.Abort(); };
  auto job = queue_.Post([](Transmission& tx) {
    tx.Key();
    tx.PlayTone(1000, 70);  // cut: nothing more plays
  });
  EXPECT_EQ(job->Wait(), JobOutcome::kAborted);
  ptt_.onKey = nullptr;
  ASSERT_FALSE(events_.empty());
  EXPECT_EQ(events_.back(), "release");
  EXPECT_EQ(std::count(events_.begin(), events_.end(), "key"), 1);
  EXPECT_TRUE(radio_->Samples().empty());
}

// A clock that moves 100 ms each time it is read: the queue's waits for
// the spacing of keyings pass without the test waiting for real time.
class SteppingClock final : public core::TickClock {
 public:
  std::uint32_t NowMs() override { return now_.fetch_add(100) + 100; }

 private:
  std::atomic<std::uint32_t> now_{1000};
};

// Keys and releases as they come, from any thread (the watchdog releases
// from its own).
class LockedTransmitter final : public core::Transmitter {
 public:
  bool KeyTransmitter() override {
    Add("key");
    return true;
  }
  void ReleaseTransmitter() override { Add("release"); }
  std::vector<std::string> Seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  void Add(const char* what) {
    std::lock_guard lock(mutex_);
    seen_.emplace_back(what);
  }
  mutable std::mutex mutex_;
  std::vector<std::string> seen_;
};

class TransmitLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tones_.ListOutputDevices();
    ASSERT_TRUE(tones_.OpenOutputDevices(0));
    queue_.Start();
  }
  void TearDown() override { queue_.Stop(); }

  PlaybackEventLog events_;  // the transmit device's writes
  RecordingAudioBackend backend_{&events_};
  audio::ToneGenerator tones_{backend_};
  LockedTransmitter ptt_;
  AbortableWait wait_;
  SteppingClock clock_;
  TransmitQueue queue_{tones_, ptt_, wait_, clock_};
};

TEST_F(TransmitLimitsTest, KeyingsOfTwoRequestsKeepTheCallGapAndAtMostTwoStartInASecond) {
  std::vector<std::uint32_t> keyed;
  std::vector<std::uint32_t> released;
  const auto keyOnce = [&](Transmission& tx) {
    tx.Key();
    keyed.push_back(clock_.NowMs());
    tx.Release();
    released.push_back(clock_.NowMs());
  };
  queue_.Post(keyOnce);
  EXPECT_EQ(queue_.Run(keyOnce), JobOutcome::kDone);
  ASSERT_EQ(keyed.size(), 2u);
  // The key follows the release the gap later (the clock moves 100 ms a read).
  EXPECT_GE(keyed[1] - released[0], kCallGapMs - 100);

  // Within one request no gap, but the third keying in a second waits.
  keyed.clear();
  EXPECT_EQ(queue_.Run([&](Transmission& tx) {
    for (int i = 0; i < 3; ++i) {
      tx.Key();
      keyed.push_back(clock_.NowMs());
      tx.Release();
    }
  }),
            JobOutcome::kDone);
  ASSERT_EQ(keyed.size(), 3u);
  EXPECT_LT(keyed[1] - keyed[0], kCallGapMs);
  EXPECT_GE(keyed[2] - keyed[0], kKeyingWindowMs);
}

TEST_F(TransmitLimitsTest, AKeyingIsCutAtTheLongestKeyTimeAndTheNextJobRuns) {
  TransmitLimits limits;
  limits.maxKeyMs = 5000;
  queue_.SetLimits(limits);
  // Keyed, then a pause far beyond the limit: the watchdog reads the clock
  // every 50 ms, which moves 100 ms a read, so the cut comes within seconds.
  EXPECT_EQ(queue_.Run([](Transmission& tx) {
    tx.Key();
    tx.Pause(600000);
    tx.PlayTone(1000, 70);  // after the cut: nothing
  }),
            JobOutcome::kAborted);
  EXPECT_EQ(queue_.Cuts(), 1u);
  EXPECT_EQ(queue_.Run([](Transmission& tx) {
    tx.Key();
    tx.Release();
  }),
            JobOutcome::kDone);
  EXPECT_EQ(queue_.Cuts(), 1u);
  // Keyed, released by the cut, then released by the job once more; no tone;
  // the next job keys and releases.
  EXPECT_EQ(ptt_.Seen(), (std::vector<std::string>{"key", "release", "release", "key", "release"}));
  EXPECT_TRUE(std::none_of(events_.begin(), events_.end(), [](const std::string& e) {
    return e.find(" write ") != std::string::npos;
  }));
}

}  // namespace
}  // namespace sequelo::tx
