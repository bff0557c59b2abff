// The polyphase synthesis filterbank shared by the three layers: 32 subband samples of one time
// slot in, 32 PCM samples out, in single precision over a window of past values per channel.
#pragma once

#include <cstdint>

namespace mpeg {

class SynthesisFilter {
 public:
  SynthesisFilter() { Reset(); }
  // Clears the window of past values (start of a stream).
  void Reset();
  // One time slot: 32 subband samples (full scale 1.0) give 32 >> reduction PCM samples, rounded
  // to nearest and clamped to -32768..32767, written at out[0], out[stride], out[2 * stride] ...
  void Synthesize(const float subbands[32], int reduction, int16_t* out, int stride);

 private:
  // The last 16 blocks of 64 matrixed values, as a ring; offset_ is the newest block.
  alignas(16) float v_[1024];
  int offset_ = 0;
};

}  // namespace mpeg
