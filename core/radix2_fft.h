// A small complex radix-2 transform for the enhanced decoder's framing guard.
// The size is fixed at construction (a power of two); the twiddle table and
// the bit-reversal table are made there, so a transform allocates nothing.
// Not shared between threads: one instance per caller.
#pragma once

#include <cstddef>
#include <vector>

namespace sequelo::core {

class Radix2Fft {
 public:
  // `size` must be a power of two from 2 up; any other value is raised to the
  // next power of two.
  explicit Radix2Fft(std::size_t size);

  std::size_t Size() const { return size_; }
  // Bytes of the tables made at construction.
  std::size_t TableBytes() const {
    return (cos_.capacity() + sin_.capacity()) * sizeof(double) +
           reversed_.capacity() * sizeof(std::size_t);
  }

  // In place, forward, unscaled: X[m] = sum x[n] e^(-2 pi i m n / N). `re`
  // and `im` hold Size() values each.
  void Forward(double* re, double* im) const;

 private:
  std::size_t size_;
  std::vector<double> cos_;  // cos(2 pi k / N), k < N / 2
  std::vector<double> sin_;  // sin(2 pi k / N), k < N / 2
  std::vector<std::size_t> reversed_;
};

}  // namespace sequelo::core
