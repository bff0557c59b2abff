// The body of the WAV fuzz target, shared with the regression test that replays the saved
// inputs. The input is a whole file for media::InputWav. What Open reports must be consistent
// (the samples inside the file, a block of whole frames, the length from the data size), and
// playback must hand the output the file's own bytes from the data chunk: from the start
// second, and after the seek from the sample sought, up to the end of the data.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fuzz/input_fuzz_harness.h"
#include "media/InputWav.h"

namespace wav_fuzz {

using input_fuzz::Require;

// Playback is left out for blocks larger than this (a fifth of a second of 32-bit stereo at
// 192 kHz is 307 200 bytes): only a damaged header asks for more, the path is the same, and
// allocating and clearing megabytes per input would cost more than the rest of the run.
constexpr uint32_t kMaxPlayedBlock = 320 * 1024;

inline void CheckInput(const uint8_t* data, size_t size) {
  input_fuzz::MemoryFile& file = input_fuzz::MemoryFile::Instance();
  file.Write(data, size);
  media::InputWav wav;
  media::PlayListItem item(file.Path());
  if (!input_fuzz::OpenOrRefuse(wav, item)) return;

  media::InputFormat format;
  wav.GetFormat(format);
  const int64_t offset = wav.DataOffset();
  const int64_t end = wav.DataEnd();
  const int64_t frame = int64_t{format.channels} * (format.bits_per_sample / 8);
  Require(offset >= 20 && offset <= end && end <= static_cast<int64_t>(size),
          "the samples are not inside the file");
  Require(format.channels > 0 && format.sample_rate > 0 && frame > 0, "an empty format");
  Require(wav.BlockSize() > 0 && wav.BlockSize() % frame == 0, "a block of partial frames");
  Require(item.channels == format.channels &&
              item.sample_rate == static_cast<int32_t>(format.sample_rate),
          "the item and the format differ");
  Require(item.total_samples == static_cast<uint64_t>((end - offset) / frame),
          "the length is not the data's");
  Require(item.length == static_cast<int32_t>(item.total_samples / format.sample_rate),
          "the seconds are not the length's");

  // The start second and the seek target: inside the data, at its end, or past it.
  if (wav.BlockSize() > kMaxPlayedBlock) return;

  const input_fuzz::Plan plan = input_fuzz::PlanFor(data, size, item.total_samples, 1000);

  // The bytes of each block follow on from where the last one ended, counted from the start
  // offset, and from the seek's offset after the seek.
  const auto source = [&](int64_t sample) { return std::min(offset + sample * frame, end); };
  int64_t next = source(int64_t{plan.start_seconds} * format.sample_rate);
  int resets_seen = 0;
  input_fuzz::ProbeOutput output;
  output.Expect({format.channels, format.bits_per_sample, format.sample_rate, wav.BlockSize()},
                /*whole_frames=*/false, /*full_blocks=*/false);
  output.SetBlockCheck([&](const uint8_t* bytes, uint32_t length, int resets) {
    if (resets != resets_seen) {
      resets_seen = resets;
      next = source(plan.seek_to);
    }
    Require(next + length <= end, "a block reaches past the data");
    Require(length == wav.BlockSize() || next + length == end,
            "a short block before the end of the data");
    Require(std::memcmp(bytes, data + next, length) == 0, "a block is not the file's bytes");
    next += length;
  });
  input_fuzz::PlayAndClose(wav, output, plan);
}

}  // namespace wav_fuzz
