// The body of the MP3 fuzz target, shared with the regression test that replays the saved
// inputs. The input is a whole file for media::InputMP3: ID3v2 tags, the search for the first
// frame, the Xing or Info frame, then playback through the reader (resynchronising after damaged
// frames) with a start second and a seek, both of which decode from the first frame on. What
// Open reports must be consistent, every block must be one frame of the stream's output size,
// and a seek must land on a frame boundary no later than the one asked for.
#pragma once

#include <cstdint>

#include "fuzz/input_fuzz_harness.h"
#include "media/InputMP3.h"

namespace mp3_fuzz {

using input_fuzz::Require;

inline void CheckInput(const uint8_t* data, size_t size) {
  input_fuzz::MemoryFile& file = input_fuzz::MemoryFile::Instance();
  file.Write(data, size);
  media::InputMP3 mp3;
  media::PlayListItem item(file.Path());
  if (!input_fuzz::OpenOrRefuse(mp3, item)) return;

  const mpeg::StreamInfo& stream = mp3.StreamInfo();
  media::InputFormat format;
  mp3.GetFormat(format);
  const int64_t frame = int64_t{format.channels} * (format.bits_per_sample / 8);
  Require(mp3.DataOffset() >= 0 && mp3.DataOffset() + 4 <= static_cast<int64_t>(size),
          "the first frame is not inside the file");
  Require(format.channels >= 1 && format.channels <= 2 && format.bits_per_sample == 16 &&
              format.sample_rate > 0,
          "a format the output cannot play");
  Require(stream.output_size > 0 && stream.output_size % frame == 0,
          "a frame's output is not whole sample frames");
  Require(stream.min_input_size > 0 && stream.max_input_size >= stream.min_input_size,
          "impossible frame lengths");
  Require(stream.skip_size >= 0 && item.frames >= 0, "a negative count");
  const int64_t spf = stream.output_size / frame;
  Require(item.total_samples == static_cast<uint64_t>(item.frames) * static_cast<uint64_t>(spf) ||
              item.total_samples == UINT32_MAX,
          "the length is not the frames'");
  Require(item.length == static_cast<int32_t>(item.total_samples / format.sample_rate),
          "the seconds are not the length's");

  const input_fuzz::Plan plan = input_fuzz::PlanFor(data, size, item.total_samples, 5 * spf);

  input_fuzz::ProbeOutput output;
  output.Expect({format.channels, format.bits_per_sample, format.sample_rate,
                 static_cast<uint32_t>(stream.output_size)},
                /*whole_frames=*/true, /*full_blocks=*/true);
  input_fuzz::PlayAndClose(mp3, output, plan);
  // Where the start or the seek landed: a frame boundary at or before the first one at or after
  // the sample asked for (before it only when the stream ended sooner).
  const int64_t asked = plan.seek_after > 0 && output.Blocks() >= plan.seek_after
                            ? plan.seek_to
                            : int64_t{plan.start_seconds} * format.sample_rate;
  Require(mp3.SeekLanding() >= 0 && mp3.SeekLanding() % spf == 0 &&
              mp3.SeekLanding() <= (asked + spf - 1) / spf * spf,
          "a seek landed off the frame boundary");
}

}  // namespace mp3_fuzz
