// What the WAV, MP3 and Ogg Vorbis fuzz targets share, and the regression tests that replay
// their saved inputs: the input's bytes as a file (a memory file, so no disk is touched), an
// output that is no sound device and checks what the reader hands it, and one playback through
// the input's real path: Open, Start, a few blocks, a pause and a resume, a seek, a stop, Close.
// Each output block stops the playback after a few of them, so every input costs little; the
// reader thread is the input's own. Any broken promise aborts.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>

#include "media/Commands.h"
#include "media/InputInfo.h"
#include "media/InputMedia.h"
#include "media/MMException.h"
#include "media/OutputMedia.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace input_fuzz {

inline void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "input fuzz: %s\n", what);
  std::abort();
}

// One memory file for the process, rewritten with every input; the inputs open it by path
// (/proc/self/fd/N), each with a file offset of its own.
class MemoryFile {
 public:
  static MemoryFile& Instance() {
    static MemoryFile file;
    return file;
  }
  const std::string& Path() const { return path_; }
  void Write(const uint8_t* data, size_t size) {
    Require(::ftruncate(fd_, 0) == 0, "cannot empty the memory file");
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      Require(n > 0, "cannot write the memory file");
      done += static_cast<size_t>(n);
    }
  }

 private:
  MemoryFile() {
    fd_ = ::memfd_create("verbat-fuzz-input", MFD_CLOEXEC);
    Require(fd_ >= 0, "memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  int fd_ = -1;
  std::string path_;
};

// What the playback does once the reader runs: after how many written blocks it pauses and
// resumes, seeks to a sample (unless seek_after is 0), and stops. The blocks are counted across
// the seek.
struct Plan {
  int32_t start_seconds = 0;
  int pause_after = 1;
  int seek_after = 2;
  int64_t seek_to = 0;
  int stop_after = 4;
};

// The plan an input's last byte picks, so that the saved inputs stay plain files: bit 2 starts
// at second 1 without a seek (a start positions the file as a seek does), otherwise playback
// starts at 0 and seeks, by bits 0 and 1, to the start, a third of the length, the end, or past
// the end.
inline Plan PlanFor(const uint8_t* data, size_t size, int64_t total_samples, int64_t past_end) {
  const uint8_t selector = size ? data[size - 1] : 0;
  Plan plan;
  if (selector & 4) {
    plan.start_seconds = 1;
    plan.seek_after = 0;
    return plan;
  }
  const int64_t targets[] = {0, total_samples / 3 + 1, total_samples, total_samples + past_end};
  plan.seek_to = targets[selector & 3];
  return plan;
}

// An output that plays nothing. It checks the format it is opened with, that every block fits
// it and arrives while it is open, and reads every byte handed to it (so the address
// sanitizer sees a block that is not all there). The commands of the plan are posted from the
// reader thread to its own queue, so they are taken at the same point of every run.
class ProbeOutput final : public media::OutputMedia {
 public:
  // A check of every block: its bytes, their count, and the resets (seeks) before it.
  using BlockCheck = std::function<void(const uint8_t* bytes, uint32_t length, int resets)>;

  void Expect(const media::PcmBlockFormat& format, bool whole_frames, bool full_blocks) {
    expected_ = format;
    whole_frames_ = whole_frames;
    full_blocks_ = full_blocks;
  }
  void SetPlan(const Plan& plan) { plan_ = plan; }
  void SetBlockCheck(BlockCheck check) { check_ = std::move(check); }

  bool IsOpen() const { return open_; }
  int Opens() const { return opens_; }
  int Blocks() const { return blocks_; }
  // Waits until the reader has closed the output (its end, or the stop of the plan).
  bool WaitClosed(platform::Milliseconds timeout) {
    return closed_.Wait(timeout) == platform::WaitResult::kSignaled;
  }

  void Open(const media::PcmBlockFormat& format) override {
    Require(!open_, "the output was opened twice");
    Require(format.channels == expected_.channels &&
                format.bits_per_sample == expected_.bits_per_sample &&
                format.sample_rate == expected_.sample_rate &&
                format.block_size == expected_.block_size,
            "the output was opened with another format than Open reported");
    open_ = true;
    ++opens_;
  }
  void Close() override {
    open_ = false;
    closed_.Set();
  }
  uint32_t Write(const uint8_t* bytes, uint32_t length) override {
    Require(open_, "a block written to a closed output");
    Require(length <= expected_.block_size, "a block longer than the block size");
    const uint32_t frame = uint32_t{expected_.channels} * (expected_.bits_per_sample / 8u);
    Require(!whole_frames_ || frame == 0 || length % frame == 0, "a block ends inside a frame");
    Require(!full_blocks_ || length == expected_.block_size, "a block shorter than the block size");
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) sum += bytes[i];
    checksum_ += sum;
    if (check_) check_(bytes, length, resets_);
    ++blocks_;
    const platform::ThreadId self = platform::CurrentThreadId();
    if (blocks_ == plan_.pause_after) {
      platform::PostThreadMessage(self, {media::CMD_PAUSE, nullptr, 0, nullptr});
      platform::PostThreadMessage(self, {media::CMD_RESUME, nullptr, 0, nullptr});
    }
    if (plan_.seek_after > 0 && blocks_ == plan_.seek_after) {
      platform::PostThreadMessage(self, {media::CMD_SEEK, nullptr, plan_.seek_to, nullptr});
    }
    if (blocks_ == plan_.stop_after) {
      platform::PostThreadMessage(self, {media::CMD_STOP, nullptr, 0, nullptr});
    }
    return length == expected_.block_size ? length : 0;
  }
  void Reset() override { ++resets_; }
  void Pause() override { Require(open_, "a pause of a closed output"); }
  void Restart() override { Require(open_, "a restart of a closed output"); }
  void SetVolume(uint32_t, uint32_t) override {}
  uint64_t GetPosition() override { return 0; }
  int32_t GetWaveSnapshot(uint64_t, int32_t*, int32_t*) override { return 0; }
  int32_t GetSpectrum(uint64_t, int32_t*, int32_t*) override { return 0; }
  void SetSpeedDivisor(int32_t) override {}
  void PlaySoundInterrupt(const std::string&) override {}
  void SetFlagA(uint8_t) override {}
  void SetFlagB(uint8_t) override {}
  int32_t QueuedBlocks() const override { return 0; }

 private:
  media::PcmBlockFormat expected_;
  bool whole_frames_ = true;
  bool full_blocks_ = false;
  Plan plan_;
  BlockCheck check_;
  bool open_ = false;  // reader thread, then the caller once the reader has ended
  int opens_ = 0;
  int blocks_ = 0;
  int resets_ = 0;
  uint32_t checksum_ = 0;
  platform::Event closed_;
};

