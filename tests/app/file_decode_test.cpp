#include "app/file_decode.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "audio/capture_buffer_feed.h"
#include "audio/sound_file_source.h"
#include "tests/support/memory_frame_source.h"
#include "tests/support/signal_generator.h"
#include "tests/support/temp_dir.h"

namespace sequelo::app {
namespace {

using testsupport::CallSignal;
using testsupport::MemoryFrameSource;

class Collect final : public DecodeListener {
 public:
  void OnCode(std::uint64_t timeMs, std::string_view code) override {
    codes.emplace_back(code);
    times.push_back(timeMs);
  }
  void OnAnalysisLine(std::uint64_t, std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> codes;
  std::vector<std::uint64_t> times;
  std::vector<std::string> lines;
};

std::vector<double> Call(const std::string& code, double rateHz, double leadMs = 300) {
  CallSignal call;
  call.code = code;
  call.sampleRateHz = rateHz;
  call.leadMs = leadMs;
  return testsupport::MakeCall(call);
}

// Interleaves `signal` into channel `channel` of `channels`, others silent.
std::vector<double> OnChannel(const std::vector<double>& signal, int channel, int channels) {
  std::vector<double> out(signal.size() * static_cast<std::size_t>(channels), 0.0);
  for (std::size_t i = 0; i < signal.size(); ++i) {
    out[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(channel)] = signal[i];
  }
  return out;
}

TEST(FileDecode, AudioClockTicks) {
  EXPECT_EQ(BufferTickMs(0), 0U);
  EXPECT_EQ(BufferTickMs(1), 21U);
  EXPECT_EQ(BufferTickMs(2), 42U);
  EXPECT_EQ(BufferTickMs(3), 64U);
  EXPECT_EQ(BufferEndMs(0), 21U);
  EXPECT_EQ(BufferEndMs(2), 64U);
  // After 2^32 ms the tick wraps while audio time runs on.
  const std::uint64_t pastWrap = (1ULL << 32) * 6000 / 128000 + 10;
  EXPECT_LT(BufferTickMs(pastWrap), 1000U);
  EXPECT_GT(BufferEndMs(pastWrap), 1ULL << 32);
}

TEST(CaptureBufferFeed, StereoAt6000PassesThroughBitForBit) {
  std::vector<double> interleaved;
  std::vector<std::int16_t> expected;
  for (int i = 0; i < 300; ++i) {  // 2 full buffers and a partial one
    const auto a = static_cast<std::int16_t>(i * 97 - 16000);
    const auto b = static_cast<std::int16_t>(-i * 31 + 5);
    interleaved.push_back(a / 32768.0);
    interleaved.push_back(b / 32768.0);
    expected.push_back(a);
    expected.push_back(b);
  }
  expected.resize(3 * core::kBufferSamples, 0);  // the last buffer is padded with silence
  for (int channel : {0, 1}) {
    MemoryFrameSource source(interleaved, 2, 6000);
    audio::CaptureBufferFeed feed(source, channel);
    EXPECT_FALSE(feed.Resampling());
    audio::CaptureFrames buffer{};
    std::vector<std::int16_t> got;
    while (feed.Next(buffer)) {
      got.insert(got.end(), buffer.begin(), buffer.end());
    }
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      // The chosen channel comes first; the other follows as it is.
      const std::size_t from = channel == 0 ? i : (i % 2 == 0 ? i + 1 : i - 1);
      ASSERT_EQ(got[i], expected[from]) << "sample " << i << ", channel " << channel;
    }
    EXPECT_TRUE(feed.Error().empty());
  }
}

TEST(CaptureBufferFeed, ToPcm16RoundsAndClips) {
  EXPECT_EQ(audio::ToPcm16(0.0), 0);
  EXPECT_EQ(audio::ToPcm16(-1.0), -32768);
  EXPECT_EQ(audio::ToPcm16(1.0), 32767);
  EXPECT_EQ(audio::ToPcm16(5.0), 32767);
  EXPECT_EQ(audio::ToPcm16(-5.0), -32768);
  EXPECT_EQ(audio::ToPcm16(100.4 / 32768.0), 100);
  EXPECT_EQ(audio::ToPcm16(-100.6 / 32768.0), -101);
  // Halves go to the even neighbour, and a NaN (a corrupt float file) is silence.
  EXPECT_EQ(audio::ToPcm16(100.5 / 32768.0), 100);
  EXPECT_EQ(audio::ToPcm16(101.5 / 32768.0), 102);
  EXPECT_EQ(audio::ToPcm16(-0.5 / 32768.0), 0);
  EXPECT_EQ(audio::ToPcm16(32766.7 / 32768.0), 32767);
  EXPECT_EQ(audio::ToPcm16(std::nan("")), 0);

  // The feed converts whole buffers eight samples at a time, and the rest one
  // by one: every value gives the same sample on either path and channel.
  const std::vector<double> values = {0.0,
                                      -1.0,
                                      1.0,
                                      5.0,
                                      -5.0,
                                      100.4 / 32768,
                                      -100.6 / 32768,
                                      100.5 / 32768,
                                      101.5 / 32768,
                                      -0.5 / 32768,
                                      32766.7 / 32768,
                                      std::nan(""),
                                      -32768.5 / 32768,
                                      0.25};
  std::vector<double> interleaved;
  for (int i = 0; i < 300; ++i) {
    interleaved.push_back(values[static_cast<std::size_t>(i) % values.size()]);
    interleaved.push_back(values[static_cast<std::size_t>(i * 5 + 3) % values.size()]);
  }
  MemoryFrameSource source(interleaved, 2, 6000);
  audio::CaptureBufferFeed feed(source, 0);
  audio::CaptureFrames buffer{};
  std::size_t at = 0;
  while (feed.Next(buffer) && at < interleaved.size()) {
    for (std::size_t i = 0; i < buffer.size() && at + i < interleaved.size(); ++i) {
      const double v = interleaved[at + i];
      ASSERT_EQ(buffer[i], audio::ToPcm16(static_cast<float>(v))) << "sample " << at + i;
    }
    at += buffer.size();
  }
  EXPECT_EQ(at, 3 * core::kBufferSamples);
}

struct RateCase {
  double rateHz;
  int channels;
  int channel;
};

void PrintTo(const RateCase& c, std::ostream* os) {
  *os << c.rateHz << " Hz, " << c.channels << " channels, channel " << c.channel;
}

class ResampledDecode : public ::testing::TestWithParam<RateCase> {};

TEST_P(ResampledDecode, FindsTheCallAtItsTime) {
  const auto c = GetParam();
  MemoryFrameSource source(OnChannel(Call("12234", c.rateHz), c.channel, c.channels), c.channels,
                           c.rateHz);
  DecodeOptions options;
  options.channel = c.channel;
  Collect collect;
  const DecodeResult result = DecodeFrames(source, options, collect);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(collect.codes, std::vector<std::string>{"12234"});
  // The call ends 300 + 350 ms in; its last tone is accepted on its second hit.
  EXPECT_GE(collect.times[0], 600U);
  EXPECT_LE(collect.times[0], 680U);
}

INSTANTIATE_TEST_SUITE_P(Rates, ResampledDecode,
                         ::testing::Values(RateCase{6000, 1, 0}, RateCase{8000, 1, 0},
                                           RateCase{11025, 1, 0}, RateCase{22050, 1, 0},
                                           RateCase{44100, 2, 1}, RateCase{48000, 2, 0}),
                         [](const ::testing::TestParamInfo<RateCase>& p) {
                           return std::to_string(static_cast<int>(p.param.rateHz)) + "Hz" +
                                  std::to_string(p.param.channels) + "ch" +
                                  (p.param.channel == 0 ? "Left" : "Right");
                         });

TEST(FileDecode, WrongChannelFindsNothingAndMissingChannelIsAnError) {
  MemoryFrameSource stereo(OnChannel(Call("12345", 48000), 1, 2), 2, 48000);
  Collect collect;
  EXPECT_TRUE(DecodeFrames(stereo, DecodeOptions{}, collect).ok);
  EXPECT_TRUE(collect.codes.empty());

  MemoryFrameSource mono(Call("12345", 8000), 1, 8000);
  DecodeOptions right;
  right.channel = 1;
  const DecodeResult result = DecodeFrames(mono, right, collect);
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("right"), std::string::npos) << result.error;
}

TEST(FileDecode, ReadErrorKeepsWhatWasFoundAndSaysWhy) {
  std::vector<double> samples = Call("12345", 6000);
  const std::size_t firstCall = samples.size();
  const auto second = Call("67890", 6000);
  samples.insert(samples.end(), second.begin(), second.end());
  MemoryFrameSource source(samples, 1, 6000);
  source.FailAfter(firstCall + 1000, "Input/output error");
  Collect collect;
  const DecodeResult result = DecodeFrames(source, DecodeOptions{}, collect);
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("Input/output error"), std::string::npos);
  EXPECT_EQ(collect.codes, std::vector<std::string>{"12345"});
}

