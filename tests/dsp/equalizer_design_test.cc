// The band section: its response at the centre is the gain, its poles and zeros are those of the
// analog section under the matched z-transform, a cut mirrors a boost, 0 dB is the identity, and
// the state carries one block into the next.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "dsp/BandFrequencies.h"
#include "dsp/Equalizer.h"
#include "tests/dsp/response.h"

namespace dsp {
namespace {

using testing::AnalogMagnitude;
using testing::Db;
using testing::kPi;
using testing::Response;

constexpr double kFs = 44100.0;
constexpr float kT = static_cast<float>(1.0 / 44100.0);

float WindowGain(int position) {  // slider position 0..48, 24 = 0 dB
  return static_cast<float>(std::pow(10.0, (24 - position) * 0.625 * 0.05));
}

CEqualizer::Coefficients Design(float f0, float q, float gain, float T = kT) {
  CEqualizer eq;
  eq.SetParam(T, f0, q, gain);
  return eq.GetCoefficients();
}

TEST(EqualizerDesign, MagnitudeAtCentreIsTheGainForBoostsAndCuts) {
  for (float f0 : BandFrequencies) {
    for (float q : {1.0f, 3.0f, 5.0f, 10.0f}) {
      for (int position : {0, 4, 12, 23, 25, 36, 48}) {
        const float g = WindowGain(position);
        const double h = std::abs(Response(Design(f0, q, g), f0, kFs));
        EXPECT_NEAR(Db(h), Db(g), 0.001) << "f0 " << f0 << " q " << q << " gain " << g;
      }
    }
  }
}

TEST(EqualizerDesign, ZeroPairTurnsRealWhenTheBoostIsWide) {
  // +15 dB with Q 1: zeta_z = 0.5 * 5.62 > 1, so the analog zeros are real, s = w(-zz +- sqrt(zz^2 - 1)),
  // and the matched z-transform maps them to two real zeros e^{sT} inside the unit circle.
  const float f0 = 1000.0f, q = 1.0f, g = WindowGain(0);
  const CEqualizer::Coefficients c = Design(f0, q, g);
  const double zz = g / (2.0 * q);
  ASSERT_GT(zz, 1.0);
  const double wt = 2 * kPi * f0 / kFs;
  const double z1 = std::exp(wt * (-zz + std::sqrt(zz * zz - 1)));
  const double z2 = std::exp(wt * (-zz - std::sqrt(zz * zz - 1)));
  // Roots of z^2 + b1 z + b2.
  const double disc = static_cast<double>(c.b1) * c.b1 - 4.0 * c.b2;
  ASSERT_GT(disc, 0.0) << "zeros should be real";
  EXPECT_NEAR((-c.b1 + std::sqrt(disc)) / 2, z1, 1e-5);
  EXPECT_NEAR((-c.b1 - std::sqrt(disc)) / 2, z2, 1e-5);
  EXPECT_NEAR(Db(std::abs(Response(c, f0, kFs))), 15.0, 0.001);
  // Still a proper complex pole pair (zeta_p = 0.5) of radius e^{-zeta_p wT}.
  EXPECT_NEAR(std::sqrt(c.a2), std::exp(-0.5 * wt), 1e-6);
  EXPECT_LT(static_cast<double>(c.a1) * c.a1 - 4.0 * c.a2, 0.0);
}

TEST(EqualizerDesign, DigitalResponseTracksTheAnalogSectionAtLowFrequencies) {
  // Well below Nyquist the matched z-transform keeps the analog shape: the bandwidth set by Q
  // shows here, not only the peak.
  for (float q : {1.0f, 5.0f}) {
    for (int position : {4, 44}) {
      const float f0 = 250.0f, g = WindowGain(position);
      const CEqualizer::Coefficients c = Design(f0, q, g);
      for (double f : {30.0, 100.0, 180.0, 220.0, 280.0, 350.0, 600.0, 2000.0}) {
        EXPECT_NEAR(Db(std::abs(Response(c, f, kFs))), Db(AnalogMagnitude(f, f0, q, g)), 0.05)
            << "q " << q << " gain " << g << " at " << f << " Hz";
      }
    }
  }
}

TEST(EqualizerDesign, CutSwapsTheNumeratorAndDenominatorOfTheBoost) {
  for (float g : {2.0f, 4.0f}) {  // exact reciprocals, so both dampings match bit for bit
    for (float f0 : {62.5f, 1000.0f, 10079.3f}) {
      const CEqualizer::Coefficients boost = Design(f0, 3.0f, g);
      const CEqualizer::Coefficients cut = Design(f0, 3.0f, 1.0f / g);
      EXPECT_EQ(cut.b1, boost.a1);
      EXPECT_EQ(cut.b2, boost.a2);
      EXPECT_EQ(cut.a1, boost.b1);
      EXPECT_EQ(cut.a2, boost.b2);
      EXPECT_NEAR(static_cast<double>(cut.b0) * boost.b0, 1.0, 1e-6);
      // The whole response mirrors in dB, not only the centre.
      for (double f : {0.5 * f0, 1.1 * f0, 3.0 * f0}) {
        EXPECT_NEAR(Db(std::abs(Response(cut, f, kFs))), -Db(std::abs(Response(boost, f, kFs))),
                    1e-4);
      }
    }
  }
}

TEST(EqualizerDesign, ZeroDecibelsIsTheIdentity) {
  CEqualizer eq;
  eq.SetParam(kT, 630.0f, 5.0f, 1.0f);
  const CEqualizer::Coefficients c = eq.GetCoefficients();
  EXPECT_EQ(c.b0, 1.0f);
  EXPECT_EQ(c.b1, c.a1);
  EXPECT_EQ(c.b2, c.a2);

  std::mt19937 rng(7);
  std::uniform_real_distribution<float> sample(-30000.0f, 30000.0f);
  std::vector<float> in(20000), out(in.size());
  for (float& v : in) v = sample(rng);
  eq.Process(in.data(), out.data(), static_cast<int32_t>(in.size()));
  // Single-precision rounding, circulating through the resonant recursion, stays within one step
  // of 16-bit PCM at this band (it grows towards the lowest bands, where the poles crowd z = 1).
  for (size_t i = 0; i < in.size(); ++i) ASSERT_NEAR(out[i], in[i], 1.0f) << "sample " << i;
}

// Amplitude of a sine of frequency f in x, by least squares over whole periods.
double SineAmplitude(const std::vector<float>& x, size_t from, double f, double fs) {
  double s = 0, c = 0;
  for (size_t i = from; i < x.size(); ++i) {
    s += x[i] * std::sin(2 * kPi * f * static_cast<double>(i) / fs);
    c += x[i] * std::cos(2 * kPi * f * static_cast<double>(i) / fs);
  }
  const double n = static_cast<double>(x.size() - from);
  return 2.0 * std::sqrt(s * s + c * c) / n;
}

TEST(EqualizerProcess, SineAtTheCentreComesOutScaledByTheGain) {
  for (int position : {0, 14, 40, 48}) {
    const float f0 = 1000.0f, g = WindowGain(position);
    CEqualizer eq;
    eq.SetParam(kT, f0, 5.0f, g);
    std::vector<float> in(44100), out(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
      in[i] = static_cast<float>(1000.0 * std::sin(2 * kPi * f0 * static_cast<double>(i) / kFs));
    }
    eq.Process(in.data(), out.data(), static_cast<int32_t>(in.size()));
    // Skip the first 0.1 s of settling; 1 s holds whole periods of 1000 Hz.
    EXPECT_NEAR(SineAmplitude(out, 4410, f0, kFs) / 1000.0, g, 1e-4 * g) << "gain " << g;
  }
}

TEST(EqualizerProcess, BlocksJoinIntoOneContinuousSignal) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> sample(-20000.0f, 20000.0f);
  std::vector<float> in(6000);
  for (float& v : in) v = sample(rng);

