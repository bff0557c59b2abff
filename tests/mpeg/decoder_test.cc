// The decoder's interface: header fields, error codes, stream sizes, the Xing and Info headers, the
// options, suspending synthesis, and the subband limit, on hand-made frames and the shared
// compliance streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "media/mpeg/decoder.h"
#include "media/mpeg/decoder_testing.h"
#include "media/mpeg/synthesis.h"
#include "tests/mpeg/stream_decoder.h"
#include "tests/support/test_data.h"

namespace {

std::vector<uint8_t> Header(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, size_t size = 2048) {
  std::vector<uint8_t> bytes(size, 0);
  bytes[0] = b0;
  bytes[1] = b1;
  bytes[2] = b2;
  bytes[3] = b3;
  return bytes;
}

void PutBigEndian(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// Writes bits most significant first, for building frames by hand.
class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& bytes, size_t start_bit = 32)
      : bytes_(bytes), pos_(start_bit) {}
  void Put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i, ++pos_)
      if ((value >> i) & 1) bytes_[pos_ / 8] |= static_cast<uint8_t>(0x80 >> (pos_ % 8));
  }

 private:
  std::vector<uint8_t>& bytes_;
  size_t pos_;
};

// A single-channel MPEG-1 Layer I frame at 48 kHz, 384 kbit/s (384 bytes), no CRC, whose only
// allocated subband is `subband`, carrying a full-scale square wave.
std::vector<uint8_t> Layer1FrameWithSubband(int subband) {
  std::vector<uint8_t> frame = Header(0xFF, 0xFF, 0xC4, 0xC0, 384);
  BitWriter bits(frame);
  for (int sb = 0; sb < 32; ++sb) bits.Put(sb == subband ? 14 : 0, 4);  // 15-bit codes
  bits.Put(0, 6);                                                       // scale factor 2.0
  for (int slot = 0; slot < 12; ++slot) bits.Put(slot % 2 ? 0x0001 : 0x7FFE, 15);
  return frame;
}

class DecoderTest : public ::testing::Test {
 protected:
  void SetUp() override { mpeg::DecoderInit(); }
  void TearDown() override {
    mpeg::testing::OverrideSubbandLimit(0);
    mpeg::DecoderInit();
  }

  // Decodes `frames` copies of `frame` from a fresh start; returns all PCM bytes.
  static std::vector<uint8_t> DecodeRepeated(const std::vector<uint8_t>& frame, int frames) {
    std::vector<uint8_t> head = frame;
    if (head.size() < 156) head.resize(156, 0);
    mpeg::StreamInfo info;
    EXPECT_EQ(mpeg::ReadStreamInfo(head.data(), static_cast<int32_t>(head.size()), &info), 1);
    EXPECT_EQ(mpeg::BeginDecoding(head.data(), static_cast<int32_t>(head.size())), 1);
    std::vector<uint8_t> pcm;
    std::vector<uint8_t> out(static_cast<size_t>(info.output_size));
    for (int i = 0; i < frames; ++i) {
      mpeg::FrameJob job;
      job.input = frame.data();
      job.input_size = static_cast<int32_t>(frame.size());
      job.output = out.data();
      EXPECT_EQ(mpeg::DecodeOneFrame(&job), 1) << "error " << mpeg::DecoderLastError();
      pcm.insert(pcm.end(), out.begin(), out.begin() + job.output_size);
    }
    return pcm;
  }

  static bool AllZero(const std::vector<uint8_t>& pcm) {
    for (uint8_t b : pcm)
      if (b) return false;
    return true;
  }
};

