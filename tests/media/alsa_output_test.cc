// The audio output and the WAV input on the real sound layer: a tone file played through ALSA
// into the private sound server, recorded from its monitor. The speed divisor must change the
// pitch and the length together, and a pause must keep what is queued.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "media/InputWav.h"
#include "media/OutputAudio.h"
#include "platform/alsa_audio.h"
#include "tests/media/wav_file.h"
#include "tests/support/sound_server.h"

namespace media {
namespace {

using namespace std::chrono_literals;
using verbat::test::Clock;
using verbat::test::MonitorRecorder;
constexpr double kThreshold = 0.05;  // RMS of sound; the tone is at half scale

// A WAV file of a sine at half scale: 16-bit mono.
std::vector<uint8_t> ToneWav(uint32_t rate, double hz, double seconds) {
  std::vector<uint8_t> samples;
  const auto frames = static_cast<size_t>(rate * seconds);
  for (size_t i = 0; i < frames; ++i) {
    const double s = 0.5 * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / rate);
    media_test::PutLe16(samples, static_cast<uint16_t>(static_cast<int16_t>(std::lround(s * 32767))));
  }
  return media_test::WavBuilder().Fmt(1, rate, 16).Data(samples).Bytes();
}

double FramesToMs(int64_t frames) { return 1000.0 * static_cast<double>(frames) / MonitorRecorder::kRate; }

class AlsaOutput : public testing::Test {
 protected:
  void SetUp() override {
    VERBAT_REQUIRE_SOUND_SERVER();
    ASSERT_TRUE(rec_.Start()) << rec_.error();
    wav_.SetOutput(&out_);
    wav_.SetNotify([this](int32_t code) {
      if (code == NOTIFY_END) ended_.Set();
    });
  }
  void TearDown() override {
    wav_.RequestStop();
    wav_.Close();
  }
  // Waits until the recording has passed `margin` beyond now (silence after what was played).
  bool RecordOn(platform::Milliseconds margin) {
    return rec_.WaitForFrames(rec_.FramesAt(Clock::now() + margin), 5000ms);
  }

  platform::AlsaAudioBackend backend_;
  OutputAudio out_{backend_};
  InputWav wav_;
  PlayListItem item_{""};
  platform::Event ended_;
  MonitorRecorder rec_;
};

TEST_F(AlsaOutput, SpeedDivisorChangesPitchAndLengthTogether) {
  media_test::TempFile file(ToneWav(22050, 600, 1.0));
  struct Case {
    int32_t divisor;
    int64_t from, to;  // recording frames around this case
  };
  std::vector<Case> cases = {{8, 0, 0}, {4, 0, 0}, {16, 0, 0}};
  for (auto& c : cases) {
    out_.SetSpeedDivisor(c.divisor);
    c.from = rec_.Frames();
    wav_.Open(file.path(), item_);
    wav_.Start(0);
    ASSERT_EQ(ended_.Wait(10s), platform::WaitResult::kSignaled) << "divisor " << c.divisor;
    wav_.RequestStop();
    wav_.Close();
    ASSERT_TRUE(RecordOn(300ms));
    c.to = rec_.Frames();
  }
  const auto samples = rec_.Stop();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "divisor " << c.divisor);
    const auto span = verbat::test::FindSound(samples, kThreshold, c.from, c.to);
    ASSERT_TRUE(span.found) << "nothing was heard";
    const double expected_hz = 600.0 * 8 / c.divisor;
    const double expected_ms = 1000.0 * c.divisor / 8;
    const double hz = verbat::test::DominantFrequency(samples, span.start + 2205, span.end - 2205,
                                                      MonitorRecorder::kRate);
    const double ms = FramesToMs(span.end - span.start);
    EXPECT_NEAR(hz, expected_hz, 3.0);
    EXPECT_NEAR(ms, expected_ms, 40);
    std::printf("[ figures ] divisor %2d: %.2f Hz (expected %.0f), heard %.1f ms (expected %.0f)\n",
                c.divisor, hz, expected_hz, ms, expected_ms);
  }
}

TEST_F(AlsaOutput, PauseKeepsTheQueue) {
  media_test::TempFile file(ToneWav(44100, 700, 2.0));
  out_.SetSpeedDivisor(8);
  wav_.Open(file.path(), item_);
  const int64_t from = rec_.Frames();
  wav_.Start(0);
  ASSERT_TRUE(RecordOn(600ms));
  wav_.RequestPause();
  ASSERT_EQ(wav_.GetState(), kStatePaused);
  // The server plays out its last few milliseconds after the pause, which may hand back the
  // block in flight; from then on nothing moves.
  ASSERT_TRUE(RecordOn(200ms));
  const int32_t queued = out_.QueuedBlocks();
  EXPECT_GT(queued, 0) << "the pause should hold blocks at the device";
  ASSERT_TRUE(RecordOn(500ms));
  EXPECT_EQ(out_.QueuedBlocks(), queued) << "blocks came back while paused";
  wav_.RequestResume();
  ASSERT_EQ(ended_.Wait(10s), platform::WaitResult::kSignaled);
  ASSERT_TRUE(RecordOn(300ms));
  const auto samples = rec_.Stop();

  const auto span = verbat::test::FindSound(samples, kThreshold, from);
  ASSERT_TRUE(span.found);
  // The sound stops at the pause and goes on after it: the longest silent stretch inside the
  // span is the pause, and the rest is the whole tone, heard once.
  constexpr int64_t kWindow = MonitorRecorder::kRate / 100;
  int64_t gap_start = 0, gap_frames = 0, run_start = -1;
  for (int64_t at = span.start; at + kWindow <= span.end; at += kWindow) {
    const bool silent = verbat::test::Rms(samples, at, at + kWindow) < kThreshold;
    if (silent && run_start < 0) run_start = at;
    if (!silent && run_start >= 0) {
      if (at - run_start > gap_frames) {
        gap_frames = at - run_start;
        gap_start = run_start;
      }
      run_start = -1;
    }
  }
  const double gap_ms = FramesToMs(gap_frames);
  const double heard_ms = FramesToMs(span.end - span.start - gap_frames);
  EXPECT_GT(gap_ms, 500) << "the pause did not hold the sound";
  EXPECT_NEAR(heard_ms, 2000, 50);
  const int64_t after = gap_start + gap_frames;
  EXPECT_NEAR(verbat::test::DominantFrequency(samples, after + 2205, span.end - 2205,
                                              MonitorRecorder::kRate),
              700, 3.0);
  std::printf("[ figures ] pause: gap %.1f ms, heard %.1f ms of 2000\n", gap_ms, heard_ms);
}

}  // namespace
}  // namespace media
