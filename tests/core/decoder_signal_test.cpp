// The decoder on real signals: calls as our encoder sends them, at the levels,
// offsets and noise a receiver delivers, and hours of audio without calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/tone_decoder.h"
#include "tests/support/decode_helpers.h"
#include "tests/support/signal_generator.h"

namespace sequelo {
namespace {

using testsupport::CallSignal;
using testsupport::CodesOf;
using testsupport::DecodeMono6000;
using testsupport::MakeCall;

// Every character and '*', with and without repeats (runs alternate own
// tone and repeat tone).
const std::vector<std::string> kCodes{"12345", "67890", "*1*2*", "11111", "12234",
                                      "00000", "*****", "11211", "12222", "99*88"};

std::string NameOfCase(const ::testing::TestParamInfo<std::tuple<int, double, double>>& info) {
  const int mode = std::get<0>(info.param);
  const auto levelDb = static_cast<int>(-std::get<1>(info.param));
  const auto permille = static_cast<int>(std::lround(std::get<2>(info.param) * 1000));
  return std::string(core::kModeNames[static_cast<std::size_t>(mode)]) + "_minus" +
         std::to_string(levelDb) + "dBFS_offset" + (permille < 0 ? "Minus" : "Plus") +
         std::to_string(std::abs(permille)) + "permille";
}

class CallDecodes : public ::testing::TestWithParam<std::tuple<int, double, double>> {};

TEST_P(CallDecodes, ToItsOwnCode) {
  const auto [mode, levelDbfs, offset] = GetParam();
  int alignment = 0;
  for (const std::string& code : kCodes) {
    // Vary where the tones fall within the 21.33 ms buffers.
    for (int shift = 0; shift < 3; ++shift, ++alignment) {
      CallSignal call;
      call.code = code;
      call.modeIndex = mode;
      call.levelDbfs = levelDbfs;
      call.offsetRelative = offset;
      call.leadMs = 300.0 + 7.3 * alignment;
      call.startPhase = 0.7 * alignment;
      EXPECT_EQ(CodesOf(DecodeMono6000(MakeCall(call), mode)), std::vector<std::string>{code})
          << core::kModeNames[static_cast<std::size_t>(mode)] << " " << code << " at " << levelDbfs
          << " dBFS, offset " << offset * 100 << " %, lead " << call.leadMs << " ms";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(LevelsAndOffsets, CallDecodes,
                         ::testing::Combine(::testing::Values(core::kModeZvei, core::kModeDzvei),
                                            ::testing::Values(-6.0, -20.0, -30.0, -38.0),
                                            ::testing::Values(-0.005, 0.0, 0.005)),
                         NameOfCase);

// The encoder's form of 12234 written out tone by tone.
TEST(DecoderSignal, ZveiToneByTone12234) {
  std::vector<double> samples;
  double phase = 0;
  testsupport::AppendTone(samples, 6000, 0, 0, 200, phase);
  for (double hz : {1060.0, 1160.0, 2600.0, 1270.0, 1400.0}) {
    testsupport::AppendTone(samples, 6000, hz, 0.3, 70, phase);
  }
  testsupport::AppendTone(samples, 6000, 0, 0, 200, phase);
  EXPECT_EQ(CodesOf(DecodeMono6000(samples, core::kModeZvei)), std::vector<std::string>{"12234"});
}

TEST(DecoderSignal, CallRightAtTheStartOfTheAudio) {
  CallSignal call;
  call.leadMs = 0;
  EXPECT_EQ(CodesOf(DecodeMono6000(MakeCall(call), core::kModeZvei)),
            std::vector<std::string>{"12345"});
}

TEST(DecoderSignal, BackToBackCallsAfterTheDeadTime) {
  std::vector<double> samples;
  for (const char* code : {"12345", "67890", "11111"}) {
    CallSignal call;
    call.code = code;
    call.leadMs = 0;
    call.trailMs = 100;  // just over the 70 ms dead time
    const auto one = MakeCall(call);
    samples.insert(samples.end(), one.begin(), one.end());
  }
  EXPECT_EQ(CodesOf(DecodeMono6000(samples, core::kModeZvei)),
            (std::vector<std::string>{"12345", "67890", "11111"}));
}

TEST(DecoderSignal, WhiteNoiseAt20DbDecodesNearlyAll) {
  constexpr int kCalls = 500;
  for (int mode : {core::kModeZvei, core::kModeDzvei}) {
    const testsupport::NoiseScore score = testsupport::ScoreInNoise(mode, 20.0, kCalls, 1000);
    EXPECT_GE(score.decoded, kCalls * 98 / 100) << core::kModeNames[static_cast<std::size_t>(mode)];
    EXPECT_LE(score.wrong, 1) << core::kModeNames[static_cast<std::size_t>(mode)];
  }
}

// An hour of audio fed buffer by buffer, without holding it all.
int CodesInAnHour(const std::function<double(std::size_t)>& sampleAt) {
  class Count final : public core::CodeHandler {
   public:
    void HandleReceivedCode(std::string_view) override { ++codes; }
    int codes = 0;
  } count;
  core::ManualTickClock clock;
  core::ToneDecoder decoder(clock);
  decoder.SetToneSet(core::BuiltInToneSet(core::kModeZvei));
  decoder.SetSinks({nullptr, &count, nullptr});
  std::vector<std::int16_t> buffer(core::kBufferSamples, 0);
  const std::uint64_t buffers = 3600ULL * core::kCaptureRateHz / core::kBufferFrames;
  std::size_t n = 0;
  for (std::uint64_t i = 0; i < buffers; ++i) {
    for (std::size_t f = 0; f < core::kFftSize; ++f, ++n) {  // only these frames are analysed
      buffer[f * 2] = static_cast<std::int16_t>(std::lround(sampleAt(n)));
    }
    n += core::kBufferFrames - core::kFftSize;
    clock.Set(static_cast<std::uint32_t>(i * core::kBufferFrames * 1000 / core::kCaptureRateHz));
    decoder.AnalyseBuffer(core::CaptureBuffer(buffer.data(), core::kBufferSamples));
  }
  return count.codes;
}

TEST(DecoderSignal, SilentOnAnHourOfWhiteNoise) {
  std::mt19937 rng(99);
  std::normal_distribution<double> noise(0.0, 3000.0);
  EXPECT_EQ(CodesInAnHour([&](std::size_t) { return std::clamp(noise(rng), -32768.0, 32767.0); }),
            0);
}

TEST(DecoderSignal, SilentOnAnHourOfSilence) {
  EXPECT_EQ(CodesInAnHour([](std::size_t) { return 0.0; }), 0);
}

TEST(DecoderSignal, SilentOnAnHourOfOneSteadyTone) {
  EXPECT_EQ(CodesInAnHour([](std::size_t n) {
              return 10000.0 *
                     std::sin(2.0 * std::numbers::pi * 1400.0 * static_cast<double>(n) / 6000.0);
            }),
            0);
}

}  // namespace
}  // namespace sequelo
