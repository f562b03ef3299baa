// Turns any frame source into the decoder's capture buffers: 128 frames of
// 6000 Hz, 16-bit, two channels. The chosen channel becomes the first
// (analysed) channel. Audio at 6000 Hz is taken as it is (a 16-bit stereo
// 6000 Hz file arrives bit for bit); any other rate is resampled, and the
// second channel is then silent.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/frame_source.h"
#include "audio/resampler.h"
#include "core/buffer_analysis.h"

namespace sequelo::audio {

using CaptureFrames = std::array<std::int16_t, core::kBufferSamples>;

// Normalised double to 16-bit: scaled by 32768, rounded, clipped.
std::int16_t ToPcm16(double sample);

class CaptureBufferFeed {
 public:
  // `channel`: 0 for the first (left), 1 for the second (right). `source`
  // must outlive the feed.
  CaptureBufferFeed(FrameSource& source, int channel);

  // Empty if the feed can run, else why not (e.g. no right channel).
  const std::string& SetupError() const { return setupError_; }

  // Fills the next buffer. Returns false when the audio is over; a last,
  // partial buffer is padded with silence and still returned. Check Error()
  // after false: it is empty at a normal end.
  bool Next(CaptureFrames& buffer);
  const std::string& Error() const { return error_; }

  bool Resampling() const { return resampler_ != nullptr; }

 private:
  bool Refill();

  FrameSource& source_;
  int channel_;
  std::unique_ptr<Resampler> resampler_;
  std::vector<float> readBlock_;  // interleaved frames from the source
  std::vector<float> mono_;       // chosen channel, before resampling
  std::vector<float> first_;      // first output channel at 6000 Hz
  std::vector<float> second_;     // second output channel at 6000 Hz
  std::size_t readPos_ = 0;       // next unread sample of first_/second_
  bool sourceDone_ = false;
  std::string setupError_;
  std::string error_;
};

}  // namespace sequelo::audio
