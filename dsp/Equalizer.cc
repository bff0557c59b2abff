#include "dsp/Equalizer.h"

#include <cmath>

namespace dsp {

namespace {

constexpr double kTwoPi = 6.28318530717958;
// e rounded to single precision: the radii are powers of this base.
constexpr double kE = 2.7182819843292236;

// Re cos(phi * sqrt(1 - zeta^2)) with the square root taken in the complex plane (polar form),
// so that it turns imaginary, and the cosine hyperbolic, once zeta exceeds 1.
double RealCosOfAngle(float phi, float zeta) {
  const double v = 1.0 - static_cast<double>(zeta) * zeta;
  const double magnitude = std::sqrt(std::fabs(v));
  const double half_arg = (v == 0.0 ? 0.0 : std::atan2(0.0, v)) / 2.0;
  const double a = phi * (magnitude * std::cos(half_arg));
  const double b = phi * (magnitude * std::sin(half_arg));
  // cos(a + ib) = cos a cosh b - i sin a sinh b
  return std::cos(a) * std::cosh(b);
}

double Square(double v) { return v * v; }

bool PositiveFinite(float v) { return std::isfinite(v) && v > 0.0f; }

// The recursion of one band, with its coefficients and state in locals for the length of a block.
// Sample k >= 2 of a block is b0*x[k] + b0*b1*x[k-1] + b0*b2*x[k-2] - a1*y[k-1] - a2*y[k-2],
// evaluated left to right in single precision; the first two samples of a block take their history
// from the previous block and sum the feedback terms first.
struct Recursion {
  Recursion(const CEqualizer::Coefficients& c, const CEqualizer::State& s)
      : b0(c.b0), c1(c.b0 * c.b1), c2(c.b0 * c.b2), a1(c.a1), a2(c.a2),
        i1(s.x1), i2(s.x2), o1(s.y1), o2(s.y2) {}

  float First(float x) {
    const float y = b0 * x + c1 * i1 + c2 * i2 - (a1 * o1 + a2 * o2);
    Shift(x, y);
    return y;
  }
  float Second(float x) { return First(x); }  // same form, history now partly from this block
  float Next(float x) {
    const float y = b0 * x + c1 * i1 + c2 * i2 - a1 * o1 - a2 * o2;
    Shift(x, y);
    return y;
  }
  void Shift(float x, float y) {
    i2 = i1;
    i1 = x;
    o2 = o1;
    o1 = y;
  }
  CEqualizer::State Save() const { return {i1, i2, o1, o2}; }

  float b0, c1, c2, a1, a2;
  float i1, i2, o1, o2;
};

}  // namespace

void CEqualizer::SetParam(float T, float f0, float q, float gain) {
  std::lock_guard lock(lock_);
  T_ = T;
  f0_ = f0;
  q_ = q;
  gain_ = gain;
  Design();
}

void CEqualizer::Design() {
  if (!PositiveFinite(T_) || !PositiveFinite(f0_) || !PositiveFinite(q_) ||
      !PositiveFinite(gain_)) {
    c_ = {1.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    return;
  }
  const float omega = static_cast<float>(kTwoPi * f0_);
  // Boost widens the zero pair, cut the pole pair: a cut is the boost with numerator and
  // denominator swapped.
  float zeta_z, zeta_p;
  if (gain_ >= 1.0f) {
    zeta_p = 1.0f / (2.0f * q_);
    zeta_z = zeta_p * gain_;
  } else {
    zeta_z = 1.0f / (2.0f * q_);
    zeta_p = zeta_z / gain_;
  }
  const float phi = omega * T_;
  const float rz = static_cast<float>(std::pow(kE, -static_cast<double>(phi) * zeta_z));
  const float rp = static_cast<float>(std::pow(kE, -static_cast<double>(phi) * zeta_p));

  Coefficients c;
  c.b1 = static_cast<float>(-2.0 * rz * RealCosOfAngle(phi, zeta_z));
  c.b2 = rz * rz;
  c.a1 = static_cast<float>(-2.0 * rp * RealCosOfAngle(phi, zeta_p));
  c.a2 = rp * rp;

  // Scale so that |H| at the centre frequency is the gain: |e^{j2phi} + b1 e^{jphi} + b2|^2 written
  // out for both polynomials.
  const double cos_phi = std::cos(static_cast<double>(phi));
  const double sin_phi = std::sin(static_cast<double>(phi));
  const double na = Square((1.0 + c.a2) * cos_phi + c.a1) + Square((1.0 - c.a2) * sin_phi);
  const double nb = Square((1.0 + c.b2) * cos_phi + c.b1) + Square((1.0 - c.b2) * sin_phi);
  c.b0 = static_cast<float>(gain_ * std::sqrt(na) / std::sqrt(nb));

  if (!std::isfinite(c.b0) || !std::isfinite(c.b1) || !std::isfinite(c.b2) ||
      !std::isfinite(c.a1) || !std::isfinite(c.a2)) {
    c = {1.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  }
  c_ = c;
}

void CEqualizer::Process(const float* in, float* out, int32_t n) {
  if (n <= 0) return;
  std::lock_guard lock(lock_);
  Recursion r(c_, s_);
  out[0] = r.First(in[0]);
  if (n > 1) out[1] = r.Second(in[1]);
  for (int32_t k = 2; k < n; ++k) out[k] = r.Next(in[k]);
  s_ = r.Save();
}

void CEqualizer::ProcessPair(CEqualizer& left, const float* in_l, float* out_l, CEqualizer& right,
                             const float* in_r, float* out_r, int32_t n) {
  if (n <= 0) return;
  std::scoped_lock lock(left.lock_, right.lock_);
  Recursion l(left.c_, left.s_);
  Recursion r(right.c_, right.s_);
  out_l[0] = l.First(in_l[0]);
  out_r[0] = r.First(in_r[0]);
  if (n > 1) {
    out_l[1] = l.Second(in_l[1]);
    out_r[1] = r.Second(in_r[1]);
  }
  for (int32_t k = 2; k < n; ++k) {
    out_l[k] = l.Next(in_l[k]);
    out_r[k] = r.Next(in_r[k]);
  }
  left.s_ = l.Save();
  right.s_ = r.Save();
}

CEqualizer::Coefficients CEqualizer::GetCoefficients() const {
  std::lock_guard lock(lock_);
  return c_;
}

CEqualizer::State CEqualizer::GetState() const {
  std::lock_guard lock(lock_);
  return s_;
}

}  // namespace dsp
