#include "media/mpeg/layer3_imdct.h"

#include <cmath>
#include <cstring>

namespace mpeg {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct ImdctTables {
  float window[4][36];
  // The 36-point IMDCT of 18 lines is an 18-point DCT-IV, Y[n] = sum_k X[k] cos(pi/72 (2n+1)
  // (2k+1)), read out with its symmetries. Stored line by line (row k holds X[k]'s share of
  // every Y[n]) and padded to 20 columns, so the product runs as vector multiply-adds
  // without reassociating any sum.
  alignas(16) float dct18[18][20];
  float dct6[6][6];

  ImdctTables() {
    for (int i = 0; i < 36; ++i) {
      double normal = std::sin(kPi / 36 * (i + 0.5));
      window[0][i] = static_cast<float>(normal);
      // Start window: normal rise, flat top, short fall, then zero.
      double start = i < 18 ? normal : i < 24 ? 1.0 : i < 30 ? std::sin(kPi / 12 * (i - 18 + 0.5)) : 0.0;
      window[1][i] = static_cast<float>(start);
      // Stop window: the start window reversed in time.
      double stop = i < 6 ? 0.0 : i < 12 ? std::sin(kPi / 12 * (i - 6 + 0.5)) : i < 18 ? 1.0 : normal;
      window[3][i] = static_cast<float>(stop);
      window[2][i] = i < 12 ? static_cast<float>(std::sin(kPi / 12 * (i + 0.5))) : 0.0f;
    }
    for (int k = 0; k < 18; ++k)
      for (int n = 0; n < 20; ++n)
        dct18[k][n] = n < 18 ? static_cast<float>(std::cos(kPi / 72 * (2 * n + 1) * (2 * k + 1))) : 0.0f;
    for (int k = 0; k < 6; ++k)
      for (int n = 0; n < 6; ++n)
        dct6[k][n] = static_cast<float>(std::cos(kPi / 24 * (2 * n + 1) * (2 * k + 1)));
  }
};

const ImdctTables& Tables() {
  static const ImdctTables tables;
  return tables;
}

}  // namespace

const float* ImdctWindow(int block_type) { return Tables().window[block_type & 3]; }

// x[i] = sum_k X[k] cos(pi/72 (2i + 19)(2k + 1)) = C(i + 9) where C extends the DCT-IV Y with
// C(35 - m) = -C(m) and C(36 + m) = -C(m): x[0..8] = Y[9..17], x[9..26] = -Y[17..0],
// x[27..35] = -Y[0..8].
void ImdctLong(const float in[18], int block_type, float out[36]) {
  const ImdctTables& t = Tables();
  const float* w = t.window[block_type & 3];
  // Four columns at a time in the compiler's generic vector type (SSE on x86, NEON on ARM).
  typedef float Vec4 __attribute__((vector_size(16)));
  Vec4 acc[5] = {};
  for (int k = 0; k < 18; ++k) {
    const float x = in[k];
    const Vec4 xs = {x, x, x, x};
    const float* row = t.dct18[k];
    for (int j = 0; j < 5; ++j) {
      Vec4 r;
      std::memcpy(&r, row + 4 * j, sizeof r);
      acc[j] += xs * r;
    }
  }
  alignas(16) float y[20];
  std::memcpy(y, acc, sizeof y);
  for (int i = 0; i < 9; ++i) out[i] = y[i + 9] * w[i];
  for (int i = 9; i < 27; ++i) out[i] = -y[26 - i] * w[i];
  for (int i = 27; i < 36; ++i) out[i] = -y[i - 27] * w[i];
}

// The same for each 12-point short transform over a 6-point DCT-IV: y[0..2] = Y[3..5],
// y[3..8] = -Y[5..0], y[9..11] = -Y[0..2].
void ImdctShort(const float in[18], float out[36]) {
  const ImdctTables& t = Tables();
  const float* w = t.window[2];
  for (int i = 0; i < 36; ++i) out[i] = 0.0f;
  for (int win = 0; win < 3; ++win) {
    const float* x = in + win * 6;
    float y[6] = {};
    for (int k = 0; k < 6; ++k)
      for (int n = 0; n < 6; ++n) y[n] += x[k] * t.dct6[k][n];
    float* z = out + 6 + win * 6;
    for (int i = 0; i < 3; ++i) z[i] += y[i + 3] * w[i];
    for (int i = 3; i < 9; ++i) z[i] += -y[8 - i] * w[i];
    for (int i = 9; i < 12; ++i) z[i] += -y[i - 9] * w[i];
  }
}

}  // namespace mpeg
