// The equalizer engine: fifteen bands for the left channel and fifteen for the right, followed by
// a master gain, applied in place to each playback block. Bands and master gain are set from the
// UI thread; SetFormat and GetData run on the thread that writes the playback blocks.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "dsp/BandFrequencies.h"
#include "dsp/Equalizer.h"
#include "dsp/WaveData.h"

namespace dsp {

class CDataManager : public CWaveData {
 public:
  CDataManager() = default;
  ~CDataManager() override = default;

  // Filters frames sample frames of interleaved PCM in the stored format, in place. Handles 1 or 2
  // channels of 8 or 16 bits (block align = channels x bytes per sample); any other format leaves
  // the buffer unchanged. position is not used.
  void GetData(int32_t position, uint8_t* buffer, int32_t frames) override;

  // channel 1 is the left bank, 2 the right; band 0..14. Designs the band for the rate of the last
  // processed block, or 44000 Hz before the first block. Another channel is a programming error
  // (AssertionError "false", source DataManager, line 371); so is a band outside 0..14.
  void SetBand(int32_t channel, int32_t band, float frequency, float q, float gain);
  void SetMasterGain(float gain) { master_gain_.store(gain, std::memory_order_relaxed); }
  float MasterGain() const { return master_gain_.load(std::memory_order_relaxed); }

  // The number of bands that run at the stored rate: up to and including the first band whose
  // centre lies above (rate / 2) x 0.7937137868084768.
  int32_t GetBandCount() const;

  // One band of one bank, same channel numbering as SetBand.
  const CEqualizer& Band(int32_t channel, int32_t band) const;

 private:
  CEqualizer& BandRef(int32_t channel, int32_t band);
  // Makes every scratch array hold at least frames samples; false when memory cannot be had.
  bool ReserveScratch(size_t frames);

  // Declared left first so that the right bank is destroyed first.
  CEqualizer left_[kBandCount];
  CEqualizer right_[kBandCount];
  std::atomic<float> master_gain_{1.0f};

  // Two arrays per channel, used in turn as input and output of successive bands. Kept from block
  // to block and only grown, so that a warmed-up engine allocates nothing.
  std::vector<float> left_a_, left_b_, right_a_, right_b_;
};

}  // namespace dsp
