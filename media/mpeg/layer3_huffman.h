// Table-driven Huffman decoding for Layer III: each code table becomes a two-level lookup (a
// root indexed by the next few bits, subtables for the longer code words), built once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/mpeg/layer3_bits.h"

namespace mpeg {

class HuffmanDecoder {
 public:
  // The process-wide decoder tables, built on first use.
  static const HuffmanDecoder& Get();

  // Decodes one code word of distinct code table `source` (see kHuffmanSource) and returns
  // x * 16 + y, or -1 for a bit pattern that is no code word.
  int DecodePair(BitReader& bits, int source) const { return Decode(bits, source); }
  // Decodes one count1 quadruple with table 0 (A) or 1 (B): returns v*8+w*4+x*2+y.
  int DecodeQuad(BitReader& bits, int table) const { return Decode(bits, kPairTables + table); }

 private:
  static constexpr int kPairTables = 15;
  struct Entry {
    uint16_t value;  // leaf: the decoded value; link: first entry of the subtable
    uint8_t length;  // leaf: bits consumed at this level (0: no code word); link: subtable bits
    uint8_t link;    // 1 for a link to a subtable
  };
  struct Table {
    int root = 0;
    int root_bits = 0;
  };

  HuffmanDecoder();
  void Build(int index, int xlen, const uint16_t* codes, const uint8_t* lengths, int count,
             bool pairs);

  int Decode(BitReader& bits, int index) const {
    const Table& t = tables_[index];
    const Entry* e = &entries_[static_cast<std::size_t>(t.root) + bits.Peek(t.root_bits)];
    if (e->link) {
      bits.Skip(t.root_bits);
      e = &entries_[static_cast<std::size_t>(e->value) + bits.Peek(e->length)];
    }
    if (e->length == 0) return -1;
    bits.Skip(e->length);
    return e->value;
  }

  std::vector<Entry> entries_;
  Table tables_[kPairTables + 2];
};

}  // namespace mpeg
