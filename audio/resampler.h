// Sample-rate conversion of one channel of normalised floats by polyphase FIR
// filters of our own (Kaiser-windowed sinc), made for the decoders:
//  - flat (within 0.1 dB) up to 47.5 % of the lower of the two rates: 2850 Hz
//    when the output is 6000 Hz, so that even the top tone 3 % high (2884 Hz)
//    loses only 0.1 dB;
//  - at least 60 dB against anything that would fold into that band.
// A large step down first goes through an integer decimation (22050 -> 7350
// -> 6000 Hz, 48000 -> 8000 -> 6000 Hz), so the sharp filter runs at a low
// rate. Output is aligned with the input (the filter delay is taken out), and
// N input samples give ceil(N x out / in) output samples once flushed.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace sequelo::audio {

class FirStage;

class Resampler {
 public:
  // Rates in whole hertz from 1 to 10,000,000; anything else leaves the
  // resampler not Ok() with Error() saying why.
  Resampler(double inRateHz, double outRateHz);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  bool Ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }

  // Converts `count` input samples and appends the output to `out`.
  bool Process(const float* in, std::size_t count, std::vector<float>& out);
  // Appends the tail held back for the filters at the end of the input; the
  // stream ends here, and a later Process or Flush fails.
  bool Flush(std::vector<float>& out);

 private:
  // False, with Error() set, once the rates were refused or the stream ended.
  bool Open();

  std::unique_ptr<FirStage> decimate_;  // integer step down first, or none
  std::unique_ptr<FirStage> convert_;
  std::vector<float> between_;
  bool flushed_ = false;
  std::string error_;
};

// A whole signal of normalised doubles at once; empty if the rates are refused.
std::vector<double> ResampleWhole(const std::vector<double>& in, double inRateHz, double outRateHz);

}  // namespace sequelo::audio
