// Decoding of recorded or piped audio. The decoder's clock is the audio
// clock: buffer i is analysed at tick floor(i x 128 x 1000 / 6000) ms, so a
// recording decodes the same on any machine at any speed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "audio/frame_source.h"
#include "core/selectable_decoder.h"
#include "core/tone_detector.h"
#include "core/tone_set.h"

namespace sequelo::app {

struct DecodeOptions {
  int modeIndex = core::kModeZvei;
  std::string modeName;  // as the operator named it (ZVEI1 or ZVEI); empty: the list's name
  double threshold = core::kDefaultThreshold;  // 0: calibrate from the first buffer
  int channel = 0;                             // 0 left, 1 right
  bool analysisLog = false;
  core::DecoderChoice decoder = core::DecoderChoice::kStandard;
};

// Told of what the decoder finds. Times are ms of audio from the start of the
// input, at the end of the buffer concerned.
class DecodeListener {
 public:
  virtual ~DecodeListener() = default;
  virtual void OnCode(std::uint64_t timeMs, std::string_view code) = 0;
  virtual void OnAnalysisLine(std::uint64_t timeMs, std::string_view line) = 0;
};

struct DecodeResult {
  bool ok = true;
  std::string error;          // why not, when !ok
  std::uint64_t buffers = 0;  // capture buffers analysed
  std::uint64_t codes = 0;
};

// Tick of the decoder's clock for buffer `index` (from 0), and the audio time
// at the end of that buffer.
std::uint32_t BufferTickMs(std::uint64_t index);
std::uint64_t BufferEndMs(std::uint64_t index);

// Decodes the whole source. A fresh decoder per call: sources do not share
// state. Stops at the end of the audio or at a read error (codes found before
// it are still reported).
DecodeResult DecodeFrames(audio::FrameSource& source, const DecodeOptions& options,
                          DecodeListener& listener);

}  // namespace sequelo::app
