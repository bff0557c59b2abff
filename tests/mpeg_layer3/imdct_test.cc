// The IMDCT against a direct evaluation of its defining sum in double precision, and the
// constant tables that must add up.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "media/mpeg/layer3_imdct.h"
#include "media/mpeg/layer3_tables.h"

namespace mpeg {
namespace {

constexpr double kPi = 3.14159265358979323846;

double Window(int block_type, int i) {
  auto normal = [](int n) { return std::sin(kPi / 36 * (n + 0.5)); };
  auto short_w = [](int n) { return std::sin(kPi / 12 * (n + 0.5)); };
  switch (block_type) {
    case 1: return i < 18 ? normal(i) : i < 24 ? 1.0 : i < 30 ? short_w(i - 18) : 0.0;
    case 3: return i < 6 ? 0.0 : i < 12 ? short_w(i - 6) : i < 18 ? 1.0 : normal(i);
    default: return normal(i);
  }
}

TEST(Layer3Imdct, LongBlocksMatchTheDefinition) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  for (int block_type : {0, 1, 3}) {
    for (int trial = 0; trial < 20; ++trial) {
      float in[18];
      for (float& x : in) x = value(rng);
      // A single line now and then, where a wrong index shows plainly.
      if (trial < 18) {
        for (float& x : in) x = 0.0f;
        in[trial] = 1.0f;
      }
      float out[36];
      ImdctLong(in, block_type, out);
      for (int i = 0; i < 36; ++i) {
        double sum = 0;
        for (int k = 0; k < 18; ++k) sum += in[k] * std::cos(kPi / 72 * (2 * i + 1 + 18) * (2 * k + 1));
        ASSERT_NEAR(out[i], sum * Window(block_type, i), 2e-5)
            << "block type " << block_type << " trial " << trial << " sample " << i;
      }
    }
  }
}

TEST(Layer3Imdct, ShortBlocksMatchTheDefinition) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  for (int trial = 0; trial < 30; ++trial) {
    float in[18];
    for (float& x : in) x = value(rng);
    if (trial < 18) {
      for (float& x : in) x = 0.0f;
      in[trial] = 1.0f;
    }
    float out[36];
    ImdctShort(in, out);
    double expected[36] = {};
    for (int w = 0; w < 3; ++w)
      for (int i = 0; i < 12; ++i) {
        double sum = 0;
        for (int k = 0; k < 6; ++k)
          sum += in[w * 6 + k] * std::cos(kPi / 24 * (2 * i + 1 + 6) * (2 * k + 1));
        expected[6 + 6 * w + i] += sum * std::sin(kPi / 12 * (i + 0.5));
      }
    for (int i = 0; i < 36; ++i) ASSERT_NEAR(out[i], expected[i], 1e-5) << "trial " << trial << " sample " << i;
  }
}

// The four-subband path against four single transforms, with mixed window types, the
// overlap carried in and out, and odd subbands' odd samples negated.
TEST(Layer3Imdct, FourSubbandsAtOnceMatchSingleTransforms) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  const int type_sets[3][4] = {{0, 0, 0, 0}, {0, 0, 1, 1}, {3, 0, 3, 1}};
  for (const auto& types : type_sets) {
    float in[72];
    for (float& x : in) x = value(rng);
    float overlap[18][32];
    float out[18][32];
    for (auto& row : overlap)
      for (float& x : row) x = value(rng);
    float expected_out[18][4], expected_overlap[18][4];
    for (int lane = 0; lane < 4; ++lane) {
      float block[36];
      ImdctLong(in + 18 * lane, types[lane], block);
      for (int t = 0; t < 18; ++t) {
        float v = block[t] + overlap[t][6 + lane];
        expected_out[t][lane] = ((lane & 1) && (t & 1)) ? -v : v;
        expected_overlap[t][lane] = block[18 + t];
      }
    }
    ImdctLongFour(in, types, &overlap[0][6], &out[0][6]);
    for (int t = 0; t < 18; ++t)
      for (int lane = 0; lane < 4; ++lane) {
        ASSERT_NEAR(out[t][6 + lane], expected_out[t][lane], 1e-6) << t << " " << lane;
        ASSERT_NEAR(overlap[t][6 + lane], expected_overlap[t][lane], 1e-6) << t << " " << lane;
      }
  }
}

// Overlap-adding the second half of one long block with the first half of the next must give
// back a delayed copy of a signal for the normal window (time-domain alias cancellation) —
// checked here through start and stop windows as well, which must fit each other.
TEST(Layer3Imdct, WindowsSatisfyThePerfectReconstructionCondition) {
  for (int i = 0; i < 18; ++i) {
    double w0 = Window(0, i), w0b = Window(0, i + 18);
    EXPECT_NEAR(w0 * w0 + w0b * w0b, 1.0, 1e-12);
    // Start block followed by a stop block.
    double a = Window(1, i + 18), b = Window(3, i);
    EXPECT_NEAR(a * a + b * b, 1.0, 1e-12) << i;
  }
  const float* w = ImdctWindow(1);
  for (int i = 0; i < 36; ++i) EXPECT_NEAR(w[i], Window(1, i), 1e-7);
  w = ImdctWindow(3);
  for (int i = 0; i < 36; ++i) EXPECT_NEAR(w[i], Window(3, i), 1e-7);
}

TEST(Layer3Tables, ScaleFactorBandsCoverTheGranule) {
  for (int set = 0; set < kScaleFactorBandSets; ++set) {
    const ScaleFactorBands& b = kScaleFactorBands[set];
    EXPECT_EQ(b.long_edges[0], 0);
    EXPECT_EQ(b.long_edges[22], 576) << "set " << set;
    EXPECT_EQ(b.short_edges[0], 0);
    EXPECT_EQ(b.short_edges[13], 192) << "set " << set;
    for (int i = 0; i < 22; ++i) {
      EXPECT_LT(b.long_edges[i], b.long_edges[i + 1]) << "set " << set << " band " << i;
      EXPECT_EQ(b.long_edges[i] % 2, 0) << "set " << set << " band " << i;
    }
    for (int i = 0; i < 13; ++i) EXPECT_LT(b.short_edges[i], b.short_edges[i + 1]) << "set " << set;
    // Three short bands make the two lowest subbands of a mixed block.
    EXPECT_EQ(b.short_edges[3] * 3, set == 8 ? 72 : 36) << "set " << set;
  }
  // The lookup follows version and frequency index.
  EXPECT_EQ(ScaleFactorBandsFor(1, 2).long_edges[21], 550);      // 32 kHz
  EXPECT_EQ(ScaleFactorBandsFor(2, 1).long_edges[12], 114);      // 24 kHz
  EXPECT_EQ(ScaleFactorBandsFor(3, 2).short_edges[9], 160);      // 8 kHz
}

TEST(Layer3Tables, LsfPartitionsHoldEveryScaleFactor) {
  // Long blocks have 21 scale factors, short 12 bands x 3 windows, mixed 6 long + 9 x 3 short.
  for (int t = 0; t < 6; ++t) {
    int sums[3] = {0, 0, 0};
    for (int kind = 0; kind < 3; ++kind)
      for (int p = 0; p < 4; ++p) sums[kind] += kLsfPartitionSizes[t][kind][p];
    EXPECT_EQ(sums[0], 21) << t;
    EXPECT_EQ(sums[1], 36) << t;
    EXPECT_EQ(sums[2], 33) << t;
  }
}

}  // namespace
}  // namespace mpeg
