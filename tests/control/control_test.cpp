// The command interpreter and the reaction to received codes, over fake
// devices: what is played, keyed, logged and said, in which order.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "audio/wave_file.h"
#include "control/call_responder.h"
#include "control/command_interpreter.h"
#include "control/command_text.h"
#include "tests/support/fake_audio.h"
#include "tests/support/fake_playback.h"
#include "tests/support/fakes.h"
#include "tests/support/gate.h"
#include "tests/support/temp_dir.h"

namespace sequelo::control {
namespace {

using audio::SynthesiseTone;

// Log lines join the shared trail, so their order against keying and
// playing shows.
class TrailLog final : public core::EventLog {
 public:
  explicit TrailLog(testsupport::EventTrail& trail) : trail_(trail) {}
  void WriteLogLine(std::string_view text) override { trail_.Add("log " + std::string(text)); }
  void AddActivityLine(std::string_view text) override { activities.emplace_back(text); }
  std::vector<std::string> activities;

 private:
  testsupport::EventTrail& trail_;
};

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tones_.ListOutputDevices();
    ASSERT_TRUE(tones_.OpenOutputDevices(0));
  }
  // The trail without the device writes' sizes: "call <n tones>" summaries
  // would hide which tones; tests look at the recorded writes for that.
  std::vector<std::string> Events() { return trail_.events; }
  const std::vector<std::vector<std::int16_t>>& Played() { return audio_.recordings[0]->writes; }

  testsupport::EventTrail trail_;
  testsupport::FakeAudioBackend audio_{trail_};
  audio::ToneGenerator tones_{audio_};
  // Runs a command string as a transmit job does; a syntax error is said
  // once the run has ended, as its posters do.
  void Run(std::string_view text) {
    tx::Transmission tx(tones_, ptt_, sleeper_, &abort_);
    if (!RunCommandString(tx, text, options_, log_)) {
      static_cast<core::MessageSink&>(messages_).ShowMessage(kSyntaxError);
    }
  }

  testsupport::FakeTransmitter ptt_{trail_};
  tx::CallOptions options_{tx::CallOptionsForMode(core::kModeZvei)};
  TrailLog log_{trail_};
  testsupport::FakeMessageSink messages_;
  testsupport::FakeSleeper sleeper_;
  std::atomic<bool> abort_{false};
};

std::vector<std::string> Only(const std::vector<std::string>& events, std::string_view prefix) {
  std::vector<std::string> kept;
  for (const auto& e : events) {
    if (e.rfind(prefix, 0) == 0) {
      kept.push_back(e);
    }
  }
  return kept;
}

TEST_F(ControlTest, CallsAndPausesInOrderThenOneFinalRelease) {
  Run("C12345P1000C54321");
  EXPECT_EQ(Only(Events(), "log "),
            (std::vector<std::string>{"log Command Call 12345", "log Command Pause 1000 ms",
                                      "log Command Call 54321"}));
  EXPECT_EQ(log_.activities.size(), 3U);  // both sinks
  EXPECT_EQ(sleeper_.sleeps, std::vector<std::uint32_t>{1000});
  EXPECT_EQ(Played().size(), 10U);
  EXPECT_EQ(Only(Events(), "release").size(), 3U);  // two calls and the final release
  EXPECT_EQ(Events().back(), "release");
  EXPECT_TRUE(messages_.messages.empty());
}

TEST_F(ControlTest, LowerCaseLeadingZerosKeyToneRelease) {
  Run("c00042");
  EXPECT_EQ(Only(Events(), "log "), std::vector<std::string>{"log Command Call 00042"});
  trail_.events.clear();
  audio_.recordings[0]->writes.clear();
  Run("XT10000500R");
  EXPECT_EQ(Events(),
            (std::vector<std::string>{"log Command PTT on", "key", "write dev0 5512",
                                      "log Command Tone 1000 Hz, 500 ms", "log Command PTT off",
                                      "drain dev0", "release", "drain dev0", "release"}));
  EXPECT_EQ(Played()[0], SynthesiseTone(1000, 500));
}

