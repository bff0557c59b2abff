#include "media/mpeg/layer3_imdct.h"

#include <cmath>
#include <cstring>

namespace mpeg {

namespace {

constexpr double kPi = 3.14159265358979323846;

// The compiler's generic four-float vector (SSE on x86, NEON on ARM); each lane carries one
// subband through the same arithmetic as the scalar path.
typedef float Vec4 __attribute__((vector_size(16)));

struct ImdctTables {
  float window[4][36];
  // 18-point DCT-IV through a 9-point complex DFT: pre-twiddles e^(-i pi m / 18), post-twiddles
  // e^(-i pi (p + 1/4) / 18), and the DFT's twiddles e^(-2 pi i k / 9).
  float pre_re[9], pre_im[9];
  float post_re[9], post_im[9];
  float w9_re[5], w9_im[5];
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
    for (int m = 0; m < 9; ++m) {
      pre_re[m] = static_cast<float>(std::cos(kPi * m / 18));
      pre_im[m] = static_cast<float>(-std::sin(kPi * m / 18));
      post_re[m] = static_cast<float>(std::cos(kPi * (m + 0.25) / 18));
      post_im[m] = static_cast<float>(-std::sin(kPi * (m + 0.25) / 18));
    }
    for (int k = 0; k < 5; ++k) {
      w9_re[k] = static_cast<float>(std::cos(2 * kPi * k / 9));
      w9_im[k] = static_cast<float>(-std::sin(2 * kPi * k / 9));
    }
    for (int k = 0; k < 6; ++k)
      for (int n = 0; n < 6; ++n)
        dct6[k][n] = static_cast<float>(std::cos(kPi / 24 * (2 * n + 1) * (2 * k + 1)));
  }
};

const ImdctTables& Tables() {
  static const ImdctTables tables;
  return tables;
}

// Three-point DFT of (a, b, c), in place: y0 = a + b + c, y1 = a + b W + c W^2,
// y2 = a + b W^2 + c W with W = e^(-2 pi i / 3).
template <typename T>
inline void Dft3(T& ar, T& ai, T& br, T& bi, T& cr, T& ci) {
  const float half_root3 = 0.86602540378443865f;
  T tr = br + cr, ti = bi + ci;
  T dr = br - cr, di = bi - ci;
  T mr = ar - tr * 0.5f, mi = ai - ti * 0.5f;
  ar = ar + tr;
  ai = ai + ti;
  br = mr + di * half_root3;
  bi = mi - dr * half_root3;
  cr = mr - di * half_root3;
  ci = mi + dr * half_root3;
}

// Y[n] = sum_k X[k] cos(pi/72 (2n+1)(2k+1)), n, k = 0..17. With c[m] = (X[2m] + i X[17-2m])
// e^(-i pi m/18) and C its 9-point DFT, w[p] = C[p] e^(-i pi (p + 1/4)/18) gives
// Y[2p] = Re w[p] and Y[17-2p] = -Im w[p]. The DFT runs as 3 x 3.
template <typename T>
inline void Dct4x18(const T* x, T* y) {
  const ImdctTables& t = Tables();
  T re[9], im[9];
  for (int m = 0; m < 9; ++m) {
    const T a = x[2 * m], b = x[17 - 2 * m];
    re[m] = a * t.pre_re[m] - b * t.pre_im[m];
    im[m] = a * t.pre_im[m] + b * t.pre_re[m];
  }
  // Inner DFTs over n1 (elements n2, n2 + 3, n2 + 6), then twiddles W9^(n2 k1).
  for (int n2 = 0; n2 < 3; ++n2) Dft3(re[n2], im[n2], re[n2 + 3], im[n2 + 3], re[n2 + 6], im[n2 + 6]);
  // After the inner DFT, element n2 + 3 k1 holds A[n2][k1].
  auto twiddle = [&](int index, int power) {
    T r = re[index], i = im[index];
    re[index] = r * t.w9_re[power] - i * t.w9_im[power];
    im[index] = r * t.w9_im[power] + i * t.w9_re[power];
  };
  twiddle(1 + 3, 1);  // n2 = 1, k1 = 1
  twiddle(1 + 6, 2);  // n2 = 1, k1 = 2
  twiddle(2 + 3, 2);  // n2 = 2, k1 = 1
  twiddle(2 + 6, 4);  // n2 = 2, k1 = 2
  // Outer DFTs over n2 for each k1: C[k1 + 3 k2] from elements 3 k1 + n2.
  T cr[9], ci[9];
  for (int k1 = 0; k1 < 3; ++k1) {
    T ar = re[3 * k1], ai = im[3 * k1];
    T br = re[3 * k1 + 1], bi = im[3 * k1 + 1];
    T qr = re[3 * k1 + 2], qi = im[3 * k1 + 2];
    Dft3(ar, ai, br, bi, qr, qi);
    cr[k1] = ar;
    ci[k1] = ai;
    cr[k1 + 3] = br;
    ci[k1 + 3] = bi;
    cr[k1 + 6] = qr;
    ci[k1 + 6] = qi;
  }
  for (int p = 0; p < 9; ++p) {
    T wr = cr[p] * t.post_re[p] - ci[p] * t.post_im[p];
    T wi = cr[p] * t.post_im[p] + ci[p] * t.post_re[p];
    y[2 * p] = wr;
    y[17 - 2 * p] = -wi;
  }
}

}  // namespace

