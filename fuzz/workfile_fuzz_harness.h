// The body of the work-file fuzz target, shared with the regression test that replays the saved
// inputs. The input describes a recording: a wave format (nonsense values included), an optional
// file size limit under which the system takes only part of a write, and a series of appends of
// any length (partial frames included) with their bytes. They go through record::WorkFile into a
// file in memory-backed storage, and then:
//   - after every append the file on disk is a WAV file whose two sizes describe exactly what it
//     holds, and the appended bytes are all there;
//   - an append the system cut short fails with the system's reason and keeps the longest
//     whole-frame prefix of everything appended;
//   - the finished file is the canonical 44-byte header with the format as given, followed by
//     exactly those bytes;
//   - media::InputWav opens it with the same format, the samples from byte 44 to 44 + the data
//     size (so it reads exactly the bytes appended), and, when the input asks for it, plays
//     exactly those bytes from the start second the input gives. A format the recorder makes
//     must open; any other may be refused, with a message.
// Playing starts a reader thread, which costs more than all the rest of an execution; so only
// the inputs that ask for it play.
// Any broken promise aborts.
//
// Input layout, little-endian:
//   byte 0   flags: bit 0 the format's seven header fields as given, else channels, rate and
//            bits made into a format the way the recorder makes it; bit 1 a file size limit
//            follows; bits 2-3 the second playback starts at; bit 4 play the file
//   format   channels u16, rate u32, bits u16; with flag bit 0 then tag u16, byte rate u32,
//            block align u16
//   limit    u16, in units of 16 bytes (flag bit 1 only)
//   appends  until the input ends: a control byte and a u16 length. Control bit 7: the bytes
//            are a fixed pattern from the offset in the control byte's low bits; else they are
//            the next `length` bytes of the input (fewer when it ends first).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "media/Commands.h"
#include "media/InputWav.h"
#include "media/OutputMedia.h"
#include "platform/sync.h"
#include "platform/wave_format.h"
#include "record/WorkFile.h"

namespace workfile_fuzz {

// Bounds that keep one execution fast: the data of one recording, the appends, and the blocks
// played back, in number (a block can be a single byte at a nonsense rate) and in size (a
// nonsense format can ask for megabytes; the largest recorder format has 150 KiB).
inline constexpr size_t kMaxDataBytes = 128 * 1024;
inline constexpr int kMaxAppends = 256;
inline constexpr uint64_t kMaxPlayedBlocks = 512;
inline constexpr uint32_t kMaxPlayedBlockBytes = 160 * 1024;

inline void Require(bool ok, const char* what) {
  if (ok) return;
  // A lowered file size limit would keep the crash input from being saved.
  const rlimit none{RLIM_INFINITY, RLIM_INFINITY};
  setrlimit(RLIMIT_FSIZE, &none);
  std::fprintf(stderr, "workfile fuzz: %s\n", what);
  std::abort();
}

// The work file of this process, in memory-backed storage when there is some. Each execution
// removes it at its end: libFuzzer ends its processes without running exit handlers, and a
// process that breaks a promise leaves it behind to be looked at.
inline const std::string& WorkPath() {
  static const std::string path = [] {
    struct stat st {};
    const std::string dir = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm"
                            : std::getenv("TMPDIR") ? std::getenv("TMPDIR")
                                                    : "/tmp";
    // Writes beyond a file size limit fail with EFBIG instead of killing the process.
    signal(SIGXFSZ, SIG_IGN);
    return dir + "/verbat-workfile-fuzz-" + std::to_string(getpid()) + ".wav";
  }();
  return path;
}

// Bytes without a short period (so that a shifted or repeated stretch of them is seen), made
// once: an append of the pattern starts at an offset given by its control byte.
inline const std::vector<uint8_t>& Pattern() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> b(0xFFFF + 0x80);
    uint32_t x = 0x9E3779B9u;
    for (uint8_t& v : b) {
      x = x * 1664525u + 1013904223u;
      v = static_cast<uint8_t>(x >> 24);
    }
    return b;
  }();
  return bytes;
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  size_t Left() const { return static_cast<size_t>(end_ - p_); }
  const uint8_t* Take(size_t n, size_t& got) {
    got = std::min(n, Left());
    const uint8_t* at = p_;
    p_ += got;
    return at;
  }
  uint32_t Le(int bytes) {  // missing bytes read as 0
    uint32_t v = 0;
    for (int i = 0; i < bytes && p_ < end_; ++i) v |= uint32_t{*p_++} << (8 * i);
    return v;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// The file size limit of this process for the lifetime of the object (none: nothing changes).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) : active_(limit != RLIM_INFINITY) {
    if (!active_) return;
    getrlimit(RLIMIT_FSIZE, &old_);
    const rlimit small{std::min(limit, old_.rlim_max), old_.rlim_max};
    Require(setrlimit(RLIMIT_FSIZE, &small) == 0, "cannot set the file size limit");
  }
  ~FileSizeLimit() {
    if (active_) setrlimit(RLIMIT_FSIZE, &old_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  bool active_;
  rlimit old_{};
};

// An output that keeps every byte the input plays.
class CaptureOutput : public media::OutputMedia {
 public:
  media::PcmBlockFormat format;
  std::vector<uint8_t> bytes;

  void Open(const media::PcmBlockFormat& f) override { format = f; }
  void Close() override {}
  uint32_t Write(const uint8_t* p, uint32_t n) override {
    bytes.insert(bytes.end(), p, p + n);
    return 0;
  }
  void Reset() override { bytes.clear(); }
  void Pause() override {}
  void Restart() override {}
  void SetVolume(uint32_t, uint32_t) override {}
  uint64_t GetPosition() override { return 0; }
  int32_t GetWaveSnapshot(uint64_t, int32_t*, int32_t*) override { return 0; }
  int32_t GetSpectrum(uint64_t, int32_t*, int32_t*) override { return 0; }
  void SetSpeedDivisor(int32_t) override {}
  void PlaySoundInterrupt(const std::string&) override {}
  void SetFlagA(uint8_t) override {}
  void SetFlagB(uint8_t) override {}
  int32_t QueuedBlocks() const override { return 0; }  // never makes the reader idle
};

// The canonical header of a work file of this format holding `data` sample bytes.
inline std::array<uint8_t, record::kWavHeaderBytes> Header(const platform::WaveFormat& f,
                                                           uint64_t data) {
  std::array<uint8_t, record::kWavHeaderBytes> h{};
  size_t at = 0;
  auto text = [&](const char* s) {
    std::memcpy(h.data() + at, s, 4);
    at += 4;
  };
  auto le = [&](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) h[at++] = static_cast<uint8_t>(v >> (8 * i));
  };
  text("RIFF");
  le(static_cast<uint32_t>(data + 36), 4);
  text("WAVE");
  text("fmt ");
  le(16, 4);
  le(f.format_tag, 2);
  le(f.channels, 2);
  le(f.samples_per_sec, 4);
  le(f.avg_bytes_per_sec, 4);
  le(f.block_align, 2);
  le(f.bits_per_sample, 2);
  text("data");
  le(static_cast<uint32_t>(data), 4);
  return h;
}

