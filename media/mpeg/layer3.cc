// Layer III frame routine. The work per frame: parse the side information, append the frame's
// main data to the bit reservoir, then per granule and channel read the scale factors and the
// Huffman-coded lines, requantise, apply stereo processing, reorder short blocks, reduce
// aliasing, run the IMDCT with overlap-add and invert every odd subband's odd samples.
#include "media/mpeg/layer3.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "media/mpeg/layer3_bits.h"
#include "media/mpeg/layer3_huffman.h"
#include "media/mpeg/layer3_imdct.h"
#include "media/mpeg/layer3_tables.h"

namespace mpeg {

namespace {

// Main data may start up to 511 bytes (MPEG-1) or 255 bytes (LSF) before the frame that
// references it; the largest frame carries about 1441 bytes of its own.
constexpr int kReservoirKeep = 511;
constexpr int kMainDataMax = kReservoirKeep + 2048;
constexpr int kLines = 576;
constexpr int kMaxValue = 15 + 8191;  // largest |value|: 15 plus 13 linbits

// Requantisation gains 2^(q/4) for q = kGainOffset + index; below the table the line is zero.
constexpr int kGainOffset = -1024;
constexpr int kGainSize = 1024 + 64;

struct GranuleChannel {
  int part2_3_length = 0;
  int big_values = 0;
  int global_gain = 0;
  int scalefac_compress = 0;
  int window_switching = 0;
  int block_type = 0;
  int mixed_block = 0;
  int table_select[3] = {0, 0, 0};
  int subblock_gain[3] = {0, 0, 0};
  int region0_count = 0;
  int region1_count = 0;
  int preflag = 0;
  int scalefac_scale = 0;
  int count1table_select = 0;
};

struct SideInfo {
  int main_data_begin = 0;
  int scfsi[2][4] = {};
  GranuleChannel gr[2][2];
};

struct Constants {
  float pow43[kMaxValue + 1];
  float gain[kGainSize];
  float alias_cs[8];
  float alias_ca[8];
  // MPEG-1 intensity stereo: left and right factors for is_pos 0..6.
  float is_left[7];
  float is_right[7];
  // LSF intensity stereo: io^k for intensity_scale 0 and 1, k = 0..31.
  float lsf_io[2][32];