TEST_F(DecoderTest, ParsesALayer3HeaderAndSizesItsFrame) {
  std::vector<uint8_t> bytes = Header(0xFF, 0xFB, 0x90, 0x64);
  mpeg::StreamInfo info;
  ASSERT_EQ(mpeg::ReadStreamInfo(bytes.data(), 156, &info), 1);
  EXPECT_EQ(info.header.version, 1);
  EXPECT_EQ(info.header.layer, 3);
  EXPECT_EQ(info.header.crc, 0);
  EXPECT_EQ(info.header.bitrate_index, 9);
  EXPECT_EQ(info.header.frequency_index, 0);
  EXPECT_EQ(info.header.padding, 0);
  EXPECT_EQ(info.header.mode, 1);
  EXPECT_EQ(info.header.mode_extension, 2);
  EXPECT_EQ(info.header.original, 1);
  EXPECT_EQ(info.bitrate, 128000);
  EXPECT_EQ(info.frequency, 44100);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.bits_per_sample, 16);
  EXPECT_EQ(info.min_input_size, 417);
  EXPECT_EQ(info.max_input_size, 418);
  EXPECT_EQ(info.output_size, 4608);
  EXPECT_EQ(info.frames, 0);
  EXPECT_EQ(info.skip_size, 0);

  ASSERT_EQ(mpeg::BeginDecoding(bytes.data(), 156), 1);
  std::vector<uint8_t> out(4608);
  mpeg::FrameJob job;
  job.input = bytes.data();
  job.input_size = 416;  // one byte short of the frame
  job.output = out.data();
  EXPECT_EQ(mpeg::DecodeOneFrame(&job), 0);
  EXPECT_EQ(mpeg::DecoderLastError(), mpeg::kErrorNeedMoreData);
  job.input_size = 2048;
  ASSERT_EQ(mpeg::DecodeOneFrame(&job), 1);
  EXPECT_EQ(job.input_size, 417);
  EXPECT_EQ(job.output_size, 4608);
  EXPECT_EQ(job.bitrate, 128000);
  EXPECT_EQ(job.header.layer, 3);

  // Padding adds a byte; the frame length uses the remembered frequency.
  bytes[2] = 0x92;
  job.input = bytes.data();
  job.input_size = 2048;
  ASSERT_EQ(mpeg::DecodeOneFrame(&job), 1);
  EXPECT_EQ(job.input_size, 418);
}

TEST_F(DecoderTest, FrameLengthsOfEachLayerAndVersion) {
  struct Case {
    uint8_t b1, b2, b3;
    int32_t frequency, length, output_size;
  } cases[] = {
      {0xFF, 0xC6, 0x00, 48000, (1 + 96) * 4, 384 * 4},        // Layer I, padded
      {0xFC, 0xA0, 0xC0, 44100, 192000 * 144 / 44100, 1152 * 2},  // Layer II mono, CRC
      {0xF3, 0x84, 0x00, 24000, 64000 * 144 / 24000 / 2, 576 * 4},  // MPEG-2 Layer III
      {0xF5, 0x88, 0x00, 16000, 64000 * 144 / 16000, 1152 * 4},     // MPEG-2 Layer II
      {0xE3, 0x48, 0xC0, 8000, 32000 * 144 / 8000 / 2, 576 * 2},    // MPEG-2.5 mono
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int{c.b1} << " " << int{c.b2});
    std::vector<uint8_t> bytes = Header(0xFF, c.b1, c.b2, c.b3);
    mpeg::StreamInfo info;
    ASSERT_EQ(mpeg::ReadStreamInfo(bytes.data(), 2048, &info), 1);
    EXPECT_EQ(info.frequency, c.frequency);
    EXPECT_EQ(info.output_size, c.output_size);
    ASSERT_EQ(mpeg::BeginDecoding(bytes.data(), 2048), 1);
    std::vector<uint8_t> out(static_cast<size_t>(info.output_size));
    mpeg::FrameJob job;
    job.input = bytes.data();
    job.input_size = 2048;
    job.output = out.data();
    ASSERT_EQ(mpeg::DecodeOneFrame(&job), 1);
    EXPECT_EQ(job.input_size, c.length);
    EXPECT_EQ(job.output_size, c.output_size);
  }
}

TEST_F(DecoderTest, RejectsBadSyncAndInvalidFields) {
  struct Case {
    uint8_t b0, b1, b2;
    int32_t error;
  } cases[] = {
      {0xFE, 0xFB, 0x90, mpeg::kErrorBadSync},      // first byte not 0xFF
      {0xFF, 0xDB, 0x90, mpeg::kErrorBadSync},      // neither >= 0xF0 nor 0xE?
      {0xFF, 0xFB, 0x00, mpeg::kErrorInvalidField}, // free format
      {0xFF, 0xFB, 0xF0, mpeg::kErrorInvalidField}, // bit-rate index 15
      {0xFF, 0xFB, 0x9C, mpeg::kErrorInvalidField}, // frequency index 3
      {0xFF, 0xF9, 0x90, mpeg::kErrorInvalidField}, // layer bits 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int{c.b0} << " " << int{c.b1} << " "
                                    << int{c.b2});
    std::vector<uint8_t> bytes = Header(c.b0, c.b1, c.b2, 0x64);
    mpeg::StreamInfo info;
    mpeg::DecoderInit();
    EXPECT_EQ(mpeg::ReadStreamInfo(bytes.data(), 156, &info), 0);
    EXPECT_EQ(mpeg::DecoderLastError(), c.error);
    mpeg::DecoderInit();
    mpeg::FrameJob job;
    job.input = bytes.data();
    job.input_size = 2048;
    std::vector<uint8_t> out(4608);
    job.output = out.data();
    EXPECT_EQ(mpeg::DecodeOneFrame(&job), 0);
    EXPECT_EQ(mpeg::DecoderLastError(), c.error);
  }
  mpeg::DecoderInit();
  EXPECT_EQ(mpeg::DecoderLastError(), mpeg::kErrorNone);
}

