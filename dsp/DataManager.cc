#include "dsp/DataManager.h"

#include <cmath>
#include <cstring>
#include <new>

#include "dsp/Assertion.h"

namespace dsp {

namespace {

constexpr int kChannelAssertionLine = 371;
constexpr float kFallbackRate = 44000.0f;
constexpr double kBandLimitFactor = 0.7937137868084768;

// Truncates toward zero and saturates symmetrically, so that -32768 (and -128 below) never
// appears; a NaN, which compares false, takes the negative limit rather than an undefined cast.
int16_t ToPcm16(float value) {
  const float v = std::trunc(value);
  if (std::fabs(v) < 32768.0f) return static_cast<int16_t>(v);
  return value >= 0.0f ? int16_t{32767} : int16_t{-32767};
}

uint8_t ToPcm8(float value) {
  const float v = std::trunc(value);
  int32_t s;
  if (std::fabs(v) < 128.0f) {
    s = static_cast<int32_t>(v);
  } else {
    s = value >= 0.0f ? 127 : -127;
  }
  return static_cast<uint8_t>(s + 128);
}

int16_t Load16(const uint8_t* p) {
  int16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void Store16(uint8_t* p, int16_t v) { std::memcpy(p, &v, sizeof v); }

}  // namespace

CEqualizer& CDataManager::BandRef(int32_t channel, int32_t band) {
  CEqualizer* bank;
  if (channel == 1) {
    bank = left_;
  } else if (channel == 2) {
    bank = right_;
  } else {
    throw AssertionError("DataManager", "false", kChannelAssertionLine);
  }
  if (band < 0 || band >= kBandCount) {
    throw AssertionError("DataManager", "band >= 0 && band < kBandCount", __LINE__);
  }
  return bank[band];
}

const CEqualizer& CDataManager::Band(int32_t channel, int32_t band) const {
  return const_cast<CDataManager*>(this)->BandRef(channel, band);
}

void CDataManager::SetBand(int32_t channel, int32_t band, float frequency, float q, float gain) {
  CEqualizer& eq = BandRef(channel, band);
  const uint32_t rate = StoredRate();
  const float fs = rate == 0 ? kFallbackRate : static_cast<float>(rate);
  eq.SetParam(1.0f / fs, frequency, q, gain);
}

int32_t CDataManager::GetBandCount() const {
  const uint32_t half = StoredRate() / 2;
  const auto limit = static_cast<int64_t>(half * kBandLimitFactor);
  for (int32_t i = 0; i < kBandCount; ++i) {
    if (static_cast<int64_t>(BandFrequencies[i]) > limit) return i + 1;
  }
  return kBandCount;
}

bool CDataManager::ReserveScratch(size_t frames) {
  if (left_a_.size() >= frames) return true;
  try {
    left_a_.resize(frames);
    left_b_.resize(frames);
    right_a_.resize(frames);
    right_b_.resize(frames);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void CDataManager::GetData(int32_t /*position*/, uint8_t* buffer, int32_t frames) {
  const platform::WaveFormat& format = Format();
  const int channels = format.channels;
  const int bits = format.bits_per_sample;
  if ((channels != 1 && channels != 2) || (bits != 8 && bits != 16)) return;
  // A block align that disagrees with channels and bits would make the sample walk leave the
  // frames x block align bytes the caller gave.
  if (format.block_align != channels * bits / 8) return;
  if (buffer == nullptr || frames <= 0) return;
  const auto n = static_cast<size_t>(frames);
  // Without scratch memory the block is played unfiltered rather than not at all.
  if (!ReserveScratch(n)) return;

  const bool stereo = channels == 2;
  float* la = left_a_.data();
  float* lb = left_b_.data();
  float* ra = right_a_.data();
  float* rb = right_b_.data();

  if (bits == 16) {
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* p = buffer + i * format.block_align;
      la[i] = Load16(p);
      if (stereo) ra[i] = Load16(p + 2);
    }
  } else {
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* p = buffer + i * format.block_align;
      la[i] = static_cast<float>(p[0] - 128);
      if (stereo) ra[i] = static_cast<float>(p[1] - 128);
    }
  }

  // Even bands read A and write B, odd bands the reverse; no band copies its result.
  const int32_t count = GetBandCount();
  for (int32_t k = 0; k < count; ++k) {
    const bool even = k % 2 == 0;
    const float* in_l = even ? la : lb;
    float* out_l = even ? lb : la;
    if (stereo) {
      const float* in_r = even ? ra : rb;
      float* out_r = even ? rb : ra;
      CEqualizer::ProcessPair(left_[k], in_l, out_l, right_[k], in_r, out_r, frames);
    } else {
      left_[k].Process(in_l, out_l, frames);
    }
  }
  const float* result_l = count % 2 == 1 ? lb : la;
  const float* result_r = count % 2 == 1 ? rb : ra;

  const float master = MasterGain();
  if (bits == 16) {
    for (size_t i = 0; i < n; ++i) {
      uint8_t* p = buffer + i * format.block_align;
      Store16(p, ToPcm16(result_l[i] * master));
      if (stereo) Store16(p + 2, ToPcm16(result_r[i] * master));
    }
  } else {
    for (size_t i = 0; i < n; ++i) {
      uint8_t* p = buffer + i * format.block_align;
      p[0] = ToPcm8(result_l[i] * master);
      if (stereo) p[1] = ToPcm8(result_r[i] * master);
    }
  }
}

}  // namespace dsp
