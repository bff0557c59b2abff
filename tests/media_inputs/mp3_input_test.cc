// The MP3 input on files made by real encoders: what Open reports, what playback through the
// output sounds like next to an independent decoder, where starts and seeks land, damaged
// streams, tags, and how the reader ends.
#include <gtest/gtest.h>

#include <cctype>
#include <future>
#include <random>

#include "media/InputMP3.h"
#include "tests/media_inputs/support.h"
#include "tests/mpeg/stream_decoder.h"

namespace media {
namespace {

using namespace inputs_test;

struct Mp3File {
  const char* name;
  bool layer3;
  bool xing;
};

// Made once for the whole binary: speech with a low tone under it, 10 seconds.
const Mp3File kFiles[] = {
    {"cbr128.mp3", true, false},    {"vbr.mp3", true, true},   {"mpeg2_22k.mp3", true, false},
    {"mpeg25_8k.mp3", true, false}, {"mono.mp3", true, false}, {"layer2.mp2", false, false},
    {"cbr_info.mp3", true, true},  // CBR as lame writes it by default: an Info frame first
};

class Mp3Files : public EncodedFilesSuite<Mp3Files> {
 protected:
  static void SetUpTestSuite() {
    const std::string text =
        "This is a test of the transcription player. We speak some words, so that the encoder "
        "has real speech to work on, with pauses, numbers like forty two, and some sounds.";
    Encode({"espeak-ng", "sox", "lame", "twolame", "mpg123", "ffprobe"}, "mp3",
           {"espeak-ng -w {}/speech.wav \"" + text + "\"",
            "sox {}/speech.wav -r 44100 -c 2 {}/speech44.wav pad 0 3 trim 0 10",
            "sox -n -r 44100 -c 2 {}/tone.wav synth 10 sine 220 sine 330 gain -20",
            "sox -m {}/speech44.wav {}/tone.wav {}/s44.wav",
            "sox {}/s44.wav -r 22050 {}/s22.wav",
            "sox {}/s44.wav -r 8000 -c 1 {}/s8.wav",
            "sox {}/s44.wav -c 1 {}/s44m.wav",
            "sox {}/s44.wav {}/short.wav trim 0 0.25",
            "lame --quiet -t -b 128 {}/s44.wav {}/cbr128.mp3",
            "lame --quiet -V 4 {}/s44.wav {}/vbr.mp3",
            "lame --quiet -b 128 {}/s44.wav {}/cbr_info.mp3",
            "lame --quiet -t -b 64 {}/s22.wav {}/mpeg2_22k.mp3",
            "lame --quiet -t -b 16 {}/s8.wav {}/mpeg25_8k.mp3",
            "lame --quiet -t -b 64 {}/s44m.wav {}/mono.mp3",
            "lame --quiet -t -b 128 {}/short.wav {}/short.mp3",
            "twolame --quiet -b 192 {}/s44.wav {}/layer2.mp2"});
  }
  void SetUp() override {
    REQUIRE_TOOLS("espeak-ng", "sox", "lame", "twolame", "mpg123", "ffprobe");
    RequireEncoded();
  }