TEST_F(DecoderTest, Mpeg25AtIndexZeroIs11025Hz) {
  for (uint8_t b1 : {uint8_t{0xE2}, uint8_t{0xE3}}) {
    std::vector<uint8_t> bytes = Header(0xFF, b1, 0x80, 0xC0);
    mpeg::StreamInfo info;
    ASSERT_EQ(mpeg::ReadStreamInfo(bytes.data(), 156, &info), 1);
    EXPECT_EQ(info.header.version, 3);
    EXPECT_EQ(info.header.layer, 3);
    EXPECT_EQ(info.header.crc, b1 == 0xE2 ? 1 : 0);
    EXPECT_EQ(info.frequency, 11025);
    EXPECT_EQ(info.bitrate, 64000);                    // the MPEG-2 table
    EXPECT_EQ(info.output_size, 576 * 1 * 2);          // 576 samples, one channel
    EXPECT_EQ(info.min_input_size, 64000 * 144 / 11025 / 2);
  }
}

TEST_F(DecoderTest, NeedsEnoughBytes) {
  std::vector<uint8_t> bytes = Header(0xFF, 0xFB, 0x90, 0x64);
  mpeg::StreamInfo info;
  EXPECT_EQ(mpeg::ReadStreamInfo(bytes.data(), 155, &info), 0);
  EXPECT_EQ(mpeg::DecoderLastError(), mpeg::kErrorNeedMoreData);
  EXPECT_EQ(mpeg::BeginDecoding(bytes.data(), 155), 0);
  EXPECT_EQ(mpeg::DecoderLastError(), mpeg::kErrorNeedMoreData);
  mpeg::FrameJob job;
  job.input = bytes.data();
  job.input_size = 4;
  EXPECT_EQ(mpeg::DecodeOneFrame(&job), 0);
  EXPECT_EQ(mpeg::DecoderLastError(), mpeg::kErrorNeedMoreData);
}

TEST_F(DecoderTest, FindsOnlyTheSyncBitsWithinRange) {
  const uint8_t bytes[] = {0xFF, 0x00, 0xFF, 0xEF, 0x12, 0x34};
  int32_t offset = -1;
  EXPECT_EQ(mpeg::FindSyncWord(bytes, 3, &offset), 0);
  EXPECT_EQ(mpeg::DecoderLastError(), mpeg::kErrorNeedMoreData);
  // 0xFF 0xEF: MPEG-2.5 sync bits, whatever the rest of the header says.
  EXPECT_EQ(mpeg::FindSyncWord(bytes, 6, &offset), 1);
  EXPECT_EQ(offset, 2);
  // The last candidate offset is count - 4.
  mpeg::DecoderInit();
  EXPECT_EQ(mpeg::FindSyncWord(bytes, 5, &offset), 0);
  EXPECT_EQ(mpeg::DecoderLastError(), mpeg::kErrorNeedMoreData);
  const uint8_t mpeg1[] = {0x12, 0xFF, 0xD0, 0xFF, 0xF0, 0x00, 0x00};
  EXPECT_EQ(mpeg::FindSyncWord(mpeg1, 7, &offset), 1);
  EXPECT_EQ(offset, 3);
}

