// A radix-2 FFT that turns a block of 16-bit samples into a magnitude spectrum in whole decibels
// (relative to sqrt(n)). The window is applied as each sample is set.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace dsp {

class Fft {
 public:
  enum WindowType : int32_t { kRectangular = 0, kHann = 1, kHamming = 2, kBlackman = 3 };

  // The value given for a bin whose magnitude is 0 (and the floor for any smaller result).
  static constexpr int32_t kFloorDb = -1000;

  // n must be a power of two, at least 2 (std::invalid_argument otherwise). Window types other
  // than 1 (Hann), 2 (Hamming) and 3 (Blackman) give the rectangular window.
  Fft(int32_t n, int32_t window_type);
  Fft(const Fft&) = delete;
  Fft& operator=(const Fft&) = delete;
  ~Fft() = default;

  // Stores value x window[index] as input sample index (std::out_of_range outside 0..n-1).
  void SetSample(int32_t index, int16_t value);
  // Transforms the current input and writes n/2 values, 20 log10(|X[i]| / sqrt(n)) truncated
  // toward zero, to out.
  void Calculate(int32_t* out);

  int32_t Size() const { return n_; }
  int32_t Stages() const { return stages_; }
  std::span<const int32_t> BitReversal() const { return rev_; }
  std::span<const double> Window() const { return window_; }

 private:
  struct Complex {
    double re = 0, im = 0;
  };

  int32_t n_;
  int32_t stages_;
  double sqrt_n_;
  std::vector<int32_t> rev_;
  std::vector<Complex> work_;
  // twiddle_[s - 1][k] = (cos(2 pi k / 2^s), -sin(2 pi k / 2^s)) for k < 2^(s-1), the entries
  // stage s uses.
  std::vector<std::vector<Complex>> twiddle_;
  std::vector<double> input_;
  std::vector<double> window_;
};

}  // namespace dsp