TEST_F(ControlTest, ToneFrequencyIsLimitedTo3000) {
  Run("T50000100");
  EXPECT_EQ(Only(Events(), "log "), std::vector<std::string>{"log Command Tone 3000 Hz, 100 ms"});
  EXPECT_EQ(Played()[0], SynthesiseTone(3000, 100));
}

struct SyntaxCase {
  const char* text;
  std::vector<std::string> logged;
  bool error;
};

class CommandSyntax : public ControlTest, public ::testing::WithParamInterface<SyntaxCase> {};

// A string is read whole first: a syntax error anywhere runs nothing.
TEST_P(CommandSyntax, RunsNothingOnAnErrorAndReportsAfterTheRelease) {
  const SyntaxCase& c = GetParam();
  Run(c.text);
  EXPECT_EQ(Only(Events(), "log "), c.logged) << c.text;
  EXPECT_EQ(Events().back(), "release") << c.text;
  EXPECT_EQ(messages_.messages, c.error
                                    ? std::vector<std::string>{"Sequelo: Syntax error in command."}
                                    : std::vector<std::string>{})
      << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandSyntax,
    ::testing::Values(SyntaxCase{"C1234", {}, true}, SyntaxCase{"P12345", {}, true},
                      SyntaxCase{"XP9999Z", {}, true},
                      SyntaxCase{"C12345 P1000", {"log Command Call 12345"}, false},
                      SyntaxCase{"C1234*", {}, true}, SyntaxCase{"", {}, false},
                      SyntaxCase{" C12345", {}, false}, SyntaxCase{"Q", {}, true},
                      SyntaxCase{"XQ", {}, true}, SyntaxCase{"T1000050", {}, true}));

TEST_F(ControlTest, ToneLongerThanTheLongestIsSaidAsPlayed) {
  Run("T10009999");
  EXPECT_EQ(Only(Events(), "log "),
            std::vector<std::string>{
                "log Command Tone 1000 Hz, 2972 ms (9999 ms asked, 2972 ms longest)"});
}

// The keyings a string will make, timed before anything is keyed, and what
// the transmitter's limits make of them.
TEST(CommandPlan, KeyingsAreTimedAndCheckedAgainstTheLimits) {
  const auto keyings = [](std::string_view text) {
    return PlanKeyings(ParseCommandString(text), {200, 350, 70});
  };
  using K = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  const auto pairs = [](const std::vector<tx::PlannedKeying>& ks) {
    K out;
    for (const auto& k : ks) {
      out.emplace_back(k.startMs, k.lengthMs);
    }
    return out;
  };
  EXPECT_EQ(pairs(keyings("C12345P1000C54321")), (K{{0, 550}, {1550, 550}}));
  EXPECT_EQ(pairs(keyings("XT10000500R")), (K{{0, 700}}));
  EXPECT_EQ(pairs(keyings("XC12345T10001000")), (K{{0, 750}}));  // the call releases
  EXPECT_EQ(pairs(keyings("XT10009999")), (K{{0, 3172}}));       // as the tone plays
  EXPECT_TRUE(pairs(keyings("T10000500P1000")).empty());

  tx::CallOptions options = tx::CallOptionsForMode(0);
  EXPECT_EQ(CommandStringRefusal("C12345P1000C54321", options, 120000), "");
  EXPECT_EQ(CommandStringRefusal("XP0001", options, 120000), "");
  EXPECT_EQ(CommandStringRefusal("XP9999Q", options, 120000), std::string(kSyntaxError));
  std::string longKey = "X";
  for (int i = 0; i < 100; ++i) {
    longKey += "P9999";
  }
  EXPECT_NE(CommandStringRefusal(longKey, options, 5000).find("longer than the 5 s allowed"),
            std::string::npos);
  EXPECT_NE(CommandStringRefusal("XRXRXR", options, 120000).find("more than 2 times a second"),
            std::string::npos);
  EXPECT_EQ(CommandStringRefusal("XRP1000XR", options, 120000), "");
}

