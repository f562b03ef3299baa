// Runs the decoder over test audio exactly as the capture thread would, with
// the audio clock (buffer i at floor(i x 128000 / 6000) ms).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/decoder_sinks.h"
#include "core/tone_detector.h"
#include "core/tone_set.h"

namespace sequelo::testsupport {

struct DecodedCode {
  std::string code;
  std::uint64_t buffer;  // index of the buffer that completed it
};

// Decodes mono 6000 Hz samples (normalised) placed on the first channel.
std::vector<DecodedCode> DecodeMono6000(const std::vector<double>& samples, int modeIndex,
                                        double threshold = core::kDefaultThreshold);

// Collects codes from the capture thread; read from any thread.
class CodeCollector final : public core::CodeHandler {
 public:
  void HandleReceivedCode(std::string_view code) override {
    std::lock_guard lock(mutex_);
    codes_.emplace_back(code);
  }
  std::vector<std::string> Get() {
    std::lock_guard lock(mutex_);
    return codes_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> codes_;
};

// Codes only.
std::vector<std::string> CodesOf(const std::vector<DecodedCode>& decoded);

// The longest run of quiet samples (|s| below 5 % of the loudest) between
// the first and the last loud one, in ms: a gap inside a burst of tones.
double LongestGapMs(const std::vector<std::int16_t>& mono, int rateHz);

// Decodes 6000 Hz interleaved stereo capture audio (whole buffers).
std::vector<std::string> DecodeCapture6000(const std::vector<std::int16_t>& stereo, int modeIndex);

struct NoiseScore {
  int decoded = 0;  // calls whose own code came out
  int wrong = 0;    // codes that came out but were not sent
};

// Decodes `calls` random codes at -20 dBFS in white noise at `snrDb`, each at
// another alignment and phase; noise seeds run from `seed`.
NoiseScore ScoreInNoise(int modeIndex, double snrDb, int calls, std::uint32_t seed);

}  // namespace sequelo::testsupport
