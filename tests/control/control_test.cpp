// The command interpreter and the reaction to received codes, over fake
// devices: what is played, keyed, logged and said, in which order.
#include <gtest/gtest.h>

#include "audio/wave_file.h"
#include "control/call_responder.h"
#include "control/command_interpreter.h"
#include "tests/support/fake_audio.h"
#include "tests/support/fakes.h"
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
  testsupport::FakeTransmitter ptt_{trail_};
  tx::FixedCallOptions options_{tx::CallOptionsForMode(core::kModeZvei)};
  tx::SequenceEncoder encoder_{tones_, ptt_, options_};
  TrailLog log_{trail_};
  testsupport::FakeMessageSink messages_;
  testsupport::FakeSleeper sleeper_;
  CommandInterpreter commands_{tones_, encoder_, ptt_, log_, messages_, sleeper_};
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
  commands_.Run("C12345P1000C54321");
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
  commands_.Run("c00042");
  EXPECT_EQ(Only(Events(), "log "), std::vector<std::string>{"log Command Call 00042"});
  trail_.events.clear();
  audio_.recordings[0]->writes.clear();
  commands_.Run("XT10000500R");
  EXPECT_EQ(Events(),
            (std::vector<std::string>{"log Command PTT on", "key", "write dev0 5512",
                                      "log Command Tone 1000 Hz, 500 ms", "log Command PTT off",
                                      "drain dev0", "release", "drain dev0", "release"}));
  EXPECT_EQ(Played()[0], SynthesiseTone(1000, 500));
}

TEST_F(ControlTest, ToneFrequencyIsLimitedTo3000) {
  commands_.Run("T50000100");
  EXPECT_EQ(Only(Events(), "log "), std::vector<std::string>{"log Command Tone 3000 Hz, 100 ms"});
  EXPECT_EQ(Played()[0], SynthesiseTone(3000, 100));
}

struct SyntaxCase {
  const char* text;
  std::vector<std::string> logged;
  bool error;
};

class CommandSyntax : public ControlTest, public ::testing::WithParamInterface<SyntaxCase> {};

TEST_P(CommandSyntax, RunsWhatCameBeforeAndReportsAfterTheRelease) {
  const SyntaxCase& c = GetParam();
  commands_.Run(c.text);
  EXPECT_EQ(Only(Events(), "log "), c.logged) << c.text;
  EXPECT_EQ(Events().back(), "release") << c.text;
  EXPECT_EQ(messages_.messages, c.error
                                    ? std::vector<std::string>{"Sequelo: Syntax error in command."}
                                    : std::vector<std::string>{})
      << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandSyntax,
    ::testing::Values(SyntaxCase{"C1234", {}, true},
                      SyntaxCase{"P12345", {"log Command Pause 1234 ms"}, true},
                      SyntaxCase{"C12345 P1000", {"log Command Call 12345"}, false},
                      SyntaxCase{"C1234*", {}, true}, SyntaxCase{"", {}, false},
                      SyntaxCase{" C12345", {}, false}, SyntaxCase{"Q", {}, true},
                      SyntaxCase{"XQ", {"log Command PTT on"}, true},
                      SyntaxCase{"T1000050", {}, true}));

TEST_F(ControlTest, AbortStopsBeforeTheNextCommand) {
  commands_.Abort();
  commands_.Run("C12345");
  EXPECT_TRUE(Only(Events(), "log ").empty());
  EXPECT_EQ(Events().back(), "release");
  EXPECT_TRUE(messages_.messages.empty());
}

class Controls final : public ResponderControls {
 public:
  void ShowReceivedCode(std::string_view code) override { shown = code; }
  std::string OwnCode() override { return ownCode; }
  std::string OwnGroup() override { return ownGroup; }
  std::string DelayText() override { return delay; }
  int Action() override { return action; }
  std::string FixedText() override { return fixed; }
  std::string WaveFileToSend() override { return waveToSend; }
  bool PlaySoundOnRx() override { return playOnRx; }
  std::string WaveFileToPlay() override { return waveToPlay; }
  std::string shown, ownCode = "54321", ownGroup = "0", delay = "1000", fixed = "11111";
  std::string waveToSend, waveToPlay = "/nonexistent/alert.wav";
  int action = 2;
  bool playOnRx = false;
};

class Client final : public RemoteClient {
 public:
  void SendToClient(std::string_view code) override { sent.emplace_back(code); }
  std::vector<std::string> sent;
};