const float* ImdctWindow(int block_type) { return Tables().window[block_type & 3]; }

// x[i] = sum_k X[k] cos(pi/72 (2i + 19)(2k + 1)) = C(i + 9) where C extends the DCT-IV Y with
// C(35 - m) = -C(m) and C(36 + m) = -C(m): x[0..8] = Y[9..17], x[9..26] = -Y[17..0],
// x[27..35] = -Y[0..8].
void ImdctLong(const float in[18], int block_type, float out[36]) {
  const float* w = Tables().window[block_type & 3];
  float y[18];
  Dct4x18(in, y);
  for (int i = 0; i < 9; ++i) out[i] = y[i + 9] * w[i];
  for (int i = 9; i < 27; ++i) out[i] = -y[26 - i] * w[i];
  for (int i = 27; i < 36; ++i) out[i] = -y[i - 27] * w[i];
}

void ImdctLongFour(const float* in, const int block_types[4], float* overlap, float* out) {
  const ImdctTables& t = Tables();
  // Transpose the 4 x 18 lines into 18 vectors, four lines at a time.
  Vec4 x[18];
  for (int k = 0; k < 16; k += 4) {
    Vec4 r0, r1, r2, r3;
    std::memcpy(&r0, in + k, sizeof r0);
    std::memcpy(&r1, in + 18 + k, sizeof r1);
    std::memcpy(&r2, in + 36 + k, sizeof r2);
    std::memcpy(&r3, in + 54 + k, sizeof r3);
    const Vec4 t0 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);
    const Vec4 t1 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);
    const Vec4 t2 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);
    const Vec4 t3 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
    x[k] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    x[k + 1] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    x[k + 2] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    x[k + 3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
  }
  for (int k = 16; k < 18; ++k) x[k] = Vec4{in[k], in[18 + k], in[36 + k], in[54 + k]};
  Vec4 y[18];
  Dct4x18(x, y);
  // Time sample i of the 36: +-Y[...] as in ImdctLong.
  Vec4 z[36];
  for (int i = 0; i < 9; ++i) z[i] = y[i + 9];
  for (int i = 9; i < 27; ++i) z[i] = -y[26 - i];
  for (int i = 27; i < 36; ++i) z[i] = -y[i - 27];
  const bool same = block_types[0] == block_types[1] && block_types[0] == block_types[2] &&
                    block_types[0] == block_types[3];
  const float* w0 = t.window[block_types[0] & 3];
  const float* w1 = t.window[block_types[1] & 3];
  const float* w2 = t.window[block_types[2] & 3];
  const float* w3 = t.window[block_types[3] & 3];
  // Odd subbands (lanes 1 and 3) have their odd samples negated.
  const Vec4 invert = {1.0f, -1.0f, 1.0f, -1.0f};
  for (int i = 0; i < 18; ++i) {
    Vec4 first, second;
    if (same) {
      first = z[i] * w0[i];
      second = z[i + 18] * w0[i + 18];
    } else {
      first = z[i] * Vec4{w0[i], w1[i], w2[i], w3[i]};
      second = z[i + 18] * Vec4{w0[i + 18], w1[i + 18], w2[i + 18], w3[i + 18]};
    }
    float* o = overlap + 32 * i;
    Vec4 previous;
    std::memcpy(&previous, o, sizeof previous);
    Vec4 value = first + previous;
    if (i & 1) value *= invert;
    std::memcpy(out + 32 * i, &value, sizeof value);
    std::memcpy(o, &second, sizeof second);
  }
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