// The file on disk, read through a descriptor of its own, holds the header describing `data`,
// then the bytes of `data` (checked from byte `from` of the data on: what earlier checks have not
// seen), and nothing more. The buffer is kept from one execution to the next.
inline void CheckFile(int fd, const platform::WaveFormat& format, const std::vector<uint8_t>& data,
                      size_t from = 0) {
  static std::vector<uint8_t> disk;
  struct stat st {};
  Require(fstat(fd, &st) == 0, "fstat of the work file");
  Require(static_cast<uint64_t>(st.st_size) == record::kWavHeaderBytes + data.size(),
          "the file holds more or less than header and data");
  std::array<uint8_t, record::kWavHeaderBytes> header{};
  Require(pread(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size()),
          "read of the header");
  Require(header == Header(format, data.size()),
          "not the canonical header, or sizes that do not describe the file");
  from = std::min(from, data.size());
  disk.resize(data.size() - from);
  Require(pread(fd, disk.data(), disk.size(), static_cast<off_t>(record::kWavHeaderBytes + from)) ==
              static_cast<ssize_t>(disk.size()),
          "read of the data");
  // memcmp rather than a loop: the coverage instrumentation would trace every byte compared.
  Require(disk.empty() || std::memcmp(disk.data(), data.data() + from, disk.size()) == 0,
          "the data differs from what was appended");
}

// What the recorder records: mono or stereo, 8 or 16 bits, at a rate the settings allow.
inline bool RecorderFormat(const platform::WaveFormat& f) {
  return f.format_tag == platform::kWaveFormatPcm && (f.channels == 1 || f.channels == 2) &&
         (f.bits_per_sample == 8 || f.bits_per_sample == 16) && f.samples_per_sec >= 4000 &&
         f.samples_per_sec <= 192000 && f.block_align == f.channels * f.bits_per_sample / 8 &&
         f.avg_bytes_per_sec == f.block_align * f.samples_per_sec;
}

