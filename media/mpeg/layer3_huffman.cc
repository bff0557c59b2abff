#include "media/mpeg/layer3_huffman.h"

#include "media/mpeg/layer3_tables.h"

namespace mpeg {

const HuffmanDecoder& HuffmanDecoder::Get() {
  static const HuffmanDecoder decoder;
  return decoder;
}

HuffmanDecoder::HuffmanDecoder() {
  for (int i = 0; i < kPairTables; ++i) {
    const HuffmanSource& s = kHuffmanSource[i];
    Build(i, s.xlen, s.codes, s.lengths, s.xlen * s.xlen, true);
  }
  for (int i = 0; i < 2; ++i) {
    const HuffmanSource& s = kCount1Source[i];
    Build(kPairTables + i, 0, s.codes, s.lengths, 16, false);
  }
}

void HuffmanDecoder::Build(int index, int xlen, const uint16_t* codes, const uint8_t* lengths,
                           int count, bool pairs) {
  int max_length = 0;
  for (int i = 0; i < count; ++i) max_length = lengths[i] > max_length ? lengths[i] : max_length;
  const int root_bits = max_length < 8 ? max_length : 8;
  Table& t = tables_[index];
  t.root = static_cast<int>(entries_.size());
  t.root_bits = root_bits;
  entries_.resize(entries_.size() + (std::size_t{1} << root_bits), Entry{0, 0, 0});

  auto value_of = [&](int i) {
    return static_cast<uint16_t>(pairs ? (i / xlen) * 16 + i % xlen : i);
  };
  // Short code words fill every root slot they prefix.
  for (int i = 0; i < count; ++i) {
    int len = lengths[i];
    if (len > root_bits) continue;
    int first = codes[i] << (root_bits - len);
    for (int j = 0; j < (1 << (root_bits - len)); ++j)
      entries_[static_cast<std::size_t>(t.root + first + j)] =
          Entry{value_of(i), static_cast<uint8_t>(len), 0};
  }
  // Long code words go into one subtable per root prefix, as wide as its longest word.
  for (int prefix = 0; prefix < (1 << root_bits); ++prefix) {
    int sub_bits = 0;
    for (int i = 0; i < count; ++i) {
      int len = lengths[i];
      if (len > root_bits && (codes[i] >> (len - root_bits)) == prefix && len - root_bits > sub_bits)
        sub_bits = len - root_bits;
    }
    if (sub_bits == 0) continue;
    int sub = static_cast<int>(entries_.size());
    entries_.resize(entries_.size() + (std::size_t{1} << sub_bits), Entry{0, 0, 0});
    entries_[static_cast<std::size_t>(t.root + prefix)] =
        Entry{static_cast<uint16_t>(sub), static_cast<uint8_t>(sub_bits), 1};
    for (int i = 0; i < count; ++i) {
      int len = lengths[i];
      if (len <= root_bits || (codes[i] >> (len - root_bits)) != prefix) continue;
      int rest = len - root_bits;
      int tail = codes[i] & ((1 << rest) - 1);
      int first = tail << (sub_bits - rest);
      for (int j = 0; j < (1 << (sub_bits - rest)); ++j)
        entries_[static_cast<std::size_t>(sub + first + j)] =
            Entry{value_of(i), static_cast<uint8_t>(rest), 0};
    }
  }
}

}  // namespace mpeg
