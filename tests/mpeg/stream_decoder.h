// Test helpers: decode a whole MPEG audio stream held in memory through the decoder's public
// interface, the way the MP3 input drives it (find the sync word, begin, decode frame by frame,
// resynchronise after a damaged frame), and read raw PCM reference files.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "media/mpeg/decoder.h"

namespace mpeg_test {

struct Decoded {
  bool began = false;        // BeginDecoding succeeded
  int32_t begin_error = 0;   // the last error when it did not
  mpeg::StreamInfo info;
  std::vector<int16_t> pcm;  // interleaved, info.channels per sample frame
  int frames = 0;            // frames decoded
  int resyncs = 0;           // frames skipped as damaged
  std::vector<int> frame_modes;  // header mode of every decoded frame
};

inline std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::vector<int16_t> ReadS16(const std::filesystem::path& path) {
  std::vector<uint8_t> bytes = ReadFile(path);
  std::vector<int16_t> out(bytes.size() / 2);
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return out;
}

// 24-bit little-endian samples, as int32 of full scale 2^23.
inline std::vector<int32_t> ReadS24(const std::filesystem::path& path) {
  std::vector<uint8_t> bytes = ReadFile(path);
  std::vector<int32_t> out(bytes.size() / 3);
  for (size_t i = 0; i < out.size(); ++i) {
    uint32_t u = bytes[3 * i] | (bytes[3 * i + 1] << 8) | (uint32_t{bytes[3 * i + 2]} << 16);
    out[i] = static_cast<int32_t>(u << 8) >> 8;
  }
  return out;
}

// Decodes `data` from its first sync word to its end. The Xing frame, when there is one, is
// skipped as the MP3 input skips it.
inline Decoded DecodeStream(const std::vector<uint8_t>& data,
                            const mpeg::DecoderOptions* options = nullptr) {
  Decoded result;
  mpeg::DecoderInit();
  if (options) mpeg::SetDecoderOptions(options);
  const auto size = static_cast<int32_t>(data.size());
  int32_t start = 0;
  if (!mpeg::FindSyncWord(data.data(), size, &start)) {
    result.begin_error = mpeg::DecoderLastError();
    return result;
  }
  // ReadStreamInfo needs at least 156 bytes; a shorter stream is padded for it.
  std::vector<uint8_t> head(data.begin() + start, data.end());
  if (head.size() < 156) head.resize(156, 0);
  if (!mpeg::ReadStreamInfo(head.data(), static_cast<int32_t>(head.size()), &result.info) ||
      !mpeg::BeginDecoding(head.data(), static_cast<int32_t>(head.size()))) {
    result.begin_error = mpeg::DecoderLastError();
    return result;
  }
  result.began = true;
  int32_t pos = start + result.info.skip_size;
  std::vector<uint8_t> out(static_cast<size_t>(result.info.output_size));
  while (pos < size) {
    mpeg::FrameJob job;
    job.input = data.data() + pos;
    job.input_size = size - pos;
    job.output = out.data();
    if (mpeg::DecodeOneFrame(&job)) {
      const size_t n = static_cast<size_t>(job.output_size) / 2;
      if (result.info.bits_per_sample == 16) {
        for (size_t i = 0; i < n; ++i)
          result.pcm.push_back(static_cast<int16_t>(out[2 * i] | (out[2 * i + 1] << 8)));
      }
      result.frame_modes.push_back(job.header.mode);
      ++result.frames;
      pos += job.input_size;
      continue;
    }
    if (mpeg::DecoderLastError() == mpeg::kErrorNeedMoreData) break;  // the stream's end
    // Lost synchronisation: look for the next sync word after this byte.
    int32_t next = 0;
    if (!mpeg::FindSyncWord(data.data() + pos + 1, size - pos - 1, &next)) break;
    pos += 1 + next;
    ++result.resyncs;
  }
  return result;
}

// The folder of the shared test data, or empty when it is not there.
inline std::filesystem::path TestDataDir() {
  const char* src = std::getenv("VERBAT_SOURCE_DIR");
  std::filesystem::path dir =
      std::filesystem::path(src ? src : ".") / ".." / "shared" / "testdata" / "mpeg";
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) return {};
  return dir;
}

}  // namespace mpeg_test
