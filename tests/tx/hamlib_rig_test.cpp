// Keying through the real Hamlib: the dummy radio in-process, and a private
// rigctld shared with rigctl, which is killed while a call goes out and
// started again. A transmit job's order is read from one trail: the PTT
// commands as Hamlib is given them, the TX delay, the tones.
#include "tx/hamlib_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

#include "tests/support/fake_playback.h"
#include "tests/support/fakes.h"
#include "tests/support/memory_log.h"
#include "tests/support/rigctld.h"
#include "tx/ptt_controller.h"
#include "tx/transmit_queue.h"

namespace sequelo::tx {
namespace {

using testsupport::FakeMessageSink;
using testsupport::FakeSerialPort;
using testsupport::MemoryLog;
using testsupport::RecordingAudioBackend;
using testsupport::RecordingPlayback;
using testsupport::Rigctld;
using Trail = std::vector<std::string>;

// What happened, from any thread (the queue asks for an owed release on its
// own).
class SharedTrail {
 public:
  void Add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  Trail Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
  }

 private:
  std::mutex mutex_;
  Trail events_;
};

// The real link, its PTT commands noted in the trail.
class TrailRig final : public RigLink {
 public:
  explicit TrailRig(SharedTrail& trail) : trail_(trail) {}
  bool Open(const RigConfig& config, std::string& error) override {
    return rig_.Open(config, error);
  }
  void Close() override { rig_.Close(); }
  bool IsOpen() const override { return rig_.IsOpen(); }
  bool SetPtt(bool on, std::string& error) override {
    trail_.Add(on ? "ptt on" : "ptt off");
    return rig_.SetPtt(on, error);
  }
  RigPtt ReadPtt(std::string& error) override { return rig_.ReadPtt(error); }

 private:
  HamlibRig rig_;
  SharedTrail& trail_;
};

class TrailSleeper final : public core::Sleeper {
 public:
  explicit TrailSleeper(SharedTrail& trail) : trail_(trail) {}
  void SleepMs(std::uint32_t ms) override { trail_.Add("delay " + std::to_string(ms)); }

 private:
  SharedTrail& trail_;
};

// A call: keyed, five tones, released.
TransmitJob FiveTones() {
  return [](Transmission& tx) {
    if (!tx.Key()) {
      return;
    }
    for (int i = 0; i < 5; ++i) {
      tx.PlayTone(1000, 70);
    }
    tx.Release();
  };
}

JobOutcome WaitBounded(const std::shared_ptr<JobTicket>& ticket) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ticket->Outcome() == JobOutcome::kPending && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return ticket->Outcome();
}

const Trail kCall{"ptt on", "delay 300", "tone", "tone", "tone", "tone", "tone", "ptt off"};

// A transmit queue whose PTT controller keys through Hamlib.
class HamlibKeyingTest : public ::testing::Test {
 protected:
  void Open(int model, const std::string& port) {
    PttSettings s;
    s.usePttControl = 1;
    s.txDelayMs = 300;
    s.hamlibModel = model;
    s.hamlibPort = port;
    ptt_.SetSettings(s);
    ptt_.OpenPttPort();
    ASSERT_TRUE(ptt_.PortOpen()) << ptt_.LastOpenError();
    tones_.ListOutputDevices();
    ASSERT_TRUE(tones_.OpenOutputDevices(0));
    auto* radio = dynamic_cast<RecordingPlayback*>(tones_.TransmitDevice());
    ASSERT_NE(radio, nullptr);
    radio->onWrite = [this] {
      if (duringFirstTone_) {
        std::exchange(duringFirstTone_, nullptr)();
      }
      trail_.Add("tone");
    };
    TransmitLimits unspaced;
    unspaced.spacing = false;
    queue_.SetLimits(unspaced);
    queue_.Start();
  }
  void TearDown() override {
    queue_.Stop();
    ptt_.ClosePttPort();
  }
  // Runs a call; `duringFirstTone` runs on the transmit thread as the first
  // tone is written.
  JobOutcome Call(std::function<void()> duringFirstTone) {
    duringFirstTone_ = std::move(duringFirstTone);
    return WaitBounded(queue_.Post(FiveTones()));
  }

  SharedTrail trail_;
  TrailRig rig_{trail_};
  TrailSleeper sleeper_{trail_};
  FakeSerialPort port_;
  FakeMessageSink messages_;
  PttController ptt_{port_, messages_, sleeper_, &rig_};
  RecordingAudioBackend backend_;
  audio::ToneGenerator tones_{backend_};
  AbortableWait wait_;
  core::ManualTickClock clock_{1000};
  MemoryLog log_;
  TransmitQueue queue_{tones_, ptt_, wait_, clock_, &log_};
  std::function<void()> duringFirstTone_;  // transmit thread only
};

