#include "dsp/WaveData.h"

#include <algorithm>
#include <cstring>

#include "dsp/Assertion.h"

namespace dsp {

namespace {
constexpr int kRangeAssertionLine = 49;
}

void CWaveData::SetFormat(const platform::WaveFormat& format) {
  format_ = format;
  rate_.store(format.samples_per_sec, std::memory_order_relaxed);
}

void CWaveData::AttachData(std::span<const uint8_t> file, uint32_t data_offset,
                           int32_t frame_count) {
  file_ = file;
  data_offset_ = data_offset;
  frame_count_ = frame_count;
}

void CWaveData::GetData(int32_t position, uint8_t* buffer, int32_t frames) {
  // 64-bit arithmetic: frame count - frames and the byte offsets cannot wrap.
  const int64_t last_start = static_cast<int64_t>(frame_count_) - frames;
  if (position < 0 || position > last_start || frames < 0) {
    throw AssertionError("WaveData", "false", kRangeAssertionLine);
  }
  const uint64_t begin = data_offset_ + static_cast<uint64_t>(position) * format_.block_align;
  const uint64_t length = static_cast<uint64_t>(frames) * format_.block_align;
  // Data attached with a frame count larger than the bytes it has is read as far as it goes; the
  // rest of the buffer is zero-filled rather than read from beyond the file image.
  uint64_t available = 0;
  if (begin < file_.size()) available = std::min<uint64_t>(length, file_.size() - begin);
  if (available > 0) std::memcpy(buffer, file_.data() + begin, available);
  if (available < length) std::memset(buffer + available, 0, length - available);
}

}  // namespace dsp
