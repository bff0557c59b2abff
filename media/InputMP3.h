// The input for MPEG audio files (Layers I, II and III; MPEG-1, MPEG-2 and MPEG-2.5). Open finds
// the first frame (behind an ID3v2 tag when there is one) and takes the stream parameters and an
// optional Xing (or Info) header from the frame decoder; the reader decodes one frame per output
// block. Seeking decodes frame headers from the first frame on with synthesis switched off, so no
// seek table is needed.
//
// The frame decoder is one process-wide object: only one MP3 stream is decoded at a time.
#pragma once

#include <string>

#include "media/InputMedia.h"
#include "media/mpeg/decoder.h"

namespace media {

class InputMP3 : public InputMedia {
 public:
  static constexpr int kIdleSleepMs = 30;
  static constexpr int kInputBufferFactor = 64;
  // The first frame is looked for in this many bytes (behind an ID3v2 tag, when there is one).
  static constexpr int kSyncSearchBytes = 512;

  InputMP3();
  ~InputMP3() override;

  void Seek(int64_t sample_index) override;
  void Open(const std::string& path, InputInfo& info) override;
  int Close() override;
  void Start(int32_t seconds) override;
  int Run() override;
  void GetFormat(InputFormat& format) const override;

  // What Open found: where the first frame starts and the stream's parameters.
  int64_t DataOffset() const { return data_offset_; }
  const mpeg::StreamInfo& StreamInfo() const { return stream_; }
  // The sample index where the last seek landed (a frame boundary).
  int64_t SeekLanding() const { return seek_landing_; }

  // Bytes an ID3v2 tag takes at the start of `head` (header, body and footer), 0 when `head`
  // does not start with one.
  static int64_t Id3v2Size(const uint8_t* head, size_t count);

 protected:
  bool ContinueAfterSeek() override;

 private:
  void ClearFormat();
  // Moves what is left to the start of the buffer and reads behind it; false when nothing came.
  bool Refill();
  // Steps past a frame that failed and finds the next sync word; false at the end of the file.
  bool Resynchronise();
  // One frame at the current position into second_buffer_ (nothing is written while synthesis
  // is suspended), or a refill when the frame is not all in the buffer. Returns a Step of the
  // source: decoded, refilled, failed (the caller resynchronises) or the end of the data.
  int DecodeNext(mpeg::FrameJob& job);
  // Begins decoding again at the first frame and decodes up to the first frame boundary at or
  // after the sample index; raises MediaError when the file no longer decodes.
  void Reposition(int64_t sample_index);

  mpeg::StreamInfo stream_{};
  int32_t output_size_ = 0;     // PCM bytes of one frame
  int32_t samples_per_frame_ = 0;
  int64_t seek_landing_ = 0;
};

}  // namespace media
