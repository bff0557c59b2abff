#include "media/InputWav.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace media {

namespace {

// Blocks larger than this come only from a damaged header (8 channels of 32-bit samples at
// 192 kHz need 1.2 MB); refusing them keeps 112 buffers of that size from being allocated.
constexpr int64_t kMaxBlockSize = 16 * 1024 * 1024;

uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Chunk identifiers are made of letters, digits and trailing spaces.
bool IsChunkId(const uint8_t* p) {
  return std::all_of(p, p + 4, [](uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ';
  });
}

}  // namespace

InputWav::InputWav() { idle_sleep_ms_ = kIdleSleepMs; }

InputWav::~InputWav() {
  StopReader();
  Close();
}

void InputWav::ClearFormat() {
  channels_ = bits_per_sample_ = sample_rate_ = 0;
  data_size_ = 0;
  block_size_ = 0;
  data_offset_ = data_end_ = read_pos_ = 0;
  bytes_read_ = 0;
}

void InputWav::Open(const std::string& path, InputInfo& info) {
  Close();
  ClearFormat();
  OpenFile(path);
  try {
    Parse(path);
  } catch (...) {
    CloseFile();
    ClearFormat();
    throw;
  }
  const auto total = static_cast<uint64_t>(BytesToSamples(data_end_ - data_offset_));
  info.channels = channels_;
  info.sample_rate = sample_rate_;
  info.total_samples = static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
  info.length = static_cast<int32_t>(info.total_samples / static_cast<uint32_t>(sample_rate_));
}

void InputWav::Parse(const std::string& path) {
  uint8_t head[8];
  if (ReadFile(head, 8) != 8 || std::memcmp(head, "RIFF", 4) != 0) {
    throw MediaError("RIFF フォーマットではありません。");
  }
  if (ReadFile(head, 4) != 4 || std::memcmp(head, "WAVE", 4) != 0) {
    throw MediaError("WAVE フォーマットではありません。");
  }
  const int64_t file_size = FileSize();
  int64_t offset = 12;
  bool have_format = false;
  bool have_data = false;
  uint8_t format[18] = {};
  uint32_t data_size = 0;
  for (;;) {
    uint8_t chunk[8];
    if (ReadFile(chunk, 8) != 8) break;
    const uint32_t size = Le32(chunk + 4);
    offset += 8;
    if (std::memcmp(chunk, "data", 4) == 0) {
      data_size = size;
      data_offset_ = offset;
      have_data = true;
      break;
    }
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      const uint32_t take = std::min<uint32_t>(size, sizeof format);
      std::memset(format, 0, sizeof format);
      const uint32_t got = ReadFile(format, take);
      // The channel, rate and bit fields lie in the first 16 bytes.
      have_format = got >= 16;
    }
    // Chunk bodies are padded to even length. Some writers forget the pad byte, so an odd
    // chunk is followed without it when only that reading finds a chunk header there.
    int64_t next = offset + size;
    if (size & 1) {
      uint8_t padded[4];
      uint8_t unpadded[4];
      const bool with_pad = SeekFile(next + 1) && ReadFile(padded, 4) == 4 && IsChunkId(padded);
      const bool without_pad =
          SeekFile(next) && ReadFile(unpadded, 4) == 4 && IsChunkId(unpadded);
      if (with_pad || !without_pad) ++next;
    }
    if (file_size >= 0 && next > file_size) break;
    if (!SeekFile(next)) break;
    offset = next;
  }

  if (!have_format) {
    throw MediaError("fmt チャンクがありません。WAV ファイルが壊れているか、WAV ファイルではありません: " +
                     FileNameOf(path));
  }
  const uint32_t channels = Le16(format + 2);
  const uint32_t rate = Le32(format + 4);
  const uint32_t bits = Le16(format + 14);
  const int64_t block = int64_t{channels} * rate * (bits / 8) / 5;
  const int64_t align = int64_t{channels} * (bits / 8);
  if (channels == 0 || rate == 0 || rate > INT32_MAX || bits / 8 == 0 || block < align ||
      block > kMaxBlockSize) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "WAV ファイルのフォーマットが正しくありません（チャンネル数 %u、"
                  "サンプリング周波数 %u Hz、量子化ビット数 %u）。",
                  channels, rate, bits);
    throw MediaError(text);
  }
  if (!have_data) {
    throw MediaError("data チャンクがありません。音声データのない WAV ファイルです: " +
                     FileNameOf(path));
  }
  channels_ = static_cast<int32_t>(channels);
  sample_rate_ = static_cast<int32_t>(rate);
  bits_per_sample_ = static_cast<int32_t>(bits);
  // Whole frames only, so that every block starts on a frame.
  block_size_ = static_cast<uint32_t>(block - block % align);

  // A size of 0, or one running past the end of the file, is a header that was never finished
  // (a recording cut short): the samples are whatever the file holds.
  int64_t end = data_offset_ + data_size;
  if (file_size >= 0 && (data_size == 0 || end > file_size)) end = file_size;
  data_end_ = std::max(end, data_offset_);
  data_size_ = static_cast<uint32_t>(std::min<int64_t>(data_end_ - data_offset_, UINT32_MAX));
}

int InputWav::Close() {
  StopReader();
  return CloseFile();
}

void InputWav::Start(int32_t seconds) {
  StopReader();
  if (!FileIsOpen() || block_size_ == 0) throw MediaError("再生するファイルが開かれていません。");
  if (!output_) throw MediaError("音声出力が設定されていません。");
  const int64_t start = SecondsToSamples(std::max(seconds, 0));
  SetStartSample(start);
  read_pos_ = std::min(data_offset_ + start * FrameBytes(), data_end_);
  if (!SeekFile(read_pos_)) throw MediaError("ファイルの再生位置を設定できません。");
  buffer_.assign(block_size_, 0);
  bytes_read_ = ReadBlock();
  output_->Open({static_cast<uint16_t>(channels_), static_cast<uint16_t>(bits_per_sample_),
                 static_cast<uint32_t>(sample_rate_), block_size_});
  StartReader();
}

uint32_t InputWav::ReadBlock() {
  const int64_t left = data_end_ - read_pos_;
  if (left <= 0) return 0;
  const uint32_t n = ReadFile(buffer_.data(), static_cast<uint32_t>(std::min<int64_t>(left, block_size_)));
  read_pos_ += n;
  return n;
}

void InputWav::Seek(int64_t sample_index) {
  sample_index = std::max<int64_t>(sample_index, 0);
  ResetOutputAt(sample_index);
  read_pos_ = std::min(data_offset_ + sample_index * FrameBytes(), data_end_);
  SeekFile(read_pos_);
}

bool InputWav::ContinueAfterSeek() {
  bytes_read_ = ReadBlock();
  return bytes_read_ > 0;
}

int InputWav::Run() {
  for (;;) {
    output_->Write(buffer_.data(), bytes_read_);
    if (!ServeCommands()) break;
    bytes_read_ = ReadBlock();
    if (bytes_read_ == 0) break;  // the end of the data chunk, or a failed read
    IdleSleep();
  }
  return 0;
}

void InputWav::GetFormat(InputFormat& format) const {
  format.channels = static_cast<uint16_t>(channels_);
  format.bits_per_sample = static_cast<uint16_t>(bits_per_sample_);
  format.sample_rate = static_cast<uint32_t>(sample_rate_);
}

}  // namespace media
