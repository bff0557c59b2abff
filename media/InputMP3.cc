#include "media/InputMP3.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace media {

namespace {

// ReadStreamInfo looks this far into the first frame for a Xing header.
constexpr int32_t kStreamInfoBytes = 156;
// ID3v2 tags in a row that are skipped before the search for the first frame gives up on them.
constexpr int kMaxLeadingTags = 8;
// Size of a trailing ID3v1 tag ("TAG" and 125 bytes of fields).
constexpr int64_t kId3v1Size = 128;
// The largest bit reservoir a Layer III frame can reach back into (9 bits of main_data_begin
// for MPEG-1, 8 bits for MPEG-2 and 2.5).
constexpr int32_t kReservoirMpeg1 = 511;
constexpr int32_t kReservoirMpeg2 = 255;
constexpr int64_t kMaxPrerollFrames = 32;

// What one step of decoding did.
enum Step { kDecoded, kRefilled, kFailed, kEnd };

std::string ErrorSuffix(int32_t code) {
  char text[64];
  std::snprintf(text, sizeof text, "（デコーダーのエラー %d）", static_cast<int>(code));
  return text;
}

}  // namespace

InputMP3::InputMP3() {
  mpeg::DecoderInit();
  input_buffer_factor_ = kInputBufferFactor;
  idle_sleep_ms_ = kIdleSleepMs;
}

InputMP3::~InputMP3() {
  StopReader();
  Close();
}

void InputMP3::ClearFormat() {
  stream_ = {};
  channels_ = bits_per_sample_ = sample_rate_ = 0;
  bit_rate_ = frames_ = skip_size_ = 0;
  min_input_size_ = max_input_size_ = 0;
  data_size_ = 0;
  block_size_ = 0;
  data_offset_ = 0;
  output_size_ = samples_per_frame_ = 0;
  seek_landing_ = 0;
}

int64_t InputMP3::Id3v2Size(const uint8_t* head, size_t count) {
  // "ID3", major and minor version (never 0xFF), flags, then a 28-bit size in four bytes of
  // seven bits each that counts the body after the 10-byte header.
  if (count < 10 || std::memcmp(head, "ID3", 3) != 0 || head[3] == 0xFF || head[4] == 0xFF) {
    return 0;
  }
  if ((head[6] | head[7] | head[8] | head[9]) & 0x80) return 0;
  const int64_t body = int64_t{head[6]} << 21 | int64_t{head[7]} << 14 | int64_t{head[8]} << 7 |
                       int64_t{head[9]};
  const bool footer = (head[5] & 0x10) != 0;  // version 4: a copy of the header closes the tag
  return 10 + body + (footer ? 10 : 0);
}