TEST_F(DecoderTest, ReadsTheXingHeader) {
  // MPEG-1 Layer III stereo: the tag follows 4 header and 32 side-information bytes.
  std::vector<uint8_t> bytes = Header(0xFF, 0xFB, 0x92, 0x64);
  std::memcpy(&bytes[36], "Xing", 4);
  PutBigEndian(bytes, 40, 0);
  PutBigEndian(bytes, 44, 1234);
  PutBigEndian(bytes, 48, 567890);
  mpeg::StreamInfo info;
  EXPECT_EQ(mpeg::ReadStreamInfo(bytes.data(), 156, &info), 0);
  EXPECT_EQ(mpeg::DecoderLastError(), mpeg::kErrorInvalidField);

  PutBigEndian(bytes, 40, 1);  // frames only: the byte count is read all the same
  ASSERT_EQ(mpeg::ReadStreamInfo(bytes.data(), 156, &info), 1);
  EXPECT_EQ(info.frames, 1234);
  EXPECT_EQ(info.data_size, 567890);
  EXPECT_EQ(info.bitrate, 0);
  EXPECT_EQ(info.skip_size, 1 + 128000 * 144 / 44100);
  EXPECT_EQ(info.min_input_size, 32000 * 144 / 44100);
  EXPECT_EQ(info.max_input_size, 320000 * 144 / 44100 + 1);

  // The Info header of a constant-bit-rate stream has the same layout and the same meaning; any
  // other word there is the start of the audio data.
  std::memcpy(&bytes[36], "Info", 4);
  ASSERT_EQ(mpeg::ReadStreamInfo(bytes.data(), 156, &info), 1);
  EXPECT_EQ(info.frames, 1234);
  EXPECT_EQ(info.data_size, 567890);
  EXPECT_EQ(info.bitrate, 0);
  EXPECT_EQ(info.skip_size, 1 + 128000 * 144 / 44100);
  EXPECT_EQ(info.max_input_size, 320000 * 144 / 44100 + 1);
  PutBigEndian(bytes, 40, 0);
  EXPECT_EQ(mpeg::ReadStreamInfo(bytes.data(), 156, &info), 0)
      << "Info without a frames or bytes flag";
  EXPECT_EQ(mpeg::DecoderLastError(), mpeg::kErrorInvalidField);
  std::memcpy(&bytes[36], "Infx", 4);
  ASSERT_EQ(mpeg::ReadStreamInfo(bytes.data(), 156, &info), 1);
  EXPECT_EQ(info.frames, 0);
  EXPECT_EQ(info.skip_size, 0);
  EXPECT_EQ(info.bitrate, 128000);

  // Single-channel MPEG-2 with CRC: 6 header bytes and 9 of side information.
  std::vector<uint8_t> lsf = Header(0xFF, 0xF2, 0x84, 0xC0);
  std::memcpy(&lsf[15], "Xing", 4);
  PutBigEndian(lsf, 19, 3);
  PutBigEndian(lsf, 23, 99);
  PutBigEndian(lsf, 27, 4321);
  ASSERT_EQ(mpeg::ReadStreamInfo(lsf.data(), 156, &info), 1);
  EXPECT_EQ(info.frames, 99);
  EXPECT_EQ(info.data_size, 4321);
  EXPECT_EQ(info.skip_size, 64000 * 144 / 24000 / 2);
  EXPECT_EQ(info.min_input_size, 8000 * 144 / 24000 / 2);
  EXPECT_EQ(info.max_input_size, 160000 * 144 / 24000 / 2 + 1);

  // Layer I: the tag right after the header; sizes in 4-byte slots.
  std::vector<uint8_t> l1 = Header(0xFF, 0xFF, 0xC6, 0x00);
  std::memcpy(&l1[4], "Xing", 4);
  PutBigEndian(l1, 8, 2);
  ASSERT_EQ(mpeg::ReadStreamInfo(l1.data(), 156, &info), 1);
  EXPECT_EQ(info.skip_size, (1 + 384000 * 12 / 48000) * 4);
  EXPECT_EQ(info.min_input_size, (32000 * 12 / 48000) * 4);
  EXPECT_EQ(info.max_input_size, (448000 * 12 / 48000) * 4 + 4);
}

TEST_F(DecoderTest, OptionsShapeTheOutput) {
  mpeg::DecoderOptions options;
  mpeg::GetDecoderOptions(&options);
  EXPECT_EQ(options.reduction, 0);
  EXPECT_EQ(options.convert, 0);
  EXPECT_EQ(options.frequency_limit, 24000);

  std::vector<uint8_t> bytes = Header(0xFF, 0xFB, 0x90, 0x64);
  mpeg::StreamInfo info;
  options.reduction = 1;
  mpeg::SetDecoderOptions(&options);
  ASSERT_EQ(mpeg::ReadStreamInfo(bytes.data(), 156, &info), 1);
  EXPECT_EQ(info.frequency, 22050);
  EXPECT_EQ(info.output_size, 576 * 2 * 2);
  options = {0, 1, 24000};
  mpeg::SetDecoderOptions(&options);
  ASSERT_EQ(mpeg::ReadStreamInfo(bytes.data(), 156, &info), 1);
  EXPECT_EQ(info.channels, 1);
  EXPECT_EQ(info.output_size, 1152 * 2);
  options = {2, 8, 24000};
  mpeg::SetDecoderOptions(&options);
  ASSERT_EQ(mpeg::ReadStreamInfo(bytes.data(), 156, &info), 1);
  EXPECT_EQ(info.bits_per_sample, 8);
  EXPECT_EQ(info.frequency, 11025);
  EXPECT_EQ(info.output_size, 288 * 2 * 1);

  // A reduction the filterbank does not have is held to a quarter rate.
  options = {7, 0, 24000};
  mpeg::SetDecoderOptions(&options);
  mpeg::GetDecoderOptions(&options);
  EXPECT_EQ(options.reduction, 2);
  mpeg::DecoderInit();
  mpeg::GetDecoderOptions(&options);
  EXPECT_EQ(options.reduction, 0);
}

