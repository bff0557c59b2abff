#include "platform/sound_file.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace platform {

namespace {

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace

std::optional<PcmFile> ReadPcmFile(const std::string& path) {
  if (path.empty()) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  uint8_t riff[12];
  if (!in.read(reinterpret_cast<char*>(riff), 12) || std::memcmp(riff, "RIFF", 4) != 0 ||
      std::memcmp(riff + 8, "WAVE", 4) != 0) {
    return std::nullopt;
  }
  PcmFile file;
  bool have_format = false;
  uint8_t chunk[8];
  while (in.read(reinterpret_cast<char*>(chunk), 8)) {
    uint32_t size = Le32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
      uint8_t f[16];
      if (!in.read(reinterpret_cast<char*>(f), 16)) return std::nullopt;
      file.format.format_tag = Le16(f);
      file.format.channels = Le16(f + 2);
      file.format.samples_per_sec = Le32(f + 4);
      file.format.avg_bytes_per_sec = Le32(f + 8);
      file.format.block_align = Le16(f + 12);
      file.format.bits_per_sample = Le16(f + 14);
      in.seekg(size - 16 + (size & 1), std::ios::cur);
      have_format = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!have_format) return std::nullopt;
      // The size field may claim more than the file holds (a streamed or cut-off file): read
      // what is there instead of reserving what the field says.
      auto here = in.tellg();
      in.seekg(0, std::ios::end);
      auto left = static_cast<uint64_t>(in.tellg() - here);
      in.seekg(here);
      file.samples.resize(static_cast<size_t>(std::min<uint64_t>(size, left)));
      in.read(reinterpret_cast<char*>(file.samples.data()),
              static_cast<std::streamsize>(file.samples.size()));
      file.samples.resize(static_cast<size_t>(in.gcount()));  // a short file plays what it has
      break;
    } else {
      in.seekg(size + (size & 1), std::ios::cur);  // chunks are padded to even length
    }
  }
  const auto& f = file.format;
  if (!have_format || f.format_tag != kWaveFormatPcm || f.channels < 1 || f.channels > 2 ||
      (f.bits_per_sample != 8 && f.bits_per_sample != 16) || f.samples_per_sec == 0) {
    return std::nullopt;
  }
  file.format = MakePcmFormat(f.channels, f.samples_per_sec, f.bits_per_sample);
  return file;
}

void PlaySoundFileOn(WaveOutDevice& device, const std::string& path) {
  auto file = ReadPcmFile(path);
  if (!file || file->samples.empty()) return;

  // One header for the whole sound: the marker sounds this plays are short.
  WaveHeader header;
  header.data = file->samples.data();
  header.buffer_length = static_cast<uint32_t>(file->samples.size());
  Event done;
  if (device.Open(file->format, [&done](WaveHeader&) { done.Set(); }) != MMResult::kNoError) return;
  device.Prepare(header);
  if (device.Write(header) == MMResult::kNoError) done.Wait();
  while (device.Unprepare(header) == MMResult::kStillPlaying) done.Wait(Milliseconds(10));
  while (device.Close() == MMResult::kStillPlaying) done.Wait(Milliseconds(10));
}

}  // namespace platform
