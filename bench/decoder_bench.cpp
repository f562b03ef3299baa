// Decoder speed: one AnalyseBuffer call, and whole-file decoding of a 6000 Hz
// stereo WAV (no resampling) and a 22050 Hz mono WAV (resampled), reported as
// a multiple of real time ("x_realtime").
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/file_decode.h"
#include "audio/capture_buffer_feed.h"
#include "audio/sound_file_source.h"
#include "core/enhanced_decoder.h"
#include "core/tone_decoder.h"
#include "core/trailer_detector.h"
#include "tests/support/signal_generator.h"

namespace {

using namespace sequelo;

// One buffer at a time through `analyse`: a call in noise, cycled, so the
// decoder walks through all its branches; as a multiple of real time.
// `quietMs`: noise before and after the call (0: the generator's default,
// about a call a second).
template <typename Analyse>
void BufferBench(benchmark::State& state, Analyse analyse, int quietMs = 0) {
  testsupport::CallSignal call;
  call.snrDb = 15;
  if (quietMs > 0) {
    call.leadMs = quietMs;
    call.trailMs = quietMs;
  }
  const auto stereo = testsupport::ToCaptureStereo(testsupport::MakeCall(call));
  const std::size_t buffers = stereo.size() / core::kBufferSamples;
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(analyse(core::CaptureBuffer(
        stereo.data() + (i % buffers) * core::kBufferSamples, core::kBufferSamples)));
    ++i;
  }
  state.counters["x_realtime"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * core::kBufferFrames / core::kCaptureRateHz,
      benchmark::Counter::kIsRate);
}

void BM_AnalyseBuffer(benchmark::State& state) {
  core::ManualTickClock clock;
  core::ToneDecoder decoder(clock);
  decoder.SetToneSet(core::BuiltInToneSet(core::kModeZvei));
  BufferBench(state, [&](core::CaptureBuffer buffer) {
    clock.Advance(21);
    return decoder.AnalyseBuffer(buffer);
  });
}
BENCHMARK(BM_AnalyseBuffer);

// Ten minutes of noise with a call every 30 s, written once per process.
std::string MakeFile(int rateHz, int channels) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("sequelo-bench-" + std::to_string(::getpid()) + "-" + std::to_string(rateHz) +
                     "x" + std::to_string(channels) + ".wav");
  std::vector<double> samples;
  for (int i = 0; i < 20; ++i) {
    testsupport::CallSignal call;
    call.sampleRateHz = rateHz;
    call.leadMs = 14650;
    call.trailMs = 15000;
    const auto one = testsupport::MakeCall(call);
    samples.insert(samples.end(), one.begin(), one.end());
  }
  testsupport::AddNoise(samples, 0.01, 5);
  auto pcm = testsupport::ToPcm16(samples);
  if (channels == 2) {
    pcm = testsupport::ToCaptureStereo(samples);
  }
  testsupport::WriteWav(path.string(), pcm, channels, rateHz);
  return path.string();
}

class NullListener final : public app::DecodeListener {
 public:
  void OnCode(std::uint64_t, std::string_view) override { ++codes; }
  void OnAnalysisLine(std::uint64_t, std::string_view) override {}
  int codes = 0;
};

// One whole file per iteration: `run` takes the opened file and returns the
// capture buffers it made of it; reported as a multiple of real time.
template <typename Run>
void FileBench(benchmark::State& state, int rateHz, int channels, Run run) {
  const std::string path = MakeFile(rateHz, channels);
  double audioSeconds = 0;
  for (auto _ : state) {
    std::string error;
    auto source = audio::OpenSoundFile(path, error);
    audioSeconds += static_cast<double>(run(*source)) * core::kBufferFrames / core::kCaptureRateHz;
  }
  std::filesystem::remove(path);
  state.counters["x_realtime"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
}

// Whole files through `sequelo-cli decode`'s path: reading, resampling where
// the rate is not 6000 Hz, and decoding.
void DecodeFileBench(benchmark::State& state, int rateHz, int channels,
                     core::DecoderChoice decoder = core::DecoderChoice::kStandard) {
  NullListener listener;
  FileBench(state, rateHz, channels, [&](audio::FrameSource& source) {
    app::DecodeOptions options;
    options.decoder = decoder;
    return app::DecodeFrames(source, options, listener).buffers;
  });
  state.counters["codes"] = listener.codes / static_cast<double>(state.iterations());
}

// The feed alone: reading, channel choice, resampling where the rate is not
// 6000 Hz, and conversion to capture buffers, without a decoder.
void FeedFileBench(benchmark::State& state, int rateHz, int channels) {
  FileBench(state, rateHz, channels, [](audio::FrameSource& source) {
    audio::CaptureBufferFeed feed(source, 0);
    audio::CaptureFrames buffer{};
    std::uint64_t buffers = 0;
    while (feed.Next(buffer)) {
      benchmark::DoNotOptimize(buffer.data());
      ++buffers;
    }
    return buffers;
  });
}

void BM_DecodeFile6000Stereo(benchmark::State& state) {
  DecodeFileBench(state, 6000, 2);
}
void BM_DecodeFile22050Mono(benchmark::State& state) {
  DecodeFileBench(state, 22050, 1);
}
void BM_FeedFile6000Stereo(benchmark::State& state) {
  FeedFileBench(state, 6000, 2);
}
void BM_FeedFile22050Mono(benchmark::State& state) {
  FeedFileBench(state, 22050, 1);
}
BENCHMARK(BM_DecodeFile6000Stereo)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeFile22050Mono)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FeedFile6000Stereo)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FeedFile22050Mono)->Unit(benchmark::kMillisecond)->UseRealTime();

