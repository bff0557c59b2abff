// The audio output and the WAV input on the real sound layer: a tone file played through ALSA
// into the private sound server, recorded from its monitor. The speed divisor must change the
// pitch and the length together (or only the length, keeping the pitch), and a pause must keep
// what is queued.
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

// A sweep from 300 Hz rising 300 Hz a second, at half scale: the frequency heard tells which
// moment of the file is playing, at any speed once the pitch is kept.
std::vector<uint8_t> SweepWav(uint32_t rate, double seconds) {
  std::vector<uint8_t> samples;
  const auto frames = static_cast<size_t>(rate * seconds);
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double s = 0.5 * std::sin(2 * std::numbers::pi * (300 * t + 150 * t * t));
    media_test::PutLe16(samples,
                        static_cast<uint16_t>(static_cast<int16_t>(std::lround(s * 32767))));
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
  // span is the pause, and the windows with sound add up to the whole tone, heard once. (A
  // short silence of the server running dry on a loaded machine is not sound heard.)
  constexpr int64_t kWindow = MonitorRecorder::kRate / 100;
  int64_t gap_start = 0, gap_frames = 0, run_start = -1, sound_frames = 0;
  for (int64_t at = span.start; at + kWindow <= span.end; at += kWindow) {
    const bool silent = verbat::test::Rms(samples, at, at + kWindow) < kThreshold;
    if (!silent) sound_frames += kWindow;
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
  const double heard_ms = FramesToMs(sound_frames);
  EXPECT_GT(gap_ms, 500) << "the pause did not hold the sound";
  EXPECT_NEAR(heard_ms, 2000, 50);
  const int64_t after = gap_start + gap_frames;
  EXPECT_NEAR(verbat::test::DominantFrequency(samples, after + 2205, span.end - 2205,
                                              MonitorRecorder::kRate),
              700, 3.0);
  std::printf("[ figures ] pause: gap %.1f ms, heard %.1f ms of 2000, other silences %.1f ms\n",
              gap_ms, heard_ms, FramesToMs(span.end - span.start - gap_frames - sound_frames));
}

// Least squares through (x, y): slope and intercept.
std::pair<double, double> Line(const std::vector<std::pair<double, double>>& points) {
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (const auto& [x, y] : points) {
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
  }
  const double n = static_cast<double>(points.size());
  const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
  return {slope, (sy - slope * sx) / n};
}

TEST_F(AlsaOutput, KeepPitchHoldsTheToneAndChangesSpeedInPlace) {
  out_.SetKeepPitch(true);
  // A second of 1 kHz at half speed: two seconds of 1 kHz.
  media_test::TempFile tone(ToneWav(44100, 1000, 1.0));
  out_.SetSpeedDivisor(16);
  const int64_t tone_from = rec_.Frames();
  wav_.Open(tone.path(), item_);
  wav_.Start(0);
  ASSERT_EQ(ended_.Wait(10s), platform::WaitResult::kSignaled);
  wav_.RequestStop();
  wav_.Close();
  ASSERT_TRUE(RecordOn(300ms));
  const int64_t tone_to = rec_.Frames();

  // A sweep at normal speed, slowed down to half speed while it plays.
  media_test::TempFile sweep(SweepWav(44100, 8.0));
  out_.SetSpeedDivisor(8);
  wav_.Open(sweep.path(), item_);
  wav_.Start(0);
  ASSERT_TRUE(RecordOn(1200ms));
  const auto asked = Clock::now();
  out_.SetSpeedDivisor(16);
  const auto answered = Clock::now();
  EXPECT_EQ(out_.DeviceFormat().samples_per_sec, 44100u);  // the same device, at the file's rate
  ASSERT_TRUE(RecordOn(1500ms));
  const int64_t change = rec_.FramesAt(asked);
  wav_.RequestStop();
  wav_.Close();
  const auto samples = rec_.Stop();

  const auto span = verbat::test::FindSound(samples, kThreshold, tone_from, tone_to);
  ASSERT_TRUE(span.found) << "nothing was heard";
  const double hz = verbat::test::DominantFrequency(samples, span.start + 2205, span.end - 2205,
                                                    MonitorRecorder::kRate);
  const double ms = FramesToMs(span.end - span.start);
  // Stretched, not just played: twice the tone's second (loose, for a busy machine's server).
  EXPECT_NEAR(hz, 1000, 5);
  EXPECT_NEAR(ms, 2000, 100);

  // The moment of the file heard in each 20 ms, against the time it was heard: a second of the
  // file a second before the change, half a second after. Where the two lines meet is when the
  // new speed was first heard.
  constexpr int64_t kMs = MonitorRecorder::kRate / 1000;
  const auto heard_file_time = [&](int64_t from_ms, int64_t to_ms) {
    std::vector<std::pair<double, double>> points;
    for (int64_t at = from_ms; at < to_ms; at += 10) {
      const int64_t frame = change + at * kMs;
      if (verbat::test::Rms(samples, frame, frame + 20 * kMs) < kThreshold) continue;
      const double f =
          verbat::test::DominantFrequency(samples, frame, frame + 20 * kMs, MonitorRecorder::kRate);
      points.emplace_back(static_cast<double>(at + 10) / 1000, (f - 300) / 300);
    }
    return Line(points);
  };
  const auto [normal, normal_at] = heard_file_time(-900, -100);
  const auto [slow, slow_at] = heard_file_time(300, 1300);
  EXPECT_NEAR(normal, 1.0, 0.1);
  EXPECT_NEAR(slow, 0.5, 0.1);
  const double latency_ms = 1000 * (slow_at - normal_at) / (normal - slow);
  int64_t gap = 0, run = 0;
  for (int64_t at = change - 200 * kMs; at < change + 500 * kMs; at += 10 * kMs) {
    run = verbat::test::Rms(samples, at, at + 10 * kMs) < kThreshold ? run + 10 : 0;
    gap = std::max(gap, run);
  }
  std::printf(
      "[ figures ] keep pitch x1/2: %.2f Hz (expected 1000), heard %.1f ms (expected 2000)\n", hz,
      ms);
  std::printf(
      "[ figures ] speed change x1 -> x1/2 in place: new tempo heard %.0f ms after the "
      "call (call %.1f ms), longest silence %lld ms, tempo heard %.3f then %.3f\n",
      latency_ms, std::chrono::duration<double, std::milli>(answered - asked).count(),
      static_cast<long long>(gap), normal, slow);
}

}  // namespace
}  // namespace media
