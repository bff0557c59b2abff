// The Ogg Vorbis input on files made by oggenc: what Open reports, playback sample for sample
// against oggdec, exact starts and seeks, chained files, refusals, and how the reader ends and
// lets the file go.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <future>
#include <thread>

#include "media/InputVorbis.h"
#include "tests/media_inputs/support.h"

namespace media {
namespace {

using namespace inputs_test;

class VorbisFiles : public EncodedFilesSuite<VorbisFiles> {
 protected:
  static void SetUpTestSuite() {
    Encode(
        {"espeak-ng", "sox", "oggenc", "oggdec", "soxi"}, "vorbis",
        {"espeak-ng -w {}/speech.wav \"Every word of the recording is typed while it plays, a few "
         "seconds at a time.\"",
         "sox {}/speech.wav -b 16 -r 44100 -c 2 {}/speech44.wav pad 0 4 trim 0 8",
         "sox -n -b 16 -r 44100 -c 2 {}/tone.wav synth 8 sine 220 sine 330 gain -20",
         "sox -m {}/speech44.wav {}/tone.wav -b 16 {}/s44.wav",
         "sox {}/s44.wav -r 22050 -c 1 {}/s22m.wav",
         "sox -n -b 16 -r 44100 -c 2 {}/second.wav synth 2 sine 550 gain -10",
         "sox -n -b 16 -r 22050 -c 1 {}/other.wav synth 2 sine 550 gain -10",
         "oggenc -Q {}/s44.wav -o {}/stereo44.ogg",
         "oggenc -Q {}/s22m.wav -o {}/mono22.ogg",
         "oggenc -Q {}/second.wav -o {}/second.ogg",
         "oggenc -Q {}/other.wav -o {}/other.ogg",
         "cat {}/stereo44.ogg {}/second.ogg > {}/chain_same.ogg",
         "cat {}/stereo44.ogg {}/other.ogg > {}/chain_other.ogg"});
  }
  void SetUp() override {
    REQUIRE_TOOLS("espeak-ng", "sox", "oggenc", "oggdec", "soxi");
    RequireEncoded();
  }

  static std::vector<int16_t> Oggdec(const std::string& path) {
    const std::string raw = Scratch(FileNameOf(path) + ".oggdec.raw");
    if (!Shell("oggdec -Q -R -o " + raw + " " + path)) return {};
    return ToS16(ReadBytes(raw));
  }

