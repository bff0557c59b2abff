// Builds WAV files for the media tests, chunk by chunk, so that each test states the layout it
// exercises (odd chunks, long fmt chunks, trailing chunks, unfinished headers).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace media_test {

inline void PutLe16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
inline void PutLe32(std::vector<uint8_t>& v, uint32_t x) {
  PutLe16(v, x & 0xFFFF);
  PutLe16(v, x >> 16);
}

class WavBuilder {
 public:
  // A fmt chunk of `size` bytes (16, 18 or more); bytes past the standard fields are 0xEE so
  // that reading them as something else shows.
  WavBuilder& Fmt(uint16_t channels, uint32_t rate, uint16_t bits, uint32_t size = 16) {
    std::vector<uint8_t> body;
    PutLe16(body, 1);
    PutLe16(body, channels);
    PutLe32(body, rate);
    PutLe32(body, rate * channels * bits / 8);
    PutLe16(body, static_cast<uint32_t>(channels * bits / 8));
    PutLe16(body, bits);
    if (size >= 18) PutLe16(body, size - 18);
    body.resize(size, 0xEE);
    return Chunk("fmt ", body);
  }
  // Appends a chunk with its pad byte when the size is odd (unless told to leave it out).
  WavBuilder& Chunk(const char* id, const std::vector<uint8_t>& body, bool pad = true) {
    return RawChunk(id, static_cast<uint32_t>(body.size()), body, pad);
  }
  // A chunk whose size field says `declared` whatever the body holds.
  WavBuilder& RawChunk(const char* id, uint32_t declared, const std::vector<uint8_t>& body,
                       bool pad = true) {
    chunks_.insert(chunks_.end(), id, id + 4);
    PutLe32(chunks_, declared);
    chunks_.insert(chunks_.end(), body.begin(), body.end());
    if (pad && (body.size() & 1)) chunks_.push_back(0);
    return *this;
  }
  WavBuilder& Data(const std::vector<uint8_t>& samples) { return Chunk("data", samples); }

  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> v = {'R', 'I', 'F', 'F'};
    PutLe32(v, static_cast<uint32_t>(chunks_.size() + 4));
    v.insert(v.end(), {'W', 'A', 'V', 'E'});
    v.insert(v.end(), chunks_.begin(), chunks_.end());
    return v;
  }

 private:
  std::vector<uint8_t> chunks_;
};

// Samples that differ from block to block and byte to byte, so that a shifted, repeated or
// dropped stretch shows in a comparison.
inline std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed = 1) {
  std::vector<uint8_t> v(bytes);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return v;
}

// A file in a folder of its own that is removed with the object.
class TempFile {
 public:
  explicit TempFile(const std::vector<uint8_t>& bytes, const std::string& name = "test.wav") {
    char dir[] = "/tmp/verbat-media-XXXXXX";
    dir_ = mkdtemp(dir);
    path_ = dir_ + "/" + name;
    std::ofstream out(path_, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  ~TempFile() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }
  std::string dir() const { return dir_; }

 private:
  std::string dir_;
  std::string path_;
};

inline std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace media_test
