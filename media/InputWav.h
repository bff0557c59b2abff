// The input for RIFF/WAVE files with PCM samples: the chunk list is parsed once at Open, then
// the sample bytes of the data chunk go to the output unchanged, in blocks of a fifth of a
// second.
#pragma once

#include <string>

#include "media/InputMedia.h"

namespace media {

class InputWav : public InputMedia {
 public:
  static constexpr int kIdleSleepMs = 120;

  InputWav();
  ~InputWav() override;

  void Seek(int64_t sample_index) override;
  void Open(const std::string& path, InputInfo& info) override;
  int Close() override;
  void Start(int32_t seconds) override;
  int Run() override;
  void GetFormat(InputFormat& format) const override;

  // What the parse found: where the samples start and end in the file.
  int64_t DataOffset() const { return data_offset_; }
  int64_t DataEnd() const { return data_end_; }
  uint32_t BlockSize() const { return block_size_; }

 protected:
  bool ContinueAfterSeek() override;

 private:
  void Parse(const std::string& path);
  void ClearFormat();
  uint32_t ReadBlock();  // the next block of the data chunk into buffer_; 0 at its end

  int64_t data_end_ = 0;   // offset just past the last sample byte that exists
  int64_t read_pos_ = 0;   // file offset of the next read (reader thread, and Start)
  uint32_t bytes_read_ = 0;
};

}  // namespace media
