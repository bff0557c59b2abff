// Frequency response of a stored section, evaluated in double straight from its transfer function
// H(z) = b0 (1 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2) at z = e^{j omega}.
#pragma once

#include <cmath>
#include <complex>

#include "dsp/Equalizer.h"

namespace dsp::testing {

inline constexpr double kPi = 3.14159265358979323846;

inline std::complex<double> Response(const CEqualizer::Coefficients& c, double f, double fs) {
  const std::complex<double> zi = std::polar(1.0, -2.0 * kPi * f / fs);  // z^-1
  const std::complex<double> num = 1.0 + static_cast<double>(c.b1) * zi + static_cast<double>(c.b2) * zi * zi;
  const std::complex<double> den = 1.0 + static_cast<double>(c.a1) * zi + static_cast<double>(c.a2) * zi * zi;
  return static_cast<double>(c.b0) * num / den;
}

inline double Db(double linear) { return 20.0 * std::log10(linear); }

// Magnitude of the analog section (s^2 + 2 zz w s + w^2) / (s^2 + 2 zp w s + w^2) at s = j 2 pi f,
// with the dampings a peaking band of gain g and quality q has.
inline double AnalogMagnitude(double f, double f0, double q, double g) {
  const double zp = g >= 1 ? 1 / (2 * q) : 1 / (2 * q) / g;
  const double zz = g >= 1 ? zp * g : 1 / (2 * q);
  const double w = 2 * kPi * f0;
  const std::complex<double> s(0, 2 * kPi * f);
  return std::abs((s * s + 2 * zz * w * s + w * w) / (s * s + 2 * zp * w * s + w * w));
}

}  // namespace dsp::testing