  // mpg123's decode of a file, every frame but a Xing or Info frame, no gapless trimming.
  static std::vector<int16_t> Mpg123(const std::string& path) {
    const std::string raw = Scratch(FileNameOf(path) + ".mpg123.raw");
    if (!Shell("mpg123 -q --no-gapless -s " + path + " > " + raw)) return {};
    return ToS16(ReadBytes(raw));
  }
};

class Mp3Each : public Mp3Files, public testing::WithParamInterface<Mp3File> {};

TEST_P(Mp3Each, OpenReportsWhatFfprobeReports) {
  const std::string path = Path(GetParam().name);
  InputMP3 mp3;
  PlayListItem item(path);
  mp3.Open(path, item);
  const std::string probe = Capture(
      "ffprobe -v error -select_streams a:0 -show_entries stream=channels,sample_rate,duration "
      "-of default=nw=1:nk=1 " + path);
  int channels = 0;
  int rate = 0;
  double duration = 0;
  ASSERT_EQ(std::sscanf(probe.c_str(), "%d %d %lf", &rate, &channels, &duration), 3) << probe;
  EXPECT_EQ(item.channels, channels);
  EXPECT_EQ(item.sample_rate, rate);
  EXPECT_EQ(item.name, GetParam().name);
  const int spf = static_cast<int>(mp3.StreamInfo().output_size / (2 * item.channels));
  EXPECT_NEAR(static_cast<double>(item.total_samples), duration * rate, spf) << "more than a frame off";
  EXPECT_EQ(item.length, static_cast<int32_t>(item.total_samples / static_cast<uint32_t>(rate)));
  EXPECT_EQ(item.total_samples, static_cast<uint32_t>(item.frames) * static_cast<uint32_t>(spf));
  if (GetParam().xing) {
    EXPECT_EQ(item.bit_rate, 0);
    EXPECT_GT(mp3.StreamInfo().skip_size, 0);
  } else {
    EXPECT_GT(item.bit_rate, 0);
  }
  InputFormat f;
  mp3.GetFormat(f);
  EXPECT_EQ(f.bits_per_sample, 16);
  EXPECT_EQ(f.sample_rate, static_cast<uint32_t>(rate));
}

// Played through the output, from the start and from second 3: the input adds nothing to the
// decoder's own output (bit for bit), lands on the first frame boundary at or after the second
// asked for, and agrees with mpg123 within the frame decoder's accuracy criterion.
TEST_P(Mp3Each, PlaysWhatTheDecoderAndMpg123Decode) {
  const std::string path = Path(GetParam().name);
  const mpeg_test::Decoded own = mpeg_test::DecodeStream(ReadBytes(path));
  ASSERT_TRUE(own.began);
  const std::vector<int16_t> ref = Mpg123(path);
  ASSERT_FALSE(ref.empty()) << "mpg123 decoded nothing";
  const size_t channels = static_cast<size_t>(own.info.channels);
  const size_t spf = static_cast<size_t>(own.info.output_size) / 2 / channels;

  for (int32_t seconds : {0, 3}) {
    SCOPED_TRACE("start at second " + std::to_string(seconds));
    InputMP3 mp3;
    const std::vector<int16_t> played = PlayToEnd(mp3, path, seconds);
    const size_t rate = static_cast<size_t>(own.info.frequency);
    const size_t boundary = (seconds * rate + spf - 1) / spf * spf;
    EXPECT_EQ(mp3.SeekLanding(), static_cast<int64_t>(boundary));
    const size_t from = boundary * channels;
    ASSERT_EQ(played.size() + from, own.pcm.size()) << "every frame from the boundary, once";
    // Playback from the start is the decoder's output exactly; after a start further in, the
    // frames decoded before the boundary have filled the reservoir and the filter banks.
    const Agreement self = Compare(played, 0, own.pcm, from, played.size());
    if (seconds == 0) {
      EXPECT_EQ(self.max_diff, 0);
    } else {
      EXPECT_LT(self.rms_units, 1.0) << "max " << self.max_diff;
      // One frame off either way would be far from it.
      EXPECT_GT(Compare(played, 0, own.pcm, from + spf * channels, played.size()).rms_units, 100);
    }

    ASSERT_EQ(ref.size(), own.pcm.size()) << "mpg123 decoded another number of frames";
    const Agreement a = Compare(played, 0, ref, from, played.size());
    std::printf("%-14s from %ds: %zu samples, RMS %.3f units, max %d, SNR %.1f dB against mpg123\n",
                GetParam().name, seconds, a.compared, a.rms_units, a.max_diff, a.snr_db);
    if (a.rms_units >= kLimitedRmsUnits && GetParam().layer3) {
      const Agreement whole = Compare(own.pcm, 0, ref, 0, ref.size());
      GTEST_SKIP() << "the Layer III frame decoder itself differs from mpg123 (RMS "
                   << whole.rms_units << " units on its own); the input plays its output exactly";
    }
    EXPECT_LT(a.rms_units, kLimitedRmsUnits) << "SNR " << a.snr_db << " dB";
  }
}

INSTANTIATE_TEST_SUITE_P(Encoded, Mp3Each, testing::ValuesIn(kFiles),
                         [](const testing::TestParamInfo<Mp3File>& p) {
                           std::string n = p.param.name;
                           for (char& c : n) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return n;
                         });

// Bytes that never hold a sync word (no 0xFF).
std::vector<uint8_t> Garbage(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(random() & 0x7F);
  return bytes;
}

// Offsets of the frames of a clean stream, as the decoder measures them.
std::vector<size_t> FrameOffsets(const std::vector<uint8_t>& data) {
  std::vector<size_t> offsets;
  mpeg::DecoderInit();
  int32_t pos = 0;
  if (!mpeg::FindSyncWord(data.data(), static_cast<int32_t>(data.size()), &pos)) return offsets;
  if (!mpeg::BeginDecoding(data.data() + pos, static_cast<int32_t>(data.size()) - pos)) return offsets;
  mpeg::FrameJob job;
  mpeg::SuspendSynthesis(&job);
  while (static_cast<size_t>(pos) < data.size()) {
    job.input = data.data() + pos;
    job.input_size = static_cast<int32_t>(data.size()) - pos;
    if (!mpeg::DecodeOneFrame(&job)) break;
    offsets.push_back(static_cast<size_t>(pos));
    pos += job.input_size;
  }
  mpeg::ResumeSynthesis(&job);
  return offsets;
}

TEST_F(Mp3Files, GarbageBetweenFramesCostsOneResyncPerFailedFrameAndNothingElse) {
  for (const char* name : {"cbr128.mp3", "layer2.mp2"}) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> clean = ReadBytes(Path(name));
    const std::vector<size_t> frames = FrameOffsets(clean);
    ASSERT_GT(frames.size(), 200u);
    // Run A holds no sync word: the frame after it fails once. Run B holds a header with a
    // forbidden bit-rate index: that fails too, so it costs two.
    std::vector<uint8_t> run_b = Garbage(200, 2);
    run_b.insert(run_b.end(), {0xFF, 0xF3, 0xF0, 0x00});
    const std::vector<uint8_t> run_c = Garbage(100, 3);
    run_b.insert(run_b.end(), run_c.begin(), run_c.end());
    const std::vector<uint8_t> run_a = Garbage(300, 1);
    std::vector<uint8_t> damaged(clean.begin(), clean.begin() + static_cast<long>(frames[50]));
    damaged.insert(damaged.end(), run_a.begin(), run_a.end());
    damaged.insert(damaged.end(), clean.begin() + static_cast<long>(frames[50]),
                   clean.begin() + static_cast<long>(frames[150]));
    damaged.insert(damaged.end(), run_b.begin(), run_b.end());
    damaged.insert(damaged.end(), clean.begin() + static_cast<long>(frames[150]), clean.end());
    // A last frame cut short ends the file.
    damaged.resize(damaged.size() - 100);
    const std::string path = Scratch(std::string("damaged_") + name);
    WriteBytes(path, damaged);

    const mpeg_test::Decoded own = mpeg_test::DecodeStream(clean);
    InputMP3 mp3;
    int resyncs = 0;
    const std::vector<int16_t> played = PlayToEnd(mp3, path, 0, &resyncs);
    EXPECT_EQ(resyncs, 3);
    // The frames around the runs are untouched, so the sound is the clean file's without the
    // frame that was cut short.
    const size_t frame_values = static_cast<size_t>(own.info.output_size) / 2;
    ASSERT_EQ(played.size(), own.pcm.size() - frame_values);
    EXPECT_EQ(Compare(played, 0, own.pcm, 0, played.size()).max_diff, 0);
  }
}

// A start or a seek decodes the frames before the landing point with synthesis switched off
// and switches it on again for the last few. A damaged stream may hold a stray frame of another
// layer just there: it plays as one silent frame, and everything after it is the stream's own.
TEST_F(Mp3Files, AStrayFrameOfAnotherLayerBeforeTheStartPointSilencesOnlyItself) {
  const std::vector<uint8_t> clean = ReadBytes(Path("cbr128.mp3"));
  const std::vector<size_t> frames = FrameOffsets(clean);
  ASSERT_GT(frames.size(), 200u);
  // From second 3 the input lands after 115 frames (3 x 44100 / 1152, rounded up) and decodes
  // the last 4 of them with synthesis (2, and 2 to fill a bit reservoir of up to 511 bytes from
  // frames of 417): the frame decoded 111th is the last one without. The stray frame goes
  // there: MPEG-1 Layer II, 32 kbit/s, single channel, all its bits zero (104 bytes).
  std::vector<uint8_t> stray(104, 0);
  stray[0] = 0xFF;
  stray[1] = 0xFD;
  stray[2] = 0x10;
  stray[3] = 0xC0;
  std::vector<uint8_t> damaged(clean.begin(), clean.begin() + static_cast<long>(frames[110]));
  damaged.insert(damaged.end(), stray.begin(), stray.end());
  damaged.insert(damaged.end(), clean.begin() + static_cast<long>(frames[110]), clean.end());
  const std::string path = Scratch("stray_layer2.mp3");
  WriteBytes(path, damaged);

  const mpeg_test::Decoded own = mpeg_test::DecodeStream(damaged);
  ASSERT_EQ(own.frames, static_cast<int>(frames.size()) + 1);
  InputMP3 mp3;
  const std::vector<int16_t> played = PlayToEnd(mp3, path, 3);
  ASSERT_EQ(mp3.SeekLanding(), 115 * 1152);
  const size_t from = 115u * 1152 * 2;
  ASSERT_EQ(played.size() + from, own.pcm.size());
  const Agreement a = Compare(played, 0, own.pcm, from, played.size());
  EXPECT_LT(a.rms_units, 1.0) << "max " << a.max_diff << ", SNR " << a.snr_db << " dB";
}

std::vector<uint8_t> Id3v2(size_t total, bool footer, uint32_t seed) {
  const size_t body = total - 10 - (footer ? 10 : 0);
  std::vector<uint8_t> tag = {'I', 'D', '3', static_cast<uint8_t>(footer ? 4 : 3), 0,
                              static_cast<uint8_t>(footer ? 0x10 : 0),
                              static_cast<uint8_t>(body >> 21 & 0x7F),
                              static_cast<uint8_t>(body >> 14 & 0x7F),
                              static_cast<uint8_t>(body >> 7 & 0x7F), static_cast<uint8_t>(body & 0x7F)};
  // Picture data is full of bytes that look like sync words.
  std::mt19937 random(seed);
  for (size_t i = 0; i < body; ++i) tag.push_back(i % 97 == 0 ? 0xFF : static_cast<uint8_t>(random()));
  if (footer) tag.insert(tag.end(), {'3', 'D', 'I', 4, 0, 0x10, tag[6], tag[7], tag[8], tag[9]});
  return tag;
}

TEST_F(Mp3Files, TagsBeforeAndAfterTheAudioAreSkipped) {
  const std::vector<uint8_t> clean = ReadBytes(Path("cbr128.mp3"));
  InputMP3 plain;
  PlayListItem plain_item(Path("cbr128.mp3"));
  plain.Open(Path("cbr128.mp3"), plain_item);
  const std::vector<int16_t> plain_played = PlayToEnd(plain, Path("cbr128.mp3"));

  std::vector<uint8_t> v1 = {'T', 'A', 'G'};
  v1.resize(128, 0xFF);  // title, artist, album ... (0xFF: looks like the start of a frame)
  for (bool footer : {false, true}) {
    SCOPED_TRACE(footer ? "ID3v2.4 with footer" : "ID3v2.3");
    std::vector<uint8_t> tagged = Id3v2(100 * 1024, footer, 7);
    const std::vector<uint8_t> second = Id3v2(2000, false, 8);  // a second tag behind the first
    tagged.insert(tagged.end(), second.begin(), second.end());
    tagged.insert(tagged.end(), clean.begin(), clean.end());
    tagged.insert(tagged.end(), v1.begin(), v1.end());
    const std::string path = Scratch(footer ? "tagged4.mp3" : "tagged3.mp3");
    WriteBytes(path, tagged);

    InputMP3 mp3;
    PlayListItem item(path);
    mp3.Open(path, item);
    EXPECT_EQ(mp3.DataOffset(), 100 * 1024 + 2000);
    EXPECT_EQ(item.frames, plain_item.frames) << "the ID3v1 tag was counted as audio";
    EXPECT_EQ(item.total_samples, plain_item.total_samples);
    EXPECT_EQ(PlayToEnd(mp3, path), plain_played);
  }
  const std::vector<uint8_t> head = Id3v2(4096, true, 1);
  EXPECT_EQ(InputMP3::Id3v2Size(head.data(), head.size()), 4096);
  EXPECT_EQ(InputMP3::Id3v2Size(clean.data(), clean.size()), 0);
}

// lame itself writing the tags: cover art of about 100 kB in an ID3v2 tag, and an ID3v1 tag.
TEST_F(Mp3Files, TheTagsLameWritesAreSkipped) {
  REQUIRE_TOOLS("convert");
  const fs::path made = EncodedFiles(
      "mp3-tagged", {"convert -size 380x380 plasma:fractal -quality 95 {}/cover.jpg",
                     "lame --quiet -t -b 128 --ti {}/cover.jpg --tt Title --ta Speaker --add-id3v2 " +
                         Path("s44.wav") + " {}/tagged.mp3"});
  ASSERT_FALSE(made.empty()) << "lame could not write the tagged file";
  const std::string path = (made / "tagged.mp3").string();
  const std::vector<uint8_t> bytes = ReadBytes(path);
  ASSERT_GT(bytes.size(), 128u);
  ASSERT_EQ(std::string(bytes.end() - 128, bytes.end() - 125), "TAG");

  InputMP3 plain;
  PlayListItem plain_item(Path("cbr128.mp3"));
  plain.Open(Path("cbr128.mp3"), plain_item);
  InputMP3 mp3;
  PlayListItem item(path);
  mp3.Open(path, item);
  EXPECT_GT(mp3.DataOffset(), 64 * 1024);
  EXPECT_EQ(item.frames, plain_item.frames);
  EXPECT_EQ(PlayToEnd(mp3, path), PlayToEnd(plain, Path("cbr128.mp3")));
}

TEST_F(Mp3Files, AFileWithoutFramesIsRefusedAndNothingIsLoaded) {
  const std::vector<uint8_t> clean = ReadBytes(Path("cbr128.mp3"));
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* message;
  };
  std::vector<uint8_t> tag_only = Id3v2(50000, false, 3);
  std::vector<uint8_t> late = Garbage(600, 4);  // the first frame beyond the search window
  late.insert(late.end(), clean.begin(), clean.end());
  const std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o', '\n'};
  const std::vector<uint8_t> bad_header = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
  const Case cases[] = {
      {"text.mp3", text, "フレームが見つかりません"},
      {"empty.mp3", {}, "フレームが見つかりません"},
      {"tag_only.mp3", tag_only, "フレームが見つかりません"},
      {"late.mp3", late, "フレームが見つかりません"},
      {"bad_header.mp3", bad_header, "ヘッダーが正しくありません"},
  };
  platform::VirtualAudioBackend card({platform::Pacing::kAsFastAsPossible, 1.0});
  OutputAudio output(card);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Scratch(c.name);
    WriteBytes(path, c.bytes);
    InputMP3 mp3;
    mp3.SetOutput(&output);
    PlayListItem item(path);
    try {
      mp3.Open(path, item);
      ADD_FAILURE() << "Open accepted the file";
    } catch (const MediaError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    EXPECT_EQ(item.sample_rate, 0);
    EXPECT_EQ(item.total_samples, 0u);
    InputFormat f;
    mp3.GetFormat(f);
    EXPECT_EQ(f.sample_rate, 0u);
    EXPECT_THROW(mp3.Start(0), MediaError);
    EXPECT_EQ(mp3.GetState(), kStateStopped);
    EXPECT_EQ(mp3.Close(), -1) << "the file was left open";
  }
  EXPECT_EQ(card.PlaybackCount(), 0u) << "the device was opened for a refused file";
}