// Opens the memory file. A refusal must be a MediaError that leaves nothing loaded: the item
// untouched, no format, nothing to start, no file held. Returns whether the input opened it.
inline bool OpenOrRefuse(media::InputMedia& input, media::PlayListItem& item) {
  try {
    input.Open(MemoryFile::Instance().Path(), item);
    return true;
  } catch (const media::MediaError& e) {
    Require(e.what()[0] != '\0', "a refusal without a message");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "input fuzz: Open raised %s\n", e.what());
    Require(false, "Open raised something else than MediaError");
  }
  Require(
      item.channels == 0 && item.sample_rate == 0 && item.total_samples == 0 && item.length == 0,
      "a refused file filled the item");
  media::InputFormat format;
  input.GetFormat(format);
  Require(format.channels == 0 && format.sample_rate == 0, "a refused file left its format");
  bool refused_start = false;
  try {
    input.Start(0);
  } catch (const media::MediaError&) {
    refused_start = true;
  }
  Require(refused_start, "a refused file could be started");
  Require(input.Close() == -1, "a refused file was left open");
  return false;
}

// Starts the opened input and lets it play as the output's plan says, then stops it and closes
// it. A start may fail only with MediaError or MMException, and then nothing plays; a playback
// ends with the reader gone and the output closed.
inline void PlayAndClose(media::InputMedia& input, ProbeOutput& output, const Plan& plan) {
  output.SetPlan(plan);
  input.SetOutput(&output);
  bool started = false;
  try {
    input.Start(plan.start_seconds);
    started = true;
  } catch (const media::MediaError&) {
  } catch (const media::MMException&) {
  } catch (const std::exception& e) {
    std::fprintf(stderr, "input fuzz: Start raised %s\n", e.what());
    Require(false, "Start raised something else than MediaError or MMException");
  }
  if (started) {
    Require(output.WaitClosed(platform::Milliseconds(20000)), "the reader did not end");
  } else {
    Require(input.GetState() == media::kStateStopped, "a failed start left a playing state");
    Require(input.ReaderThreadId() == 0, "a failed start left a reader");
  }
  input.RequestStop();
  Require(input.GetState() == media::kStateStopped, "the input still plays after the stop");
  Require(input.ReaderThreadId() == 0, "a reader is left after the stop");
  Require(!output.IsOpen(), "the output is left open");
  input.Close();
  Require(input.Close() == -1, "a second Close found the file still open");
}

}  // namespace input_fuzz
