// The body of the Ogg Vorbis fuzz target, shared with the regression test that replays the
// saved inputs. The input is a whole file for media::InputVorbis, opened and decoded through
// libvorbisfile (the system's library; only the input itself is instrumented). What Open
// reports must be consistent, and every block whole sample frames of the reported format.
#pragma once

#include <ogg/ogg.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fuzz/input_fuzz_harness.h"
#include "media/InputVorbis.h"

namespace vorbis_fuzz {

using input_fuzz::Require;

// Sets the checksum of every whole Ogg page in `data` to match its bytes (libogg's own
// checksum, as a reader checks it).
inline void FixPageChecksums(uint8_t* data, size_t size) {
  constexpr size_t kHeader = 27;
  for (size_t at = 0; at + kHeader <= size; ++at) {
    if (std::memcmp(data + at, "OggS", 4) != 0) continue;
    const size_t segments = data[at + 26];
    if (at + kHeader + segments > size) break;
    size_t length = kHeader + segments;
    for (size_t i = 0; i < segments; ++i) length += data[at + kHeader + i];
    if (at + length > size) break;
    ogg_page page{data + at, static_cast<long>(kHeader + segments), data + at + kHeader + segments,
                  static_cast<long>(length - kHeader - segments)};
    ogg_page_checksum_set(&page);
    at += length - 1;
  }
}

inline void CheckInput(const uint8_t* data, size_t size) {
  input_fuzz::MemoryFile& file = input_fuzz::MemoryFile::Instance();
  file.Write(data, size);
  media::InputVorbis ogg;
  media::PlayListItem item(file.Path());
  if (!input_fuzz::OpenOrRefuse(ogg, item)) return;

  Require(ogg.FileHeld(), "an opened file is not held");
  media::InputFormat format;
  ogg.GetFormat(format);
  Require(format.channels >= 1 && format.channels <= 2 && format.sample_rate > 0,
          "a format the output cannot play");
  const uint32_t quarter = std::max<uint32_t>(format.sample_rate / 4, 1);
  Require(ogg.BlockSize() == quarter * format.channels * 2, "the block is not a quarter second");
  Require(item.channels == format.channels &&
              item.sample_rate == static_cast<int32_t>(format.sample_rate),
          "the item and the format differ");
  Require(item.length == static_cast<int32_t>(item.total_samples / format.sample_rate),
          "the seconds are not the length's");

  const input_fuzz::Plan plan = input_fuzz::PlanFor(data, size, item.total_samples, 1000);

  input_fuzz::ProbeOutput output;
  output.Expect({format.channels, 16, format.sample_rate, ogg.BlockSize()},
                /*whole_frames=*/true, /*full_blocks=*/false);
  input_fuzz::PlayAndClose(ogg, output, plan);
}

}  // namespace vorbis_fuzz
