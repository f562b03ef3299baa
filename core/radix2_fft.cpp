#include "core/radix2_fft.h"

#include <cmath>
#include <numbers>
#include <utility>

namespace sequelo::core {

Radix2Fft::Radix2Fft(std::size_t size) : size_(2) {
  while (size_ < size) {
    size_ *= 2;
  }
  const std::size_t half = size_ / 2;
  cos_.resize(half);
  sin_.resize(half);
  for (std::size_t k = 0; k < half; ++k) {
    const double angle =
        2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(size_);
    cos_[k] = std::cos(angle);
    sin_[k] = std::sin(angle);
  }
  std::size_t bits = 0;
  while ((std::size_t{1} << bits) < size_) {
    ++bits;
  }
  reversed_.resize(size_);
  for (std::size_t i = 0; i < size_; ++i) {
    std::size_t r = 0;
    for (std::size_t b = 0; b < bits; ++b) {
      r |= ((i >> b) & 1U) << (bits - 1 - b);
    }
    reversed_[i] = r;
  }
}

void Radix2Fft::Forward(double* re, double* im) const {
  for (std::size_t i = 0; i < size_; ++i) {
    const std::size_t r = reversed_[i];
    if (r > i) {
      std::swap(re[i], re[r]);
      std::swap(im[i], im[r]);
    }
  }
  for (std::size_t span = 1; span < size_; span *= 2) {
    const std::size_t stride = size_ / (2 * span);  // twiddle step for this stage
    for (std::size_t start = 0; start < size_; start += 2 * span) {
      for (std::size_t k = 0; k < span; ++k) {
        const double wr = cos_[k * stride];
        const double wi = -sin_[k * stride];
        const std::size_t a = start + k;
        const std::size_t b = a + span;
        const double tr = re[b] * wr - im[b] * wi;
        const double ti = re[b] * wi + im[b] * wr;
        re[b] = re[a] - tr;
        im[b] = im[a] - ti;
        re[a] += tr;
        im[a] += ti;
      }
    }
  }
}

}  // namespace sequelo::core