TEST(FileDecode, AnalysisLinesAndCalibration) {
  MemoryFrameSource source(Call("12345", 6000), 1, 6000);
  DecodeOptions options;
  options.analysisLog = true;
  Collect collect;
  DecodeFrames(source, options, collect);
  EXPECT_EQ(collect.codes, std::vector<std::string>{"12345"});
  ASSERT_FALSE(collect.lines.empty());
  EXPECT_EQ(collect.lines.front().rfind("Buffer evaluation: f=", 0), 0U) << collect.lines.front();
  EXPECT_NE(std::find(collect.lines.begin(), collect.lines.end(), "Tone accepted as digit #5"),
            collect.lines.end());

  // Threshold 0 calibrates on the first buffer with sound: the call's own
  // first tone sets it to 1.5 x its level, so this call is not taken.
  MemoryFrameSource again(Call("12345", 6000), 1, 6000);
  options.threshold = 0;
  Collect calibrated;
  DecodeFrames(again, options, calibrated);
  EXPECT_TRUE(calibrated.codes.empty());
  EXPECT_TRUE(calibrated.lines.empty());
}

class SoundFiles : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return tmp_.Path(name); }
  testsupport::ScopedTempDir tmp_;
};

TEST_F(SoundFiles, WavAndRawDecode) {
  const auto samples = Call("54321", 22050);
  const auto pcm = testsupport::ToPcm16(samples);
  ASSERT_TRUE(testsupport::WriteWav(Path("call.wav"), pcm, 1, 22050));
  std::string error;
  auto wav = audio::OpenSoundFile(Path("call.wav"), error);
  ASSERT_TRUE(wav) << error;
  EXPECT_EQ(wav->SampleRateHz(), 22050.0);
  Collect fromWav;
  ASSERT_TRUE(DecodeFrames(*wav, DecodeOptions{}, fromWav).ok);
  EXPECT_EQ(fromWav.codes, std::vector<std::string>{"54321"});

  {
    std::ofstream raw(Path("call.raw"), std::ios::binary);
    for (std::int16_t s : pcm) {
      const auto u = static_cast<std::uint16_t>(s);
      raw.put(static_cast<char>(u & 0xFF)).put(static_cast<char>(u >> 8));
    }
    raw.put('\x7f');  // a trailing odd byte is not a sample
  }
  auto rawSource = audio::OpenRawPcm(Path("call.raw"), 22050, error);
  ASSERT_TRUE(rawSource) << error;
  Collect fromRaw;
  ASSERT_TRUE(DecodeFrames(*rawSource, DecodeOptions{}, fromRaw).ok);
  EXPECT_EQ(fromRaw.codes, fromWav.codes);
  EXPECT_EQ(fromRaw.times, fromWav.times);
}

