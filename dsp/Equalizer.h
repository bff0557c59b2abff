// One band of one channel of the equalizer: a second-order peaking section whose magnitude at the
// centre frequency is exactly the band gain. Coefficients and filter state are single precision;
// the state runs on from block to block, so consecutive blocks are one continuous signal.
#pragma once

#include <cstdint>
#include <mutex>

namespace dsp {

class CEqualizer {
 public:
  // H(z) = b0 * (1 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2)
  struct Coefficients {
    float b0 = 0, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  };
  // The last two input and output samples of the previous block (x1, y1 the last).
  struct State {
    float x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  };

  CEqualizer() = default;
  CEqualizer(const CEqualizer&) = delete;
  CEqualizer& operator=(const CEqualizer&) = delete;
  virtual ~CEqualizer() = default;

  // Stores the sample period T (s), centre frequency f0 (Hz), Q and linear gain, and designs the
  // section. Parameters outside the section's domain (T, f0, q or gain not positive and finite,
  // or a design that comes out non-finite) make the band pass its input unchanged, so that no
  // NaN or unstable recursion can reach the filter state.
  void SetParam(float T, float f0, float q, float gain);

  // Filters n samples from in to out (distinct arrays) and keeps the state for the next block.
  void Process(const float* in, float* out, int32_t n);

  // The same as left.Process(in_l, out_l, n) followed by right.Process(in_r, out_r, n), with the
  // two independent recursions interleaved so that one hides the other's latency. Both bands are
  // locked for the whole block.
  static void ProcessPair(CEqualizer& left, const float* in_l, float* out_l, CEqualizer& right,
                          const float* in_r, float* out_r, int32_t n);

  Coefficients GetCoefficients() const;
  State GetState() const;

 private:
  void Design();  // caller holds lock_

  float T_ = 0;
  float f0_ = 0;
  float q_ = 0;
  float gain_ = 0;
  // All zero until the first SetParam: a band that was never set outputs silence.
  Coefficients c_;
  State s_;
  mutable std::mutex lock_;
};

}  // namespace dsp