  Constants() {
    for (int i = 0; i <= kMaxValue; ++i) pow43[i] = static_cast<float>(std::pow(i, 4.0 / 3.0));
    for (int i = 0; i < kGainSize; ++i)
      gain[i] = static_cast<float>(std::pow(2.0, (i + kGainOffset) / 4.0));
    static const double kAliasC[8] = {-0.6, -0.535, -0.33, -0.185, -0.095, -0.041, -0.0142, -0.0037};
    for (int i = 0; i < 8; ++i) {
      double root = std::sqrt(1.0 + kAliasC[i] * kAliasC[i]);
      alias_cs[i] = static_cast<float>(1.0 / root);
      alias_ca[i] = static_cast<float>(kAliasC[i] / root);
    }
    for (int p = 0; p < 7; ++p) {
      double a = p * 3.14159265358979323846 / 12;
      double s = std::sin(a), c = std::cos(a);
      is_left[p] = static_cast<float>(s / (s + c));
      is_right[p] = static_cast<float>(c / (s + c));
    }
    for (int k = 0; k < 32; ++k) {
      lsf_io[0][k] = static_cast<float>(std::pow(2.0, -0.25 * k));
      lsf_io[1][k] = static_cast<float>(std::pow(2.0, -0.5 * k));
    }
  }
};

const Constants& K() {
  static const Constants constants;
  return constants;
}

// Scale factors of one granule and channel, with the largest value each could take (the LSF
// intensity-stereo illegal position).
struct ScaleFactors {
  int l[22];
  int s[13][3];
  int l_max[22];
  int s_max[13];
};

struct ChannelData {
  float xr[kLines];  // requantised lines, later reordered and alias-reduced
  int nonzero;       // lines from here up are zero
};

// Reads the side information.
void ReadSideInfo(BitReader& bits, bool lsf, int channels, SideInfo& side) {
  side.main_data_begin = static_cast<int>(bits.Read(lsf ? 8 : 9));
  bits.Skip(lsf ? (channels == 1 ? 1 : 2) : (channels == 1 ? 5 : 3));
  if (!lsf) {
    for (int ch = 0; ch < channels; ++ch)
      for (int band = 0; band < 4; ++band) side.scfsi[ch][band] = bits.ReadBit();
  }
  int granules = lsf ? 1 : 2;
  for (int gr = 0; gr < granules; ++gr) {
    for (int ch = 0; ch < channels; ++ch) {
      GranuleChannel& g = side.gr[gr][ch];
      g.part2_3_length = static_cast<int>(bits.Read(12));
      g.big_values = static_cast<int>(bits.Read(9));
      g.global_gain = static_cast<int>(bits.Read(8));
      g.scalefac_compress = static_cast<int>(bits.Read(lsf ? 9 : 4));
      g.window_switching = bits.ReadBit();
      if (g.window_switching) {
        g.block_type = static_cast<int>(bits.Read(2));
        g.mixed_block = bits.ReadBit();
        for (int i = 0; i < 2; ++i) g.table_select[i] = static_cast<int>(bits.Read(5));
        g.table_select[2] = 0;
        for (int i = 0; i < 3; ++i) g.subblock_gain[i] = static_cast<int>(bits.Read(3));
        // Implicit region boundaries: the big values lie in regions 0 and 1 only.
        g.region0_count = (g.block_type == 2 && !g.mixed_block) ? 8 : 7;
        g.region1_count = 36;
      } else {
        g.block_type = 0;
        g.mixed_block = 0;
        for (int i = 0; i < 3; ++i) g.table_select[i] = static_cast<int>(bits.Read(5));
        for (int i = 0; i < 3; ++i) g.subblock_gain[i] = 0;
        g.region0_count = static_cast<int>(bits.Read(4));
        g.region1_count = static_cast<int>(bits.Read(3));
      }
      g.preflag = lsf ? 0 : bits.ReadBit();
      g.scalefac_scale = bits.ReadBit();
      g.count1table_select = bits.ReadBit();
    }
  }
}

// MPEG-1 scale factors; granule 1 may share groups of granule 0's (scfsi).
void ReadScaleFactorsMpeg1(BitReader& bits, const GranuleChannel& g, const int scfsi[4], int gr,
                           ScaleFactors& sf) {
  const int slen1 = kSlen[0][g.scalefac_compress];
  const int slen2 = kSlen[1][g.scalefac_compress];
  if (g.block_type == 2) {
    int sfb = 0;
    if (g.mixed_block) {
      for (; sfb < 8; ++sfb) sf.l[sfb] = static_cast<int>(bits.Read(slen1));
      sfb = 3;
    }
    for (; sfb < 6; ++sfb)
      for (int w = 0; w < 3; ++w) sf.s[sfb][w] = static_cast<int>(bits.Read(slen1));
    for (; sfb < 12; ++sfb)
      for (int w = 0; w < 3; ++w) sf.s[sfb][w] = static_cast<int>(bits.Read(slen2));
    for (int w = 0; w < 3; ++w) sf.s[12][w] = 0;
    return;
  }
  static const int kGroupEdges[5] = {0, 6, 11, 16, 21};
  for (int group = 0; group < 4; ++group) {
    if (gr == 1 && scfsi[group]) continue;  // kept from granule 0
    int slen = group < 2 ? slen1 : slen2;
    for (int sfb = kGroupEdges[group]; sfb < kGroupEdges[group + 1]; ++sfb)
      sf.l[sfb] = static_cast<int>(bits.Read(slen));
  }
  sf.l[21] = 0;
}

// LSF scale factors: four partitions with their own lengths, chosen by scalefac_compress; the
// right channel of an intensity-stereo frame uses the second set of partitions.
void ReadScaleFactorsLsf(BitReader& bits, GranuleChannel& g, bool intensity_right,
                         ScaleFactors& sf) {
  int slen[4] = {0, 0, 0, 0};
  int table = 0;
  int sfc = g.scalefac_compress;
  g.preflag = 0;
  if (!intensity_right) {
    if (sfc < 400) {
      slen[0] = (sfc >> 4) / 5;
      slen[1] = (sfc >> 4) % 5;
      slen[2] = (sfc & 15) >> 2;
      slen[3] = sfc & 3;
      table = 0;
    } else if (sfc < 500) {
      sfc -= 400;
      slen[0] = (sfc >> 2) / 5;
      slen[1] = (sfc >> 2) % 5;
      slen[2] = sfc & 3;
      table = 1;
    } else {
      sfc -= 500;
      slen[0] = sfc / 3;
      slen[1] = sfc % 3;
      g.preflag = 1;
      table = 2;
    }
  } else {
    sfc >>= 1;
    if (sfc < 180) {
      slen[0] = sfc / 36;
      slen[1] = (sfc % 36) / 6;
      slen[2] = (sfc % 36) % 6;
      table = 3;
    } else if (sfc < 244) {
      sfc -= 180;
      slen[0] = (sfc % 64) >> 4;
      slen[1] = (sfc % 16) >> 2;
      slen[2] = sfc % 4;
      table = 4;
    } else {
      sfc -= 244;
      slen[0] = sfc / 3;
      slen[1] = sfc % 3;
      table = 5;
    }
  }
  const int kind = g.block_type == 2 ? (g.mixed_block ? 2 : 1) : 0;
  const uint8_t* sizes = kLsfPartitionSizes[table][kind];
  int values[45];
  int maxima[45];
  int n = 0;
  for (int p = 0; p < 4; ++p) {
    for (int i = 0; i < sizes[p]; ++i) {
      values[n] = static_cast<int>(bits.Read(slen[p]));
      maxima[n] = (1 << slen[p]) - 1;
      ++n;
    }
  }
  int k = 0;
  if (kind == 0) {
    for (int sfb = 0; sfb < 21; ++sfb, ++k) {
      sf.l[sfb] = values[k];
      sf.l_max[sfb] = maxima[k];
    }
    sf.l[21] = 0;
    sf.l_max[21] = -1;
    return;
  }
  int sfb = 0;
  if (kind == 2) {
    for (; sfb < 6; ++sfb, ++k) {
      sf.l[sfb] = values[k];
      sf.l_max[sfb] = maxima[k];
    }
    sfb = 3;
  }
  for (; sfb < 12; ++sfb) {
    for (int w = 0; w < 3; ++w, ++k) sf.s[sfb][w] = values[k];
    sf.s_max[sfb] = maxima[k - 1];
  }
  for (int w = 0; w < 3; ++w) sf.s[12][w] = 0;
  sf.s_max[12] = -1;
}

inline float GainFor(int q) {
  int index = q - kGainOffset;
  if (index < 0) return 0.0f;
  return K().gain[index < kGainSize ? index : kGainSize - 1];
}

// The requantisation gain of a run of lines in coded order: one run per long band, per short
// band and window.
struct GainRun {
  int end;  // first line past the run
  float gain;
};
constexpr int kMaxGainRuns = 22 + 13 * 3 + 1;

// The gains 2^((global_gain - 210 - 8 subblock_gain) / 4) 2^(-scalefac_multiplier (sf + pretab))
// of every run, in quarter steps; returns the number of runs, the last ending at 576.
int GainRuns(const GranuleChannel& g, const ScaleFactors& sf, const ScaleFactorBands& bands,
             GainRun* runs) {
  const int shift = g.scalefac_scale ? 4 : 2;  // quarter steps per scale-factor step
  const int base = g.global_gain - 210;
  int n = 0;
  int line = 0;
  if (g.block_type != 2 || g.mixed_block) {
    // Long blocks, or the long part (below line 36) of a mixed block.
    const int long_end = g.block_type == 2 ? 36 : kLines;
    for (int sfb = 0; sfb < 22 && line < long_end; ++sfb) {
      int stop = bands.long_edges[sfb + 1];
      if (stop > long_end) stop = long_end;
      int scale = sf.l[sfb] + (g.preflag ? kPretab[sfb] : 0);
      runs[n++] = GainRun{stop, GainFor(base - shift * scale)};
      line = stop;
    }
  }
  if (g.block_type == 2) {
    for (int sfb = g.mixed_block ? 3 : 0; sfb < 13; ++sfb) {
      int width = bands.short_edges[sfb + 1] - bands.short_edges[sfb];
      for (int w = 0; w < 3; ++w) {
        line = bands.short_edges[sfb] * 3 + (w + 1) * width;
        runs[n++] = GainRun{line, GainFor(base - 8 * g.subblock_gain[w] - shift * sf.s[sfb][w])};
      }
    }
  }
  runs[n - 1].end = kLines;
  return n;
}

// `magnitude` negated when `sign` (0 or 1) is set.
inline float WithSign(float magnitude, uint32_t sign) {
  return std::bit_cast<float>(std::bit_cast<uint32_t>(magnitude) ^ (sign << 31));
}

// Huffman-decodes the big-values and count1 regions up to bit `end` and requantises each line
// as it comes: xr = sign |value|^(4/3) gain. Returns false for a granule that cannot be
// decoded within its bounds.
bool ReadSpectrum(BitReader& bits, int64_t end, const GranuleChannel& g,
                  const ScaleFactorBands& bands, const GainRun* runs, ChannelData& data) {
  const HuffmanDecoder& huffman = HuffmanDecoder::Get();
  const float* pow43 = K().pow43;
  float* xr = data.xr;
  if (g.big_values > kLines / 2) return false;
  const int big_end = g.big_values * 2;
  int region1, region2;
  if (g.window_switching) {
    region1 = (g.block_type == 2 && !g.mixed_block) ? bands.short_edges[3] * 3 : bands.long_edges[8];
    region2 = kLines;
  } else {
    int r1 = g.region0_count + 1;
    int r2 = g.region0_count + g.region1_count + 2;
    region1 = r1 < 22 ? bands.long_edges[r1] : kLines;
    region2 = r2 < 22 ? bands.long_edges[r2] : kLines;
  }
  const GainRun* run = runs;
  int last = 0;  // one past the last non-zero line
  int i = 0;
  for (int region = 0; region < 3 && i < big_end; ++region) {
    int stop = region == 0 ? region1 : region == 1 ? region2 : kLines;
    if (stop > big_end) stop = big_end;
    if (i >= stop) continue;
    if (g.table_select[region] == 0) {
      for (; i < stop; ++i) xr[i] = 0.0f;
      continue;
    }
    const BigValueTable& table = kBigValueTables[g.table_select[region]];
    if (table.source < 0) return false;
    const int linbits = table.linbits;
    for (; i < stop; i += 2) {
      // Runs have even lengths, so both lines of a pair share one.
      while (i >= run->end) ++run;
      const float gain = run->gain;
      int pair = huffman.DecodePair(bits, table.source);
      if (pair < 0) return false;
      int x = pair >> 4, y = pair & 15;
      // Zero and non-zero values alternate unpredictably: the sign bit is read, and the line
      // marked, without branching on them.
      if (linbits && x == 15) x += static_cast<int>(bits.Read(linbits));
      const int has_x = x != 0;
      const uint32_t sign_x = bits.Peek(1) & static_cast<uint32_t>(has_x);
      bits.Skip(has_x);
      xr[i] = WithSign(pow43[x] * gain, sign_x);
      last = has_x ? i + 1 : last;
      if (linbits && y == 15) y += static_cast<int>(bits.Read(linbits));
      const int has_y = y != 0;
      const uint32_t sign_y = bits.Peek(1) & static_cast<uint32_t>(has_y);
      bits.Skip(has_y);
      xr[i + 1] = WithSign(pow43[y] * gain, sign_y);
      last = has_y ? i + 2 : last;
    }
    if (bits.position() > end) return false;
  }
  // Count1 region: quadruples of -1/0/1 until the granule's bits are used up.
  const int quad_table = g.count1table_select;
  while (i + 4 <= kLines && bits.position() < end) {
    const uint32_t quad = static_cast<uint32_t>(huffman.DecodeQuad(bits, quad_table));
    // One sign bit per non-zero value, in order: take four and give back the unused ones.
    const uint32_t signs = bits.Peek(4);
    static constexpr uint8_t kOnes[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
    bits.Skip(kOnes[quad & 15]);
    if (bits.position() > end) break;  // the last quadruple ran past the end: discard it
    // A run boundary can fall in the middle of a quadruple (runs have even lengths).
    while (i >= run->end) ++run;
    const float gain_low = run->gain;
    const GainRun* high = run;
    while (i + 2 >= high->end) ++high;
    const float gain_high = high->gain;
    uint32_t used = 0;  // sign bits taken so far
    for (int k = 0; k < 4; ++k) {
      const uint32_t nonzero = (quad >> (3 - k)) & 1;
      const uint32_t sign = (signs >> (3 - used)) & nonzero;
      used += nonzero;
      xr[i + k] = WithSign((k < 2 ? gain_low : gain_high) * static_cast<float>(nonzero), sign);
    }
    last = quad ? i + 4 - std::countr_zero(quad) : last;
    i += 4;
  }
  std::memset(xr + i, 0, sizeof(float) * static_cast<size_t>(kLines - i));
  data.nonzero = last;
  return true;
}

}  // namespace

struct Layer3Decoder::State {
  uint8_t main_data[kMainDataMax];
  int reservoir = 0;  // valid bytes at the start of main_data
  float overlap[2][18][32];  // [channel][time][subband], as the output
  SideInfo side;
  ScaleFactors sf[2];
  ChannelData data[2];
  float scratch[kLines];
  float block[36];
};

Layer3Decoder::Layer3Decoder() : state_(new State) {
  K();
  HuffmanDecoder::Get();
  Reset();
}
Layer3Decoder::~Layer3Decoder() { delete state_; }

void Layer3Decoder::Reset() {
  ResetMainData();
  std::memset(state_->overlap, 0, sizeof state_->overlap);
  std::memset(state_->sf, 0, sizeof state_->sf);
}

void Layer3Decoder::ResetMainData() { state_->reservoir = 0; }

namespace {

void MidSide(ChannelData& mid, ChannelData& side, int begin, int end) {
  const float r = 0.70710678118654752f;
  for (int i = begin; i < end; ++i) {
    float m = mid.xr[i], s = side.xr[i];
    mid.xr[i] = (m + s) * r;
    side.xr[i] = (m - s) * r;
  }
}

// Intensity stereo over lines [begin, end): the left channel carries the sum, split by is_pos.
// Returns false for an illegal position, which leaves the band to M/S or plain stereo.
bool Intensity(ChannelData& left, ChannelData& right, int begin, int end, bool lsf, int is_pos,
               int is_max, int intensity_scale) {
  const Constants& k = K();
  float kl, kr;
  if (!lsf) {
    if (is_pos < 0 || is_pos >= 7) return false;
    kl = k.is_left[is_pos];
    kr = k.is_right[is_pos];
  } else {
    if (is_pos == is_max || is_pos < 0 || is_pos >= 32) return false;
    if (is_pos == 0) {
      kl = kr = 1.0f;
    } else if (is_pos & 1) {
      kl = k.lsf_io[intensity_scale][(is_pos + 1) / 2];
      kr = 1.0f;
    } else {
      kl = 1.0f;
      kr = k.lsf_io[intensity_scale][is_pos / 2];
    }
  }
  for (int i = begin; i < end; ++i) {
    float x = left.xr[i];
    left.xr[i] = x * kl;
    right.xr[i] = x * kr;
  }
  return true;
}

// Joint stereo: M/S below the intensity bound, intensity above it (per window for short
// blocks), M/S again in bands with an illegal intensity position.
void JointStereo(const GranuleChannel& g, int mode_extension, bool lsf,
                 const ScaleFactorBands& bands, const ScaleFactors& sf_right, ChannelData* data) {
  const bool ms = mode_extension & 2;
  const bool intensity = mode_extension & 1;
  ChannelData& l = data[0];
  ChannelData& r = data[1];
  int top = l.nonzero > r.nonzero ? l.nonzero : r.nonzero;
  if (!intensity) {
    if (ms) MidSide(l, r, 0, top);
    l.nonzero = r.nonzero = top;
    return;
  }
  const int scale = g.scalefac_compress & 1;
  auto band = [&](int begin, int end, int is_pos, int is_max) {
    if (begin >= end) return;
    if (!Intensity(l, r, begin, end, lsf, is_pos, is_max, scale) && ms) MidSide(l, r, begin, end);
  };
  const float* rx = r.xr;
  if (g.block_type != 2) {
    // The intensity region starts at the band above the right channel's last non-zero line.
    int last = r.nonzero;  // lines from here up are zero in the right channel
    int start_sfb = 0;
    while (start_sfb < 22 && bands.long_edges[start_sfb] < last) ++start_sfb;
    int bound = start_sfb < 22 ? bands.long_edges[start_sfb] : kLines;
    if (ms) MidSide(l, r, 0, bound);
    for (int sfb = start_sfb; sfb < 22; ++sfb) {
      int src = sfb == 21 ? 20 : sfb;
      band(bands.long_edges[sfb], bands.long_edges[sfb + 1], sf_right.l[src], sf_right.l_max[src]);
    }
    l.nonzero = r.nonzero = kLines;
    return;
  }
  // Short (or mixed) blocks: per window, find the highest short band with non-zero lines in
  // the right channel.
  const int first_short = g.mixed_block ? 3 : 0;
  int start_sfb[3];
  bool nonzero_short = false;
  for (int w = 0; w < 3; ++w) {
    start_sfb[w] = first_short;
    for (int sfb = 12; sfb >= first_short; --sfb) {
      int width = bands.short_edges[sfb + 1] - bands.short_edges[sfb];
      int begin = bands.short_edges[sfb] * 3 + w * width;
      bool any = false;
      for (int i = begin; i < begin + width; ++i) any |= rx[i] != 0.0f;
      if (any) {
        start_sfb[w] = sfb + 1;
        nonzero_short = true;
        break;
      }
    }
  }
  if (g.mixed_block) {
    if (!nonzero_short) {
      // The bound may lie in the long part.
      int last = 0;
      for (int i = 0; i < 36; ++i)
        if (rx[i] != 0.0f) last = i + 1;
      int sfb = 0;
      while (bands.long_edges[sfb] < last) ++sfb;
      if (ms) MidSide(l, r, 0, bands.long_edges[sfb]);
      for (; bands.long_edges[sfb] < 36; ++sfb) {
        int end = bands.long_edges[sfb + 1] < 36 ? bands.long_edges[sfb + 1] : 36;
        band(bands.long_edges[sfb], end, sf_right.l[sfb], sf_right.l_max[sfb]);
      }
    } else if (ms) {
      MidSide(l, r, 0, 36);
    }
  }
  for (int w = 0; w < 3; ++w) {
    for (int sfb = first_short; sfb < 13; ++sfb) {
      int width = bands.short_edges[sfb + 1] - bands.short_edges[sfb];
      int begin = bands.short_edges[sfb] * 3 + w * width;
      if (sfb < start_sfb[w]) {
        if (ms) MidSide(l, r, begin, begin + width);
      } else {
        int src = sfb == 12 ? 11 : sfb;
        band(begin, begin + width, sf_right.s[src][w], sf_right.s_max[src]);
      }
    }
  }
  l.nonzero = r.nonzero = kLines;
}

// Short blocks are coded band by band, window by window; the IMDCT wants each subband's three
// windows of six lines: dst[sb * 18 + window * 6 + k] for line sb * 6 + k of the window.
void ReorderShort(const GranuleChannel& g, const ScaleFactorBands& bands, float* xr,
                  float* scratch) {
  const int first = g.mixed_block ? 3 : 0;
  const int base = bands.short_edges[first] * 3;
  for (int sfb = first; sfb < 13; ++sfb) {
    int start = bands.short_edges[sfb];
    int width = bands.short_edges[sfb + 1] - start;
    for (int w = 0; w < 3; ++w) {
      const float* src = xr + start * 3 + w * width;
      for (int k = 0; k < width; ++k) {
        int line = start + k;
        scratch[(line / 6) * 18 + w * 6 + line % 6] = src[k];
      }
    }
  }
  std::memcpy(xr + base, scratch + base, sizeof(float) * static_cast<size_t>(kLines - base));
}

// One subband's transformed block: the first half plus the overlap goes out, with odd
// samples of odd subbands negated; the second half becomes the overlap.
void OverlapAdd(const float block[36], int sb, float (*overlap)[32], float (*slots)[32]) {
  for (int t = 0; t < 18; ++t) {
    float value = block[t] + overlap[t][sb];
    slots[t][sb] = ((sb & t) & 1) ? -value : value;
    overlap[t][sb] = block[18 + t];
  }
}

typedef float Vec4 __attribute__((vector_size(16)));

inline Vec4 Load4(const float* p) {
  Vec4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void Store4(float* p, Vec4 v) { std::memcpy(p, &v, sizeof v); }
inline Vec4 Reverse(Vec4 v) { return __builtin_shufflevector(v, v, 3, 2, 1, 0); }

// Butterfly i (0..7) of boundary sb pairs line 18 sb - 1 - i with line 18 sb + i:
// lo' = lo cs - hi ca, hi' = hi cs + lo ca. Done in memory order, four lines at a time, with
// the partner lines reversed.
void AliasReduce(float* xr, int boundaries) {
  const Constants& k = K();
  const Vec4 cs0 = Load4(k.alias_cs), cs1 = Load4(k.alias_cs + 4);
  const Vec4 ca0 = Load4(k.alias_ca), ca1 = Load4(k.alias_ca + 4);
  // Coefficients for the lower side, whose line 18 sb - 8 + j is butterfly 7 - j.
  const Vec4 cs_lo0 = Reverse(cs1), cs_lo1 = Reverse(cs0);
  const Vec4 ca_lo0 = Reverse(ca1), ca_lo1 = Reverse(ca0);
  for (int sb = 1; sb <= boundaries; ++sb) {
    float* lo = xr + sb * 18 - 8;
    float* hi = xr + sb * 18;
    const Vec4 lo0 = Load4(lo), lo1 = Load4(lo + 4);
    const Vec4 hi0 = Load4(hi), hi1 = Load4(hi + 4);
    Store4(lo, lo0 * cs_lo0 - Reverse(hi1) * ca_lo0);
    Store4(lo + 4, lo1 * cs_lo1 - Reverse(hi0) * ca_lo1);
    Store4(hi, hi0 * cs0 + Reverse(lo1) * ca0);
    Store4(hi + 4, hi1 * cs1 + Reverse(lo0) * ca1);
  }
}

}  // namespace

int Layer3Decoder::DecodeFrame(const FrameHeader& header, const uint8_t* frame, int32_t length,
                               int subband_limit, float out[2][kLayer3MaxSlots][32]) {
  State& s = *state_;
  const bool lsf = header.version != 1;
  const int channels = header.mode == 3 ? 1 : 2;
  const int granules = lsf ? 1 : 2;
  const int limit = subband_limit < 0 ? 0 : subband_limit > 32 ? 32 : subband_limit;
  const ScaleFactorBands& bands = ScaleFactorBandsFor(header.version, header.frequency_index);

  const int side_start = 4 + (header.crc ? 2 : 0);
  const int side_bytes = lsf ? (channels == 1 ? 9 : 17) : (channels == 1 ? 17 : 32);
  bool frame_ok = length >= side_start + side_bytes;
  if (frame_ok) {
    BitReader side_bits(frame + side_start, side_bytes);
    ReadSideInfo(side_bits, lsf, channels, s.side);
  }

  // Keep the reservoir's tail and append this frame's main data behind it.
  int keep = s.reservoir < kReservoirKeep ? s.reservoir : kReservoirKeep;
  std::memmove(s.main_data, s.main_data + s.reservoir - keep, static_cast<size_t>(keep));
  int own = frame_ok ? length - side_start - side_bytes : 0;
  if (own > kMainDataMax - keep) own = kMainDataMax - keep;
  if (own > 0)
    std::memcpy(s.main_data + keep, frame + side_start + side_bytes, static_cast<size_t>(own));
  else
    own = 0;
  s.reservoir = keep + own;

  // Main data of this frame starts main_data_begin bytes before its own; when the reservoir
  // does not reach back that far (start of stream, after a seek) the frame is silent.
  const bool data_ok = frame_ok && s.side.main_data_begin <= keep;
  const int data_start = data_ok ? keep - s.side.main_data_begin : 0;
  BitReader bits(s.main_data + data_start, s.reservoir - data_start);
  int64_t granule_start = 0;

  for (int gr = 0; gr < granules; ++gr) {
    bool granule_ok = data_ok;
    for (int ch = 0; ch < channels; ++ch) {
      ChannelData& data = s.data[ch];
      GranuleChannel& g = s.side.gr[gr][ch];
      bool ok = granule_ok;
      int64_t end = granule_start + (ok ? g.part2_3_length : 0);
      if (ok && end > bits.end()) ok = false;
      if (ok) {
        bits.set_position(granule_start);
        bool intensity_right = ch == 1 && header.mode == 1 && (header.mode_extension & 1);
        if (lsf)
          ReadScaleFactorsLsf(bits, g, intensity_right, s.sf[ch]);
        else
          ReadScaleFactorsMpeg1(bits, g, s.side.scfsi[ch], gr, s.sf[ch]);
        GainRun runs[kMaxGainRuns];
        GainRuns(g, s.sf[ch], bands, runs);
        ok = bits.position() <= end && ReadSpectrum(bits, end, g, bands, runs, data);
      }
      if (!ok) granule_ok = false;
      granule_start = end;
    }
    if (!granule_ok) {
      for (int ch = 0; ch < channels; ++ch) {
        std::memset(s.data[ch].xr, 0, sizeof s.data[ch].xr);
        s.data[ch].nonzero = 0;
      }
    }
    if (granule_ok && channels == 2 && header.mode == 1)
      JointStereo(s.side.gr[gr][1], header.mode_extension, lsf, bands, s.sf[1], s.data);

    for (int ch = 0; ch < channels; ++ch) {
      ChannelData& data = s.data[ch];
      const GranuleChannel& g = s.side.gr[gr][ch];
      const bool is_short = granule_ok && g.block_type == 2;
      const bool mixed = is_short && g.mixed_block;
      const int block_type = granule_ok ? g.block_type : 0;
      // With the mixed flag set (also on start and stop blocks) the two lowest subbands use
      // the normal long window, so their overlap stays consistent through the switch.
      const bool low_normal = granule_ok && g.window_switching && g.mixed_block;
      float* xr = data.xr;
      int nz = data.nonzero;
      if (is_short) {
        ReorderShort(g, bands, xr, s.scratch);
        nz = kLines;
      }
      if (nz > limit * 18) {
        for (int i = limit * 18; i < nz; ++i) xr[i] = 0.0f;
        nz = limit * 18;
      }
      // Subbands that carry lines; alias reduction spreads them 8 lines into the next one.
      int active = (nz + 17) / 18;
      if (!is_short || mixed) {
        // Butterflies between subband sb-1 and sb for sb = 1..boundaries. The one across the
        // limit still shapes the highest decoded subband (its partner lines are zero); what
        // it would put above the limit is dropped.
        int boundaries = mixed ? 1 : active;
        const int top = limit < 32 ? limit : 31;
        if (boundaries > top) boundaries = top;
        if (boundaries > 0) AliasReduce(xr, boundaries);
        if (boundaries == limit)
          for (int i = limit * 18; i < limit * 18 + 8; ++i) xr[i] = 0.0f;
        if (!mixed && active < limit) ++active;
      }
      if (active > limit) active = limit;
      float (*overlap)[32] = s.overlap[ch];
      float (*slots)[32] = out[ch] + gr * 18;
      int done = 0;  // subbands transformed
      if (is_short) {
        for (; done < active; ++done) {
          if (mixed && done < 2)
            ImdctLong(xr + done * 18, 0, s.block);
          else
            ImdctShort(xr + done * 18, s.block);
          OverlapAdd(s.block, done, overlap, slots);
        }
      } else {
        for (; done < active; done += 4) {
          int types[4];
          for (int lane = 0; lane < 4; ++lane)
            types[lane] = (low_normal && done + lane < 2) ? 0 : block_type;
          ImdctLongFour(xr + done * 18, types, &overlap[0][done], &slots[0][done]);
        }
      }
      // Subbands without lines put out the previous block's tail; those at or above the
      // limit stay silent.
      for (int t = 0; t < 18; ++t) {
        for (int sb = done; sb < limit; ++sb) {
          float value = overlap[t][sb];
          slots[t][sb] = ((sb & t) & 1) ? -value : value;
          overlap[t][sb] = 0.0f;
        }
        for (int sb = limit; sb < 32; ++sb) {
          slots[t][sb] = 0.0f;
          overlap[t][sb] = 0.0f;
        }
      }
    }
  }
  return granules;
}

}  // namespace mpeg
