#include "tx/sequence_encoder.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "audio/wave_file.h"
#include "tests/support/fake_audio.h"
#include "tests/support/temp_dir.h"

namespace sequelo::tx {
namespace {

using audio::SynthesiseTone;
using testsupport::EventTrail;
using testsupport::FakeAudioBackend;
using testsupport::FakeTransmitter;

class SendCallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tones_.ListOutputDevices();
    ASSERT_TRUE(tones_.OpenOutputDevices(0));
    Mode(core::kModeZvei);
    encoder_.options.startupDir = tmp_.path().string();
  }
  void Mode(int index) {
    encoder_.options.toneSet = core::BuiltInToneSet(index);
    encoder_.options.modeName = std::string(core::kModeNames[static_cast<std::size_t>(index)]);
  }
  const testsupport::FakePlayback& Transmit() const { return *audio_.streams[0]; }
  // The tones a call should play, frequency by frequency.
  static std::vector<std::vector<std::int16_t>> Tones(std::initializer_list<std::uint32_t> hz) {
    std::vector<std::vector<std::int16_t>> tones;
    for (std::uint32_t f : hz) {
      tones.push_back(SynthesiseTone(f, 70));
    }
    return tones;
  }

  testsupport::ScopedTempDir tmp_;
  EventTrail trail_;
  FakeAudioBackend audio_{trail_};
  audio::ToneGenerator tones_{audio_};
  FakeTransmitter ptt_{trail_};
  SequenceEncoder encoder_{tones_, ptt_};
};

TEST_F(SendCallTest, RepeatRuleTonesInOrder) {
  encoder_.SendCall("11111");
  EXPECT_EQ(Transmit().writes, Tones({1060, 2600, 1060, 2600, 1060}));
  audio_.streams[0]->writes.clear();
  encoder_.SendCall("12222");
  EXPECT_EQ(Transmit().writes, Tones({1060, 1160, 2600, 1160, 2600}));
  audio_.streams[0]->writes.clear();
  encoder_.SendCall("1*1**");
  EXPECT_EQ(Transmit().writes, Tones({1060, 2800, 1060, 2800, 2600}));
  audio_.streams[0]->writes.clear();
  Mode(core::kModeDzvei);
  encoder_.SendCall("00000");
  EXPECT_EQ(Transmit().writes, Tones({2200, 810, 2200, 810, 2200}));
}

TEST_F(SendCallTest, KeysFirstAndReleasesOnlyAfterTheLastSampleHasPlayed) {
  encoder_.SendCall("12345");
  const std::vector<std::string> expected{"key",
                                          "write dev0 771",
                                          "write dev0 771",
                                          "write dev0 771",
                                          "write dev0 771",
                                          "write dev0 771",
                                          "drain dev0",
                                          "release"};
  EXPECT_EQ(trail_.events, expected);
}

TEST_F(SendCallTest, PilotToneComesFirstAndIsInTheSoundFile) {
  encoder_.options.pilotTone = true;
  encoder_.options.pilotFreqHz = 300;
  encoder_.options.pilotLenMs = 300;
  encoder_.options.generateSoundfiles = true;
  Mode(core::kModeDzvei);
  const std::string code = "1234*";
  encoder_.SendCall(code);
  EXPECT_EQ(code, "1234*");  // the caller's text is unchanged
  ASSERT_EQ(Transmit().writes.size(), 6U);
  EXPECT_EQ(Transmit().writes[0], SynthesiseTone(300, 300));
  const std::string path = tmp_.Path("1234X_DZVEI.wav");
  EXPECT_EQ(encoder_.LastSoundFile(), path);
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(std::filesystem::file_size(path), 44U + 2U * (3307U + 5U * 771U));
  EXPECT_TRUE(audio::IsValidWaveFile(path));
  // The next call's file holds only its own tones.
  encoder_.options.pilotTone = false;
  encoder_.SendCall("55555");
  EXPECT_EQ(std::filesystem::file_size(tmp_.Path("55555_DZVEI.wav")), 44U + 2U * 5U * 771U);
}

TEST_F(SendCallTest, ShortTextsAndTonelessCharacters) {
  encoder_.SendCall(std::string_view("12", 2));
  EXPECT_EQ(Transmit().writes, Tones({1060, 1160}));
  audio_.streams[0]->writes.clear();
  encoder_.SendCall("1X1");  // X has no tone and breaks the run
  EXPECT_EQ(Transmit().writes, Tones({1060, 1060}));
  audio_.streams[0]->writes.clear();
  encoder_.SendCall("");
  EXPECT_TRUE(Transmit().writes.empty());
  EXPECT_EQ(trail_.events.back(), "release");  // keyed and released all the same
}

TEST_F(SendCallTest, NoToneSetSendsNothingButStillReleases) {
  encoder_.options.toneSet = nullptr;
  encoder_.SendCall("12345");
  EXPECT_TRUE(Transmit().writes.empty());
  EXPECT_EQ(trail_.events, (std::vector<std::string>{"key", "drain dev0", "release"}));
}

TEST_F(SendCallTest, SoundFilePathTooLongIsNotWritten) {
  encoder_.options.generateSoundfiles = true;
  encoder_.options.startupDir = tmp_.path().string() + "/" + std::string(300, 'd');
  encoder_.SendCall(std::string(5, '1') + std::string(5000, '9'));
  EXPECT_TRUE(encoder_.LastSoundFile().empty());
  EXPECT_EQ(CodeSoundFilePath("/x", "1*3**", "ZVEI"), "/x/1X3XX_ZVEI.wav");
}

}  // namespace
}  // namespace sequelo::tx
