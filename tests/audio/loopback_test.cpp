#include "audio/loopback_device.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <thread>

#include "audio/audio_system.h"
#include "audio/tone_generator.h"
#include "tests/support/decode_helpers.h"
#include "tests/support/fake_audio.h"
#include "tx/sequence_encoder.h"

namespace sequelo::audio {
namespace {

std::vector<std::int16_t> Sine(double hz, int rateHz, std::size_t n) {
  std::vector<std::int16_t> s(n);
  for (std::size_t i = 0; i < n; ++i) {
    s[i] = static_cast<std::int16_t>(std::lround(
        10000.0 * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / rateHz)));
  }
  return s;
}

int ZeroCrossings(const std::deque<std::int16_t>& s) {
  int n = 0;
  for (std::size_t i = 1; i < s.size(); ++i) {
    n += (s[i - 1] < 0) != (s[i] < 0) ? 1 : 0;
  }
  return n;
}

TEST(LinearResampler, KeepsTheFrequencyAndTheSameResultInAnyBlocks) {
  const auto in = Sine(1000.0, 11025, 11025);  // one second
  LinearResampler whole(11025);
  std::deque<std::int16_t> a;
  whole.Push(in, a);
  EXPECT_NEAR(static_cast<double>(a.size()), 6000.0, 1.0);
  EXPECT_NEAR(ZeroCrossings(a), 2000, 2);
  LinearResampler pieces(11025);
  std::deque<std::int16_t> b;
  for (std::size_t i = 0; i < in.size(); i += 771) {
    pieces.Push(std::span(in).subspan(i, std::min<std::size_t>(771, in.size() - i)), b);
  }
  EXPECT_EQ(a, b);
}

TEST(LoopbackBus, DropsTheOldestWhenNobodyReads) {
  LoopbackBus bus;
  std::vector<std::int16_t> block(LoopbackBus::kMaxQueued, 1);
  bus.Push(block);
  std::vector<std::int16_t> newer(100, 2);
  bus.Push(newer);
  EXPECT_EQ(bus.Queued(), LoopbackBus::kMaxQueued);
  std::vector<std::int16_t> out(LoopbackBus::kMaxQueued);
  EXPECT_EQ(bus.Take(out), LoopbackBus::kMaxQueued);
  EXPECT_EQ(out.back(), 2);
  EXPECT_EQ(out[LoopbackBus::kMaxQueued - 101], 1);
}

// A call sent on the Loopback output is decoded from the Loopback input, in
// real time, as a station without a sound card would do it.
TEST(Loopback, ACallSentIsDecodedFromItsInput) {
  AudioSystem audio(nullptr);
  ASSERT_EQ(audio.OutputDevices().back().name, "Loopback");
  ASSERT_EQ(audio.InputDevices().back().name, "Loopback");
  ToneGenerator tones(audio);
  tones.ListOutputDevices();
  ASSERT_TRUE(tones.OpenOutputDevices(0));  // Loopback is the only output here
  std::string error;
  auto capture = audio.OpenCapture(LoopbackDevice::Info(), 6000, 2, error);
  ASSERT_TRUE(capture) << error;

  std::vector<std::int16_t> captured;
  std::thread listen([&] {
    std::vector<std::int16_t> buffer(core::kBufferSamples);
    for (int i = 0; i < 60; ++i) {  // 1.28 s of capture
      ASSERT_EQ(capture->Read(buffer), buffer.size());
      captured.insert(captured.end(), buffer.begin(), buffer.end());
    }
  });
  // Released only when the stream's own clock has played every sample.
  class ReleaseWatch final : public core::Transmitter {
   public:
    explicit ReleaseWatch(ToneGenerator& t) : tones(t) {}
    bool KeyTransmitter() override { return true; }
    void ReleaseTransmitter() override {
      played = tones.TransmitDevice()->PlayedFrames();
      written = tones.TransmitDevice()->WrittenFrames();
    }
    ToneGenerator& tones;
    std::uint64_t played = 0;
    std::uint64_t written = 0;
  } ptt(tones);
  tx::SequenceEncoder encoder(tones, ptt, tx::CallOptionsForMode(core::kModeZvei));
  encoder.SendCall("12234");
  listen.join();
  EXPECT_EQ(ptt.written, 5U * 771U);
  EXPECT_GE(ptt.played, ptt.written);
  EXPECT_EQ(testsupport::DecodeCapture6000(captured, core::kModeZvei),
            std::vector<std::string>{"12234"});
  std::vector<std::int16_t> first;
  for (std::size_t i = 0; i < captured.size(); i += 2) {
    first.push_back(captured[i]);
    ASSERT_EQ(captured[i], captured[i + 1]);  // both channels carry it
  }
  EXPECT_LE(testsupport::LongestGapMs(first, 6000), 2.0);
  std::vector<std::int16_t> odd(10);
  EXPECT_FALSE(audio.OpenCapture(LoopbackDevice::Info(), 8000, 2, error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace sequelo::audio