// An alarm: every piece in one keying, the caller after a separator (970 Hz
// in ZVEI1), pauses as silence on the air, the wake tone on and off.
TEST_F(ControlTest, AnAlarmGoesOutInOneKeying) {
  options_.ownCode = "67890";
  AlarmShape shape;
  shape.repeats = 2;
  shape.caller = true;
  shape.trailer = AlarmShape::Trailer::kWake;
  shape.trailerMs = 2000;
  std::string error;
  const std::string text = AlarmCommandString("12345", shape, error);
  ASSERT_EQ(text, "K12345IQ0600K12345IQ0600W2000R") << error;
  EXPECT_EQ(CommandStringRefusal(text, options_, 120000), "");
  Run(text);
  EXPECT_EQ(Only(Events(), "key").size(), 1U);
  EXPECT_EQ(Only(Events(), "log "),
            (std::vector<std::string>{"log Command Keyed call 12345", "log Command Caller 67890",
                                      "log Command Quiet 600 ms", "log Command Keyed call 12345",
                                      "log Command Caller 67890", "log Command Quiet 600 ms",
                                      "log Command Wake tone 2000 ms", "log Command PTT off"}));
  const auto& played = Played();
  ASSERT_EQ(played.size(), 5U + 6U + 1U + 5U + 6U + 1U + 4U);
  EXPECT_EQ(played[5], SynthesiseTone(970, 70));
  EXPECT_EQ(played[6], SynthesiseTone(1670, 70));  // the caller's first tone, 6
  EXPECT_EQ(played[11], std::vector<std::int16_t>(6615, 0));
  EXPECT_EQ(played[24], SynthesiseTone(2600, 800));
  EXPECT_EQ(played[25].size(), 3307U);  // 300 ms off
  EXPECT_EQ(played[27].size(), 1102U);  // the last 100 ms: off
  EXPECT_EQ(PlanKeyings(ParseCommandString(text), {200, 350, 70}).size(), 1U);
}

// What an alarm needs is checked before anything is keyed.
TEST_F(ControlTest, AlarmLettersAreRefusedForWhatTheyLack) {
  EXPECT_NE(CommandStringRefusal("K12345I", options_, 120000).find("OwnCode"), std::string::npos);
  options_.ownCode = "67890";
  EXPECT_NE(CommandStringRefusal("K12345S65000", options_, 120000).find("no siren 6"),
            std::string::npos);
  EXPECT_EQ(CommandStringRefusal("K12345S55000", options_, 120000), "");  // all clear
  tx::CallOptions dzvei = tx::CallOptionsForMode(core::kModeDzvei);
  dzvei.ownCode = "67890";
  EXPECT_NE(CommandStringRefusal("K12345I", dzvei, 120000).find("DZVEI has none"),
            std::string::npos);
  EXPECT_NE(CommandStringRefusal("K12345Q9999S19999", options_, 10000).find("longer"),
            std::string::npos);
  std::string error;
  AlarmShape shape;
  shape.repeats = 10;
  EXPECT_EQ(AlarmCommandString("12345", shape, error), "");
  EXPECT_FALSE(error.empty());
  shape.repeats = 1;
  EXPECT_EQ(AlarmCommandString("1234*", shape, error), "");
  shape.leadInHz = 1750;
  shape.leadInMs = 500;
  EXPECT_EQ(AlarmCommandString("12345", shape, error), "XT17500500K12345R");
  EXPECT_EQ(SirenNumber(core::DefaultTrailerClasses(), "FIRE"), 1);
  EXPECT_EQ(SirenNumber(core::DefaultTrailerClasses(), "wake tone"), 0);
}

TEST_F(ControlTest, AbortStopsBeforeTheNextCommand) {
  abort_ = true;
  Run("C12345");
  EXPECT_TRUE(Only(Events(), "log ").empty());
  EXPECT_EQ(Events().back(), "release");
  EXPECT_TRUE(messages_.messages.empty());
}

