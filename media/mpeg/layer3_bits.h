// Bit reader over a byte buffer with a hard end: bits come from a 64-bit cache refilled a
// byte at a time, and everything past the end reads as zero without touching memory beyond
// it, so a damaged length field can neither cause an out-of-bounds read nor invent data.
#pragma once

#include <cstdint>

namespace mpeg {

class BitReader {
 public:
  BitReader() = default;
  BitReader(const uint8_t* data, int32_t bytes)
      : data_(data), end_bytes_(bytes > 0 ? bytes : 0), end_bits_(int64_t{end_bytes_} * 8) {
    Refill();
  }

  // Reads n (0..32) bits, most significant first.
  uint32_t Read(int n) {
    uint32_t value = Peek(n);
    Skip(n);
    return value;
  }
  // The next n (0..32) bits without consuming them; zeros past the end.
  uint32_t Peek(int n) {
    if (n == 0) return 0;
    if (cached_ < n) Refill();
    return static_cast<uint32_t>(cache_ >> (64 - n));
  }
  void Skip(int n) {
    if (n <= cached_) {
      cache_ = n < 64 ? cache_ << n : 0;
      cached_ -= n;
    } else {
      set_position(position() + n);
    }
  }
  bool ReadBit() { return Read(1) != 0; }

  int64_t position() const { return next_byte_ * 8 - cached_; }
  void set_position(int64_t pos) {
    if (pos < 0) pos = 0;
    next_byte_ = pos >> 3;
    cache_ = 0;
    cached_ = 0;
    Refill();
    int drop = static_cast<int>(pos & 7);
    cache_ <<= drop;
    cached_ -= drop;
  }
  int64_t end() const { return end_bits_; }
  bool overrun() const { return position() > end_bits_; }

 private:
  // Tops the cache up to at least 57 bits.
  void Refill() {
    while (cached_ <= 56) {
      uint64_t byte = next_byte_ < end_bytes_ ? data_[next_byte_] : 0;
      cache_ |= byte << (56 - cached_);
      cached_ += 8;
      ++next_byte_;
    }
  }

  const uint8_t* data_ = nullptr;
  int64_t end_bytes_ = 0;
  int64_t end_bits_ = 0;
  uint64_t cache_ = 0;  // next bits, most significant first
  int cached_ = 0;      // valid bits in cache_
  int64_t next_byte_ = 0;
};

}  // namespace mpeg