  // The played samples are the reference's from `from` on, followed only by the silence that
  // pads the last block.
  static void ExpectExactly(const std::vector<int16_t>& played, const std::vector<int16_t>& ref,
                            size_t from, size_t block_values) {
    ASSERT_LE(from, ref.size());
    const size_t expected = ref.size() - from;
    ASSERT_GE(played.size(), expected);
    EXPECT_LT(played.size() - expected, block_values) << "more than a block of padding";
    const Agreement a = Compare(played, 0, ref, from, expected);
    EXPECT_EQ(a.max_diff, 0) << "RMS " << a.rms_units << " units";
    for (size_t i = expected; i < played.size(); ++i) {
      if (played[i] != 0) {
        ADD_FAILURE() << "sound after the end at value " << i;
        break;
      }
    }
  }
};

TEST_F(VorbisFiles, OpenReportsWhatSoxiReportsAndBlocksHoldWholeFrames) {
  struct Case {
    const char* name;
    int channels;
    int rate;
    uint32_t block;
  };
  // 22050 Hz mono makes 11025 bytes a second quarter: the block holds whole samples only.
  for (const Case& c : {Case{"stereo44.ogg", 2, 44100, 44100}, Case{"mono22.ogg", 1, 22050, 11024}}) {
    SCOPED_TRACE(c.name);
    const std::string path = Path(c.name);
    InputVorbis ogg;
    PlayListItem item(path);
    ogg.Open(path, item);
    EXPECT_EQ(item.channels, std::stoi(Capture("soxi -c " + path)));
    EXPECT_EQ(item.sample_rate, std::stoi(Capture("soxi -r " + path)));
    EXPECT_EQ(item.channels, c.channels);
    EXPECT_EQ(item.sample_rate, c.rate);
    EXPECT_EQ(item.total_samples, std::stoul(Capture("soxi -s " + path)));
    EXPECT_EQ(item.length, static_cast<int32_t>(item.total_samples / static_cast<uint32_t>(c.rate)));
    EXPECT_EQ(item.name, c.name);
    EXPECT_EQ(ogg.BlockSize(), c.block);
    InputFormat f;
    ogg.GetFormat(f);
    EXPECT_EQ(f.channels, c.channels);
    EXPECT_EQ(f.bits_per_sample, 0);
    EXPECT_EQ(f.sample_rate, static_cast<uint32_t>(c.rate));
    EXPECT_EQ(ogg.Close(), 0);
  }
}

TEST_F(VorbisFiles, PlaysSampleForSampleWhatOggdecDecodesFromAnyStartSecond) {
  for (const char* name : {"stereo44.ogg", "mono22.ogg"}) {
    const std::string path = Path(name);
    const std::vector<int16_t> ref = Oggdec(path);
    ASSERT_FALSE(ref.empty());
    for (int32_t seconds : {0, 3, 7}) {
      SCOPED_TRACE(std::string(name) + " from second " + std::to_string(seconds));
      InputVorbis ogg;
      Player player(ogg);
      PlayListItem item(path);
      ogg.Open(path, item);
      ogg.Start(seconds);
      ASSERT_TRUE(player.WaitForEnd());
      const platform::VirtualPlayback at_end = player.AtEnd();
      EXPECT_TRUE(at_end.closed) << "NOTIFY_END came before the device had played everything";
      EXPECT_EQ(at_end.format.samples_per_sec, static_cast<uint32_t>(item.sample_rate));
      ExpectExactly(ToS16(at_end.played), ref,
                    static_cast<size_t>(seconds) * static_cast<size_t>(item.sample_rate * item.channels),
                    ogg.BlockSize() / 2);
      EXPECT_EQ(player.Codes(), std::vector<int32_t>{NOTIFY_END});
      // The reader let the file go: the next playback opens it again.
      EXPECT_FALSE(ogg.FileHeld());
      EXPECT_THROW(ogg.Start(0), MediaError);
    }
  }
}

void PlayOut(Player& player, uint64_t frames) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!player.WaitForEnd(1ms) && std::chrono::steady_clock::now() < deadline) {
    player.card().Advance(frames);
  }
}

TEST_F(VorbisFiles, SeeksLandOnTheExactSampleWhilePlayingAndWhilePaused) {
  const std::string path = Path("stereo44.ogg");
  const std::vector<int16_t> ref = Oggdec(path);
  for (bool paused : {false, true}) {
    SCOPED_TRACE(paused ? "paused" : "playing");
    InputVorbis ogg;
    Player player(ogg, {platform::Pacing::kManual, 1.0});
    PlayListItem item(path);
    ogg.Open(path, item);
    ogg.Start(0);
    ASSERT_TRUE(player.card().WaitUntil([&] { return player.card().QueuedBlocks() >= 8; }, 10s));
    player.card().Advance(11025);  // one block heard
    if (paused) {
      auto pause = std::async(std::launch::async, [&] { ogg.RequestPause(); });
      ASSERT_TRUE(AdvanceUntilAnswered(player, pause, 11025)) << "the pause was not answered";
      ASSERT_EQ(ogg.GetState(), kStatePaused);
    }
    auto seek = std::async(std::launch::async, [&] { ogg.RequestSeek(5); });
    ASSERT_TRUE(AdvanceUntilAnswered(player, seek, 11025)) << "the seek was not answered";
    // What was queued before the seek is gone, paused or not: the counter shows the new second.
    EXPECT_EQ(ogg.GetPosition(), 5);
    const size_t before = player.card().LastPlayback().played.size() / 2;
    if (paused) {
      EXPECT_EQ(ogg.GetState(), kStatePaused);
      std::async(std::launch::async, [&] { ogg.RequestResume(); }).wait();
    }
    PlayOut(player, 11025);
    ASSERT_FALSE(player.Codes().empty());
    EXPECT_EQ(player.Codes().back(), NOTIFY_END);
    const std::vector<int16_t> played = ToS16(player.AtEnd().played);
    // A block may have been heard in the instant the seek was answered: the new position
    // starts within a block of what had been heard by then, at the exact sample.
    const size_t from = 5 * 44100 * 2;
    const size_t block = ogg.BlockSize() / 2;
    size_t start = played.size();
    for (size_t s = before > block ? before - block : 0; s <= before + block && s < played.size(); s += 2) {
      if (std::equal(ref.begin() + static_cast<long>(from), ref.begin() + static_cast<long>(from + 4096),
                     played.begin() + static_cast<long>(s), played.begin() + static_cast<long>(std::min(s + 4096, played.size())))) {
        start = s;
        break;
      }
    }
    ASSERT_LT(start, played.size()) << "the sound from sample 5 x 44100 was not found";
    ExpectExactly(std::vector<int16_t>(played.begin() + static_cast<long>(start), played.end()),
                  ref, from, block);
  }
}

