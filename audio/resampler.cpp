#include "audio/resampler.h"

#include <soxr.h>

#include <cmath>

namespace sequelo::audio {

Resampler::Resampler(double inRateHz, double outRateHz) : ratio_(outRateHz / inRateHz) {
  soxr_error_t err = nullptr;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
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

bool Resampler::Process(const double* in, std::size_t count, std::vector<double>& out) {
  if (soxr_ == nullptr) {
    return false;
  }
  std::size_t consumed = 0;
  // Room for this block's output plus what soxr still holds back.
  const std::size_t room =
      static_cast<std::size_t>(std::ceil(static_cast<double>(count) * ratio_)) + 1024;
  for (;;) {
    const std::size_t old = out.size();
    out.resize(old + room);
    std::size_t done = 0;
    std::size_t used = 0;
    const soxr_error_t err = soxr_process(soxr_, in == nullptr ? nullptr : in + consumed,
                                          count - consumed, &used, out.data() + old, room, &done);
    out.resize(old + done);
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

}  // namespace sequelo::audio