TEST(HamlibRigTest, ModelsAreListedByMakerAndABadOpenSaysWhy) {
  const std::vector<RigModel>& models = HamlibModels();
  ASSERT_GT(models.size(), 100U);
  EXPECT_TRUE(std::is_sorted(models.begin(), models.end(), [](const auto& a, const auto& b) {
    return std::tie(a.maker, a.name) < std::tie(b.maker, b.name);
  }));
  ASSERT_TRUE(FindHamlibModel(kHamlibNetRigctlModel).has_value());
  EXPECT_EQ(RigModelLabel(*FindHamlibModel(kHamlibNetRigctlModel)), "2 Hamlib NET rigctl");

  HamlibRig rig;
  std::string error;
  RigConfig config;
  config.model = 999999;
  config.pttType = "RIG";
  EXPECT_FALSE(rig.Open(config, error));
  EXPECT_EQ(error, "no radio model 999999 in this Hamlib");
  config.model = kHamlibNetRigctlModel;
  config.port = "127.0.0.1:1";  // nobody listens there
  EXPECT_FALSE(rig.Open(config, error));
  EXPECT_EQ(error, "Connection refused (127.0.0.1:1)");
  config.model = kHamlibDummyModel;
  config.port.clear();
  config.pttType = "VOX";
  EXPECT_FALSE(rig.Open(config, error));
  EXPECT_EQ(error, "unknown PTT type \"VOX\"");
  EXPECT_FALSE(rig.IsOpen());
}

TEST_F(HamlibKeyingTest, TheDummyRadioIsKeyedWhileTheTonesPlay) {
  ASSERT_NO_FATAL_FAILURE(Open(kHamlibDummyModel, ""));
  RigPtt duringTones = RigPtt::kFailed;
  EXPECT_EQ(Call([&] { duringTones = ptt_.ReadRigPtt(); }), JobOutcome::kDone);
  EXPECT_EQ(trail_.Take(), kCall);
  EXPECT_EQ(duringTones, RigPtt::kOn);
  EXPECT_EQ(ptt_.ReadRigPtt(), RigPtt::kOff);
  EXPECT_TRUE(messages_.messages.empty());
}

class HamlibRigctldTest : public HamlibKeyingTest {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Rigctld::Program("rigctld").empty() || Rigctld::Program("rigctl").empty())
        << "rigctld/rigctl not installed (scripts/install-deps installs libhamlib-utils)";
    ASSERT_TRUE(daemon_.Start()) << daemon_.Error();
    Open(kHamlibNetRigctlModel, daemon_.Address());
  }

  Rigctld daemon_;  // stopped once TearDown has stopped the queue and closed the port
};

TEST_F(HamlibRigctldTest, AnotherClientOfRigctldSeesTheRadioKeyedOnlyWhileTheTonesPlay) {
  int during = -1;
  EXPECT_EQ(Call([&] { during = daemon_.ReadPttWithRigctl(); }), JobOutcome::kDone);
  EXPECT_EQ(trail_.Take(), kCall);
  EXPECT_EQ(during, 1);
  EXPECT_EQ(daemon_.ReadPttWithRigctl(), 0);
}

TEST_F(HamlibRigctldTest, ARigctldKilledMidCallFailsTheJobAndOnceBackTheNextCallKeys) {
  EXPECT_EQ(Call([&] { daemon_.Kill(); }), JobOutcome::kFailed);
  // The release failed on the link, and again on a fresh one.
  const std::string refused = "Connection refused (" + daemon_.Address() + ")";
  EXPECT_TRUE(log_.WaitFor(
      "Transmission failed, nothing more sent: release not confirmed: Hamlib: " + refused,
      std::chrono::seconds(5)))
      << log_.All();
  EXPECT_EQ(trail_.Take(), kCall);  // every tone out, the release not taken
  EXPECT_TRUE(ptt_.ReleaseOwed());
  EXPECT_EQ(messages_.messages, Trail{"Sequelo: PTT through Hamlib failed: " + refused});

  ASSERT_TRUE(daemon_.Start()) << daemon_.Error();  // the same port
  int during = -1;
  EXPECT_EQ(Call([&] { during = daemon_.ReadPttWithRigctl(); }), JobOutcome::kDone)
      << log_.All() << ptt_.LastFailure() << "\n"
      << daemon_.Log();
  EXPECT_EQ(during, 1);
  EXPECT_EQ(daemon_.ReadPttWithRigctl(), 0);
  EXPECT_FALSE(ptt_.ReleaseOwed());
  // The queue may have asked for the owed release (failing, or taken once the
  // daemon was back) before the call; the call itself keyed as usual.
  Trail trail = trail_.Take();
  trail.erase(trail.begin(), std::find(trail.begin(), trail.end(), "ptt on"));
  EXPECT_EQ(trail, kCall);
}

}  // namespace
}  // namespace sequelo::tx