TEST_F(VorbisFiles, AChainedFilePlaysOnUntilALinkChangesTheFormat) {
  const std::vector<int16_t> first = Oggdec(Path("stereo44.ogg"));
  std::vector<int16_t> both = first;
  const std::vector<int16_t> second = Oggdec(Path("second.ogg"));
  both.insert(both.end(), second.begin(), second.end());
  {
    InputVorbis ogg;
    const std::vector<int16_t> played = PlayToEnd(ogg, Path("chain_same.ogg"));
    ExpectExactly(played, both, 0, ogg.BlockSize() / 2);
    EXPECT_FALSE(ogg.StoppedAtFormatChange());
  }
  {
    // 22050 Hz mono behind 44100 Hz stereo: the device cannot play it, playback ends at the
    // boundary with the usual end notice.
    InputVorbis ogg;
    const std::vector<int16_t> played = PlayToEnd(ogg, Path("chain_other.ogg"));
    ExpectExactly(played, first, 0, ogg.BlockSize() / 2);
    EXPECT_TRUE(ogg.StoppedAtFormatChange());
  }
}

// The pages of an Ogg file, each with its header.
std::vector<std::vector<uint8_t>> OggPages(const std::vector<uint8_t>& bytes) {
  std::vector<std::vector<uint8_t>> pages;
  for (size_t at = 0; at + 27 <= bytes.size();) {
    const size_t segments = bytes[at + 26];
    size_t length = 27 + segments;
    for (size_t i = 0; i < segments; ++i) length += bytes[at + 27 + i];
    length = std::min(length, bytes.size() - at);
    pages.emplace_back(bytes.begin() + static_cast<long>(at),
                       bytes.begin() + static_cast<long>(at + length));
    at += length;
  }
  return pages;
}