void InputMP3::Open(const std::string& path, InputInfo& info) {
  Close();
  ClearFormat();
  OpenFile(path);
  const std::string name = FileNameOf(path);
  try {
    // Tags in front of the audio (cover art makes them far longer than the search window).
    int64_t offset = 0;
    for (int i = 0; i < kMaxLeadingTags; ++i) {
      uint8_t head[10];
      if (!SeekFile(offset) || ReadFile(head, sizeof head) != sizeof head) break;
      const int64_t tag = Id3v2Size(head, sizeof head);
      if (tag == 0) break;
      offset += tag;
    }
    uint8_t window[kSyncSearchBytes];
    const uint32_t got = SeekFile(offset) ? ReadFile(window, sizeof window) : 0;
    int32_t sync = 0;
    if (!mpeg::FindSyncWord(window, static_cast<int32_t>(got), &sync)) {
      throw MediaError("MPEG オーディオのフレームが見つかりません。MP3 ファイルではないか、"
                       "ファイルが壊れています: " + name);
    }
    data_offset_ = offset + sync;

    // The header and a possible Xing header are read from the frame's own start, so that a
    // sync word late in the window still has the bytes behind it.
    uint8_t first[kSyncSearchBytes] = {};
    const uint32_t have = SeekFile(data_offset_) ? ReadFile(first, sizeof first) : 0;
    const auto count = static_cast<int32_t>(std::max<uint32_t>(have, kStreamInfoBytes));
    if (!mpeg::ReadStreamInfo(first, count, &stream_)) {
      throw MediaError("MPEG オーディオのヘッダーが正しくありません" +
                       ErrorSuffix(mpeg::DecoderLastError()) + ": " + name);
    }
    const int32_t frame_bytes = stream_.channels * (stream_.bits_per_sample / 8);
    if (stream_.frequency <= 0 || frame_bytes <= 0 || stream_.output_size <= 0 ||
        stream_.output_size % frame_bytes != 0 || stream_.min_input_size <= 0 ||
        stream_.max_input_size < stream_.min_input_size) {
      throw MediaError("MPEG オーディオの形式に対応していません: " + name);
    }

    const bool xing = stream_.skip_size > 0;
    int64_t frames = stream_.frames;
    if (!xing || frames <= 0) {
      // Without a frame count the length follows from the bytes behind the first frame; a
      // trailing ID3v1 tag is not audio.
      int64_t end = FileSize();
      if (end - kId3v1Size >= data_offset_) {
        uint8_t tag[3];
        if (SeekFile(end - kId3v1Size) && ReadFile(tag, 3) == 3 && std::memcmp(tag, "TAG", 3) == 0) {
          end -= kId3v1Size;
        }
      }
      const int64_t bytes = std::max<int64_t>(end - data_offset_ - stream_.skip_size, 0);
      const int64_t spf = stream_.output_size / frame_bytes;
      if (stream_.bitrate > 0 && spf > 0) {
        // A constant bit rate stream pads some frames by a byte, so its frames are on average
        // spf x bit rate / (8 x rate) bytes long; counting by the unpadded length would make an
        // hour at 128 kbit/s eight seconds too long.
        // Rounded: the padding decisions keep the stream within a byte of that average.
        const int64_t per = spf * stream_.bitrate;
        frames = (bytes * 8 * stream_.frequency + per / 2) / per;
      } else {
        frames = bytes / stream_.min_input_size;
      }
    }

    channels_ = stream_.channels;
    bits_per_sample_ = stream_.bits_per_sample;
    sample_rate_ = stream_.frequency;
    bit_rate_ = stream_.bitrate;
    frames_ = static_cast<int32_t>(std::min<int64_t>(frames, INT32_MAX));
    skip_size_ = stream_.skip_size;
    data_size_ = static_cast<uint32_t>(std::max(stream_.data_size, 0));
    min_input_size_ = stream_.min_input_size;
    max_input_size_ = stream_.max_input_size;
    output_size_ = stream_.output_size;
    block_size_ = static_cast<uint32_t>(output_size_);
    samples_per_frame_ = output_size_ / frame_bytes;
  } catch (...) {
    CloseFile();
    ClearFormat();
    throw;
  }
  SetStartSample(0);

  const int64_t total = int64_t{frames_} * samples_per_frame_;
  info.channels = channels_;
  info.sample_rate = sample_rate_;
  info.bit_rate = bit_rate_;
  info.frames = frames_;
  info.total_samples = static_cast<uint32_t>(std::min<int64_t>(total, UINT32_MAX));
  info.length = static_cast<int32_t>(info.total_samples / static_cast<uint32_t>(sample_rate_));
  info.name = name;
}

int InputMP3::Close() {
  StopReader();
  return CloseFile();
}

void InputMP3::Start(int32_t seconds) {
  StopReader();
  if (!FileIsOpen() || output_size_ == 0) throw MediaError("再生するファイルが開かれていません。");
  if (!output_) throw MediaError("音声出力が設定されていません。");
  const int64_t start = SecondsToSamples(std::max(seconds, 0));
  buffer_.assign(static_cast<size_t>(max_input_size_) * kInputBufferFactor, 0);
  second_buffer_.assign(static_cast<size_t>(output_size_), 0);
  // Positioned before the device opens: a file that no longer decodes opens nothing.
  Reposition(start);
  output_->Open({static_cast<uint16_t>(channels_), static_cast<uint16_t>(bits_per_sample_),
                 static_cast<uint32_t>(sample_rate_), static_cast<uint32_t>(output_size_)});
  // The position counts from the second asked for, not from the frame boundary reached.
  SetStartSample(start);
  StartReader();
}

bool InputMP3::Refill() {
  if (buffer_available_ > 0 && buffer_current_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + buffer_current_, buffer_available_);
  }
  buffer_current_ = 0;
  const size_t room = buffer_.size() - buffer_available_;
  if (room == 0) return false;
  const uint32_t n = ReadFile(buffer_.data() + buffer_available_, static_cast<uint32_t>(room));
  buffer_available_ += n;
  return n > 0;
}

bool InputMP3::Resynchronise() {
  if (buffer_available_ > 0) {
    ++buffer_current_;
    --buffer_available_;
  }
  for (;;) {
    int32_t offset = 0;
    if (buffer_available_ >= 4 &&
        mpeg::FindSyncWord(buffer_.data() + buffer_current_,
                           static_cast<int32_t>(buffer_available_), &offset)) {
      buffer_current_ += static_cast<size_t>(offset);
      buffer_available_ -= static_cast<size_t>(offset);
      return true;
    }
    // No sync word starts before the last three bytes; only they are kept, so that a long run
    // without one cannot fill the buffer and end playback with the file unread.
    const size_t keep = std::min<size_t>(buffer_available_, 3);
    buffer_current_ += buffer_available_ - keep;
    buffer_available_ = keep;
    if (!Refill()) return false;
  }
}

