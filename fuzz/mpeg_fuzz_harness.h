// The body of the MPEG decoder fuzz target, shared with the regression test that replays the
// saved inputs. The first byte picks the options; the rest is the stream, held in a heap block
// of exactly its size so that the address sanitizer sees any read past its end. It is decoded
// the way the MP3 input drives the decoder: find the sync word, read the stream information,
// begin, then decode frame by frame, resynchronising after a damaged frame and now and then
// suspending and resuming synthesis as a seek does.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "media/mpeg/decoder.h"

namespace mpeg_fuzz {

inline void DecodeInput(const uint8_t* data, size_t size) {
  if (size < 1) return;
  mpeg::DecoderInit();
  const uint8_t control = data[0];
  mpeg::DecoderOptions options;
  options.reduction = control & 3;
  options.convert = ((control >> 2) & 1) | ((control >> 3) & 1) * 8;
  options.frequency_limit = (control & 0x20) ? 8000 : 24000;
  mpeg::SetDecoderOptions(&options);
  const bool seeks = (control & 0x40) != 0;

  const auto n = static_cast<int32_t>(size - 1);
  std::unique_ptr<uint8_t[]> stream(new uint8_t[size - 1 > 0 ? size - 1 : 1]);
  if (n > 0) std::memcpy(stream.get(), data + 1, static_cast<size_t>(n));

  int32_t start = 0;
  if (!mpeg::FindSyncWord(stream.get(), n, &start)) return;
  // The stream information needs 156 bytes; a shorter stream is read from a padded copy.
  std::vector<uint8_t> head(stream.get() + start, stream.get() + n);
  if (head.size() < 156) head.resize(156, 0);
  mpeg::StreamInfo info;
  if (!mpeg::ReadStreamInfo(head.data(), static_cast<int32_t>(head.size()), &info)) return;
  if (!mpeg::BeginDecoding(head.data(), static_cast<int32_t>(head.size()))) return;
  if (info.output_size <= 0 || info.output_size > 2 * 1152 * 2) std::abort();

  // Room for one frame of output and a guard that must stay untouched.
  constexpr int kGuard = 64;
  std::vector<uint8_t> out(static_cast<size_t>(info.output_size) + kGuard, 0xA5);
  int32_t pos = start + (info.skip_size > 0 ? info.skip_size : 0);
  int frames = 0;
  for (int calls = 0; pos >= 0 && pos < n && calls < 100000; ++calls) {
    mpeg::FrameJob job;
    job.input = stream.get() + pos;
    job.input_size = n - pos;
    job.output = out.data();
    if (seeks && frames % 5 == 3) mpeg::SuspendSynthesis(&job);
    const int32_t ok = mpeg::DecodeOneFrame(&job);
    if (seeks && frames % 5 == 3) mpeg::ResumeSynthesis(&job);
    for (int i = 0; i < kGuard; ++i)
      if (out[static_cast<size_t>(info.output_size) + i] != 0xA5) std::abort();
    if (ok) {
      if (job.input_size <= 4 || job.input_size > n - pos) std::abort();
      if (job.output_size != info.output_size) std::abort();
      pos += job.input_size;
      ++frames;
      continue;
    }
    const int32_t error = mpeg::DecoderLastError();
    if (error == mpeg::kErrorNeedMoreData) break;
    if (error != mpeg::kErrorBadSync && error != mpeg::kErrorInvalidField) std::abort();
    int32_t next = 0;
    if (!mpeg::FindSyncWord(stream.get() + pos + 1, n - pos - 1, &next)) break;
    pos += 1 + next;
  }
}

}  // namespace mpeg_fuzz
