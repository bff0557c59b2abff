// Damaged input: whatever the bytes after a valid header, the decoder reads only the frame it
// was given (each frame is copied into a buffer of exactly its length, so the address sanitizer
// build catches any read past it), writes only the stream's output size, and reports failures
// by the documented codes.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "tests/mpeg/stream_decoder.h"
#include "tests/support/test_data.h"

namespace {

struct Source {
  const char* name;
  const char* file;
};

void PrintTo(const Source& s, std::ostream* os) { *os << s.name; }

// One stream per layer and version.
const Source kSources[] = {
    {"layer1", "iso11172-4/layer1/fl5.mp1"},
    {"layer2", "iso11172-4/layer2/fl14.mp2"},
    {"layer2_lsf", "mpeg2-lsf/test32.mp2"},
    {"layer3", "iso11172-4/layer3/hecommon.bit"},
    {"layer3_blocks", "iso11172-4/layer3/si_block.bit"},
    {"layer3_lsf_intensity", "mpeg2-lsf/M2L3_noise.bit"},
    {"layer3_mpeg25", "generated/mpeg25_11k_js_vbr.mp3"},
};

// The frames of a stream, found by decoding it once.
std::vector<std::vector<uint8_t>> SplitFrames(const std::vector<uint8_t>& data) {
  std::vector<std::vector<uint8_t>> frames;
  const mpeg_test::Decoded probe = mpeg_test::DecodeStream(data);
  if (!probe.began) return frames;
  int32_t pos = 0;
  mpeg::FindSyncWord(data.data(), static_cast<int32_t>(data.size()), &pos);
  std::vector<uint8_t> out(static_cast<size_t>(probe.info.output_size));
  while (pos < static_cast<int32_t>(data.size())) {
    mpeg::FrameJob job;
    job.input = data.data() + pos;
    job.input_size = static_cast<int32_t>(data.size()) - pos;
    job.output = out.data();
    if (!mpeg::DecodeOneFrame(&job)) break;
    frames.emplace_back(data.begin() + pos, data.begin() + pos + job.input_size);
    pos += job.input_size;
  }
  return frames;
}

class Robustness : public ::testing::TestWithParam<Source> {
 protected:
  void SetUp() override {
    const std::filesystem::path dir = mpeg_test::TestDataDir();
    VERBAT_REQUIRE_TEST_DATA(!dir.empty(), "../shared/testdata/mpeg");
    data_ = mpeg_test::ReadFile(dir / GetParam().file);
    ASSERT_FALSE(data_.empty());
    frames_ = SplitFrames(data_);
    ASSERT_GT(frames_.size(), 4u);
  }

  // Decodes `frame` from a heap block of exactly `size` bytes; checks the result's contract.
  void DecodeExact(const std::vector<uint8_t>& frame, size_t size, int32_t output_size) {
    auto input = std::make_unique<uint8_t[]>(size);
    std::copy(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(size), input.get());
    // Room for the output plus a guard that must stay untouched.
    std::vector<uint8_t> out(static_cast<size_t>(output_size) + 16, 0x5A);
    mpeg::FrameJob job;
    job.input = input.get();
    job.input_size = static_cast<int32_t>(size);
    job.output = out.data();
    if (mpeg::DecodeOneFrame(&job)) {
      EXPECT_LE(job.input_size, static_cast<int32_t>(size));
      EXPECT_GT(job.input_size, 4);
      EXPECT_EQ(job.output_size, output_size);
    } else {
      const int32_t e = mpeg::DecoderLastError();
      EXPECT_TRUE(e == mpeg::kErrorBadSync || e == mpeg::kErrorInvalidField ||
                  e == mpeg::kErrorNeedMoreData)
          << "error " << e;
    }
    for (size_t i = static_cast<size_t>(output_size); i < out.size(); ++i)
      ASSERT_EQ(out[i], 0x5A) << "wrote past the output size";
  }

  std::vector<uint8_t> data_;
  std::vector<std::vector<uint8_t>> frames_;
};

TEST_P(Robustness, DamagedFramesStayInsideTheirBuffers) {
  std::mt19937 random(1234);
  const mpeg_test::Decoded probe = mpeg_test::DecodeStream(data_);
  const int32_t output_size = probe.info.output_size;
  for (int round = 0; round < 600; ++round) {
    std::vector<uint8_t> frame = frames_[random() % frames_.size()];
    switch (round % 3) {
      case 0:  // scattered damage after the header: side information, allocations, data
        for (int i = 0; i < 8; ++i)
          frame[4 + random() % (frame.size() - 4)] = static_cast<uint8_t>(random());
        break;
      case 1:  // everything after the header is noise
        for (size_t i = 4; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(random());
        break;
      default:  // all ones: the largest lengths, counts and allocations
        for (size_t i = 4; i < frame.size(); ++i) frame[i] = 0xFF;
        break;
    }
    DecodeExact(frame, frame.size(), output_size);
    if (HasFatalFailure()) return;
  }
}

TEST_P(Robustness, TruncatedFramesAskForMoreData) {
  const mpeg_test::Decoded probe = mpeg_test::DecodeStream(data_);
  for (size_t f = 0; f < 6 && f < frames_.size(); ++f) {
    const std::vector<uint8_t>& frame = frames_[f];
    for (size_t size : {size_t{1}, size_t{4}, size_t{5}, frame.size() / 2, frame.size() - 1}) {
      auto input = std::make_unique<uint8_t[]>(size);
      std::copy(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(size), input.get());
      std::vector<uint8_t> out(static_cast<size_t>(probe.info.output_size));
      mpeg::FrameJob job;
      job.input = input.get();
      job.input_size = static_cast<int32_t>(size);
      job.output = out.data();
      EXPECT_EQ(mpeg::DecodeOneFrame(&job), 0) << size << " of " << frame.size() << " bytes";
      EXPECT_EQ(mpeg::DecoderLastError(), mpeg::kErrorNeedMoreData);
    }
  }
}

TEST_P(Robustness, DamagedStreamDecodesToTheEnd) {
  std::mt19937 random(99);
  for (int round = 0; round < 4; ++round) {
    std::vector<uint8_t> damaged = data_;
    for (size_t i = 0; i < damaged.size() / 64; ++i)
      damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
    const mpeg_test::Decoded d = mpeg_test::DecodeStream(damaged);
    ASSERT_TRUE(d.began || d.begin_error != 0);
    if (d.began) {
      EXPECT_GT(d.frames, 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, Robustness, ::testing::ValuesIn(kSources),
                         [](const ::testing::TestParamInfo<Source>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace
