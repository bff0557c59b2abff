// A wave format with a data operation over it. The base reads frames from wave data attached to
// it (the bytes of a wave file opened elsewhere, with the offset of its sample data); the
// equalizer engine derives from it and filters the caller's buffer instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "platform/wave_format.h"

namespace dsp {

class CWaveData {
 public:
  CWaveData() = default;
  CWaveData(const CWaveData&) = delete;
  CWaveData& operator=(const CWaveData&) = delete;
  virtual ~CWaveData() = default;

  // Base: copies frames x block align bytes, starting at frame `position` of the attached data,
  // into buffer. A position below 0 or beyond frame count - frames is a programming error
  // (AssertionError "false", source WaveData, line 49).
  virtual void GetData(int32_t position, uint8_t* buffer, int32_t frames);

  // Stores all seven format fields. Called on the thread that calls GetData.
  void SetFormat(const platform::WaveFormat& format);
  const platform::WaveFormat& Format() const { return format_; }

  // Makes `file` (the whole file image, which must outlive this object's use of it) the source of
  // the base GetData: frame_count frames of sample data start at data_offset.
  void AttachData(std::span<const uint8_t> file, uint32_t data_offset, int32_t frame_count);

 protected:
  // The sample rate as last stored by SetFormat, readable from any thread.
  uint32_t StoredRate() const { return rate_.load(std::memory_order_relaxed); }

 private:
  platform::WaveFormat format_;
  // The rate again, for the one reader on another thread (the band design on the UI thread).
  std::atomic<uint32_t> rate_{0};
  int32_t frame_count_ = 0;
  uint32_t data_offset_ = 0;
  std::span<const uint8_t> file_;
};

}  // namespace dsp
