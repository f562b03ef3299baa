#include "tests/support/decode_helpers.h"

#include <algorithm>
#include <cstdlib>

#include "core/tone_decoder.h"
#include "tests/support/signal_generator.h"

namespace sequelo::testsupport {
namespace {

class Collect final : public core::CodeHandler {
 public:
  void HandleReceivedCode(std::string_view code) override {
    codes.push_back({std::string(code), buffer});
  }
  std::vector<DecodedCode> codes;
  std::uint64_t buffer = 0;
};

}  // namespace

std::vector<DecodedCode> DecodeMono6000(const std::vector<double>& samples, int modeIndex,
                                        double threshold) {
  core::ManualTickClock clock;
  core::ToneDecoder decoder(clock, threshold);
  decoder.SetToneSet(core::BuiltInToneSet(modeIndex));
  Collect collect;
  decoder.SetSinks({nullptr, &collect, nullptr});
  std::vector<std::int16_t> stereo = ToCaptureStereo(samples);
  stereo.resize(
      (stereo.size() + core::kBufferSamples - 1) / core::kBufferSamples * core::kBufferSamples, 0);
  for (std::uint64_t i = 0; i * core::kBufferSamples < stereo.size(); ++i) {
    clock.Set(static_cast<std::uint32_t>(i * core::kBufferFrames * 1000 / core::kCaptureRateHz));
    collect.buffer = i;
    decoder.AnalyseBuffer(
        core::CaptureBuffer(stereo.data() + i * core::kBufferSamples, core::kBufferSamples));
  }
  return collect.codes;
}

std::vector<std::string> CodesOf(const std::vector<DecodedCode>& decoded) {
  std::vector<std::string> codes;
  for (const auto& d : decoded) {
    codes.push_back(d.code);
  }
  return codes;
}

double LongestGapMs(const std::vector<std::int16_t>& mono, int rateHz) {
  int peak = 0;
  for (std::int16_t v : mono) {
    peak = std::max(peak, std::abs(static_cast<int>(v)));
  }
  const int quiet = peak / 20;
  std::size_t first = mono.size();
  std::size_t last = 0;
  for (std::size_t i = 0; i < mono.size(); ++i) {
    if (std::abs(static_cast<int>(mono[i])) > quiet) {
      first = std::min(first, i);
      last = i;
    }
  }
  std::size_t longest = 0;
  std::size_t run = 0;
  for (std::size_t i = first; i <= last && i < mono.size(); ++i) {
    run = std::abs(static_cast<int>(mono[i])) > quiet ? 0 : run + 1;
    longest = std::max(longest, run);
  }
  return 1000.0 * static_cast<double>(longest) / rateHz;
}

std::vector<std::string> DecodeCapture6000(const std::vector<std::int16_t>& stereo, int modeIndex) {
  std::vector<double> first;
  for (std::size_t i = 0; i < stereo.size(); i += 2) {
    first.push_back(stereo[i] / 32768.0);
  }
  return CodesOf(DecodeMono6000(first, modeIndex));
}

NoiseScore ScoreInNoise(int modeIndex, double snrDb, int calls, std::uint32_t seed) {
  NoiseScore score;
  std::uint32_t codeState = seed;
  for (int i = 0; i < calls; ++i) {
    CallSignal call;
    call.code = RandomCode(codeState);
    call.modeIndex = modeIndex;
    call.levelDbfs = -20.0;
    call.snrDb = snrDb;
    call.seed = seed + static_cast<std::uint32_t>(i);
    call.leadMs = 200.0 + (i % 11) * 1.9;
    call.startPhase = i * 0.37;
    bool found = false;
    for (const auto& decoded : DecodeMono6000(MakeCall(call), modeIndex)) {
      found = found || decoded.code == call.code;
      score.wrong += decoded.code == call.code ? 0 : 1;
    }
    score.decoded += found ? 1 : 0;
  }
  return score;
}

}  // namespace sequelo::testsupport
