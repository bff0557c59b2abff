// Playing WAV files through the reader thread and the output on the virtual sound card: what
// the device hears, the command protocol and its notifications. Every wait is on an event or a
// device change, each with a bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <mutex>
#include <numbers>
#include <thread>

#include "media/InputWav.h"
#include "media/OutputAudio.h"
#include "platform/virtual_audio.h"
#include "tests/media/wav_file.h"
#include "tests/support/sound_server.h"

namespace media {
namespace {

using namespace std::chrono_literals;
using media_test::Pattern;
using media_test::TempFile;
using media_test::WavBuilder;

// One playback set-up as the main window has it: an input, an output on the card, a callback.
class Player {
 public:
  explicit Player(platform::VirtualCardOptions options, int32_t divisor = 8)
      : card(options), out(card) {
    out.SetSpeedDivisor(divisor);
    wav.SetOutput(&out);
    wav.SetNotify([this](int32_t code) {
      std::lock_guard lock(mutex);
      codes.push_back(code);
      if (code == NOTIFY_END) {
        at_end = card.LastPlayback();
        ended.Set();
      }
      if (code == NOTIFY_PAUSED) paused.Set();
    });
  }

  void Play(const std::string& path, int32_t seconds) {
    wav.Open(path, item);
    wav.Start(seconds);
  }
  std::vector<int32_t> Codes() {
    std::lock_guard lock(mutex);
    return codes;
  }
  platform::VirtualPlayback AtEnd() {
    std::lock_guard lock(mutex);
    return at_end;
  }

  platform::VirtualAudioBackend card;
  OutputAudio out;
  InputWav wav;
  PlayListItem item{""};
  platform::Event ended;
  platform::Event paused;