TEST_F(DecoderTest, TopSubbandIsNeverDecodedAndTheLimitFollowsTheOption) {
  // At the defaults 31 subbands are decoded: a signal in subband 31 alone is silent.
  EXPECT_TRUE(AllZero(DecodeRepeated(Layer1FrameWithSubband(31), 3)));
  EXPECT_FALSE(AllZero(DecodeRepeated(Layer1FrameWithSubband(30), 3)));
  mpeg::testing::OverrideSubbandLimit(32);
  EXPECT_FALSE(AllZero(DecodeRepeated(Layer1FrameWithSubband(31), 3)));
  mpeg::testing::OverrideSubbandLimit(0);

  // 12 kHz at 48 kHz: (12000 * 64 + 24000) / 48000 = 16 subbands.
  mpeg::DecoderOptions options = {0, 0, 12000};
  mpeg::SetDecoderOptions(&options);
  EXPECT_FALSE(AllZero(DecodeRepeated(Layer1FrameWithSubband(15), 3)));
  EXPECT_TRUE(AllZero(DecodeRepeated(Layer1FrameWithSubband(16), 3)));
  // Half rate: at most 15 of the 16 subbands left.
  options = {1, 0, 24000};
  mpeg::SetDecoderOptions(&options);
  EXPECT_FALSE(AllZero(DecodeRepeated(Layer1FrameWithSubband(14), 3)));
  EXPECT_TRUE(AllZero(DecodeRepeated(Layer1FrameWithSubband(15), 3)));
  // Quarter rate: all 8 subbands of the narrower filterbank.
  options = {2, 0, 24000};
  mpeg::SetDecoderOptions(&options);
  EXPECT_FALSE(AllZero(DecodeRepeated(Layer1FrameWithSubband(7), 3)));
}

TEST_F(DecoderTest, SuspendedSynthesisConsumesFramesWithoutWriting) {
  std::vector<uint8_t> frame = Layer1FrameWithSubband(2);
  DecodeRepeated(frame, 1);
  std::vector<uint8_t> out(384 * 2, 0xAA);
  mpeg::FrameJob job;
  job.input = frame.data();
  job.input_size = static_cast<int32_t>(frame.size());
  job.output = out.data();
  mpeg::SuspendSynthesis(&job);
  ASSERT_EQ(mpeg::DecodeOneFrame(&job), 1);
  EXPECT_EQ(job.input_size, 384);
  EXPECT_EQ(job.output_size, 768);
  EXPECT_EQ(std::count(out.begin(), out.end(), 0xAA), 768);
  mpeg::ResumeSynthesis(&job);
  job.input_size = static_cast<int32_t>(frame.size());
  ASSERT_EQ(mpeg::DecodeOneFrame(&job), 1);
  EXPECT_LT(std::count(out.begin(), out.end(), 0xAA), 768);
}

TEST_F(DecoderTest, OutputNeverExceedsTheStreamsSizeWhenFramesChange) {
  // The stream begins with a single-channel Layer I frame; then come a two-channel frame, a
  // Layer II frame and an MPEG-2 frame. Each must fill exactly the stream's output size.
  std::vector<uint8_t> mono = Layer1FrameWithSubband(3);
  std::vector<uint8_t> stereo = Layer1FrameWithSubband(3);
  stereo[3] = 0x00;
  std::vector<uint8_t> layer2 = Header(0xFF, 0xFD, 0xA0, 0x00);
  std::vector<uint8_t> lsf = Header(0xFF, 0xF3, 0x84, 0x00);
  DecodeRepeated(mono, 1);
  for (const std::vector<uint8_t>* frame : {&stereo, &layer2, &lsf, &mono}) {
    std::vector<uint8_t> out(768 + 64, 0xAA);
    mpeg::FrameJob job;
    job.input = frame->data();
    job.input_size = static_cast<int32_t>(frame->size());
    job.output = out.data();
    ASSERT_EQ(mpeg::DecodeOneFrame(&job), 1);
    EXPECT_EQ(job.output_size, 768);
    EXPECT_EQ(std::count(out.begin() + 768, out.end(), 0xAA), 64) << "wrote past the frame";
  }
}