// Sets a page's checksum to match its bytes after a change.
void Reseal(std::vector<uint8_t>& page) {
  std::fill(page.begin() + 22, page.begin() + 26, 0);
  uint32_t crc = 0;
  for (uint8_t byte : page) {
    crc ^= uint32_t{byte} << 24;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  for (int i = 0; i < 4; ++i) page[22 + i] = static_cast<uint8_t>(crc >> (8 * i));
}

// The pages of a file whose first codebook claims zero dimensions (the setup header: packet
// type 5, "vorbis", the number of codebooks less one in a byte, then the first codebook
// byte-aligned: its sync word "BCV" and its dimensions in 16 bits).
std::vector<std::vector<uint8_t>> WithEmptyCodebook(std::vector<std::vector<uint8_t>> pages) {
  const std::string setup = "\x05vorbis";
  for (auto& page : pages) {
    const auto at = std::search(page.begin(), page.end(), setup.begin(), setup.end());
    if (page.end() - at < 13 || std::string(at + 8, at + 11) != "BCV") continue;
    at[11] = 0;
    at[12] = 0;
    Reseal(page);
    break;
  }
  return pages;
}

// The pages of a file whose first codebook's first code is one bit shorter or longer, so that
// the code lengths no longer make a whole code: the setup header parses, but libvorbis cannot
// set its decoder up with it. Only for a first codebook of unordered, unsparse lengths (after
// "BCV", 16 bits of dimensions and 24 of entries: the ordered bit, the sparse bit, then the
// first length less one in five bits).
std::vector<std::vector<uint8_t>> WithBrokenCode(std::vector<std::vector<uint8_t>> pages) {
  const std::string setup = "\x05vorbis";
  for (auto& page : pages) {
    const auto at = std::search(page.begin(), page.end(), setup.begin(), setup.end());
    if (page.end() - at < 17 || std::string(at + 8, at + 11) != "BCV" || (at[16] & 3) != 0) {
      continue;
    }
    at[16] ^= 0x04;
    Reseal(page);
    break;
  }
  return pages;
}

std::vector<uint8_t> Join(const std::vector<std::vector<uint8_t>>& pages) {
  std::vector<uint8_t> bytes;
  for (const auto& page : pages) bytes.insert(bytes.end(), page.begin(), page.end());
  return bytes;
}

// A chained file whose later link libvorbisfile could not open (headers cut off, pages out of
// order or hidden in other pages, a serial number used again, a page cut off by the end of the
// file hiding it) plays its sound part before that link, the same file opened again is not read
// again, and a file changed since is.
TEST_F(VorbisFiles, AChainedFileWithADamagedLinkPlaysWhatComesBeforeIt) {
  const std::vector<int16_t> first = Oggdec(Path("stereo44.ogg"));
  std::vector<int16_t> both = first;
  const std::vector<int16_t> second = Oggdec(Path("second.ogg"));
  both.insert(both.end(), second.begin(), second.end());
  const auto a = OggPages(ReadBytes(Path("stereo44.ogg")));
  const auto b = OggPages(ReadBytes(Path("second.ogg")));
  ASSERT_GE(a.size(), 4u);
  ASSERT_GE(b.size(), 3u);

  // The second link ends inside its header pages, as a copy cut short would.
  std::vector<uint8_t> cut = Join(a);
  cut.insert(cut.end(), b[0].begin(), b[0].end());
  cut.insert(cut.end(), b[1].begin(), b[1].begin() + 100);
  // The last page of the first link comes behind the first page of the second.
  auto moved = a;
  moved.pop_back();
  moved.push_back(b[0]);
  moved.push_back(a.back());
  moved.insert(moved.end(), b.begin() + 1, b.end());
  // A copy of the second link's first page inside the body of a page of the first link, where
  // only a reader that starts in the middle of a page finds it.
  auto hidden = a;
  std::vector<uint8_t>& host = hidden[hidden.size() - 2];
  const size_t body = 27 + host[26];
  ASSERT_GT(host.size(), body + 100 + b[0].size());
  std::copy(b[0].begin(), b[0].end(), host.begin() + static_cast<long>(body + 100));
  Reseal(host);
  hidden.insert(hidden.end(), b.begin(), b.end());
  // The second link's setup header has a codebook that libvorbis would divide by.
  auto empty_book = a;
  const auto b_empty = WithEmptyCodebook(b);
  ASSERT_NE(b_empty, b);
  empty_book.insert(empty_book.end(), b_empty.begin(), b_empty.end());
  // Its code lengths make no whole code: libvorbis cannot start decoding it (and a second try
  // used to decode with codebooks of zeros and divide by zero).
  auto broken_code = a;
  const auto b_broken = WithBrokenCode(b);
  ASSERT_NE(b_broken, b);
  broken_code.insert(broken_code.end(), b_broken.begin(), b_broken.end());
  // A third link with the serial number of the first.
  auto reused = a;
  reused.insert(reused.end(), b.begin(), b.end());
  reused.insert(reused.end(), a.begin(), a.end());
  // A second link begun by an empty first page of another stream, then bytes that begin a page
  // longer than the rest of the file, then the real second link: libogg, waiting for the end of
  // that page, would never see the second link's headers, and libvorbisfile refused the file
  // (and lost memory).
  std::vector<uint8_t> empty_first(27, 0);
  std::copy_n("OggS\0\x02", 6, empty_first.begin());
  empty_first[14] = 0x5a;  // a serial number of its own
  Reseal(empty_first);
  std::vector<uint8_t> long_page(27 + 255, 0xff);
  std::copy_n("OggS\0\0", 6, long_page.begin());
  auto cut_off = a;
  cut_off.push_back(empty_first);
  cut_off.push_back(std::vector<uint8_t>(40, 'x'));
  cut_off.push_back(long_page);
  cut_off.insert(cut_off.end(), b.begin(), b.end());

  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    size_t samples;  // values of the sound part, 0: all of the first link but its last page
  };
  const Case cases[] = {{"cut.ogg", cut, first.size()},
                        {"moved.ogg", Join(moved), 0},
                        {"hidden.ogg", Join(hidden), 0},
                        {"empty_book.ogg", Join(empty_book), first.size()},
                        {"broken_code.ogg", Join(broken_code), first.size()},
                        {"reused.ogg", Join(reused), both.size()},
                        {"cut_off.ogg", Join(cut_off), first.size()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Scratch(c.name);
    WriteBytes(path, c.bytes);
    InputVorbis ogg;
    PlayListItem item(path);
    ogg.Open(path, item);
    const size_t values = static_cast<size_t>(item.total_samples) * 2;
    if (c.samples) {
      EXPECT_EQ(values, c.samples);
    } else {
      EXPECT_LT(values, first.size());
      EXPECT_GT(values, first.size() / 2);
    }
    ogg.Close();
    const std::vector<int16_t> played = PlayToEnd(ogg, path);
    ExpectExactly(played,
                  std::vector<int16_t>(both.begin(), both.begin() + static_cast<long>(values)), 0,
                  ogg.BlockSize() / 2);
    EXPECT_FALSE(ogg.StoppedAtFormatChange());

    // Mended in place: the same input reads it again.
    WriteBytes(path, Join(a));
    ogg.Open(path, item);
    EXPECT_EQ(static_cast<size_t>(item.total_samples) * 2, first.size());
    ogg.Close();
  }
}

TEST_F(VorbisFiles, DamagedPagesInTheMiddleAreSkipped) {
  const std::vector<int16_t> ref = Oggdec(Path("stereo44.ogg"));
  std::vector<uint8_t> bytes = ReadBytes(Path("stereo44.ogg"));
  const size_t middle = bytes.size() / 2;
  for (size_t i = 0; i < 3000; ++i) bytes[middle + i] = static_cast<uint8_t>(i * 37 + 11);
  const std::string path = Scratch("damaged.ogg");
  WriteBytes(path, bytes);

  InputVorbis ogg;
  Player player(ogg);
  PlayListItem item(path);
  ogg.Open(path, item);
  ogg.Start(0);
  ASSERT_TRUE(player.WaitForEnd());
  EXPECT_TRUE(ogg.LastReaderError().empty()) << ogg.LastReaderError();
  const std::vector<int16_t> played = ToS16(player.AtEnd().played);
  // The sound before the damage and after it is the file's; only the pages hit are missing.
  const size_t second = 44100 * 2;
  ASSERT_GT(played.size(), ref.size() / 2 + second);
  ASSERT_LT(played.size(), ref.size() + ogg.BlockSize() / 2);
  EXPECT_EQ(Compare(played, 0, ref, 0, second).max_diff, 0);
  size_t end = played.size();
  while (end > 0 && played[end - 1] == 0) --end;  // the padding of the last block
  size_t ref_end = ref.size();
  while (ref_end > 0 && ref[ref_end - 1] == 0) --ref_end;
  EXPECT_EQ(Compare(played, end - second / 2, ref, ref_end - second / 2, second / 2).max_diff, 0);
}

TEST_F(VorbisFiles, RefusesWhatItCannotPlayWithAMessage) {
  const auto message = [](const std::string& path) -> std::string {
    InputVorbis ogg;
    PlayListItem item(path);
    try {
      ogg.Open(path, item);
    } catch (const MediaError& e) {
      EXPECT_FALSE(ogg.FileHeld());
      EXPECT_EQ(item.sample_rate, 0);
      EXPECT_THROW(ogg.Start(0), MediaError);
      return e.what();
    }
    ADD_FAILURE() << "Open accepted " << path;
    return {};
  };
  EXPECT_NE(message(Scratch("missing.ogg")).find("ファイルを開けません"), std::string::npos);
  EXPECT_NE(message(Path("s44.wav")).find("Ogg Vorbis ファイルではありません"), std::string::npos);
  EXPECT_NE(message(scratch_->path().string()).find("Ogg Vorbis ファイルではありません"), std::string::npos);
  // Headers libvorbis accepts but would crash decoding with, and headers cut off.
  const auto pages = OggPages(ReadBytes(Path("mono22.ogg")));
  WriteBytes(Scratch("empty_book.ogg"), Join(WithEmptyCodebook(pages)));
  EXPECT_NE(message(Scratch("empty_book.ogg")).find("壊れていて再生できません"), std::string::npos);
  ASSERT_NE(WithBrokenCode(pages), pages);
  WriteBytes(Scratch("broken_code.ogg"), Join(WithBrokenCode(pages)));
  EXPECT_NE(message(Scratch("broken_code.ogg")).find("壊れていて再生できません"),
            std::string::npos);
  std::vector<uint8_t> cut = Join(pages);
  cut.resize(pages[0].size() + 200);
  WriteBytes(Scratch("cut_headers.ogg"), cut);
  EXPECT_NE(message(Scratch("cut_headers.ogg")).find("壊れていて再生できません"),
            std::string::npos);

  // A stream that cannot seek (a pipe) is refused by its own message.
  signal(SIGPIPE, SIG_IGN);
  const std::string fifo = Scratch("pipe.ogg");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<uint8_t> bytes = ReadBytes(Path("stereo44.ogg"));
  std::thread writer([&] {
    FILE* out = std::fopen(fifo.c_str(), "wb");
    if (!out) return;
    std::fwrite(bytes.data(), 1, bytes.size(), out);  // stops when the reader has gone
    std::fclose(out);
  });
  EXPECT_EQ(message(fifo), "seek出来ないフォーマット");
  writer.join();
}

TEST_F(VorbisFiles, OpeningAgainAndAgainKeepsNoFileOpen) {
  const auto open_files = [] {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
  };
  const std::string path = Path("mono22.ogg");
  InputVorbis ogg;
  PlayListItem item(path);
  ogg.Open(path, item);  // the load: Open then Close
  ogg.Close();
  const size_t baseline = open_files();
  for (int i = 0; i < 20; ++i) {
    ogg.Open(path, item);
    if (i % 2) ogg.Close();  // and without the Close, as a second Open right after
  }
  ogg.Close();
  EXPECT_EQ(open_files(), baseline);
}

TEST_F(VorbisFiles, SeekingPastTheEndEndsPlaybackInsteadOfFailing) {
  const std::string path = Path("mono22.ogg");
  InputVorbis ogg;
  Player player(ogg);
  PlayListItem item(path);
  ogg.Open(path, item);
  ogg.Start(item.length + 60);
  ASSERT_TRUE(player.WaitForEnd());
  EXPECT_TRUE(ogg.LastReaderError().empty()) << ogg.LastReaderError();
  EXPECT_EQ(ToS16(player.AtEnd().played).size(), 0u);
}

// At half speed a quarter-second block lasts half a second; the stop must not wait for blocks
// to be heard, nor for the tail at the end.
TEST_F(VorbisFiles, AStopEndsTheReaderWhileItWaitsForTheDevice) {
  for (const char* name : {"stereo44.ogg", "other.ogg"}) {
    SCOPED_TRACE(name);
    const std::string path = Path(name);
    InputVorbis ogg;
    Player player(ogg, {platform::Pacing::kManual, 1.0});
    player.output().SetSpeedDivisor(16);
    PlayListItem item(path);
    ogg.Open(path, item);
    ogg.Start(0);
    // other.ogg is 8 blocks long: its reader reaches the end and waits for the tail.
    const size_t queued = std::string(name) == "other.ogg" ? 7 : OutputAudio::kHeaderCount;
    ASSERT_TRUE(player.card().WaitUntil([&] { return player.card().QueuedBlocks() >= queued; }, 10s));
    auto stop = std::async(std::launch::async, [&] { ogg.RequestStop(); });
    const bool stopped = stop.wait_for(10s) == std::future_status::ready;
    if (!stopped) player.card().Advance(UINT32_MAX);
    ASSERT_TRUE(stopped) << "RequestStop waited for the device";
    EXPECT_EQ(ogg.ReaderThreadId(), 0u);
    EXPECT_EQ(ogg.GetState(), kStateStopped);
    EXPECT_TRUE(player.card().LastPlayback().closed);
    EXPECT_FALSE(ogg.FileHeld());
    EXPECT_EQ(player.Count(NOTIFY_END), 0);
  }
}

}  // namespace
}  // namespace media
