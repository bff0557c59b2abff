// The Huffman code tables: complete prefix codes, and every code word decodes to its values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "media/mpeg/layer3_huffman.h"
#include "media/mpeg/layer3_tables.h"

namespace mpeg {
namespace {

// Appends `count` bits of `value`, most significant first.
class BitWriter {
 public:
  void Put(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      if (bits_ % 8 == 0) bytes_.push_back(0);
      if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> (bits_ % 8));
      ++bits_;
    }
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  int64_t bits() const { return bits_; }

 private:
  std::vector<uint8_t> bytes_;
  int64_t bits_ = 0;
};

void ExpectCompletePrefixCode(const HuffmanSource& t, int entries, const char* name) {
  double kraft = 0;
  for (int i = 0; i < entries; ++i) {
    ASSERT_GE(t.lengths[i], 1) << name;
    ASSERT_LE(t.lengths[i], 19) << name;
    ASSERT_EQ(t.codes[i] >> t.lengths[i], 0) << name << " entry " << i << " wider than its length";
    kraft += std::ldexp(1.0, -t.lengths[i]);
    for (int j = 0; j < entries; ++j) {
      if (i == j || t.lengths[i] > t.lengths[j]) continue;
      EXPECT_NE(t.codes[j] >> (t.lengths[j] - t.lengths[i]), t.codes[i])
          << name << ": entry " << i << " is a prefix of entry " << j;
    }
  }
  EXPECT_DOUBLE_EQ(kraft, 1.0) << name << " leaves code words unused or overfull";
}

TEST(Layer3Huffman, EveryTableIsACompletePrefixCode) {
  for (int i = 0; i < kHuffmanSources; ++i) {
    const HuffmanSource& t = kHuffmanSource[i];
    ExpectCompletePrefixCode(t, t.xlen * t.xlen, ("source " + std::to_string(i)).c_str());
  }
  ExpectCompletePrefixCode(kCount1Source[0], 16, "count1 A");
  ExpectCompletePrefixCode(kCount1Source[1], 16, "count1 B");
}

TEST(Layer3Huffman, BigValueTableAssignment) {
  // Tables 4 and 14 do not exist; 16..23 share one code with growing linbits, as do 24..31.
  EXPECT_EQ(kBigValueTables[4].source, -1);
  EXPECT_EQ(kBigValueTables[14].source, -1);
  const int linbits16[8] = {1, 2, 3, 4, 6, 8, 10, 13};
  const int linbits24[8] = {4, 5, 6, 7, 8, 9, 11, 13};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(kBigValueTables[16 + i].source, kBigValueTables[16].source);
    EXPECT_EQ(kBigValueTables[16 + i].linbits, linbits16[i]);
    EXPECT_EQ(kBigValueTables[24 + i].source, kBigValueTables[24].source);
    EXPECT_EQ(kBigValueTables[24 + i].linbits, linbits24[i]);
  }
  for (int i = 1; i < 16; ++i) EXPECT_EQ(kBigValueTables[i].linbits, 0) << "table " << i;
  EXPECT_EQ(kHuffmanSource[kBigValueTables[15].source].xlen, 16);
  EXPECT_EQ(kHuffmanSource[kBigValueTables[13].source].xlen, 16);
}

// Writes every code word of a table back to back, then decodes the stream: each must come
// back as its own value and consume exactly its length, including the long ones that go
// through a subtable.
TEST(Layer3Huffman, EveryCodeWordDecodesToItsValues) {
  const HuffmanDecoder& decoder = HuffmanDecoder::Get();
  for (int source = 0; source < kHuffmanSources; ++source) {
    const HuffmanSource& t = kHuffmanSource[source];
    const int entries = t.xlen * t.xlen;
    BitWriter writer;
    // Reverse order as well as forward, so that neighbours differ between the two passes.
    for (int pass = 0; pass < 2; ++pass)
      for (int n = 0; n < entries; ++n) {
        int i = pass == 0 ? n : entries - 1 - n;
        writer.Put(t.codes[i], t.lengths[i]);
      }
    BitReader reader(writer.bytes().data(), static_cast<int32_t>(writer.bytes().size()));
    for (int pass = 0; pass < 2; ++pass)
      for (int n = 0; n < entries; ++n) {
        int i = pass == 0 ? n : entries - 1 - n;
        int64_t before = reader.position();
        int value = decoder.DecodePair(reader, source);
        ASSERT_EQ(value, (i / t.xlen) * 16 + i % t.xlen) << "source " << source << " entry " << i;
        ASSERT_EQ(reader.position() - before, t.lengths[i]) << "source " << source << " entry " << i;
      }
    EXPECT_EQ(reader.position(), writer.bits());
  }
  for (int table = 0; table < 2; ++table) {
    BitWriter writer;
    for (int i = 0; i < 16; ++i) writer.Put(kCount1Source[table].codes[i], kCount1Source[table].lengths[i]);
    BitReader reader(writer.bytes().data(), static_cast<int32_t>(writer.bytes().size()));
    for (int i = 0; i < 16; ++i) ASSERT_EQ(decoder.DecodeQuad(reader, table), i) << "count1 " << table;
  }
}

TEST(Layer3Huffman, ReaderPastTheEndYieldsZerosWithoutReading) {
  // Only the first byte is handed over; the second must never be seen.
  const uint8_t bytes[2] = {0xA5, 0xFF};
  BitReader reader(bytes, 1);
  EXPECT_EQ(reader.Read(4), 0xAu);
  EXPECT_EQ(reader.Read(8), 0x50u);  // 0101 then zeros
  EXPECT_TRUE(reader.overrun());
  EXPECT_EQ(reader.Read(16), 0u);
  // Positioning past the end and back.
  reader.set_position(3);
  EXPECT_EQ(reader.Read(5), 0x05u);
  reader.set_position(1000);
  EXPECT_EQ(reader.Read(32), 0u);
  EXPECT_EQ(reader.position(), 1032);
}

}  // namespace
}  // namespace mpeg
