#include "media/mpeg/layer3_imdct.h"

#include <cmath>

namespace mpeg {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct ImdctTables {
  float window[4][36];
  // Long transform: out[i] = sum_k in[k] cos(pi/72 (2i + 19)(2k + 1)); only i = 0..8 and
  // 18..26 ... are independent, but the full matrix keeps this first version plain.
  float cos_long[36][18];
  float cos_short[12][6];

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
    for (int i = 0; i < 36; ++i)
      for (int k = 0; k < 18; ++k)
        cos_long[i][k] = static_cast<float>(std::cos(kPi / 72 * (2 * i + 1 + 18) * (2 * k + 1)));
    for (int i = 0; i < 12; ++i)
      for (int k = 0; k < 6; ++k)
        cos_short[i][k] = static_cast<float>(std::cos(kPi / 24 * (2 * i + 1 + 6) * (2 * k + 1)));
  }
};

const ImdctTables& Tables() {
  static const ImdctTables tables;
  return tables;
}

}  // namespace

const float* ImdctWindow(int block_type) { return Tables().window[block_type & 3]; }

void ImdctLong(const float in[18], int block_type, float out[36]) {
  const ImdctTables& t = Tables();
  const float* w = t.window[block_type & 3];
  for (int i = 0; i < 36; ++i) {
    float sum = 0.0f;
    for (int k = 0; k < 18; ++k) sum += in[k] * t.cos_long[i][k];
    out[i] = sum * w[i];
  }
}

void ImdctShort(const float in[18], float out[36]) {
  const ImdctTables& t = Tables();
  const float* w = t.window[2];
  for (int i = 0; i < 36; ++i) out[i] = 0.0f;
  for (int win = 0; win < 3; ++win) {
    const float* x = in + win * 6;
    float* y = out + 6 + win * 6;
    for (int i = 0; i < 12; ++i) {
      float sum = 0.0f;
      for (int k = 0; k < 6; ++k) sum += x[k] * t.cos_short[i][k];
      y[i] += sum * w[i];
    }
  }
}

}  // namespace mpeg
