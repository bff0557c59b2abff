#include "dsp/Fft.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace dsp {

Fft::Fft(int32_t n, int32_t window_type) : n_(n) {
  if (n < 2 || (n & (n - 1)) != 0) {
    throw std::invalid_argument("Fft: size " + std::to_string(n) + " is not a power of two >= 2");
  }
  stages_ = 0;
  for (uint32_t v = static_cast<uint32_t>(n - 1); v != 0; v >>= 1) ++stages_;
  sqrt_n_ = std::sqrt(static_cast<double>(n));
  const double pi = 2.0 * std::asin(1.0);

  // Reversed increment: add the top bit and carry downwards.
  rev_.assign(n, 0);
  int32_t r = 0;
  for (int32_t j = 1; j <= n - 2; ++j) {
    int32_t b = n / 2;
    while (r >= b) {
      r -= b;
      b /= 2;
    }
    r += b;
    rev_[j] = r;
  }
  rev_[n - 1] = n - 1;

  work_.assign(n, Complex{});
  twiddle_.resize(stages_);
  for (int32_t s = 1; s <= stages_; ++s) {
    const int32_t half = 1 << (s - 1);
    const double span = static_cast<double>(2 * half);
    std::vector<Complex>& t = twiddle_[s - 1];
    t.resize(half);
    for (int32_t k = 0; k < half; ++k) {
      t[k] = {std::cos(2.0 * pi * k / span), -std::sin(2.0 * pi * k / span)};
    }
  }

  input_.assign(n, 0.0);
  window_.resize(n);
  for (int32_t j = 0; j < n; ++j) {
    const double x = 2.0 * pi * j / n;
    switch (window_type) {
      case kHann: window_[j] = 0.5 - 0.5 * std::cos(x); break;
      case kHamming: window_[j] = 0.54 - 0.46 * std::cos(x); break;
      case kBlackman: window_[j] = 0.42 - 0.5 * std::cos(x) + 0.08 * std::cos(2.0 * x); break;
      default: window_[j] = 1.0; break;
    }
  }
}

void Fft::SetSample(int32_t index, int16_t value) {
  if (index < 0 || index >= n_) {
    throw std::out_of_range("Fft::SetSample: index " + std::to_string(index) + " outside 0.." +
                            std::to_string(n_ - 1));
  }
  input_[index] = value * window_[index];
}

void Fft::Calculate(int32_t* out) {
  for (int32_t i = 0; i < n_; ++i) work_[rev_[i]] = {input_[i], 0.0};

  for (int32_t s = 1; s <= stages_; ++s) {
    const int32_t half = 1 << (s - 1);
    const int32_t span = 2 * half;
    const std::vector<Complex>& tw = twiddle_[s - 1];
    for (int32_t k = 0; k < half; ++k) {
      const Complex w = tw[k];
      for (int32_t a = k; a < n_; a += span) {
        Complex& lo = work_[a];
        Complex& hi = work_[a + half];
        const Complex t{w.re * hi.re - w.im * hi.im, w.re * hi.im + w.im * hi.re};
        hi = {lo.re - t.re, lo.im - t.im};
        lo = {lo.re + t.re, lo.im + t.im};
      }
    }
  }

  for (int32_t i = 0; i < n_ / 2; ++i) {
    const double magnitude = std::sqrt(work_[i].re * work_[i].re + work_[i].im * work_[i].im);
    // log10(0) is -infinity, which no integer holds: a silent bin takes the floor instead.
    const double db = magnitude > 0.0 ? 20.0 * std::log10(magnitude / sqrt_n_) : kFloorDb;
    out[i] = db > kFloorDb ? static_cast<int32_t>(std::trunc(db)) : kFloorDb;
  }
}

}  // namespace dsp
