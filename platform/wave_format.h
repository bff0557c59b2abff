// The wave format record shared by the sound devices, the audio output, the equalizer engine and
// the recorder: the seven fields of a PCM wave format with its extension count.
#pragma once

#include <cstdint>

namespace platform {

inline constexpr uint16_t kWaveFormatPcm = 1;

struct WaveFormat {
  uint16_t format_tag = 0;
  uint16_t channels = 0;
  uint32_t samples_per_sec = 0;
  uint32_t avg_bytes_per_sec = 0;
  uint16_t block_align = 0;
  uint16_t bits_per_sample = 0;
  uint16_t extra_size = 0;
};

// A PCM format with the derived fields (block align, byte rate) filled in.
constexpr WaveFormat MakePcmFormat(uint16_t channels, uint32_t rate, uint16_t bits) {
  WaveFormat f;
  f.format_tag = kWaveFormatPcm;
  f.channels = channels;
  f.samples_per_sec = rate;
  // In 32 unsigned bits: the product of two 16-bit fields overflows an int.
  f.block_align = static_cast<uint16_t>(uint32_t{channels} * bits / 8);
  f.avg_bytes_per_sec = f.block_align * rate;
  f.bits_per_sample = bits;
  f.extra_size = 0;
  return f;
}

}  // namespace platform
