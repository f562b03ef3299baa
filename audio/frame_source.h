// A source of audio frames read in order: a sound file, raw samples from a
// pipe, or (in tests) memory. Samples are normalised floats, -1.0 .. <1.0,
// so that a 16-bit (or 24-bit) sample s arrives as exactly s / 32768 (s /
// 8388608).
#pragma once

#include <cstddef>
#include <string>

namespace sequelo::audio {

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual int Channels() const = 0;
  virtual double SampleRateHz() const = 0;
  // Reads up to `frames` interleaved frames into `out` (frames x Channels()
  // floats). Returns the number read; 0 at the end of the audio; -1 on a
  // read error, described by Error().
  virtual long Read(float* out, long frames) = 0;
  virtual std::string Error() const = 0;
};

}  // namespace sequelo::audio
