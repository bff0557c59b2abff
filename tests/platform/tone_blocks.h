// A tone cut into device blocks, for the sound device tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "platform/wave_device.h"

namespace platform {

class ToneBlocks {
 public:
  // `frames` frames of a `hz` sine at `amplitude` (full scale 1), in blocks of `block_frames`.
  ToneBlocks(const WaveFormat& format, double hz, uint64_t frames, uint32_t block_frames,
             double amplitude = 0.5)
      : format_(format) {
    for (uint64_t first = 0; first < frames; first += block_frames) {
      uint64_t n = std::min<uint64_t>(block_frames, frames - first);
      auto& bytes = data_.emplace_back(n * format.block_align);
      for (uint64_t i = 0; i < n; ++i) {
        double s = amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(first + i) /
                                        format.samples_per_sec);
        for (int ch = 0; ch < format.channels; ++ch) {
          uint8_t* p = bytes.data() + i * format.block_align + ch * (format.bits_per_sample / 8);
          if (format.bits_per_sample == 8) {
            p[0] = static_cast<uint8_t>(std::lround(s * 127) + 128);
          } else {
            auto v = static_cast<int16_t>(std::lround(s * 32767));
            p[0] = static_cast<uint8_t>(v & 0xFF);
            p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
          }
        }
      }
    }
    headers_ = std::vector<WaveHeader>(data_.size());
    for (size_t b = 0; b < data_.size(); ++b) {
      headers_[b].data = data_[b].data();
      headers_[b].buffer_length = static_cast<uint32_t>(data_[b].size());
      headers_[b].user = b;
    }
  }

  size_t size() const { return headers_.size(); }
  WaveHeader& operator[](size_t i) { return headers_[i]; }
  std::vector<WaveHeader>& headers() { return headers_; }
  const std::vector<uint8_t>& bytes(size_t i) const { return data_[i]; }

  // Prepares and writes every block; false when the device refuses one.
  bool WriteAll(WaveOutDevice& device) {
    for (auto& h : headers_) {
      if (device.Prepare(h) != MMResult::kNoError || device.Write(h) != MMResult::kNoError)
        return false;
    }
    return true;
  }

 private:
  WaveFormat format_;
  std::vector<std::vector<uint8_t>> data_;
  std::vector<WaveHeader> headers_;
};

}  // namespace platform