// The responder over a real transmit queue whose start times follow a
// manual clock: an answer waits until the test moves the clock on.
class ResponderTest : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    alerts_.Start();
    tx::TransmitLimits unspaced;  // the manual clock moves only when told
    unspaced.spacing = false;
    transmitter_.SetLimits(unspaced);
    transmitter_.Start();
  }
  void TearDown() override {
    transmitter_.Stop();
    alerts_.Stop();
  }
  // Hands a call that ended at the clock's present to the responder and
  // returns once its reaction has ended; an answer waiting for its start
  // time finds the clock moved on by the delay.
  void Receive(const std::string& code) {
    CallEvent event;
    event.code = code;
    event.endTickMs = clock_.NowMs();
    std::atomic<bool> done{false};
    std::thread reaction([&] {
      responder_.OnCall(event);
      done = true;
    });
    bool advanced = false;
    while (!done) {
      if (!advanced && transmitter_.Waiting() > 0) {
        waitedForClock_ = true;
        clock_.Advance(ParseDelayMs(answer_.delayText));
        advanced = true;
      }
      std::this_thread::yield();
    }
    reaction.join();
    alerts_.WaitIdle();
  }

  AnswerSettings answer_{.ownCode = "54321",
                         .ownGroup = "0",
                         .delayText = "1000",
                         .action = ResponseAction::kSendFixed,
                         .fixedText = "11111",
                         .waveFileToSend = "",
                         .playSoundOnRx = false,
                         .waveFileToPlay = "/nonexistent/alert.wav"};
  core::ManualTickClock clock_{5000};
  tx::AbortableWait wait_;
  tx::TransmitQueue transmitter_{tones_, ptt_, wait_, clock_};
  AlertPlayer alerts_{tones_, messages_};
  CallResponder responder_{[this] { return answer_; },
                           [this] { return options_; },
                           log_,
                           transmitter_,
                           alerts_,
                           messages_};
  bool waitedForClock_ = false;
};

TEST_F(ResponderTest, FixedAnswerAfterTheDelay) {
  Receive("54321");
  EXPECT_EQ(Only(Events(), "log "), (std::vector<std::string>{"log Waiting 1000 ms...",
                                                              "log Responding with fixed: 11111"}));
  EXPECT_TRUE(waitedForClock_);  // the answer waited for its start time
  ASSERT_EQ(Played().size(), 5U);
  EXPECT_EQ(Played()[1], SynthesiseTone(2600, 70));  // 11111 goes out as 1 R 1 R 1
}

TEST_F(ResponderTest, OwnCodeAnswerIsLoggedAfterTheCall) {
  answer_.action = ResponseAction::kSendOwnCode;
  answer_.ownCode = "12345";
  answer_.delayText = "";
  Receive("1234*");  // the received '*' matches any digit
  const auto logs = Only(Events(), "log ");
  ASSERT_EQ(logs.size(), 2U);
  EXPECT_EQ(logs[0], "log Waiting 0 ms...");
  EXPECT_EQ(logs[1], "log Responding with own code: 12345");
  EXPECT_EQ(Events().back(), "log Responding with own code: 12345");
  EXPECT_EQ(Played().size(), 5U);
}

TEST_F(ResponderTest, FixedCommandStringRunsThroughTheInterpreter) {
  answer_.fixedText = "!C54321";
  Receive("54321");
  EXPECT_EQ(Only(Events(), "log "), (std::vector<std::string>{"log Waiting 1000 ms...",
                                                              "log Responding with fixed: !C54321",
                                                              "log Command Call 54321"}));
  answer_.fixedText = "!C5432";  // a syntax error is said once the transmitter is free
  clock_.Advance(CallResponder::kOwnEchoMarginMs + 1);  // a new call, not our answer heard back
  Receive("54321");
  EXPECT_EQ(messages_.messages, std::vector<std::string>{"Sequelo: Syntax error in command."});
}

TEST_F(ResponderTest, NoMatchOrNothingChosenMeansNoAnswer) {
  Receive("12345");  // not the own code
  answer_.action = ResponseAction::kNothing;
  Receive("54321");
  answer_.action = ResponseAction::kUnset;  // no button checked
  Receive("54321");
  answer_.ownCode = "1234*";  // a '*' in the own code matches only a '*'
  answer_.action = ResponseAction::kSendFixed;
  Receive("12345");
  EXPECT_FALSE(waitedForClock_);
  EXPECT_TRUE(Played().empty());
  EXPECT_TRUE(Only(Events(), "log ").empty());
}

