#include "tests/support/call_scoring.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "tests/support/interference.h"
#include "tests/support/signal_generator.h"

namespace sequelo::testsupport {
namespace {

class Collect final : public core::CodeHandler, public core::AnalysisLogWriter {
 public:
  void HandleReceivedCode(std::string_view code) override {
    codes.push_back({std::string(code), buffer});
  }
  void WriteAnalysisLine(std::string_view line) override {
    if (lines != nullptr) {
      lines->emplace_back(line);
    }
  }
  std::vector<DecodedCode> codes;
  std::vector<std::string>* lines = nullptr;
  std::uint64_t buffer = 0;
};

std::uint32_t TickOf(std::uint64_t buffer) {
  return static_cast<std::uint32_t>(buffer * core::kBufferFrames * 1000 / core::kCaptureRateHz);
}

}  // namespace

std::vector<DecodedCode> DecodeMono6000With(core::DecoderChoice choice,
                                            const std::vector<double>& samples, int modeIndex,
                                            std::vector<std::string>* lines, bool everyRun) {
  core::ManualTickClock clock;
  core::SelectableDecoder decoder(clock);
  decoder.Enhanced().SetEveryRun(everyRun);
  decoder.SetToneSet(core::BuiltInToneSet(modeIndex));
  decoder.SetChoice(choice);
  decoder.SetAnalysisLog(lines != nullptr);
  Collect collect;
  collect.lines = lines;
  decoder.SetSinks({nullptr, &collect, &collect});
  std::vector<std::int16_t> stereo = ToCaptureStereo(samples);
  stereo.resize(
      (stereo.size() + core::kBufferSamples - 1) / core::kBufferSamples * core::kBufferSamples, 0);
  for (std::uint64_t i = 0; i * core::kBufferSamples < stereo.size(); ++i) {
    clock.Set(TickOf(i));
    collect.buffer = i;
    decoder.AnalyseBuffer(
        core::CaptureBuffer(stereo.data() + i * core::kBufferSamples, core::kBufferSamples));
  }
  return collect.codes;
}

namespace {

// Only the chosen decoder, on whole buffers with the audio clock: the batches
// run thousands of calls, and the other decoder would only cost time.
std::vector<std::string> DecodeOnly(core::DecoderChoice choice, const std::vector<double>& samples,
                                    int modeIndex) {
  core::ManualTickClock clock;
  core::ToneDecoder standard(clock);
  core::EnhancedDecoder enhanced;
  Collect collect;
  standard.SetSinks({nullptr, &collect, nullptr});
  enhanced.SetSinks({nullptr, &collect, nullptr});
  standard.SetToneSet(core::BuiltInToneSet(modeIndex));
  enhanced.SetToneSet(core::BuiltInToneSet(modeIndex));
  std::vector<std::int16_t> stereo = ToCaptureStereo(samples);
  stereo.resize(
      (stereo.size() + core::kBufferSamples - 1) / core::kBufferSamples * core::kBufferSamples, 0);
  for (std::uint64_t i = 0; i * core::kBufferSamples < stereo.size(); ++i) {
    clock.Set(TickOf(i));
    const core::CaptureBuffer buffer(stereo.data() + i * core::kBufferSamples,
                                     core::kBufferSamples);
    if (choice == core::DecoderChoice::kEnhanced) {
      enhanced.AnalyseBuffer(buffer);
    } else {
      standard.AnalyseBuffer(buffer);
    }
  }
  return CodesOf(collect.codes);
}

}  // namespace

CallBatch ThroughInterference(int modeIndex, int kind, double sirDb, int calls,
                              std::uint32_t seedBase) {
  CallBatch batch;
  batch.modeIndex = modeIndex;
  batch.toneMs = core::BuiltInToneSet(modeIndex)->toneMs;
  batch.snrDb = 30.0;
  batch.interference = kind;
  batch.sirDb = sirDb;
  batch.calls = calls;
  batch.seed =
      seedBase + 10U * static_cast<std::uint32_t>(modeIndex) + static_cast<std::uint32_t>(sirDb);
  return batch;
}

std::uint32_t BatchCodeState(const CallBatch& batch) {
  return batch.seed * 2654435761U + 17U;
}

CallSignal BatchCall(const CallBatch& batch, int i, std::uint32_t& codeState) {
  CallSignal call;
  call.code = RandomCode(codeState);
  if (batch.separator != '\0') {
    call.code += batch.separator + RandomCode(codeState);
  }
  call.modeIndex = batch.modeIndex;
  call.levelDbfs = batch.levelDbfs;
  call.snrDb = batch.snrDb;
  call.toneMs = batch.toneMs;
  call.offsetRelative = batch.offsetRelative;
  call.speedRelative = batch.speedRelative;
  call.radioBand = batch.radioBand;
  call.seed = batch.seed * 100003U + static_cast<std::uint32_t>(i);
  call.leadMs = 250.0 + (i % 13) * 1.7;
  call.trailMs = 400.0;
  call.startPhase = i * 0.37;
  return call;
}

BatchScore ScoreCalls(core::DecoderChoice choice, const CallBatch& batch) {
  BatchScore score;
  std::uint32_t codeState = BatchCodeState(batch);
  std::optional<InterferenceStream> stream;
  if (batch.interference >= 0) {
    stream.emplace(static_cast<InterferenceKind>(batch.interference), batch.seed);
  }
  for (int i = 0; i < batch.calls; ++i) {
    const CallSignal call = BatchCall(batch, i, codeState);
    auto samples = MakeCall(call);
    if (stream) {
      const auto through = BusyStretch(*stream, samples.size(), AmplitudeOf(call.levelDbfs),
                                       std::pow(10.0, -batch.sirDb / 10.0));
      for (std::size_t n = 0; n < samples.size(); ++n) {
        samples[n] += through[n];
      }
    }
    bool found = false;
    for (const auto& code : DecodeOnly(choice, samples, batch.modeIndex)) {
      found = found || code == call.code;
      score.wrong += code == call.code ? 0 : 1;
    }
    ++score.calls;
    score.decoded += found ? 1 : 0;
  }
  return score;
}

FastGaussian::FastGaussian(std::uint64_t seed) {
  // splitmix64 spreads the seed over the state.
  for (auto& word : s_) {
    seed += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = seed;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    word = z ^ (z >> 31);
  }
}

std::uint64_t FastGaussian::NextBits() {
  const auto rotl = [](std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); };
  const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
  const std::uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

double FastGaussian::Next() {
  if (hasSpare_) {
    hasSpare_ = false;
    return spare_;
  }
  for (;;) {
    const double u = static_cast<double>(NextBits() >> 11) * 0x1.0p-52 - 1.0;
    const double v = static_cast<double>(NextBits() >> 11) * 0x1.0p-52 - 1.0;
    const double s = u * u + v * v;
    if (s > 0.0 && s < 1.0) {
      const double factor = std::sqrt(-2.0 * std::log(s) / s);
      spare_ = v * factor;
      hasSpare_ = true;
      return u * factor;
    }
  }
}

std::vector<std::string> FeedAudio(core::DecoderChoice choice, int modeIndex, double seconds,
                                   const std::function<void(double* mono, std::size_t n)>& fill) {
  // Only the chosen decoder runs: hours of audio through both would double
  // the time of the long tests for nothing.
  core::ManualTickClock clock;
  core::ToneDecoder standard(clock);
  core::EnhancedDecoder enhanced;
  Collect collect;
  standard.SetSinks({nullptr, &collect, &collect});
  enhanced.SetSinks({nullptr, &collect, &collect});
  const bool useEnhanced = choice == core::DecoderChoice::kEnhanced;
  standard.SetToneSet(core::BuiltInToneSet(modeIndex));
  enhanced.SetToneSet(core::BuiltInToneSet(modeIndex));
  const auto buffers = static_cast<std::uint64_t>(seconds * core::kCaptureRateHz /
                                                  static_cast<double>(core::kBufferFrames));
  std::array<double, core::kBufferFrames> mono{};
  std::array<std::int16_t, core::kBufferSamples> stereo{};
  for (std::uint64_t i = 0; i < buffers; ++i) {
    fill(mono.data(), mono.size());
    for (std::size_t n = 0; n < mono.size(); ++n) {
      const double v = std::clamp(std::nearbyint(mono[n] * 32768.0), -32768.0, 32767.0);
      stereo[2 * n] = static_cast<std::int16_t>(v);
    }
    clock.Set(TickOf(i));
    collect.buffer = i;
    if (useEnhanced) {
      enhanced.AnalyseBuffer(core::CaptureBuffer(stereo));
    } else {
      standard.AnalyseBuffer(core::CaptureBuffer(stereo));
    }
  }
  return CodesOf(collect.codes);
}

}  // namespace sequelo::testsupport
