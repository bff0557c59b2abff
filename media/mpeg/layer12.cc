// Layer I and Layer II: each subband carries an allocation (how many bits, or which quantiser),
// up to three scale factors, and fixed-length (Layer II: partly grouped) sample codes. A sample
// code c of a quantiser with `steps` levels stands for (2c - (steps - 1)) / steps of the scale
// factor; the scale factors step by 2 dB from 2.0 down.
#include "media/mpeg/layer12.h"

#include <cmath>
#include <cstring>

namespace mpeg {

namespace {

// Reads bits most significant first from a byte buffer with a hard end; past the end it yields
// zeros, so a short or damaged frame cannot lead to a read outside the buffer.
class FrameBits {
 public:
  FrameBits(const uint8_t* data, int32_t bytes)
      : data_(data), end_(bytes > 0 ? int64_t{bytes} * 8 : 0) {}

  uint32_t Read(int n) {
    uint32_t value = 0;
    for (int i = 0; i < n; ++i) {
      value <<= 1;
      if (pos_ < end_) value |= (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1u;
      ++pos_;
    }
    return value;
  }
  void Skip(int n) { pos_ += n; }

 private:
  const uint8_t* data_;
  int64_t end_;
  int64_t pos_ = 0;
};

// Scale factor index i stands for 2^(1 - i/3); index 63 is reserved and reads as silence.
struct ScaleFactors {
  double value[64];
  ScaleFactors() {
    for (int i = 0; i < 63; ++i) value[i] = std::exp2(1.0 - i / 3.0);
    value[63] = 0.0;
  }
};

const ScaleFactors& Scales() {
  static const ScaleFactors scales;
  return scales;
}

// The quantisers of Layer II: number of steps, bits per code (per group of three when grouped).
struct Quantiser {
  int steps;
  int bits;
  bool grouped;
};

constexpr Quantiser kQuantisers[] = {
    {3, 5, true},       {5, 7, true},       {7, 3, false},      {9, 10, true},
    {15, 4, false},     {31, 5, false},     {63, 6, false},     {127, 7, false},
    {255, 8, false},    {511, 9, false},    {1023, 10, false},  {2047, 11, false},
    {4095, 12, false},  {8191, 13, false},  {16383, 14, false}, {32767, 15, false},
    {65535, 16, false},
};

// Indices into kQuantisers.
enum : int8_t {
  Q3 = 0, Q5, Q7, Q9, Q15, Q31, Q63, Q127, Q255, Q511, Q1023, Q2047, Q4095, Q8191, Q16383,
  Q32767, Q65535, QNone = -1
};

// One row of an allocation table: the width of the allocation field and the quantiser each
// allocation value selects (value 0 is always "no samples").
struct AllocationRow {
  int nbal;
  int8_t quantiser[16];
};

// The distinct rows of the Layer II allocation tables.
constexpr AllocationRow kRowA = {4, {QNone, Q3, Q7, Q15, Q31, Q63, Q127, Q255, Q511, Q1023, Q2047,
                                     Q4095, Q8191, Q16383, Q32767, Q65535}};
constexpr AllocationRow kRowB = {4, {QNone, Q3, Q5, Q7, Q9, Q15, Q31, Q63, Q127, Q255, Q511, Q1023,
                                     Q2047, Q4095, Q8191, Q65535}};
constexpr AllocationRow kRowC = {3, {QNone, Q3, Q5, Q7, Q9, Q15, Q31, Q65535}};
constexpr AllocationRow kRowD = {2, {QNone, Q3, Q5, Q65535}};
constexpr AllocationRow kRowE = {4, {QNone, Q3, Q5, Q9, Q15, Q31, Q63, Q127, Q255, Q511, Q1023,
                                     Q2047, Q4095, Q8191, Q16383, Q32767}};
constexpr AllocationRow kRowF = {3, {QNone, Q3, Q5, Q9, Q15, Q31, Q63, Q127}};
constexpr AllocationRow kRowG = {2, {QNone, Q3, Q5, Q9}};
constexpr AllocationRow kRowH = {4, {QNone, Q3, Q5, Q7, Q9, Q15, Q31, Q63, Q127, Q255, Q511, Q1023,
                                     Q2047, Q4095, Q8191, Q16383}};

struct AllocationTable {
  int sblimit;
  const AllocationRow* rows[32];
};

// MPEG-1, higher bit rates per channel: 27 or 30 subbands.
constexpr AllocationTable kTableA = {
    27, {&kRowA, &kRowA, &kRowA, &kRowB, &kRowB, &kRowB, &kRowB, &kRowB, &kRowB, &kRowB,
         &kRowB, &kRowC, &kRowC, &kRowC, &kRowC, &kRowC, &kRowC, &kRowC, &kRowC, &kRowC,
         &kRowC, &kRowC, &kRowC, &kRowD, &kRowD, &kRowD, &kRowD}};
constexpr AllocationTable kTableB = {
    30, {&kRowA, &kRowA, &kRowA, &kRowB, &kRowB, &kRowB, &kRowB, &kRowB, &kRowB, &kRowB,
         &kRowB, &kRowC, &kRowC, &kRowC, &kRowC, &kRowC, &kRowC, &kRowC, &kRowC, &kRowC,
         &kRowC, &kRowC, &kRowC, &kRowD, &kRowD, &kRowD, &kRowD, &kRowD, &kRowD, &kRowD}};
// MPEG-1, low bit rates per channel: 8 subbands (44.1 and 48 kHz) or 12 (32 kHz).
constexpr AllocationTable kTableC = {
    8, {&kRowE, &kRowE, &kRowF, &kRowF, &kRowF, &kRowF, &kRowF, &kRowF}};
constexpr AllocationTable kTableD = {
    12, {&kRowE, &kRowE, &kRowF, &kRowF, &kRowF, &kRowF, &kRowF, &kRowF, &kRowF, &kRowF,
         &kRowF, &kRowF}};
// MPEG-2 and 2.5 low sampling frequencies: one table for every bit rate.
constexpr AllocationTable kTableLsf = {
    30, {&kRowH, &kRowH, &kRowH, &kRowH, &kRowF, &kRowF, &kRowF, &kRowF, &kRowF, &kRowF,
         &kRowF, &kRowG, &kRowG, &kRowG, &kRowG, &kRowG, &kRowG, &kRowG, &kRowG, &kRowG,
         &kRowG, &kRowG, &kRowG, &kRowG, &kRowG, &kRowG, &kRowG, &kRowG, &kRowG, &kRowG}};

const AllocationTable& SelectTable(const FrameHeader& header, int channels, int32_t bitrate,
                                   int32_t frequency) {
  if (header.version != 1) return kTableLsf;
  const int32_t per_channel = bitrate / 1000 / channels;
  if (per_channel <= 48) return frequency == 32000 ? kTableD : kTableC;
  if (per_channel <= 80) return kTableA;
  return frequency == 48000 ? kTableA : kTableB;
}

int HeaderBytes(const FrameHeader& header) { return header.crc ? 6 : 4; }

int Channels(const FrameHeader& header) { return header.mode == 3 ? 1 : 2; }

}  // namespace

int DecodeLayer1Frame(const FrameHeader& header, const uint8_t* frame, int32_t length,
                      int subband_limit, float out[2][36][32]) {
  const double* scale = Scales().value;
  const int channels = Channels(header);
  const int bound = header.mode == 1 ? (header.mode_extension + 1) * 4 : 32;
  FrameBits bits(frame, length);
  bits.Skip(HeaderBytes(header) * 8);

  int allocation[2][32] = {};
  for (int sb = 0; sb < 32; ++sb) {
    for (int ch = 0; ch < channels; ++ch) {
      if (sb >= bound && ch > 0) {
        allocation[ch][sb] = allocation[0][sb];
        continue;
      }
      allocation[ch][sb] = static_cast<int>(bits.Read(4));
      if (allocation[ch][sb] == 15) return 0;  // forbidden value
    }
  }
  int scalefactor[2][32] = {};
  for (int sb = 0; sb < 32; ++sb)
    for (int ch = 0; ch < channels; ++ch)
      if (allocation[ch][sb]) scalefactor[ch][sb] = static_cast<int>(bits.Read(6));

  // Per channel and subband: the factor that turns a code into a sample, and the code's offset.
  double factor[2][32] = {};
  int offset[2][32] = {};
  for (int ch = 0; ch < channels; ++ch) {
    for (int sb = 0; sb < 32; ++sb) {
      const int a = allocation[ch][sb];
      if (!a) continue;
      const int steps = (2 << a) - 1;  // allocation a means a + 1 bits per code
      factor[ch][sb] = scale[scalefactor[ch][sb]] / steps;
      offset[ch][sb] = steps - 1;
    }
  }

  for (int slot = 0; slot < kLayer1Slots; ++slot) {
    for (int ch = 0; ch < channels; ++ch) std::memset(out[ch][slot], 0, sizeof out[ch][slot]);
    for (int sb = 0; sb < 32; ++sb) {
      const int shared = sb >= bound ? 1 : channels;
      for (int ch = 0; ch < shared; ++ch) {
        const int a = allocation[ch][sb];
        if (!a) continue;
        const int code = static_cast<int>(bits.Read(a + 1));
        if (sb >= subband_limit) continue;
        if (sb >= bound) {
          for (int c = 0; c < channels; ++c)
            out[c][slot][sb] = static_cast<float>((2 * code - offset[c][sb]) * factor[c][sb]);
        } else {
          out[ch][slot][sb] = static_cast<float>((2 * code - offset[ch][sb]) * factor[ch][sb]);
        }
      }
    }
  }
  return kLayer1Slots;
}

int DecodeLayer2Frame(const FrameHeader& header, int32_t bitrate, int32_t frequency,
                      const uint8_t* frame, int32_t length, int subband_limit,
                      float out[2][36][32]) {
  const double* scale = Scales().value;
  const int channels = Channels(header);
  const AllocationTable& table = SelectTable(header, channels, bitrate, frequency);
  const int sblimit = table.sblimit;
  int bound = header.mode == 1 ? (header.mode_extension + 1) * 4 : sblimit;
  if (bound > sblimit) bound = sblimit;
  FrameBits bits(frame, length);
  bits.Skip(HeaderBytes(header) * 8);

  // Quantiser per channel and subband, QNone where the subband carries nothing.
  int quantiser[2][32];
  for (int ch = 0; ch < 2; ++ch)
    for (int sb = 0; sb < 32; ++sb) quantiser[ch][sb] = QNone;
  for (int sb = 0; sb < sblimit; ++sb) {
    const AllocationRow& row = *table.rows[sb];
    if (sb < bound) {
      for (int ch = 0; ch < channels; ++ch)
        quantiser[ch][sb] = row.quantiser[bits.Read(row.nbal)];
    } else {
      const int q = row.quantiser[bits.Read(row.nbal)];
      for (int ch = 0; ch < channels; ++ch) quantiser[ch][sb] = q;
    }
  }

  int scfsi[2][32] = {};
  for (int sb = 0; sb < sblimit; ++sb)
    for (int ch = 0; ch < channels; ++ch)
      if (quantiser[ch][sb] != QNone) scfsi[ch][sb] = static_cast<int>(bits.Read(2));

  // Three scale factors per subband, one for each third (4 granules) of the frame; the
  // selection information says which of them are sent and which repeat.
  int scalefactor[2][32][3] = {};
  for (int sb = 0; sb < sblimit; ++sb) {
    for (int ch = 0; ch < channels; ++ch) {
      if (quantiser[ch][sb] == QNone) continue;
      int* s = scalefactor[ch][sb];
      switch (scfsi[ch][sb]) {
        case 0:
          s[0] = static_cast<int>(bits.Read(6));
          s[1] = static_cast<int>(bits.Read(6));
          s[2] = static_cast<int>(bits.Read(6));
          break;
        case 1:
          s[0] = s[1] = static_cast<int>(bits.Read(6));
          s[2] = static_cast<int>(bits.Read(6));
          break;
        case 2:
          s[0] = s[1] = s[2] = static_cast<int>(bits.Read(6));
          break;
        default:
          s[0] = static_cast<int>(bits.Read(6));
          s[1] = s[2] = static_cast<int>(bits.Read(6));
          break;
      }
    }
  }

  for (int ch = 0; ch < channels; ++ch) std::memset(out[ch], 0, sizeof out[ch]);

  for (int granule = 0; granule < 12; ++granule) {
    const int part = granule / 4;
    for (int sb = 0; sb < sblimit; ++sb) {
      const int shared = sb >= bound ? 1 : channels;
      for (int ch = 0; ch < shared; ++ch) {
        const int q = quantiser[ch][sb];
        if (q == QNone) continue;
        const Quantiser& quant = kQuantisers[q];
        int code[3];
        if (quant.grouped) {
          uint32_t group = bits.Read(quant.bits);
          for (int i = 0; i < 3; ++i) {
            code[i] = static_cast<int>(group % static_cast<uint32_t>(quant.steps));
            group /= static_cast<uint32_t>(quant.steps);
          }
        } else {
          for (int i = 0; i < 3; ++i) code[i] = static_cast<int>(bits.Read(quant.bits));
        }
        if (sb >= subband_limit) continue;
        const int first = sb >= bound ? 0 : ch;
        const int last = sb >= bound ? channels : ch + 1;
        for (int c = first; c < last; ++c) {
          const double factor = scale[scalefactor[c][sb][part]] / quant.steps;
          for (int i = 0; i < 3; ++i)
            out[c][granule * 3 + i][sb] =
                static_cast<float>((2 * code[i] - (quant.steps - 1)) * factor);
        }
      }
    }
  }
  return kLayer2Slots;
}

}  // namespace mpeg
