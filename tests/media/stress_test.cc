// Thousands of random transport commands against a playing WAV input: no hang, no crash, and
// after each command the state the protocol promises.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "media/InputWav.h"
#include "media/OutputAudio.h"
#include "platform/virtual_audio.h"
#include "tests/media/wav_file.h"

namespace media {
namespace {

TEST(PlaybackStress, RandomCommandsLeaveACorrectState) {
  constexpr int kCommands = 4000;
  constexpr int kSeconds = 30;
  media_test::TempFile file(
      media_test::WavBuilder().Fmt(1, 8000, 16).Data(media_test::Pattern(16000 * kSeconds)).Bytes());
  // A card a hundred times faster than real time: blocks come back within milliseconds, and
  // some playbacks reach their end between commands.
  platform::VirtualAudioBackend card({platform::Pacing::kRealTime, 100.0});
  OutputAudio out(card);
  out.SetSpeedDivisor(8);
  InputWav wav;
  wav.SetOutput(&out);
  std::atomic<int> ends{0};
  std::atomic<int> notices_while_stopped{0};
  wav.SetNotify([&](int32_t code) {
    if (code == NOTIFY_END) ++ends;
    if (code == NOTIFY_PAUSED && wav.GetState() != kStatePaused) ++notices_while_stopped;
  });
  PlayListItem item(file.path());

  const unsigned seed = 20261208;
  std::mt19937 rng(seed);
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  int starts = 0;
  for (int i = 0; i < kCommands; ++i) {
    SCOPED_TRACE(i);
    const int32_t before = wav.GetState();
    switch (rng() % 6) {
      case 0:
        wav.RequestPause();
        // Still playing only when the reader is past its loop, letting the last block play
        // out: then no command reaches it any more.
        if (wav.GetState() == kStatePlaying) {
          EXPECT_EQ(wav.ReaderThreadId(), 0u);
        }
        if (before == kStatePaused) {
          EXPECT_EQ(wav.GetState(), kStatePaused);
        }
        break;
      case 1:
        wav.RequestResume();
        EXPECT_NE(wav.GetState(), kStatePaused);
        break;
      case 2: {
        const auto target = static_cast<int32_t>(rng() % (kSeconds + 5));
        wav.RequestSeek(target);
        if (before == kStatePaused) {
          EXPECT_EQ(wav.GetState(), kStatePaused);
          EXPECT_EQ(wav.GetPosition(), target);
        }
        break;
      }
      case 3:
        wav.RequestStop();
        EXPECT_EQ(wav.GetState(), kStateStopped);
        EXPECT_EQ(wav.ReaderThreadId(), 0u);
        EXPECT_FALSE(out.IsOpen());
        break;
      case 4:
        if (before == kStateStopped) {
          wav.RequestStop();  // a playback that ended by itself may still be closing
          wav.Close();
          wav.Open(file.path(), item);
          wav.Start(static_cast<int32_t>(rng() % kSeconds));
          ++starts;
          EXPECT_NE(wav.GetState(), kStateStopped);
        }
        break;
      default: {
        const int32_t position = wav.GetPosition();
        EXPECT_GE(position, 0);
        EXPECT_LE(position, kSeconds + 5);
        break;
      }
    }
    if (HasFailure()) break;
  }
  wav.RequestStop();
  wav.Close();
  EXPECT_EQ(wav.GetState(), kStateStopped);
  EXPECT_EQ(wav.ReaderThreadId(), 0u);
  EXPECT_FALSE(out.IsOpen());
  EXPECT_EQ(wav.LastReaderError(), "");
  EXPECT_LE(ends.load(), starts);
  EXPECT_EQ(notices_while_stopped.load(), 0);
  EXPECT_GT(starts, 0);
  for (const auto& playback : card.Playbacks()) EXPECT_TRUE(playback.closed);
  EXPECT_EQ(card.QueuedBlocks(), 0u);
}

}  // namespace
}  // namespace media
