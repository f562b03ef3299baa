#include "audio/resampler.h"

#include <soxr.h>

#include <cmath>

namespace sequelo::audio {

Resampler::Resampler(double inRateHz, double outRateHz) : ratio_(outRateHz / inRateHz) {
  soxr_error_t err = nullptr;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_ = soxr_create(inRateHz, outRateHz, 1, &err, &io, &quality, nullptr);
  if (err != nullptr) {
    error_ = err;
    soxr_delete(soxr_);
    soxr_ = nullptr;
  }
}

Resampler::~Resampler() {
  soxr_delete(soxr_);
}

bool Resampler::Process(const float* in, std::size_t count, std::vector<float>& out) {
  if (soxr_ == nullptr) {
    return false;
  }
  std::size_t consumed = 0;
  // Room for this block's output plus what soxr still holds back, kept
  // between calls so that it is not cleared each time.
  const std::size_t room =
      static_cast<std::size_t>(std::ceil(static_cast<double>(count) * ratio_)) + 1024;
  if (scratch_.size() < room) {
    scratch_.resize(room);
  }
  for (;;) {
    std::size_t done = 0;
    std::size_t used = 0;
    const soxr_error_t err = soxr_process(soxr_, in == nullptr ? nullptr : in + consumed,
                                          count - consumed, &used, scratch_.data(), room, &done);
    out.insert(out.end(), scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(done));
    if (err != nullptr) {
      error_ = err;
      return false;
    }
    consumed += used;
    // Input fully taken and the output did not fill: nothing is left over.
    if (consumed >= count && done < room) {
      return true;
    }
  }
}

std::vector<double> ResampleWhole(const std::vector<double>& in, double inRateHz,
                                  double outRateHz) {
  Resampler resampler(inRateHz, outRateHz);
  const std::vector<float> samples(in.begin(), in.end());
  std::vector<float> out;
  if (!resampler.Process(samples.data(), samples.size(), out) || !resampler.Flush(out)) {
    return {};
  }
  return {out.begin(), out.end()};
}

}  // namespace sequelo::audio
