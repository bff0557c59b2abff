// Constant tables of Layer III: scale-factor bands for the nine sampling frequencies, the
// Huffman code tables, pretab and the LSF scale-factor partitions.
#pragma once

#include <cstdint>

namespace mpeg {

// Band boundaries in frequency lines: long blocks 22 bands (23 edges, last 576), short blocks
// 13 bands per window (14 edges, last 192).
struct ScaleFactorBands {
  int16_t long_edges[23];
  int16_t short_edges[14];
};

// index = (version - 1) * 3 + frequency_index: MPEG-1 44.1/48/32, MPEG-2 22.05/24/16,
// MPEG-2.5 11.025/12/8 kHz.
const ScaleFactorBands& ScaleFactorBandsFor(int version, int frequency_index);
inline constexpr int kScaleFactorBandSets = 9;
extern const ScaleFactorBands kScaleFactorBands[kScaleFactorBandSets];

extern const uint8_t kPretab[22];

// MPEG-1 scalefac_compress -> bit lengths of the two scale-factor groups.
extern const uint8_t kSlen[2][16];

// LSF: scale factors per partition, [partition table][block kind: long, short, mixed][4].
extern const uint8_t kLsfPartitionSizes[6][3][4];

// One Huffman code table as the standard lists it: for value pair (x, y) at x * xlen + y the
// code word (right-aligned) and its length in bits.
struct HuffmanSource {
  int xlen = 0;
  const uint16_t* codes = nullptr;
  const uint8_t* lengths = nullptr;
};

// The code table and linbits of big-values table number 0..31; tables 4 and 14 are not
// defined (xlen 0).
struct BigValueTable {
  int source;   // index into the distinct code tables, -1 for none
  int linbits;
};
extern const BigValueTable kBigValueTables[32];
// Distinct code tables 0..16: the sources of tables 1,2,3,5..13,15,16,24 in that order.
inline constexpr int kHuffmanSources = 15;
extern const HuffmanSource kHuffmanSource[kHuffmanSources];
// Count1 tables A (variable length) and B (four bits), 16 entries indexed v*8+w*4+x*2+y.
extern const HuffmanSource kCount1Source[2];

}  // namespace mpeg
