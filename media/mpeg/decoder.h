// The MPEG audio frame decoder: one process-wide object with a small C-style interface, fed
// byte buffers by the MP3 input (which owns the file). Every operation reports failure by
// returning 0 and setting the last error; nothing is raised.
#pragma once

#include <cstdint>

namespace mpeg {

// Last-error codes.
inline constexpr int32_t kErrorNone = 0;
inline constexpr int32_t kErrorBadSync = 3;       // no sync word where a header must start
inline constexpr int32_t kErrorInvalidField = 4;  // reserved/free-format field, bad Xing flags
inline constexpr int32_t kErrorNeedMoreData = 5;  // too few bytes: refill and call again

// The twelve fields of a frame header, decoded from its four bytes.
struct FrameHeader {
  int32_t version = 0;        // 1 MPEG-1, 2 MPEG-2, 3 MPEG-2.5
  int32_t layer = 0;          // 1, 2 or 3
  int32_t crc = 0;            // 1 when a 16-bit CRC follows the header
  int32_t bitrate_index = 0;
  int32_t frequency_index = 0;
  int32_t padding = 0;
  int32_t private_bit = 0;
  int32_t mode = 0;           // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
  int32_t mode_extension = 0;
  int32_t copyright = 0;      // the rights flag
  int32_t original = 0;       // the generation flag
  int32_t emphasis = 0;
};

// The Xing header of a variable-bit-rate stream and the Info header of a constant-bit-rate one
// have the same layout and are treated alike; "Xing" below stands for either.
struct StreamInfo {
  FrameHeader header;
  int32_t channels = 0;
  int32_t bits_per_sample = 0;
  int32_t frequency = 0;       // Hz, shifted right by the reduction option
  int32_t bitrate = 0;         // bits per second; 0 when a Xing header is present
  int32_t frames = 0;          // Xing frame count, else 0
  int32_t skip_size = 0;       // bytes of the frame carrying the Xing header, else 0
  int32_t data_size = 0;       // Xing byte count, else 0
  int32_t min_input_size = 0;  // bounds of one frame's length in bytes
  int32_t max_input_size = 0;
  int32_t output_size = 0;     // PCM bytes one frame produces
};

struct FrameJob {
  FrameHeader header;              // filled from the frame decoded
  int32_t bitrate = 0;             // filled: bits per second
  const uint8_t* input = nullptr;  // in: the frame's first byte
  int32_t input_size = 0;          // in: bytes available; out: bytes consumed (the frame length)
  uint8_t* output = nullptr;       // in: where the PCM goes (room for StreamInfo::output_size)
  int32_t output_size = 0;         // out: bytes written
};

struct DecoderOptions {
  int32_t reduction = 0;           // 0 full rate, 1 half, 2 quarter
  int32_t convert = 0;             // bits 0-1 non-zero: one output channel; bit 3: 8-bit output
  int32_t frequency_limit = 24000; // Hz: subbands above it are not decoded
};

void DecoderInit();
int32_t DecoderLastError();
int32_t FindSyncWord(const uint8_t* bytes, int32_t count, int32_t* offset);
int32_t ReadStreamInfo(const uint8_t* bytes, int32_t count, StreamInfo* info);
int32_t BeginDecoding(const uint8_t* bytes, int32_t count);
int32_t DecodeOneFrame(FrameJob* job);
void SuspendSynthesis(FrameJob* job);
void ResumeSynthesis(FrameJob* job);
void GetDecoderOptions(DecoderOptions* options);
void SetDecoderOptions(const DecoderOptions* options);

}  // namespace mpeg
