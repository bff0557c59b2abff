// Test support for tests that play or record through the real sound layer (ALSA routed to the
// private PulseAudio server of scripts/sound-server.sh) and check what was heard.
//
// Use:
//   #include "tests/support/sound_server.h"
//   target_link_libraries / verbat_add_test(... LIBS verbat_test_support ...
//                                            PROPERTIES RESOURCE_LOCK sound_server)
//
//   TEST(MyAlsaTest, PlaysATone) {
//     VERBAT_REQUIRE_SOUND_SERVER();          // skips with the reason, or fails when CI=true
//     verbat::test::MonitorRecorder rec;      // records the test sink's monitor, 44100 Hz mono
//     ASSERT_TRUE(rec.Start()) << rec.error();
//     ... play through platform::DefaultAudioBackend() or an AlsaAudioBackend ...
//     ASSERT_TRUE(rec.WaitForFrames(rec.FramesAt(Clock::now()) + 4410, 2s));  // 100 ms more
//     auto samples = rec.Stop();
//     auto span = verbat::test::FindSound(samples, 0.05);
//     double hz = verbat::test::DominantFrequency(samples, span.start, span.end, 44100);
//   }
//
// The server: scripts/test.sh starts it before ctest and stops it afterwards, exporting the
// variables of DIR/env. Run alone with `scripts/sound-server.sh start` (then ctest); when
// PULSE_SERVER is not set, FindSoundServer() reads /tmp/verbat-sound-$UID/env (or the file named by
// VERBAT_SOUND_ENV) and sets the variables in this process before any sound device is opened.
// Every test that uses the sink must hold the ctest resource lock "sound_server": the monitor
// hears every stream, so two such tests at once would hear each other.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace verbat::test {

using Clock = std::chrono::steady_clock;

struct SoundServer {
  bool available = false;
  std::string reason;  // why not, when not available
  std::string sink;    // the null sink's name ("verbat_test")
};

// Looks for the test sound server (see above) and makes this process a client of it. Cheap;
// the result is computed once.
const SoundServer& FindSoundServer();

// True when running in CI (CI=true), where a missing sound server is a failure, not a skip.
bool InCi();

// Skips the calling test with the reason when the server is not there, or fails it under CI.
#define VERBAT_REQUIRE_SOUND_SERVER()                                               \
  do {                                                                              \
    const auto& verbat_server_ = ::verbat::test::FindSoundServer();                 \
    if (!verbat_server_.available) {                                                \
      if (::verbat::test::InCi()) {                                                 \
        FAIL() << "test sound server unavailable in CI: " << verbat_server_.reason; \
      } else {                                                                      \
        GTEST_SKIP() << "test sound server unavailable: " << verbat_server_.reason  \
                     << " (start it with scripts/sound-server.sh start)";           \
      }                                                                             \
    }                                                                               \
  } while (0)

// Records the test sink's monitor (what the server "played") into memory: 16-bit mono at
// 44100 Hz, read by a low-latency `parec` child. Keeps the arrival time of each piece, so that
// a moment of the test's clock can be mapped to a frame of the recording.
class MonitorRecorder {
 public:
  static constexpr int kRate = 44100;

  MonitorRecorder() = default;
  ~MonitorRecorder();
  MonitorRecorder(const MonitorRecorder&) = delete;
  MonitorRecorder& operator=(const MonitorRecorder&) = delete;

  // Starts the reader and waits (at most 3 s) until the first audio has arrived, so that
  // nothing played after Start returns is missed. False with error() on failure.
  bool Start();
  // Stops the reader and returns everything recorded, samples in -1..1.
  std::vector<float> Stop();
  const std::string& error() const { return error_; }

  // Frames recorded so far.
  int64_t Frames() const;
  // Waits until at least `frames` frames have been recorded; false when `timeout` passes first.
  bool WaitForFrames(int64_t frames, std::chrono::milliseconds timeout) const;
  // The frame of the recording that was being played at `t` (by the server's clock as seen
  // here; accurate to the reader's latency, about 10 ms).
  int64_t FramesAt(Clock::time_point t) const;
  // The moment at which recording frame `frame` was played.
  Clock::time_point TimeOfFrame(int64_t frame) const;

 private:
  void Read();

  int pid_ = -1;
  int fd_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<int16_t> samples_;
  // The best estimate of when frame 0 was played: the earliest (arrival − duration so far).
  std::optional<Clock::time_point> origin_;
  std::string error_;
};

// Where sound (windows of 10 ms whose RMS exceeds `threshold`, full scale 1.0) starts and stops
// in a buffer; found is false when the buffer is silent throughout. Frames are [start, end).
struct SoundSpan {
  bool found = false;
  int64_t start = 0;
  int64_t end = 0;
};
SoundSpan FindSound(const std::vector<float>& samples, double threshold, int64_t from = 0,
                    int64_t to = -1, int rate = MonitorRecorder::kRate);

// RMS of samples [from, to).
double Rms(const std::vector<float>& samples, int64_t from, int64_t to);

// The strongest frequency (Hz) in samples [from, to), by a Hann-windowed FFT with an
// interpolated peak: good to a fraction of a hertz for a steady tone of 0.1 s or more.
double DominantFrequency(const std::vector<float>& samples, int64_t from, int64_t to, int rate);

}  // namespace verbat::test