TEST_F(ResponderTest, AlertSoundsForOwnCodeAndOwnGroup) {
  // The alert plays on the local device; an alert file that is not there
  // plays nothing and says nothing.
  answer_.playSoundOnRx = true;
  answer_.action = ResponseAction::kNothing;
  answer_.ownGroup = "54321";
  Receive("54321");
  EXPECT_TRUE(messages_.messages.empty());
  EXPECT_TRUE(Only(Events(), "key").empty());  // never keyed for an alert
  // With a real file: own code and own group both match: it plays twice;
  // the group alone: once; no answer, no waiting line.
  testsupport::ScopedTempDir tmp;
  audio::SoundFileBuffer alert;
  const auto tone = SynthesiseTone(800, 100);
  alert.Append(tone);
  ASSERT_TRUE(audio::WriteCodeSoundFile(alert, tmp.Path("alert.wav")));
  answer_.waveFileToPlay = tmp.Path("alert.wav");
  Receive("54321");
  const auto& local = audio_.recordings[1]->writes;
  EXPECT_EQ(local.size(), 2U);
  answer_.ownCode = "99999";
  answer_.ownGroup = "54329";
  Receive("54329");
  EXPECT_EQ(local.size(), 3U);
  EXPECT_EQ(local.back(), tone);
  EXPECT_TRUE(Played().empty());  // nothing on the transmit device
  EXPECT_FALSE(waitedForClock_);
  EXPECT_EQ(ParseDelayMs("250"), 250U);
  EXPECT_EQ(ParseDelayMs("25x"), 0U);
  EXPECT_EQ(ParseDelayMs(""), 0U);
  EXPECT_EQ(ParseDelayMs("99999999999"), 0U);
}

TEST_F(ResponderTest, OurOwnAnswerHeardBackIsNotAnsweredAgain) {
  // Own code answered with the own code: a receiver that hears our
  // transmitter would hear the own code again, and again.
  answer_.action = ResponseAction::kSendOwnCode;
  answer_.delayText = "0";
  answer_.playSoundOnRx = true;
  Receive("54321");
  ASSERT_EQ(Played().size(), 5U);
  Receive("54321");  // ended while the answer was on the air
  EXPECT_EQ(Played().size(), 5U);
  EXPECT_EQ(Only(Events(), "log ").back(), "log Own answer heard back, not answered: 54321");
  clock_.Advance(CallResponder::kOwnEchoMarginMs);
  Receive("54321");  // still within the margin after the release
  EXPECT_EQ(Played().size(), 5U);
  clock_.Advance(1);
  Receive("54321");  // a call of its own again
  EXPECT_EQ(Played().size(), 10U);
  EXPECT_EQ(Only(Events(), "log ").back(), "log Responding with own code: 54321");
}

TEST(AlertPlayer, StopDropsWaitingAlertsAndCutsThePlayingOne) {
  testsupport::ScopedTempDir tmp;
  audio::SoundFileBuffer alert;
  alert.Append(SynthesiseTone(800, 2000));  // eight pieces of a quarter second
  ASSERT_TRUE(audio::WriteCodeSoundFile(alert, tmp.Path("alert.wav")));
  testsupport::RecordingAudioBackend backend;
  audio::ToneGenerator tones(backend);
  tones.ListOutputDevices();
  ASSERT_TRUE(tones.OpenOutputDevices(0));
  auto* speaker = dynamic_cast<testsupport::RecordingPlayback*>(tones.LocalDevice());
  ASSERT_NE(speaker, nullptr);
  testsupport::FirstCallHold held;  // the first piece under way
  speaker->onWrite = held.Hook();
  testsupport::FakeMessageSink messages;
  AlertPlayer alerts(tones, messages);
  alerts.Start();
  for (int i = 0; i < 3; ++i) {
    alerts.Play(tmp.Path("alert.wav"));
  }
  held.WaitReached();
  EXPECT_EQ(alerts.Waiting(), 3U);
  std::thread stopping([&] { alerts.Stop(); });
  while (alerts.Waiting() > 1) {  // the two waiting ones dropped: the stop is under way
    std::this_thread::yield();
  }
  held.LetGo();
  stopping.join();
  EXPECT_EQ(speaker->writes, 1);  // the piece under way, nothing after it
  EXPECT_TRUE(messages.messages.empty());
}

}  // namespace
}  // namespace sequelo::control
