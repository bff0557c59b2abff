// Layer III frame routine: side information, the bit reservoir, scale factors, Huffman decoding,
// requantisation, reordering, stereo processing, alias reduction, IMDCT with overlap-add and
// frequency inversion. It stops at the subband samples; the synthesis filterbank is shared with
// Layers I and II (synthesis.h).
#pragma once

#include <cstdint>

#include "media/mpeg/decoder.h"

namespace mpeg {

inline constexpr int kLayer3MaxSlots = 36;  // 2 granules of 18 time slots (MPEG-1)

class Layer3Decoder {
 public:
  Layer3Decoder();
  ~Layer3Decoder();
  Layer3Decoder(const Layer3Decoder&) = delete;
  Layer3Decoder& operator=(const Layer3Decoder&) = delete;

  // Start of a stream: empties the bit reservoir and the overlap-add memory.
  void Reset();
  // After a seek: empties the bit reservoir only, so that no frame borrows main data from a
  // frame that was skipped.
  void ResetMainData();

  // Decodes the frame that starts at `frame` (its header's first byte) and is `length` bytes
  // long (the caller has checked that all of them are there). `subband_limit` subbands are
  // decoded; the ones from there up stay zero. Writes out[ch][slot][subband] for each channel
  // (one for single-channel streams, else two) and slot = granule * 18 + time, and returns the
  // number of granules written: 2 for MPEG-1, 1 for MPEG-2 and 2.5. A granule whose main data is
  // not available (reservoir short after a seek or a damaged frame) or cannot be decoded within
  // its bounds comes out as silence, with the overlap-add memory decaying as usual. Never reads
  // outside [frame, frame + length) or the reservoir.
  int DecodeFrame(const FrameHeader& header, const uint8_t* frame, int32_t length,
                  int subband_limit, float out[2][kLayer3MaxSlots][32]);

 private:
  struct State;  // reservoir, overlap memory, scratch: defined in layer3.cc
  State* state_;
};

}  // namespace mpeg