// 16-bit files are scaled by our own loop, other formats by libsndfile: both
// give s / 32768 exactly, frame by frame in channel order, however the reads
// are cut.
TEST_F(SoundFiles, SamplesArriveExactlyScaledFromSixteenBitAndFloatFiles) {
  std::vector<std::int16_t> pcm;
  for (int i = 0; i < 5000; ++i) {
    const int left = i % 7 == 0 ? -32768 : (i % 11 == 0 ? 32767 : (i * 37) % 65536 - 32768);
    pcm.push_back(static_cast<std::int16_t>(left));
    pcm.push_back(static_cast<std::int16_t>(-(i % 300)));
  }
  ASSERT_TRUE(testsupport::WriteWav(Path("s16.wav"), pcm, 2, 8000));
  {
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(Path("float.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    std::vector<float> values;
    for (std::int16_t s : pcm) {
      values.push_back(static_cast<float>(s / 32768.0));
    }
    ASSERT_EQ(sf_writef_float(file, values.data(), 5000), 5000);
    sf_close(file);
  }
  for (const char* name : {"s16.wav", "float.wav"}) {
    SCOPED_TRACE(name);
    std::string error;
    auto source = audio::OpenSoundFile(Path(name), error);
    ASSERT_TRUE(source) << error;
    std::vector<float> got;
    std::vector<float> block(2 * 777);
    for (long n; (n = source->Read(block.data(), 777)) > 0;) {
      got.insert(got.end(), block.begin(), block.begin() + 2 * n);
    }
    ASSERT_EQ(got.size(), pcm.size());
    for (std::size_t i = 0; i < pcm.size(); ++i) {
      ASSERT_EQ(got[i], pcm[i] / 32768.0f) << "sample " << i;
    }
  }
}

TEST_F(SoundFiles, BadInputsSayWhy) {
  std::string error;
  EXPECT_FALSE(audio::OpenSoundFile(Path("missing.wav"), error));
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_FALSE(audio::OpenSoundFile(tmp_.path().string(), error));
  EXPECT_EQ(error, "is a directory");
  std::ofstream(Path("text.wav")) << "this is not audio\n";
  EXPECT_FALSE(audio::OpenSoundFile(Path("text.wav"), error));
  EXPECT_EQ(error.rfind("not a recognised audio file", 0), 0U) << error;
  std::ofstream(Path("empty.wav")).close();
  EXPECT_FALSE(audio::OpenSoundFile(Path("empty.wav"), error));
  EXPECT_FALSE(audio::OpenRawPcm(Path("missing.raw"), 8000, error));
}

}  // namespace
}  // namespace sequelo::app
