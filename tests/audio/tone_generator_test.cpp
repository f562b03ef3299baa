#include "audio/tone_generator.h"

#include <gtest/gtest.h>

#include "audio/paced_devices.h"
#include "tests/support/fake_audio.h"

namespace sequelo::audio {
namespace {

using testsupport::EventTrail;
using testsupport::FakeAudioBackend;

TEST(SynthesiseTone, ExactSamples) {
  const auto tone = SynthesiseTone(1000, 70);
  ASSERT_EQ(tone.size(), 771U);
  EXPECT_EQ((std::vector<std::int16_t>(tone.begin(), tone.begin() + 6)),
            (std::vector<std::int16_t>{0, 7955, 13397, 14603, 11193, 4245}));
  EXPECT_EQ(SynthesiseTone(1000, 5000).size(), 32766U);  // capped at 2972 ms
  EXPECT_EQ(SynthesiseTone(1000, 2972).size(), 32766U);
  EXPECT_TRUE(SynthesiseTone(1000, 0).empty());
  for (std::int16_t s : SynthesiseTone(0, 50)) {
    ASSERT_EQ(s, 0);
  }
  const auto loud = SynthesiseTone(2756, 100);  // peaks near the amplitude
  EXPECT_EQ(*std::max_element(loud.begin(), loud.end()), 14745);
  EXPECT_EQ(*std::min_element(loud.begin(), loud.end()), -14745);
}

class ToneGeneratorTest : public ::testing::Test {
 protected:
  EventTrail trail_;
  FakeAudioBackend audio_{trail_};
  ToneGenerator tones_{audio_};
};

TEST_F(ToneGeneratorTest, TonesPlayBackToBackFromPhaseZeroAndAreKept) {
  tones_.ListOutputDevices();
  ASSERT_TRUE(tones_.OpenOutputDevices(1));
  tones_.PlayTone(1000, 70);
  tones_.PlayTone(1000, 70);
  tones_.PlayTone(1000, 0);                                              // nothing
  ASSERT_EQ(audio_.opened, (std::vector<std::string>{"dev1", "dev0"}));  // transmit, local
  auto* transmit = audio_.streams[0];
  ASSERT_EQ(transmit->writes.size(), 2U);
  EXPECT_EQ(transmit->writes[1][0], 0);  // the second tone starts again at 0
  EXPECT_EQ(transmit->writes[0], SynthesiseTone(1000, 70));
  EXPECT_EQ(tones_.SoundFile().Count(), 2U * 771U);
  EXPECT_TRUE(audio_.streams[1]->writes.empty());  // nothing on the local device
}

TEST_F(ToneGeneratorTest, SoundFileNeverOverflowsButEveryToneStillPlays) {
  tones_.ListOutputDevices();
  tones_.OpenOutputDevices(0);
  for (int i = 0; i < 12; ++i) {
    tones_.PlayTone(440, 5000);  // 12 x 32,766 samples > 360,448
  }
  EXPECT_EQ(tones_.SoundFile().Count(), SoundFileBuffer::kCapacity);
  EXPECT_EQ(audio_.streams[0]->WrittenFrames(), 12U * 32766U);
  tones_.SoundFile().Clear();
  EXPECT_EQ(tones_.SoundFile().Count(), 0U);
}

TEST_F(ToneGeneratorTest, EachDeviceWorksIfItAloneCanBeOpened) {
  tones_.ListOutputDevices();
  audio_.failing = {"dev0"};  // the default (local) output is broken
  EXPECT_TRUE(tones_.OpenOutputDevices(1));
  ASSERT_NE(tones_.TransmitDevice(), nullptr);
  ASSERT_NE(tones_.LocalDevice(), nullptr);  // plays into nothing
  tones_.PlayTone(1000, 70);
  EXPECT_EQ(audio_.streams[0]->writes.size(), 1U);

  audio_.failing = {"dev1"};  // now the transmit device is broken
  EXPECT_FALSE(tones_.OpenOutputDevices(1));
  EXPECT_EQ(tones_.TransmitDevice(), nullptr);
  EXPECT_NE(tones_.LocalDevice(), nullptr);
  EXPECT_FALSE(tones_.OpenError().empty());
  const std::size_t kept = tones_.SoundFile().Count();
  tones_.PlayTone(1000, 70);  // no transmit device: nothing played or kept
  EXPECT_EQ(tones_.SoundFile().Count(), kept);

  audio_.failing.clear();
  audio_.hasDefault = false;  // no default output at all
  EXPECT_TRUE(tones_.OpenOutputDevices(1));
  EXPECT_NE(tones_.LocalDevice(), nullptr);
  // No selection and no default: nothing to transmit on.
  EXPECT_FALSE(tones_.OpenOutputDevices(-1));
}

TEST(ToneGenerator, ListsAtMostTenOutputs) {
  EventTrail trail;
  FakeAudioBackend audio(trail, 14);
  ToneGenerator tones(audio);
  tones.ListOutputDevices();
  ASSERT_EQ(tones.OutputSlots().size(), 10U);
  EXPECT_EQ(tones.OutputSlots().back().name, "Device 9");
  EXPECT_TRUE(tones.OpenOutputDevices(9));
  EXPECT_EQ(audio.opened.front(), "dev9");
  EXPECT_FALSE(tones.AddOutputDevice({"Eleventh", "fake", "dev10"}));
  // The Loopback device, listed last, is always kept.
  audio.outputs.push_back({"Loopback", "loopback", "loopback"});
  tones.ListOutputDevices();
  ASSERT_EQ(tones.OutputSlots().size(), 10U);
  EXPECT_EQ(tones.OutputSlots()[8].name, "Device 8");
  EXPECT_EQ(tones.OutputSlots().back().name, "Loopback");
}

TEST(PacedPlayback, ClockNeverRunsAheadOfTheWrites) {
  PacedPlayback stream(11025, 1, 40, nullptr);
  EXPECT_EQ(stream.PlayedFrames(), 0U);
  const auto tone = SynthesiseTone(1000, 70);
  stream.Write(tone);
  EXPECT_LE(stream.PlayedFrames(), stream.WrittenFrames());
  stream.Drain();
  EXPECT_EQ(stream.PlayedFrames(), stream.WrittenFrames());
  InstantPlayback instant;
  instant.Write(tone);
  EXPECT_EQ(instant.PlayedFrames(), 771U);
}

}  // namespace
}  // namespace sequelo::audio