 private:
  std::mutex mutex;
  std::vector<int32_t> codes;
  platform::VirtualPlayback at_end;
};

platform::VirtualCardOptions Fast() { return {platform::Pacing::kAsFastAsPossible, 1.0}; }
platform::VirtualCardOptions Manual() { return {platform::Pacing::kManual, 1.0}; }
platform::VirtualCardOptions RealTime(double speed) { return {platform::Pacing::kRealTime, speed}; }

// Waits (at most 10 s) until a Write is waiting for a free header.
bool WriterBlocks(const OutputAudio& out) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!out.WriterWaiting()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// What the device must have heard: the samples, then silence up to a whole block.
std::vector<uint8_t> Padded(std::vector<uint8_t> samples, size_t block, uint8_t silence = 0) {
  samples.resize((samples.size() + block - 1) / block * block, silence);
  return samples;
}

TEST(PlaybackEnd, EveryQueuedBlockIsHeardBeforeTheEndNoticeAndNothingAfterTheData) {
  const auto samples = Pattern(8000 * 2 * 2 + 1234);  // 2.08 s of 8 kHz mono 16-bit
  TempFile file(WavBuilder()
                    .Chunk("LIST", std::vector<uint8_t>(11, 'i'))
                    .Fmt(1, 8000, 16, 18)
                    .Data(samples)
                    .Chunk("LIST", Pattern(5000, 9))  // must not be played as noise
                    .Bytes());
  Player p(Fast());
  p.Play(file.path(), 0);
  ASSERT_EQ(p.ended.Wait(20s), platform::WaitResult::kSignaled);
  p.wav.RequestStop();  // returns at once: the reader has ended or is ending
  const auto heard = p.AtEnd();
  EXPECT_TRUE(heard.closed);  // the output was closed before the notice
  EXPECT_EQ(heard.played, Padded(samples, 3200));
  EXPECT_EQ(heard.blocks_written, heard.played.size() / 3200);
  EXPECT_EQ(p.Codes(), std::vector<int32_t>{NOTIFY_END});
  EXPECT_EQ(p.wav.GetState(), kStateStopped);
  EXPECT_EQ(p.wav.ReaderThreadId(), 0u);
  EXPECT_EQ(p.wav.GetPosition(), 0);  // closed device: the start sample alone
  EXPECT_EQ(p.wav.LastReaderError(), "");
  p.wav.Close();
}

TEST(PlaybackEnd, BlocksAreAFifthOfASecondAtTheFilesOwnRate) {
  // CD audio, and a rate above 65535 that must reach the device unchanged.
  for (const uint32_t rate : {44100u, 96000u}) {
    SCOPED_TRACE(rate);
    const uint32_t block = rate * 4 / 5;
    const auto samples = Pattern(block * 5 + 1000);
    TempFile file(WavBuilder().Fmt(2, rate, 16).Data(samples).Bytes());
    Player p(Fast());
    p.Play(file.path(), 0);
    ASSERT_EQ(p.ended.Wait(20s), platform::WaitResult::kSignaled);
    const auto heard = p.AtEnd();
    EXPECT_EQ(heard.format.samples_per_sec, rate);
    EXPECT_EQ(heard.blocks_written, 6u);
    EXPECT_EQ(heard.played, Padded(samples, block));
    p.wav.RequestStop();
  }
}

TEST(PlaybackStart, StartsAtTheByteOfTheRequestedSecond) {
  const auto samples = Pattern(8000 * 5);  // 5 s of 8 kHz mono 8-bit
  TempFile file(WavBuilder().Fmt(1, 8000, 8).Chunk("junk", {1, 2, 3}).Data(samples).Bytes());
  Player p(Fast());
  p.Play(file.path(), 3);
  ASSERT_EQ(p.ended.Wait(20s), platform::WaitResult::kSignaled);
  p.wav.RequestStop();
  EXPECT_EQ(p.AtEnd().played,
            Padded(std::vector<uint8_t>(samples.begin() + 3 * 8000, samples.end()), 1600, 0x80));
  EXPECT_EQ(p.wav.GetPosition(), 3);

  // Past the end there is nothing to play: playback ends as at the end of the data.
  Player q(Fast());
  q.Play(file.path(), 60);
  ASSERT_EQ(q.ended.Wait(20s), platform::WaitResult::kSignaled);
  EXPECT_TRUE(q.AtEnd().played.empty());
  q.wav.RequestStop();
}

TEST(PlaybackCommands, RequestsWithoutAReaderReturnAtOnceAndChangeNothing) {
  TempFile file(WavBuilder().Fmt(1, 8000, 16).Data(Pattern(16000)).Bytes());
  Player p(Fast());
  p.wav.Open(file.path(), p.item);
  p.wav.RequestPause();
  p.wav.RequestResume();
  p.wav.RequestSeek(1);
  p.wav.RequestStop();
  EXPECT_EQ(p.wav.GetState(), kStateStopped);
  EXPECT_TRUE(p.Codes().empty());
  EXPECT_EQ(p.card.PlaybackCount(), 0u);
  EXPECT_EQ(p.wav.GetPosition(), 0);
}

TEST(PlaybackCommands, SeekWhilePausedStaysPausedAndResumesAtTheNewPosition) {
  const auto samples = Pattern(8000 * 2 * 30);  // 30 s of 8 kHz mono 16-bit
  TempFile file(WavBuilder().Fmt(1, 8000, 16).Data(samples).Bytes());
  Player p(RealTime(20));
  p.Play(file.path(), 0);
  EXPECT_EQ(p.wav.GetState(), kStatePlaying);
  p.wav.RequestResume();  // resuming while playing changes nothing
  EXPECT_EQ(p.wav.GetState(), kStatePlaying);

  p.wav.RequestPause();
  EXPECT_EQ(p.wav.GetState(), kStatePaused);
  ASSERT_EQ(p.paused.Wait(0ms), platform::WaitResult::kSignaled);  // sent before the answer
  p.wav.RequestPause();  // a second pause keeps the state and notifies again
  EXPECT_EQ(p.wav.GetState(), kStatePaused);

  p.wav.RequestSeek(20);
  EXPECT_EQ(p.wav.GetState(), kStatePaused);
  EXPECT_EQ(p.wav.GetPosition(), 20);
  const size_t heard_before = p.card.LastPlayback().played.size();
  EXPECT_EQ(p.card.QueuedBlocks(), 0u);  // the seek dropped what was queued

  p.wav.RequestResume();
  ASSERT_EQ(p.ended.Wait(30s), platform::WaitResult::kSignaled);
  p.wav.RequestStop();
  const auto heard = p.AtEnd().played;
  const auto rest = Padded(std::vector<uint8_t>(samples.begin() + 20 * 16000, samples.end()), 3200);
  ASSERT_EQ(heard.size(), heard_before + rest.size());
  EXPECT_TRUE(std::equal(rest.begin(), rest.end(), heard.begin() + static_cast<ptrdiff_t>(heard_before)));
  EXPECT_EQ(p.Codes(), (std::vector<int32_t>{NOTIFY_PAUSED, NOTIFY_PAUSED, NOTIFY_END}));
}

TEST(PlaybackCommands, PositionRightAfterASeekIsTheSeekPosition) {
  const auto samples = Pattern(8000 * 2 * 30);
  TempFile file(WavBuilder().Fmt(1, 8000, 16).Data(samples).Bytes());
  Player p(RealTime(1));
  p.Play(file.path(), 2);
  p.wav.RequestSeek(17);
  EXPECT_EQ(p.wav.GetPosition(), 17);
  p.wav.RequestSeek(5);
  EXPECT_EQ(p.wav.GetPosition(), 5);
  p.wav.RequestStop();
  EXPECT_EQ(p.wav.GetPosition(), 5);  // closed device: the start sample of the last seek
}

TEST(PlaybackCommands, NoNoticeAfterAStop) {
  TempFile file(WavBuilder().Fmt(1, 8000, 16).Data(Pattern(8000 * 2 * 20)).Bytes());
  Player p(RealTime(4));
  p.Play(file.path(), 0);
  ASSERT_TRUE(p.card.WaitUntil([&] { return p.card.LastPlayback().blocks_done > 0; }, 10s));
  p.wav.RequestStop();
  EXPECT_EQ(p.wav.GetState(), kStateStopped);
  EXPECT_EQ(p.wav.ReaderThreadId(), 0u);
  EXPECT_FALSE(p.out.IsOpen());
  EXPECT_TRUE(p.card.LastPlayback().closed);
  EXPECT_GT(p.card.LastPlayback().resets, 0u);  // a stop drops what is queued
  EXPECT_TRUE(p.Codes().empty());
  p.wav.Close();
}

TEST(PlaybackCommands, StopReturnsOnlyOnceTheReaderIsGoneEvenWhileItWaitsForAHeader) {
  // The device plays nothing until told, so the reader fills the 32 headers and then waits
  // for a free one, as it does on a slow device at half speed.
  TempFile file(WavBuilder().Fmt(1, 8000, 16).Data(Pattern(3200 * 40)).Bytes());
  Player p(Manual(), 16);
  p.Play(file.path(), 0);
  ASSERT_TRUE(p.card.WaitUntil([&] { return p.card.QueuedBlocks() == 32; }, 10s));
  ASSERT_TRUE(WriterBlocks(p.out)) << "the reader never waited for a header";
  auto stop = std::async(std::launch::async, [&] { p.wav.RequestStop(); });
  ASSERT_EQ(stop.wait_for(10s), std::future_status::ready) << "the stop waited for the device";
  stop.get();
  // Returned means gone: the reader no longer touches the output or the file.
  EXPECT_FALSE(p.out.IsOpen());
  EXPECT_TRUE(p.card.LastPlayback().closed);
  EXPECT_EQ(p.out.AbandonedBlocks(), 1u);
  EXPECT_EQ(p.wav.GetState(), kStateStopped);
  EXPECT_TRUE(p.Codes().empty());

  // The next start reuses the input and the output at once.
  p.wav.Close();
  p.Play(file.path(), 1);
  ASSERT_TRUE(p.card.WaitUntil([&] { return p.card.QueuedBlocks() > 0; }, 10s));
  EXPECT_EQ(p.card.PlaybackCount(), 2u);
  p.wav.RequestStop();
  EXPECT_FALSE(p.out.IsOpen());
}

TEST(PlaybackCommands, ASeekWhileTheTailPlaysGoesOnReading) {
  // Ten blocks fit the queue, so the reader has read everything and is letting the tail play
  // when the seek comes (the rewind or repeat jump near the end of a file).
  const auto samples = Pattern(3200 * 10);
  TempFile file(WavBuilder().Fmt(1, 8000, 16).Data(samples).Bytes());
  Player p(Manual());
  p.Play(file.path(), 0);
  ASSERT_TRUE(p.card.WaitUntil([&] { return p.card.QueuedBlocks() == 10; }, 10s));
  p.wav.RequestSeek(1);  // the second half of the two seconds
  EXPECT_EQ(p.wav.GetState(), kStatePlaying);
  ASSERT_TRUE(p.card.WaitUntil([&] { return p.card.QueuedBlocks() == 5; }, 10s));
  p.card.Advance(1600 * 5);
  ASSERT_EQ(p.ended.Wait(20s), platform::WaitResult::kSignaled);
  p.wav.RequestStop();
  EXPECT_EQ(p.AtEnd().played, std::vector<uint8_t>(samples.begin() + 16000, samples.end()));
}

TEST(PlaybackCommands, TheEndNoticeMayStopAndCloseTheInput) {
  // The main window runs its stop sequence from inside the notification.
  TempFile file(WavBuilder().Fmt(1, 8000, 16).Data(Pattern(6000)).Bytes());
  platform::VirtualAudioBackend card(Fast());
  OutputAudio out(card);
  out.SetSpeedDivisor(8);
  InputWav wav;
  platform::Event done;
  int closed = 99;
  wav.SetOutput(&out);
  wav.SetNotify([&](int32_t code) {
    if (code != NOTIFY_END) return;
    wav.RequestStop();
    closed = wav.Close();
    done.Set();
  });
  PlayListItem item(file.path());
  wav.Open(file.path(), item);
  wav.Start(0);
  ASSERT_EQ(done.Wait(20s), platform::WaitResult::kSignaled);
  wav.RequestStop();
  EXPECT_EQ(closed, 0);
  wav.Open(file.path(), item);  // and it plays again
  wav.Start(0);
  wav.RequestStop();
}

// An output whose device fails when paused, as a sound card that disappears would.
class FailingPauseOutput : public OutputAudio {
 public:
  using OutputAudio::OutputAudio;
  void Pause() override { throw MMException(platform::MMResult::kNoDriver); }
};

TEST(PlaybackErrors, ADeviceErrorOnTheReaderEndsPlaybackCleanly) {
  TempFile file(WavBuilder().Fmt(1, 8000, 16).Data(Pattern(16000 * 20)).Bytes());
  platform::VirtualAudioBackend card(RealTime(2));
  FailingPauseOutput out(card);
  out.SetSpeedDivisor(8);
  InputWav wav;
  platform::Event ended;
  wav.SetOutput(&out);
  wav.SetNotify([&](int32_t code) {
    if (code == NOTIFY_END) ended.Set();
  });
  PlayListItem item(file.path());
  wav.Open(file.path(), item);
  wav.Start(0);
  auto pause = std::async(std::launch::async, [&] { wav.RequestPause(); });
  // The sender hears back at once, not after the exchange's 15 s.
  ASSERT_EQ(pause.wait_for(5s), std::future_status::ready);
  ASSERT_EQ(ended.Wait(10s), platform::WaitResult::kSignaled);
  wav.RequestStop();
  EXPECT_EQ(wav.GetState(), kStateStopped);
  EXPECT_FALSE(out.IsOpen());
  EXPECT_TRUE(card.LastPlayback().closed);
  EXPECT_EQ(wav.LastReaderError(), platform::MMErrorText(platform::MMResult::kNoDriver));
  // The next playback starts afresh.
  wav.Close();
  wav.Open(file.path(), item);
  wav.Start(1);
  EXPECT_EQ(wav.GetState(), kStatePlaying);
  wav.RequestStop();
}

// 16-bit mono at 8 kHz: 500 Hz for the first 20 s, 1500 Hz after, so that what is heard tells
// which part of the file it came from.
std::vector<uint8_t> TwoTones(int seconds) {
  std::vector<uint8_t> v;
  for (int i = 0; i < 8000 * seconds; ++i) {
    const double hz = i < 8000 * 20 ? 500 : 1500;
    const double x = 12000 * std::sin(2 * std::numbers::pi * hz * i / 8000);
    media_test::PutLe16(v, static_cast<uint16_t>(static_cast<int16_t>(std::lround(x))));
  }
  return v;
}

std::vector<float> Floats(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  std::vector<float> v;
  for (size_t i = from; i + 1 < to; i += 2) {
    v.push_back(static_cast<float>(static_cast<int16_t>(bytes[i] | bytes[i + 1] << 8)) / 32768.0f);
  }
  return v;
}

TEST(PlaybackKeepPitch, PositionSpeedChangeAndSeekStayInFileTime) {
  const auto samples = TwoTones(30);
  TempFile file(WavBuilder().Fmt(1, 8000, 16).Data(samples).Bytes());
  Player p(Manual(), 16);
  p.out.SetKeepPitch(true);
  p.Play(file.path(), 0);
  EXPECT_TRUE(p.out.Stretching());
  EXPECT_EQ(p.card.LastPlayback().format.samples_per_sec, 8000u);  // the file's own rate
  const auto heard_bytes = [&] { return p.card.LastPlayback().played.size(); };
  // Plays `frames` device frames, as the reader queues them (an Advance plays only what is
  // queued at the time).
  const auto play = [&](uint64_t frames) {
    const size_t target = heard_bytes() + frames * 2;
    while (heard_bytes() < target) {
      if (!p.card.WaitUntil([&] { return p.card.QueuedBlocks() > 0; }, 10s)) return false;
      p.card.Advance((target - heard_bytes()) / 2);
    }
    return true;
  };

  // Ten seconds heard at half speed are five seconds of the file. (32 blocks of a fifth of a
  // second are queued: 12.8 s of sound.)
  ASSERT_TRUE(p.card.WaitUntil([&] { return p.card.QueuedBlocks() == 32; }, 10s));
  ASSERT_TRUE(play(80000));
  const uint64_t five = p.out.GetPosition();
  EXPECT_NEAR(static_cast<double>(five), 40000, 1600);
  EXPECT_EQ(p.wav.GetPosition(), static_cast<int32_t>(five / 8000));
  // The snapshots count in the file's frames too: the 500 Hz bin at that position.
  int32_t left[256], right[256];
  ASSERT_EQ(p.out.GetSpectrum(five, left, right), 512);
  EXPECT_EQ(std::max_element(left, left + 256) - left, 32);

  // Normal speed, in place: the same device, the position goes on from where it was, and what
  // is heard next is the file itself from there.
  p.out.SetSpeedDivisor(8);
  EXPECT_EQ(p.out.GetPosition(), five);
  EXPECT_EQ(p.card.PlaybackCount(), 1u);
  const size_t from = heard_bytes();
  ASSERT_TRUE(play(16000));
  EXPECT_EQ(p.out.GetPosition(), five + 16000);
  const auto heard = p.card.LastPlayback().played;
  EXPECT_TRUE(std::equal(heard.begin() + static_cast<ptrdiff_t>(from), heard.end(),
                         samples.begin() + static_cast<ptrdiff_t>(five * 2)));

  // Half speed again while paused: heard from the resume on, from where the pause was.
  p.wav.RequestPause();
  const uint64_t paused_at = p.out.GetPosition();
  p.out.SetSpeedDivisor(16);
  EXPECT_EQ(p.out.GetPosition(), paused_at);
  p.wav.RequestResume();
  ASSERT_TRUE(play(3200));
  EXPECT_NEAR(static_cast<double>(p.out.GetPosition()), static_cast<double>(paused_at + 1600), 400);

  // A seek into the 1500 Hz part: nothing from before the seek is heard after it, and two
  // seconds heard are one of the file.
  p.wav.RequestSeek(22);
  EXPECT_EQ(p.wav.GetPosition(), 22);
  ASSERT_TRUE(p.card.WaitUntil([&] { return p.card.QueuedBlocks() >= 8; }, 10s));
  const size_t seek_from = heard_bytes();
  ASSERT_TRUE(play(16000));
  EXPECT_NEAR(static_cast<double>(p.out.GetPosition()), 8000, 1600);
  const auto after = Floats(p.card.LastPlayback().played, seek_from, seek_from + 800);
  EXPECT_NEAR(verbat::test::DominantFrequency(after, 0, static_cast<int64_t>(after.size()), 8000),
              1500, 15);
  p.wav.RequestStop();
  EXPECT_EQ(p.Codes(), std::vector<int32_t>{NOTIFY_PAUSED});
}

}  // namespace
}  // namespace media