  CEqualizer whole, split;
  whole.SetParam(kT, 1000.0f, 2.0f, WindowGain(2));
  split.SetParam(kT, 1000.0f, 2.0f, WindowGain(2));
  std::vector<float> expect(in.size()), got(in.size());
  whole.Process(in.data(), expect.data(), static_cast<int32_t>(in.size()));
  // Blocks of every small length, 1 included, then larger ones.
  size_t at = 0;
  for (int len = 1; at < in.size(); len = len < 8 ? len + 1 : len * 2) {
    const int32_t n = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(len), in.size() - at));
    split.Process(in.data() + at, got.data() + at, n);
    at += static_cast<size_t>(n);
  }
  // The first two samples of a block group their feedback terms differently, so the two runs
  // agree to float rounding (well under a 16-bit step) rather than bit for bit.
  for (size_t i = 0; i < in.size(); ++i) ASSERT_NEAR(got[i], expect[i], 0.5f) << "sample " << i;
  const CEqualizer::State a = whole.GetState(), b = split.GetState();
  EXPECT_EQ(a.x1, b.x1);
  EXPECT_EQ(a.x2, b.x2);
  EXPECT_NEAR(a.y1, b.y1, 0.5f);
  EXPECT_NEAR(a.y2, b.y2, 0.5f);
}

TEST(EqualizerProcess, NeverSetBandIsSilent) {
  CEqualizer eq;
  std::vector<float> in(100, 1234.0f), out(100, -1.0f);
  eq.Process(in.data(), out.data(), 100);
  for (float v : out) EXPECT_EQ(v, 0.0f);
}

TEST(EqualizerProcess, ParametersOutsideTheDomainPassTheSignalUnchanged) {
  // A frequency of 0 makes the centre-gain normalisation 0/0, a gain of 0 an infinite damping; a
  // negative frequency would put the poles outside the unit circle. None may poison the state.
  const float nan = std::nanf("");
  const float cases[][3] = {{0.0f, 5.0f, 2.0f}, {1000.0f, 5.0f, 0.0f}, {-100.0f, 5.0f, 2.0f},
                            {1000.0f, 0.0f, 2.0f}, {nan, 5.0f, 2.0f}, {1000.0f, 5.0f, nan}};
  for (const auto& p : cases) {
    CEqualizer eq;
    eq.SetParam(kT, p[0], p[1], p[2]);
    std::vector<float> in(1000), out(in.size());
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i % 97) * 100.0f - 4800.0f;
    eq.Process(in.data(), out.data(), static_cast<int32_t>(in.size()));
    for (size_t i = 0; i < in.size(); ++i) {
      ASSERT_EQ(out[i], in[i]) << "f0 " << p[0] << " q " << p[1] << " gain " << p[2];
    }
  }
}

}  // namespace
}  // namespace dsp