TEST_F(DecoderTest, ConvertsToOneChannelAndToEightBits) {
  const std::filesystem::path dir = mpeg_test::TestDataDir();
  VERBAT_REQUIRE_TEST_DATA(!dir.empty(), "../shared/testdata/mpeg");
  const std::vector<uint8_t> bits = mpeg_test::ReadFile(dir / "iso11172-4/layer2/fl10.mp2");
  ASSERT_FALSE(bits.empty());
  const mpeg_test::Decoded stereo = mpeg_test::DecodeStream(bits);
  ASSERT_EQ(stereo.info.channels, 2);

  mpeg::DecoderOptions options = {0, 3, 24000};
  const mpeg_test::Decoded mono = mpeg_test::DecodeStream(bits, &options);
  ASSERT_EQ(mono.info.channels, 1);
  ASSERT_EQ(mono.pcm.size() * 2, stereo.pcm.size());
  double worst = 0;
  for (size_t i = 0; i < mono.pcm.size(); ++i) {
    const double mean = (stereo.pcm[2 * i] + stereo.pcm[2 * i + 1]) / 2.0;
    worst = std::max(worst, std::fabs(mono.pcm[i] - mean));
  }
  EXPECT_LE(worst, 1.0) << "one channel is the mean of both";

  // 8-bit output: the high byte of the 16-bit sample, offset to unsigned.
  options = {0, 8, 24000};
  mpeg::DecoderInit();
  mpeg::SetDecoderOptions(&options);
  mpeg::StreamInfo info;
  ASSERT_EQ(mpeg::BeginDecoding(bits.data(), static_cast<int32_t>(bits.size())), 1);
  ASSERT_EQ(mpeg::ReadStreamInfo(bits.data(), static_cast<int32_t>(bits.size()), &info), 1);
  ASSERT_EQ(info.output_size, 1152 * 2);
  std::vector<uint8_t> out(static_cast<size_t>(info.output_size));
  mpeg::FrameJob job;
  job.input = bits.data();
  job.input_size = static_cast<int32_t>(bits.size());
  job.output = out.data();
  ASSERT_EQ(mpeg::DecodeOneFrame(&job), 1);
  ASSERT_EQ(job.output_size, 2304);
  for (size_t i = 0; i < out.size(); ++i)
    ASSERT_EQ(out[i], static_cast<uint8_t>((stereo.pcm[i] >> 8) + 128)) << "sample " << i;
}

TEST(SynthesisFilterTest, ReducedRatesKeepTheGain) {
  // A constant in subband 0 settles to the same level at every rate as at the full rate.
  double level[3] = {};
  for (int reduction = 0; reduction < 3; ++reduction) {
    mpeg::SynthesisFilter filter;
    float subbands[32] = {};
    subbands[0] = 0.25f;
    int16_t out[32];
    for (int slot = 0; slot < 40; ++slot) filter.Synthesize(subbands, reduction, out, 1);
    const int n = 32 >> reduction;
    for (int i = 0; i < n; ++i) level[reduction] += out[i] / static_cast<double>(n);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(out[i], level[reduction], 2.0);
  }
  EXPECT_GT(level[0], 0.2 * 32768);
  EXPECT_NEAR(level[1], level[0], 0.01 * level[0]);
  EXPECT_NEAR(level[2], level[0], 0.01 * level[0]);
}

TEST(SynthesisFilterTest, ClampsToSixteenBits) {
  mpeg::SynthesisFilter filter;
  float subbands[32] = {};
  subbands[0] = 4.0f;
  int16_t out[32];
  for (int slot = 0; slot < 40; ++slot) filter.Synthesize(subbands, 0, out, 1);
  for (int16_t s : out) EXPECT_EQ(s, 32767);
  subbands[0] = -4.0f;
  for (int slot = 0; slot < 40; ++slot) filter.Synthesize(subbands, 0, out, 1);
  for (int16_t s : out) EXPECT_EQ(s, -32768);
}

}  // namespace
