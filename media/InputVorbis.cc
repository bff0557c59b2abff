#include "media/InputVorbis.h"

#include <sys/stat.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "media/OggLinkCheck.h"

namespace media {

namespace {

// How long the end of the reader waits for a command between looks at the queued audio.
constexpr platform::Milliseconds kTailPoll{5};

std::string SystemFailure(int error) {
  switch (error) {
    case ENOENT:
      return "ファイルが見つかりません";
    case EACCES:
    case EPERM:
      return "読み取りの権限がありません";
    case EMFILE:
    case ENFILE:
      return "開いているファイルが多すぎます";
    default:
      return std::strerror(error);
  }
}

std::string OpenFailure(int code) {
  switch (code) {
    case OV_EREAD:
      return "読み込みに失敗しました";
    case OV_ENOTVORBIS:
      return "Vorbis のデータではありません";
    case OV_EVERSION:
      return "対応していない Vorbis のバージョンです";
    case OV_EBADHEADER:
      return "Vorbis のヘッダーが壊れています";
    default:
      return "エラー " + std::to_string(code);
  }
}

// The file as libvorbisfile reads it: its first `limit` bytes (all of it when the limit is
// negative), through callbacks that keep the position themselves.
struct BoundedStream {
  FILE* file = nullptr;
  int64_t limit = -1;
  int64_t position = 0;
};

size_t BoundedRead(void* into, size_t size, size_t count, void* source) {
  auto* s = static_cast<BoundedStream*>(source);
  if (size == 0) return 0;
  if (s->limit >= 0) {
    const int64_t room = std::max<int64_t>(s->limit - s->position, 0);
    count = std::min(count, static_cast<size_t>(room) / size);
  }
  const size_t got = std::fread(into, size, count, s->file);
  s->position += static_cast<int64_t>(got * size);
  return got;
}

int BoundedSeek(void* source, ogg_int64_t offset, int whence) {
  auto* s = static_cast<BoundedStream*>(source);
  if (whence == SEEK_END && s->limit < 0) {
    if (fseeko(s->file, static_cast<off_t>(offset), SEEK_END) != 0) return -1;
    s->position = ftello(s->file);
    return 0;
  }
  const int64_t from = whence == SEEK_CUR ? s->position : whence == SEEK_END ? s->limit : 0;
  const int64_t to = from + offset;
  if (to < 0 || fseeko(s->file, static_cast<off_t>(to), SEEK_SET) != 0) return -1;
  s->position = to;
  return 0;
}

int BoundedClose(void* source) {
  auto* s = static_cast<BoundedStream*>(source);
  const int result = std::fclose(s->file);
  s->file = nullptr;
  return result;
}

long BoundedTell(void* source) {
  return static_cast<long>(static_cast<BoundedStream*>(source)->position);
}

// Reads the whole file through the link check: the size of its sound part, -1 when
// libvorbisfile may have all of it, or -2 when none of it may be decoded.
int64_t SoundPart(FILE* file) {
  OggLinkCheck check;
  std::vector<uint8_t> chunk(64 * 1024);
  size_t n;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), file)) > 0) {
    if (!check.Feed(chunk.data(), n)) break;
  }
  const int64_t limit = check.Limit();
  return check.Unplayable() ? -2 : limit;
}

}  // namespace

struct InputVorbis::File {
  OggVorbis_File vf{};
  BoundedStream stream;  // the datasource of vf
};

InputVorbis::InputVorbis() : file_(std::make_unique<File>()) {
  input_buffer_factor_ = kInputBufferFactor;
  idle_sleep_ms_ = 0;
}

InputVorbis::~InputVorbis() {
  StopReader();
  Close();
}

void InputVorbis::ClearFormat() {
  channels_ = bits_per_sample_ = sample_rate_ = 0;
  block_size_ = 0;
  total_samples_ = 0;
  current_link_ = -1;
}

void InputVorbis::Release() {
  // ov_clear also closes the stream ov_open was given.
  if (held_.exchange(false)) ov_clear(&file_->vf);
}

void InputVorbis::Open(const std::string& path, InputInfo& info) {
  // A file still held from an Open without a playback is released here, not leaked.
  Close();
  ClearFormat();
  const std::string name = FileNameOf(path);
  FILE* stream = std::fopen(path.c_str(), "rb");
  if (!stream) {
    const int error = errno;
    throw MediaError("ファイルを開けません: " + path + "（" + SystemFailure(error) + "）");
  }
  // A chained file may hold a link that libvorbisfile cannot open safely (damaged headers,
  // pages out of order): it is given only the sound part before it, so that part plays. The
  // whole file is read for that once per version of the file.
  int64_t limit = -1;
  struct stat st {};
  if (::fstat(fileno(stream), &st) == 0 && S_ISREG(st.st_mode)) {
    const CheckedFile seen{st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
    if (!(seen == checked_)) {
      checked_sound_part_ = SoundPart(stream);
      checked_ = std::ferror(stream) ? CheckedFile{} : seen;  // a read error: again next time
    }
    limit = checked_sound_part_;
  }
  if (limit == -2) {
    std::fclose(stream);
    throw MediaError("Ogg Vorbis ファイルが壊れていて再生できません: " + name);
  }
  std::rewind(stream);
  file_->stream = {stream, limit, 0};
  const ov_callbacks callbacks = {BoundedRead, BoundedSeek, BoundedClose, BoundedTell};
  const int opened = ov_open_callbacks(&file_->stream, &file_->vf, nullptr, 0, callbacks);
  if (opened < 0) {
    std::fclose(stream);  // a failed open leaves the stream with its caller
    throw MediaError("Ogg Vorbis ファイルではありません（" + OpenFailure(opened) + "）: " + name);
  }
  held_ = true;
  try {
    if (ov_seekable(&file_->vf) == 0) throw MediaError("seek出来ないフォーマット");
    const vorbis_info* vi = ov_info(&file_->vf, -1);
    if (!vi || vi->channels < 1 || vi->channels > 2 || vi->rate <= 0 || vi->rate > INT32_MAX / 4) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "対応していない Ogg Vorbis の形式です（チャンネル数 %d、サンプリング周波数 %ld Hz）: ",
                    vi ? vi->channels : 0, vi ? vi->rate : 0L);
      throw MediaError(text + name);
    }
    channels_ = vi->channels;
    sample_rate_ = static_cast<int32_t>(vi->rate);
    total_samples_ = std::max<ogg_int64_t>(ov_pcm_total(&file_->vf, -1), 0);
  } catch (...) {
    Release();
    ClearFormat();
    throw;
  }
  bits_per_sample_ = kWordSize * 8;
  // A quarter of a second in whole sample frames, so that no block ends inside a sample (the
  // bytes-per-second figure is not a multiple of four for mono at 22050 or 11025 Hz).
  block_size_ = static_cast<uint32_t>(std::max(sample_rate_ / 4, 1) * channels_ * kWordSize);

  info.channels = channels_;
  info.sample_rate = sample_rate_;
  info.total_samples = static_cast<uint32_t>(std::min<int64_t>(total_samples_, UINT32_MAX));
  info.length = static_cast<int32_t>(info.total_samples / static_cast<uint32_t>(sample_rate_));
  info.name = name;
}

int InputVorbis::Close() {
  StopReader();
  if (!held_.load()) return -1;
  Release();
  return 0;
}

void InputVorbis::Start(int32_t seconds) {
  StopReader();
  if (!held_.load() || block_size_ == 0) throw MediaError("再生するファイルが開かれていません。");
  if (!output_) throw MediaError("音声出力が設定されていません。");
  stopped_at_format_change_ = false;
  current_link_ = -1;  // the first block read checks its link's format
  buffer_.assign(block_size_, 0);
  output_->Open({static_cast<uint16_t>(channels_), static_cast<uint16_t>(bits_per_sample_),
                 static_cast<uint32_t>(sample_rate_), block_size_});
  const int64_t start = SecondsToSamples(std::max(seconds, 0));
  try {
    Seek(start);
  } catch (...) {
    output_->Close();
    throw;
  }
  StartReader();
}

void InputVorbis::Seek(int64_t sample_index) {
  // Past the end is the end: the reader then finishes as at the end of the stream.
  sample_index = std::clamp<int64_t>(sample_index, 0, total_samples_);
  // Queued audio is dropped while paused too, so that after the resume the new position is
  // heard at once and the counter does not run ahead by what was queued.
  if (state_ != kStateStopped) {
    ResetOutputAt(sample_index);
  } else {
    SetStartSample(sample_index);
  }
  if (!held_.load() || ov_pcm_seek(&file_->vf, sample_index) != 0) {
    throw MediaError("seek failure");
  }
  seeked_ = true;
}

bool InputVorbis::PlayOutTail() {
  platform::MessageQueue* queue = platform::CurrentQueue();
  while (output_->QueuedBlocks() > 0) {
    platform::ThreadMessage message;
    if (queue->GetFor(message, kTailPoll)) Dispatch(message);
    if (!ServeCommands()) return false;  // holds here while paused
    if (seeked_) return true;
  }
  return false;
}

int InputVorbis::Run() {
  // Released however the reader ends: stop, end of the stream or an exception.
  struct Releaser {
    ~Releaser() { self->Release(); }
    InputVorbis* self;
  } releaser{this};

  int failed_reads = 0;
  for (;;) {
    seeked_ = false;
    bool end = false;
    int link = 0;
    const long n = ov_read(&file_->vf, reinterpret_cast<char*>(buffer_.data()),
                           static_cast<int>(block_size_), 0, kWordSize, 1, &link);
    if (n > 0) {
      failed_reads = 0;
      if (link != current_link_) {
        // A later link of a chained file may have another rate or channel count, which the
        // device opened at Start cannot play: playback ends at the boundary.
        const vorbis_info* vi = ov_info(&file_->vf, link);
        if (!vi || vi->channels != channels_ || vi->rate != sample_rate_) {
          stopped_at_format_change_ = true;
          end = true;
        } else {
          current_link_ = link;
        }
      }
      if (!end) output_->Write(buffer_.data(), static_cast<uint32_t>(n));
    } else if (n == 0 || ++failed_reads >= kMaxFailedReads) {
      end = true;
    }
    // n < 0 is a hole or a damaged packet: nothing is written and decoding goes on.
    if (!ServeCommands()) return 0;
    if (seeked_) {
      stopped_at_format_change_ = false;
      continue;
    }
    if (!end) continue;
    if (!PlayOutTail()) return 0;
    // A seek while the tail played: reading goes on from the new position.
    stopped_at_format_change_ = false;
  }
}

void InputVorbis::GetFormat(InputFormat& format) const {
  format.channels = static_cast<uint16_t>(channels_);
  format.bits_per_sample = 0;
  format.sample_rate = static_cast<uint32_t>(sample_rate_);
}

}  // namespace media