class ResponderTest : public ControlTest {
 protected:
  Controls controls_;
  Client client_;
  CallResponder responder_{controls_, log_, client_,   encoder_, commands_,
                           tones_,    ptt_, messages_, sleeper_};
};

TEST_F(ResponderTest, FixedAnswerAfterTheDelay) {
  responder_.HandleReceivedCode("54321");
  EXPECT_EQ(controls_.shown, "54321");
  EXPECT_EQ(client_.sent, std::vector<std::string>{"54321"});
  EXPECT_EQ(Only(Events(), "log "),
            (std::vector<std::string>{"log Code received: 54321", "log Waiting 1000 ms...",
                                      "log Responding with fixed: 11111"}));
  EXPECT_EQ(sleeper_.sleeps, std::vector<std::uint32_t>{1000});
  ASSERT_EQ(Played().size(), 5U);
  EXPECT_EQ(Played()[1], SynthesiseTone(2600, 70));  // 11111 goes out as 1 R 1 R 1
}

TEST_F(ResponderTest, OwnCodeAnswerIsLoggedAfterTheCall) {
  controls_.action = 1;
  controls_.ownCode = "12345";
  controls_.delay = "";
  responder_.HandleReceivedCode("1234*");  // the received '*' matches any digit
  const auto logs = Only(Events(), "log ");
  ASSERT_EQ(logs.size(), 3U);
  EXPECT_EQ(logs[1], "log Waiting 0 ms...");
  EXPECT_EQ(logs[2], "log Responding with own code: 12345");
  EXPECT_EQ(Events().back(), "log Responding with own code: 12345");
  EXPECT_EQ(Played().size(), 5U);
}

TEST_F(ResponderTest, FixedCommandStringRunsThroughTheInterpreter) {
  controls_.fixed = "!C54321";
  responder_.HandleReceivedCode("54321");
  EXPECT_EQ(
      Only(Events(), "log "),
      (std::vector<std::string>{"log Code received: 54321", "log Waiting 1000 ms...",
                                "log Responding with fixed: !C54321", "log Command Call 54321"}));
}

TEST_F(ResponderTest, NoMatchOrNothingChosenMeansNoAnswer) {
  responder_.HandleReceivedCode("12345");  // not the own code
  controls_.action = 0;
  responder_.HandleReceivedCode("54321");  // "Nothing"
  controls_.action = -1;
  responder_.HandleReceivedCode("54321");  // no button checked
  controls_.ownCode = "1234*";             // a '*' in the own code matches only a '*'
  controls_.action = 2;
  responder_.HandleReceivedCode("12345");
  EXPECT_TRUE(sleeper_.sleeps.empty());
  EXPECT_TRUE(Played().empty());
  EXPECT_EQ(Only(Events(), "log ").size(), 4U);  // only the "Code received" lines
}

TEST_F(ResponderTest, AlertSoundsForOwnCodeAndOwnGroup) {
  // The alert plays on the local device; an alert file that is not there
  // plays nothing and says nothing.
  controls_.playOnRx = true;
  controls_.action = 0;
  controls_.ownGroup = "54321";
  responder_.HandleReceivedCode("54321");
  EXPECT_TRUE(messages_.messages.empty());
  EXPECT_TRUE(Only(Events(), "key").empty());  // never keyed for an alert
  // With a real file: own code and own group both match: it plays twice;
  // the group alone: once; no answer, no waiting line.
  testsupport::ScopedTempDir tmp;
  audio::SoundFileBuffer alert;
  const auto tone = SynthesiseTone(800, 100);
  alert.Append(tone);
  ASSERT_TRUE(audio::WriteCodeSoundFile(alert, tmp.Path("alert.wav")));
  controls_.waveToPlay = tmp.Path("alert.wav");
  responder_.HandleReceivedCode("54321");
  const auto& local = audio_.recordings[1]->writes;
  EXPECT_EQ(local.size(), 2U);
  controls_.ownCode = "99999";
  controls_.ownGroup = "54329";
  responder_.HandleReceivedCode("54329");
  EXPECT_EQ(local.size(), 3U);
  EXPECT_EQ(local.back(), tone);
  EXPECT_TRUE(Played().empty());  // nothing on the transmit device
  EXPECT_TRUE(sleeper_.sleeps.empty());
  EXPECT_EQ(ParseDelayMs("250"), 250U);
  EXPECT_EQ(ParseDelayMs("25x"), 0U);
  EXPECT_EQ(ParseDelayMs(""), 0U);
  EXPECT_EQ(ParseDelayMs("99999999999"), 0U);
}

}  // namespace
}  // namespace sequelo::control
