// What an input hands to the output when playback starts: the PCM layout and the size of every
// block it will write.
#pragma once

#include <cstdint>

namespace media {

struct PcmBlockFormat {
  uint16_t channels = 0;
  uint16_t bits_per_sample = 0;
  uint32_t sample_rate = 0;  // 32 bits: 88.2 and 96 kHz files must open the device at their rate
  uint32_t block_size = 0;   // bytes per block, and the size of each output buffer
};

}  // namespace media