TEST_F(Mp3Files, AFileThatChangedSinceOpenDoesNotStart) {
  const std::string path = Scratch("changing.mp3");
  WriteBytes(path, ReadBytes(Path("cbr128.mp3")));
  platform::VirtualAudioBackend card({platform::Pacing::kAsFastAsPossible, 1.0});
  OutputAudio output(card);
  InputMP3 mp3;
  mp3.SetOutput(&output);
  PlayListItem item(path);
  mp3.Open(path, item);
  WriteBytes(path, Garbage(100000, 9));  // rewritten in place while loaded
  try {
    mp3.Start(0);
    ADD_FAILURE() << "Start reported success";
  } catch (const MediaError& e) {
    EXPECT_NE(std::string(e.what()).find("デコードを開始できません"), std::string::npos) << e.what();
  }
  EXPECT_EQ(mp3.GetState(), kStateStopped);
  EXPECT_EQ(mp3.ReaderThreadId(), 0u);
  EXPECT_EQ(card.PlaybackCount(), 0u);
}

// Plays on a card that consumes nothing until told: the reader fills all 32 buffers and waits.
TEST_F(Mp3Files, AStopEndsTheReaderWhileItWaitsForTheDevice) {
  for (const char* name : {"cbr128.mp3", "short.mp3"}) {
    SCOPED_TRACE(name);
    // short.mp3 has a dozen frames: the reader is at the end already, waiting for the tail.
    const std::string path = Path(name);
    InputMP3 mp3;
    Player player(mp3, {platform::Pacing::kManual, 1.0});
    PlayListItem item(path);
    mp3.Open(path, item);
    mp3.Start(0);
    const size_t queued = std::min<size_t>(OutputAudio::kHeaderCount, item.frames);
    ASSERT_TRUE(player.card().WaitUntil([&] { return player.card().QueuedBlocks() >= queued; }, 10s));
    auto stop = std::async(std::launch::async, [&] { mp3.RequestStop(); });
    const bool stopped = stop.wait_for(10s) == std::future_status::ready;
    if (!stopped) player.card().Advance(UINT32_MAX);  // let the test end
    ASSERT_TRUE(stopped) << "RequestStop waited for the device";
    EXPECT_EQ(mp3.ReaderThreadId(), 0u);
    EXPECT_EQ(mp3.GetState(), kStateStopped);
    EXPECT_TRUE(player.card().LastPlayback().closed);
    EXPECT_EQ(player.Count(NOTIFY_END), 0) << "a stopped playback reported its end";
  }
}

