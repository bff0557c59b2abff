// Opening WAV files: the chunk scan, the format it reports, and the files it must refuse.
#include <gtest/gtest.h>

#include "media/InputFactory.h"
#include "media/InputWav.h"
#include "tests/media/wav_file.h"

namespace media {
namespace {

using media_test::Pattern;
using media_test::TempFile;
using media_test::WavBuilder;

struct Opened {
  PlayListItem item{""};
  InputFormat format;
  int64_t data_offset = 0;
  int64_t data_end = 0;
  uint32_t block_size = 0;
};

Opened OpenBytes(const std::vector<uint8_t>& bytes) {
  TempFile file(bytes);
  InputWav wav;
  Opened o;
  o.item = PlayListItem(file.path());
  wav.Open(file.path(), o.item);
  wav.GetFormat(o.format);
  o.data_offset = wav.DataOffset();
  o.data_end = wav.DataEnd();
  o.block_size = wav.BlockSize();
  return o;
}

std::string OpenError(const std::vector<uint8_t>& bytes) {
  TempFile file(bytes);
  InputWav wav;
  PlayListItem item(file.path());
  try {
    wav.Open(file.path(), item);
  } catch (const MediaError& e) {
    // Nothing is loaded after a refusal: no format, and nothing to start.
    InputFormat f;
    wav.GetFormat(f);
    EXPECT_EQ(f.channels, 0);
    EXPECT_EQ(f.sample_rate, 0u);
    EXPECT_EQ(wav.GetPosition(), 0);
    EXPECT_THROW(wav.Start(0), MediaError);
    return e.what();
  }
  ADD_FAILURE() << "Open accepted the file";
  return {};
}

class FmtSizeTest : public testing::TestWithParam<uint32_t> {};

TEST_P(FmtSizeTest, ChunksBeforeAndBetweenAreSkippedAndTheFormatIsRead) {
  const uint32_t fmt_size = GetParam();
  const auto samples = Pattern(22050 * 2 * 3 + 100);  // 3 s of mono 16-bit and a bit
  const auto bytes = WavBuilder()
                         .Chunk("LIST", std::vector<uint8_t>(26, 'x'))
                         .Fmt(1, 22050, 16, fmt_size)
                         .Chunk("fact", {4, 0, 0, 0})
                         .Data(samples)
                         .Bytes();
  const Opened o = OpenBytes(bytes);
  EXPECT_EQ(o.format.channels, 1);
  EXPECT_EQ(o.format.bits_per_sample, 16);
  EXPECT_EQ(o.format.sample_rate, 22050u);
  EXPECT_EQ(o.data_offset, 12 + (8 + 26) + (8 + fmt_size) + (8 + 4) + 8);
  EXPECT_EQ(o.data_end, o.data_offset + static_cast<int64_t>(samples.size()));
  EXPECT_EQ(o.item.channels, 1);
  EXPECT_EQ(o.item.sample_rate, 22050);
  EXPECT_EQ(o.item.total_samples, samples.size() / 2);
  EXPECT_EQ(o.item.length, 3);
  EXPECT_EQ(o.block_size, 22050u * 2 / 5);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FmtSizeTest, testing::Values(16u, 18u, 40u));

TEST(WavOpen, CanonicalHeaderOfTheRecorder) {
  const auto bytes = WavBuilder().Fmt(2, 44100, 16).Data(Pattern(176400)).Bytes();
  ASSERT_EQ(bytes.size(), 44u + 176400u);
  const Opened o = OpenBytes(bytes);
  EXPECT_EQ(o.data_offset, 44);
  EXPECT_EQ(o.block_size, 35280u);
  EXPECT_EQ(o.item.total_samples, 44100u);
  EXPECT_EQ(o.item.length, 1);
  EXPECT_TRUE(o.item.name.empty());  // the WAV input leaves the name to the caller
}

TEST(WavOpen, OddChunkBeforeDataIsSkippedWithItsPadByte) {
  const auto samples = Pattern(8000);
  const auto padded =
      WavBuilder().Fmt(1, 8000, 8).Chunk("LIST", std::vector<uint8_t>(7, 'y')).Data(samples);
  const Opened o = OpenBytes(padded.Bytes());
  EXPECT_EQ(o.data_offset, 12 + 24 + 8 + 8 + 8);
  EXPECT_EQ(o.item.total_samples, 8000u);

  // A writer that left the pad byte out: the next header is found where it really is.
  const auto unpadded = WavBuilder()
                            .Fmt(1, 8000, 8)
                            .Chunk("LIST", std::vector<uint8_t>(7, 'y'), /*pad=*/false)
                            .Data(samples);
  const Opened u = OpenBytes(unpadded.Bytes());
  EXPECT_EQ(u.data_offset, 12 + 24 + 8 + 7 + 8);
  EXPECT_EQ(u.item.total_samples, 8000u);
}

TEST(WavOpen, RateAbove65535IsKept) {
  const auto bytes = WavBuilder().Fmt(2, 96000, 16).Data(Pattern(96000 * 4)).Bytes();
  const Opened o = OpenBytes(bytes);
  EXPECT_EQ(o.format.sample_rate, 96000u);
  EXPECT_EQ(o.item.sample_rate, 96000);
  EXPECT_EQ(o.item.length, 1);
  EXPECT_EQ(o.block_size, 76800u);
}

TEST(WavOpen, TrailingChunkIsNotPartOfTheSamples) {
  const auto samples = Pattern(16000);
  const auto bytes = WavBuilder()
                         .Fmt(1, 8000, 16)
                         .Data(samples)
                         .Chunk("id3 ", std::vector<uint8_t>(300, 'T'))
                         .Bytes();
  const Opened o = OpenBytes(bytes);
  EXPECT_EQ(o.data_end, 44 + 16000);
  EXPECT_EQ(o.item.total_samples, 8000u);
  EXPECT_EQ(o.item.length, 1);
}

TEST(WavOpen, UnfinishedDataSizeMeansTheRestOfTheFile) {
  const auto samples = Pattern(8000 * 2 * 2 + 6);  // 2 s of mono 16-bit, then 3 more frames
  // A recording cut short leaves the size at 0 ...
  const auto zero = WavBuilder().Fmt(1, 8000, 16).RawChunk("data", 0, samples).Bytes();
  const Opened z = OpenBytes(zero);
  EXPECT_EQ(z.data_end, static_cast<int64_t>(zero.size()));
  EXPECT_EQ(z.item.total_samples, 16003u);
  EXPECT_EQ(z.item.length, 2);
  // ... or a size larger than what was written.
  const auto past = WavBuilder().Fmt(1, 8000, 16).RawChunk("data", 1000000, samples).Bytes();
  const Opened p = OpenBytes(past);
  EXPECT_EQ(p.data_end, static_cast<int64_t>(past.size()));
  EXPECT_EQ(p.item.total_samples, 16003u);
}

TEST(WavOpen, RefusesWhatIsNotAWavFile) {
  EXPECT_EQ(OpenError({'R', 'I', 'F'}), "RIFF フォーマットではありません。");
  EXPECT_EQ(OpenError({'O', 'g', 'g', 'S', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}),
            "RIFF フォーマットではありません。");
  EXPECT_EQ(OpenError({'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V', 'I', ' '}),
            "WAVE フォーマットではありません。");

  InputWav wav;
  PlayListItem item("/nonexistent/x.wav");
  try {
    wav.Open("/nonexistent/x.wav", item);
    ADD_FAILURE() << "opened a file that does not exist";
  } catch (const MediaError& e) {
    EXPECT_NE(std::string(e.what()).find("ファイルを開けません"), std::string::npos) << e.what();
  }
}

TEST(WavOpen, RefusesAFormatThatWouldDivideByZero) {
  const auto samples = Pattern(1000);
  const std::string no_fmt = OpenError(WavBuilder().Data(samples).Bytes());
  EXPECT_NE(no_fmt.find("fmt チャンクがありません"), std::string::npos) << no_fmt;
  for (auto [channels, rate, bits] : {std::tuple{0, 8000, 16}, std::tuple{1, 0, 16},
                                      std::tuple{2, 8000, 0}, std::tuple{1, 8000, 4},
                                      std::tuple{1, 2, 8}}) {
    const auto bytes =
        WavBuilder()
            .Fmt(static_cast<uint16_t>(channels), static_cast<uint32_t>(rate),
                 static_cast<uint16_t>(bits))
            .Data(samples)
            .Bytes();
    const std::string text = OpenError(bytes);
    EXPECT_NE(text.find("フォーマットが正しくありません"), std::string::npos) << text;
  }
  const std::string no_data = OpenError(WavBuilder().Fmt(1, 8000, 8).Bytes());
  EXPECT_NE(no_data.find("data チャンクがありません"), std::string::npos) << no_data;
}

TEST(WavOpen, AfterARefusalTheSameInputOpensAGoodFile) {
  TempFile bad(WavBuilder().Fmt(0, 8000, 16).Data(Pattern(100)).Bytes());
  TempFile good(WavBuilder().Fmt(1, 11025, 8).Data(Pattern(11025)).Bytes());
  InputWav wav;
  PlayListItem item(bad.path());
  EXPECT_THROW(wav.Open(bad.path(), item), MediaError);
  wav.Open(good.path(), item);
  InputFormat f;
  wav.GetFormat(f);
  EXPECT_EQ(f.sample_rate, 11025u);
  EXPECT_EQ(item.length, 1);
  EXPECT_EQ(wav.Close(), 0);
  EXPECT_EQ(wav.Close(), -1);  // nothing open any more
}

TEST(InputChoice, ByExtensionInAnyCaseAndNothingForOthers) {
  for (const char* path : {"/a/b/talk.wav", "C:\\rec\\TALK.WAV", "x.Wav"}) {
    auto input = CreateInputForPath(path);
    EXPECT_NE(dynamic_cast<InputWav*>(input.get()), nullptr) << path;
  }
  for (const char* path : {"notes.txt", "wav", "/dir.wav/file", "talk.wav.bak"}) {
    EXPECT_EQ(CreateInputForPath(path), nullptr) << path;
  }
  EXPECT_EQ(FileNameOf("/a/b/talk.wav"), "talk.wav");
  EXPECT_EQ(FileNameOf("C:\\rec\\talk.wav"), "talk.wav");
  EXPECT_EQ(FileNameOf("talk.wav"), "talk.wav");
}

}  // namespace
}  // namespace media