// Opens the finished file with the WAV input and, when asked, plays it from `start_second`
// into a capture.
inline void CheckPlayback(const std::string& path, const platform::WaveFormat& format,
                          const std::vector<uint8_t>& data, bool play, int32_t start_second) {
  media::InputWav wav;
  media::PlayListItem item(path);
  try {
    wav.Open(path, item);
  } catch (const media::MediaError& e) {
    Require(!RecorderFormat(format), "a recording the recorder makes was refused");
    Require(e.what()[0] != '\0', "a refusal without a message");
    return;
  }
  media::InputFormat read{};
  wav.GetFormat(read);
  Require(read.channels == format.channels && read.bits_per_sample == format.bits_per_sample &&
              read.sample_rate == format.samples_per_sec,
          "the format read back differs");
  Require(wav.DataOffset() == record::kWavHeaderBytes, "the samples do not start at byte 44");
  Require(wav.DataEnd() == static_cast<int64_t>(record::kWavHeaderBytes + data.size()),
          "the samples do not end where the data size says");
  const uint64_t frame = uint64_t{format.channels} * (format.bits_per_sample / 8u);
  Require(item.total_samples == std::min<uint64_t>(data.size() / frame, UINT32_MAX),
          "the length in frames");
  const uint32_t block = wav.BlockSize();
  Require(block > 0 && block % frame == 0, "a block that is not whole frames");

  const uint64_t from =
      std::min<uint64_t>(uint64_t{format.samples_per_sec} * start_second * frame, data.size());
  if (!play || block > kMaxPlayedBlockBytes || (data.size() - from) / block > kMaxPlayedBlocks)
    return;
  CaptureOutput out;
  platform::Event ended;
  wav.SetOutput(&out);
  wav.SetNotify([&ended](int32_t code) {
    if (code == media::NOTIFY_END) ended.Set();
  });
  wav.Start(start_second);
  Require(ended.Wait(platform::Milliseconds(20000)) == platform::WaitResult::kSignaled,
          "playback did not end");
  wav.Close();
  Require(out.format.channels == format.channels &&
              out.format.bits_per_sample == format.bits_per_sample &&
              out.format.sample_rate == format.samples_per_sec && out.format.block_size == block,
          "the output was opened with another format");
  Require(out.bytes.size() == data.size() - from &&
              (out.bytes.empty() ||
               std::memcmp(out.bytes.data(), data.data() + from, out.bytes.size()) == 0),
          "the bytes played differ from the bytes appended");
}

inline void CheckInput(const uint8_t* input, size_t size) {
  Reader in(input, size);
  const uint32_t flags = in.Le(1);
  platform::WaveFormat format;
  const auto channels = static_cast<uint16_t>(in.Le(2));
  const uint32_t rate = in.Le(4);
  const auto bits = static_cast<uint16_t>(in.Le(2));
  if (flags & 1) {
    format.format_tag = static_cast<uint16_t>(in.Le(2));
    format.channels = channels;
    format.samples_per_sec = rate;
    format.avg_bytes_per_sec = in.Le(4);
    format.block_align = static_cast<uint16_t>(in.Le(2));
    format.bits_per_sample = bits;
  } else {
    format = platform::MakePcmFormat(channels, rate, bits);
  }
  rlim_t limit = RLIM_INFINITY;
  if (flags & 2) {
    // Never below the input's own size, so that a crash input can still be saved.
    limit = std::max<rlim_t>({rlim_t{in.Le(2)} * 16, size, 64});
  }
  const auto start_second = static_cast<int32_t>(flags >> 2 & 3);

  const std::string& path = WorkPath();
  record::WorkFile file;
  record::FileError error;
  Require(file.Create(path, format, error), "the work file cannot be created");
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  Require(fd >= 0, "the work file cannot be opened for reading");
  // What the file must hold; kept from one execution to the next.
  static std::vector<uint8_t> data;
  data.clear();
  CheckFile(fd, format, data);

  const size_t align = format.block_align ? format.block_align : 1;
  {
    const FileSizeLimit scope(limit);  // for the appends; Require lifts it before it aborts
    for (int appends = 0; appends < kMaxAppends && in.Left() > 0; ++appends) {
      const uint32_t control = in.Le(1);
      size_t length = std::min<size_t>(in.Le(2), kMaxDataBytes - data.size());
      const uint8_t* bytes;
      if (control & 0x80) {
        bytes = Pattern().data() + (control & 0x7F);
      } else {
        bytes = in.Take(length, length);
      }
      // Under the limit the system takes what fits below it, and then refuses.
      const size_t before = data.size();
      const uint64_t at = record::kWavHeaderBytes + before;
      const size_t taken = limit == RLIM_INFINITY ? length
                           : at >= limit          ? 0
                                                  : std::min<uint64_t>(length, limit - at);
      const bool ok = file.Append(bytes, length, error);
      data.insert(data.end(), bytes, bytes + taken);
      if (taken == length) {
        Require(ok, "an append that fitted failed");
      } else {
        Require(!ok, "an append cut short reported success");
        Require(error.operation == "write" && error.path == path &&
                    error.cause == std::errc::file_too_large && !error.Describe().empty(),
                "a failed append without its cause");
        data.resize(data.size() / align * align);  // a torn frame would shift every later sample
      }
      Require(file.IsOpen(), "an append closed the file");
      Require(file.DataBytes() == data.size(), "DataBytes differs from the bytes kept");
      CheckFile(fd, format, data, before);
    }
  }
  Require(file.Finish(error), "finishing the work file failed");
  Require(!file.IsOpen() && file.Finish(error), "a second Finish did something");
  CheckFile(fd, format, data);
  close(fd);

  CheckPlayback(path, format, data, (flags & 16) != 0, start_second);
  unlink(path.c_str());
}

}  // namespace workfile_fuzz
