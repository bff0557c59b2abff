// The input for Ogg Vorbis files, decoded by libvorbisfile into 16-bit signed little-endian PCM
// in blocks of a quarter of a second. Only seekable streams are played; seeks are sample-exact.
//
// The reader releases the Vorbis file when it ends, so every playback needs a fresh Open before
// its Start (the main window opens the file again on every Play).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "media/InputMedia.h"

namespace media {

class InputVorbis : public InputMedia {
 public:
  static constexpr int kWordSize = 2;  // bytes per sample asked of the decoder
  static constexpr int kInputBufferFactor = 128;
  // Failed reads in a row (holes, damaged packets) after which the stream counts as ended: a
  // damaged file must not keep the reader decoding nothing forever.
  static constexpr int kMaxFailedReads = 64;

  InputVorbis();
  ~InputVorbis() override;

  void Seek(int64_t sample_index) override;
  void Open(const std::string& path, InputInfo& info) override;
  int Close() override;
  void Start(int32_t seconds) override;
  int Run() override;
  void GetFormat(InputFormat& format) const override;

  uint32_t BlockSize() const { return block_size_; }
  // Whether a Vorbis file is open (from Open until the reader's end or Close).
  bool FileHeld() const { return held_.load(); }
  // Whether the last reader stopped at a link whose rate or channels differ from the first.
  bool StoppedAtFormatChange() const { return stopped_at_format_change_.load(); }

 protected:
  // The reader plays the tail out itself, so that it can release the file afterwards.
  bool ServesCommandsWhileDraining() const override { return false; }

 private:
  struct File;

  void ClearFormat();
  void Release();
  // Plays the queued audio out while serving commands; true when a seek asks for more reading.
  bool PlayOutTail();

  // The file the link check read last (OggLinkCheck), and the size of its sound part (-1: the
  // whole file, -2: none): the same file unchanged since, opened again for the next Play, is not
  // read again.
  struct CheckedFile {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = -1;
    int64_t mtime_sec = 0;
    int64_t mtime_nsec = 0;
    bool operator==(const CheckedFile&) const = default;
  };

  std::unique_ptr<File> file_;
  CheckedFile checked_;
  int64_t checked_sound_part_ = -1;
  std::atomic<bool> held_{false};
  int64_t total_samples_ = 0;
  int current_link_ = -1;  // reader: the logical stream being decoded
  bool seeked_ = false;    // reader: a seek was handled since the last look
  std::atomic<bool> stopped_at_format_change_{false};
};

}  // namespace media