// The enhanced decoder on one buffer at a time.
void EnhancedBufferBench(benchmark::State& state, int quietMs) {
  core::EnhancedDecoder decoder;
  decoder.SetToneSet(core::BuiltInToneSet(core::kModeZvei));
  BufferBench(
      state, [&](core::CaptureBuffer buffer) { return decoder.AnalyseBuffer(buffer); }, quietMs);
}
void BM_EnhancedAnalyseBuffer(benchmark::State& state) {
  EnhancedBufferBench(state, 0);
}
BENCHMARK(BM_EnhancedAnalyseBuffer);

// The same with a call every 30 s: what a station mostly hears.
void BM_EnhancedAnalyseBufferQuiet(benchmark::State& state) {
  EnhancedBufferBench(state, 14650);
}
BENCHMARK(BM_EnhancedAnalyseBufferQuiet);

void BM_EnhancedDecodeFile6000Stereo(benchmark::State& state) {
  DecodeFileBench(state, 6000, 2, core::DecoderChoice::kEnhanced);
}
void BM_EnhancedDecodeFile22050Mono(benchmark::State& state) {
  DecodeFileBench(state, 22050, 1, core::DecoderChoice::kEnhanced);
}
BENCHMARK(BM_EnhancedDecodeFile6000Stereo)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EnhancedDecodeFile22050Mono)->Unit(benchmark::kMillisecond)->UseRealTime();

// The trailer detector on one buffer at a time: an alarm (the call twice,
// the wake tone, the call again, the fire double tone) in noise at 10 dB,
// cycled; it runs beside the decoders on the capture thread. `quiet`: noise
// only, what it mostly hears.
void TrailerBench(benchmark::State& state, bool quiet) {
  testsupport::CallSignal call;
  call.levelDbfs = -20;
  call.trailMs = 600;
  const double amplitude = testsupport::AmplitudeOf(-20);
  std::vector<double> samples;
  double phase1 = 0.0;
  double phase2 = 0.0;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 2; ++i) {
      const auto one = testsupport::MakeCall(call);
      samples.insert(samples.end(), one.begin(), one.end());
    }
    if (round == 0) {
      testsupport::AppendIntermittentTone(samples, 6000, 2600, amplitude, 800, 300, 5, phase1);
    } else {
      testsupport::AppendDoubleTone(samples, 6000, 675, 1240, amplitude, 5000, phase1, phase2);
    }
  }
  if (quiet) {
    std::fill(samples.begin(), samples.end(), 0.0);
  }
  testsupport::AddNoise(samples, testsupport::NoiseSigmaFor(amplitude, 10), 3);
  const auto stereo = testsupport::ToCaptureStereo(samples);
  const std::size_t buffers = stereo.size() / core::kBufferSamples;
  core::TrailerDetector detector;
  std::size_t i = 0;
  std::uint32_t tick = 0;
  for (auto _ : state) {
    detector.AnalyseBuffer(core::CaptureBuffer(stereo.data() + (i % buffers) * core::kBufferSamples,
                                               core::kBufferSamples),
                           tick);
    tick += 21;
    ++i;
  }
  state.counters["x_realtime"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * core::kBufferFrames / core::kCaptureRateHz,
      benchmark::Counter::kIsRate);
}
void BM_TrailerAnalyseBuffer(benchmark::State& state) {
  TrailerBench(state, false);
}
void BM_TrailerAnalyseBufferQuiet(benchmark::State& state) {
  TrailerBench(state, true);
}
BENCHMARK(BM_TrailerAnalyseBuffer);
BENCHMARK(BM_TrailerAnalyseBufferQuiet);

}  // namespace

BENCHMARK_MAIN();
