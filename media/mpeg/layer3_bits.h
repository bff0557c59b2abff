// Bit reader over a byte buffer with a hard end: reads past the end yield zero bits and set a
// flag instead of touching memory beyond it, so a damaged length field cannot cause an
// out-of-bounds read.
#pragma once

#include <cstdint>

namespace mpeg {

class BitReader {
 public:
  BitReader() = default;
  BitReader(const uint8_t* data, int32_t bytes) : data_(data), end_bits_(int64_t{bytes} * 8) {}

  // Reads n (0..25) bits, most significant first.
  uint32_t Read(int n) {
    uint32_t value = Peek(n);
    pos_ += n;
    return value;
  }
  // The next n (0..25) bits without consuming them; zeros past the end.
  uint32_t Peek(int n) const {
    if (n == 0) return 0;
    uint32_t word = Peek32();
    return word >> (32 - n);
  }
  void Skip(int n) { pos_ += n; }
  bool ReadBit() { return Read(1) != 0; }

  int64_t position() const { return pos_; }
  void set_position(int64_t pos) { pos_ = pos; }
  int64_t end() const { return end_bits_; }
  bool overrun() const { return pos_ > end_bits_; }

 private:
  // 32 bits starting at pos_, zero-filled beyond the end of the buffer.
  uint32_t Peek32() const {
    if (pos_ < 0 || pos_ >= end_bits_) return 0;
    int64_t byte = pos_ >> 3;
    int64_t last = (end_bits_ + 7) >> 3;
    uint32_t word = 0;
    if (byte + 4 < last) {
      // Fast path: five whole bytes inside the buffer.
      word = (uint32_t{data_[byte]} << 24) | (uint32_t{data_[byte + 1]} << 16) |
             (uint32_t{data_[byte + 2]} << 8) | uint32_t{data_[byte + 3]};
      uint32_t fifth = data_[byte + 4];
      int shift = static_cast<int>(pos_ & 7);
      if (shift) word = (word << shift) | (fifth >> (8 - shift));
      return word;
    }
    uint64_t acc = 0;
    for (int i = 0; i < 5; ++i) {
      acc <<= 8;
      if (byte + i < last) acc |= data_[byte + i];
    }
    int shift = static_cast<int>(pos_ & 7);
    return static_cast<uint32_t>(acc >> (8 - shift));
  }

  const uint8_t* data_ = nullptr;
  int64_t end_bits_ = 0;
  int64_t pos_ = 0;
};

}  // namespace mpeg