TEST_F(Mp3Files, ASeekWhilePlayingLandsOnTheNextFrameBoundary) {
  const std::string path = Path("cbr128.mp3");
  const mpeg_test::Decoded own = mpeg_test::DecodeStream(ReadBytes(path));
  InputMP3 mp3;
  Player player(mp3, {platform::Pacing::kManual, 1.0});
  PlayListItem item(path);
  mp3.Open(path, item);
  mp3.Start(1);
  ASSERT_TRUE(player.card().WaitUntil([&] { return player.card().QueuedBlocks() >= 32; }, 10s));
  player.card().Advance(1152 * 5);
  // The reader takes the seek between two frames; frames are played until it has.
  auto seek = std::async(std::launch::async, [&] { mp3.RequestSeek(6); });
  ASSERT_TRUE(AdvanceUntilAnswered(player, seek, 1152)) << "the seek was not answered";
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  const size_t before = player.card().LastPlayback().played.size() / 2;
  EXPECT_GE(before, 5u * 1152 * 2) << "nothing was heard before the seek";
  EXPECT_EQ(mp3.GetPosition(), 6);
  EXPECT_EQ(mp3.SeekLanding(), (6 * 44100 + 1151) / 1152 * 1152);
  while (!player.WaitForEnd(1ms) && std::chrono::steady_clock::now() < deadline + 20s) {
    player.card().Advance(1152 * 8);
  }
  ASSERT_FALSE(player.Codes().empty());
  EXPECT_EQ(player.Codes().back(), NOTIFY_END);
  // Everything from the landing frame on was heard after what played before the seek (a frame
  // played in the instant the seek was answered may count on either side).
  const std::vector<int16_t> played = ToS16(player.AtEnd().played);
  const size_t from = static_cast<size_t>(mp3.SeekLanding()) * 2;
  const size_t after = own.pcm.size() - from;
  ASSERT_GE(played.size(), after);
  EXPECT_NEAR(static_cast<double>(played.size() - after), static_cast<double>(before), 2 * 1152 * 2);
  EXPECT_LT(Compare(played, played.size() - after, own.pcm, from, after).rms_units, 1.0);
}

}  // namespace
}  // namespace media