int InputMP3::DecodeNext(mpeg::FrameJob& job) {
  job = {};
  job.header = stream_.header;
  job.input = buffer_.data() + buffer_current_;
  job.input_size = static_cast<int32_t>(buffer_available_);
  job.output = second_buffer_.data();
  if (mpeg::DecodeOneFrame(&job)) {
    const size_t used = std::min(static_cast<size_t>(std::max(job.input_size, 1)), buffer_available_);
    buffer_current_ += used;
    buffer_available_ -= used;
    return kDecoded;
  }
  // Too few bytes for the frame: read more, unless the buffer is full already (a damaged
  // header that claims a frame longer than any of this stream), which is a failed frame.
  if (mpeg::DecoderLastError() == mpeg::kErrorNeedMoreData && buffer_available_ < buffer_.size()) {
    return Refill() ? kRefilled : kEnd;
  }
  return kFailed;
}

void InputMP3::Reposition(int64_t sample_index) {
  // The decoder is begun again on the first frame, so that every seek starts from the state
  // playback from the start would have.
  buffer_current_ = 0;
  buffer_available_ = 0;
  seek_landing_ = 0;
  if (!SeekFile(data_offset_)) throw MediaError("ファイルの再生位置を設定できません。");
  std::fill(buffer_.begin(), buffer_.end(), 0);
  Refill();
  const auto count = static_cast<int32_t>(std::max<size_t>(buffer_available_, kStreamInfoBytes));
  if (buffer_.size() < kStreamInfoBytes || !mpeg::BeginDecoding(buffer_.data(), count)) {
    throw MediaError("MPEG オーディオのデコードを開始できません" +
                     ErrorSuffix(mpeg::DecoderLastError()) + "。");
  }
  const size_t skip = std::min(static_cast<size_t>(skip_size_), buffer_available_);
  buffer_current_ += skip;
  buffer_available_ -= skip;

  // The target is the first frame boundary at or after the sample asked for; the Xing frame
  // carries no audio and counts for nothing.
  const int64_t target = std::max<int64_t>(sample_index, 0);
  const int64_t frames = (target + samples_per_frame_ - 1) / samples_per_frame_;
  // The last frames before the target are decoded with synthesis on and their sound dropped:
  // they fill the Layer III bit reservoir and the filter banks, so the first frame heard sounds
  // as it does in playback from the start.
  int64_t preroll = 2;
  if (stream_.header.layer == 3) {
    const int32_t reservoir = stream_.header.version == 1 ? kReservoirMpeg1 : kReservoirMpeg2;
    preroll = 2 + (reservoir + min_input_size_ - 1) / min_input_size_;
  }
  preroll = std::min(preroll, kMaxPrerollFrames);
  const int64_t silent = std::max<int64_t>(frames - preroll, 0);

  mpeg::FrameJob job;
  job.header = stream_.header;
  int64_t done = 0;
  bool suspended = false;
  if (silent > 0) {
    mpeg::SuspendSynthesis(&job);
    suspended = true;
  }
  // Synthesis resumes with the routine of the job's layer; the job holds the header of the
  // frame decoded last, which in a damaged stream may be a stray frame of another layer (after
  // which every frame of the stream would play as silence), so the stream's own header is put
  // back first.
  const auto resume = [&] {
    job.header = stream_.header;
    mpeg::ResumeSynthesis(&job);
    suspended = false;
  };
  while (done < frames) {
    if (suspended && done == silent) resume();
    const int step = DecodeNext(job);
    if (step == kDecoded) {
      ++done;
    } else if (step == kEnd) {
      break;
    } else if (step == kFailed && !Resynchronise()) {
      break;
    }
  }
  if (suspended) resume();
  seek_landing_ = done * samples_per_frame_;
}

void InputMP3::Seek(int64_t sample_index) {
  ResetOutputAt(std::max<int64_t>(sample_index, 0));
  Reposition(sample_index);
  SetStartSample(seek_landing_);
}

bool InputMP3::ContinueAfterSeek() { return buffer_available_ > 0; }

int InputMP3::Run() {
  for (;;) {
    mpeg::FrameJob job;
    const int step = DecodeNext(job);
    if (step == kDecoded) {
      output_->Write(second_buffer_.data(), static_cast<uint32_t>(output_size_));
    } else if (step == kRefilled) {
      IdleSleep();
    } else if (step == kEnd) {
      break;
    } else {
      Notify(NOTIFY_RESYNC);
      if (!Resynchronise()) break;
    }
    if (!ServeCommands()) break;
  }
  return 0;
}

void InputMP3::GetFormat(InputFormat& format) const {
  format.channels = static_cast<uint16_t>(channels_);
  format.bits_per_sample = static_cast<uint16_t>(bits_per_sample_);
  format.sample_rate = static_cast<uint32_t>(sample_rate_);
}

}  // namespace media
