// Layer I and Layer II frame routines: bit allocation, scale factors and requantisation of the
// subband samples. Like the Layer III routine they stop at the subband samples; the synthesis
// filterbank turns them into PCM.
#pragma once

#include <cstdint>

#include "media/mpeg/decoder.h"

namespace mpeg {

inline constexpr int kLayer1Slots = 12;
inline constexpr int kLayer2Slots = 36;

// Both routines decode the frame that starts at `frame` (its header's first byte) and is
// `length` bytes long, never reading beyond it: a frame cut short reads as zero bits. Subbands
// from `subband_limit` up stay zero. They write out[ch][slot][subband] (full scale 1.0) for one
// channel (single channel) or two, and return the number of time slots written (12 or 36), or
// 0 when the frame carries a forbidden allocation and must be treated as silence.
int DecodeLayer1Frame(const FrameHeader& header, const uint8_t* frame, int32_t length,
                      int subband_limit, float out[2][36][32]);
int DecodeLayer2Frame(const FrameHeader& header, int32_t bitrate, int32_t frequency,
                      const uint8_t* frame, int32_t length, int subband_limit,
                      float out[2][36][32]);

}  // namespace mpeg
