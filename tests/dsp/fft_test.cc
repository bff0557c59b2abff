// The FFT against a direct DFT, its windows and bit-reversal table, and where tones land.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <stdexcept>
#include <vector>

#include "dsp/Fft.h"

namespace dsp {
namespace {

constexpr double kPi = 3.14159265358979323846;

double WindowValue(int type, int j, int n) {
  const double x = 2 * kPi * j / n;
  switch (type) {
    case 1: return 0.5 - 0.5 * std::cos(x);
    case 2: return 0.54 - 0.46 * std::cos(x);
    case 3: return 0.42 - 0.5 * std::cos(x) + 0.08 * std::cos(2 * x);
    default: return 1.0;
  }
}

std::vector<int32_t> Spectrum(Fft& fft, const std::vector<int16_t>& x) {
  for (size_t i = 0; i < x.size(); ++i) fft.SetSample(static_cast<int32_t>(i), x[i]);
  std::vector<int32_t> out(x.size() / 2);
  fft.Calculate(out.data());
  return out;
}

TEST(Fft, MatchesADirectTransformForEveryWindow) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> sample(-32768, 32767);
  for (int n : {2, 8, 64, 512}) {
    for (int type : {0, 1, 2, 3, 7}) {
      std::vector<int16_t> x(static_cast<size_t>(n));
      for (int16_t& v : x) v = static_cast<int16_t>(sample(rng));
      Fft fft(n, type);
      const std::vector<int32_t> out = Spectrum(fft, x);
      for (int k = 0; k < n / 2; ++k) {
        std::complex<double> sum = 0;
        for (int j = 0; j < n; ++j) {
          sum += x[static_cast<size_t>(j)] * WindowValue(type, j, n) *
                 std::polar(1.0, -2 * kPi * k * j / n);
        }
        const double db = 20 * std::log10(std::abs(sum) / std::sqrt(n));
        // Truncation toward zero may fall either side of a whole decibel in the last bits.
        EXPECT_NEAR(out[static_cast<size_t>(k)], std::trunc(db), 1.0)
            << "n " << n << " window " << type << " bin " << k;
      }
    }
  }
}

TEST(Fft, WindowsArePeriodicWithDenominatorN) {
  // The transform test above covers every value; here the shape: 1.0 at n/2, w[j] = w[n - j].
  const int n = 512;
  for (int type : {1, 2, 3}) {
    Fft fft(n, type);
    EXPECT_NEAR(fft.Window()[n / 2], 1.0, 1e-12);
    EXPECT_NEAR(fft.Window()[1], fft.Window()[n - 1], 1e-12);
  }
  EXPECT_NEAR(Fft(n, 2).Window()[0], 0.08, 1e-12);
  for (int type : {0, -1, 4}) {
    const Fft rect(n, type);
    for (double w : rect.Window()) EXPECT_EQ(w, 1.0);
  }
}

TEST(Fft, BitReversalTableFor512) {
  Fft fft(512, 1);
  EXPECT_EQ(fft.Stages(), 9);
  const std::span<const int32_t> rev = fft.BitReversal();
  ASSERT_EQ(rev.size(), 512u);
  for (int j = 0; j < 512; ++j) {
    int r = 0;
    for (int b = 0; b < 9; ++b) r |= ((j >> b) & 1) << (8 - b);
    EXPECT_EQ(rev[static_cast<size_t>(j)], r) << j;
  }
}

TEST(Fft, FullScaleSineAtBinKPeaksThere) {
  for (int type : {0, 1}) {
    Fft fft(512, type);
    for (int k : {1, 5, 37, 100, 200, 255}) {
      std::vector<int16_t> x(512);
      for (int j = 0; j < 512; ++j) {
        x[static_cast<size_t>(j)] = static_cast<int16_t>(std::lround(32767 * std::sin(2 * kPi * k * j / 512)));
      }
      const std::vector<int32_t> out = Spectrum(fft, x);
      EXPECT_EQ(std::max_element(out.begin(), out.end()) - out.begin(), k) << "window " << type;
      // |X[k]| = A n / 2 (halved again by the Hann window), relative to sqrt(n).
      const double expect = 20 * std::log10(32767.0 * 256 / std::sqrt(512.0) * (type == 1 ? 0.5 : 1));
      EXPECT_NEAR(out[static_cast<size_t>(k)], expect, 1.0) << "window " << type << " bin " << k;
    }
  }
}

TEST(Fft, ConstantPeaksAtBinZero) {
  Fft fft(512, 1);
  const std::vector<int32_t> out = Spectrum(fft, std::vector<int16_t>(512, -20000));
  EXPECT_EQ(std::max_element(out.begin(), out.end()) - out.begin(), 0);
}

TEST(Fft, SilentBinsComeOutFarBelowAnySignal) {
  Fft fft(512, 1);
  const std::vector<int32_t> silent = Spectrum(fft, std::vector<int16_t>(512, 0));
  for (int32_t v : silent) EXPECT_EQ(v, Fft::kFloorDb);
  // Smallest possible signal: one sample of 1 (rectangular, so every bin has |X| = 1).
  Fft rect(512, 0);
  std::vector<int16_t> x(512, 0);
  x[3] = 1;
  for (int32_t v : Spectrum(rect, x)) EXPECT_GT(v, Fft::kFloorDb + 900);
  // Input is replaced, not accumulated, by the next round of samples.
  for (int32_t v : Spectrum(fft, std::vector<int16_t>(512, 0))) EXPECT_EQ(v, Fft::kFloorDb);
}

TEST(Fft, RejectsBadSizesAndIndices) {
  for (int n : {0, 1, 3, 500, -512}) EXPECT_THROW(Fft(n, 1), std::invalid_argument) << n;
  Fft fft(16, 1);
  EXPECT_THROW(fft.SetSample(16, 1), std::out_of_range);
  EXPECT_THROW(fft.SetSample(-1, 1), std::out_of_range);
}

}  // namespace
}  // namespace dsp
