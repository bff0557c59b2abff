// Playback through ALSA when the sound server goes away under it: killed (the device fails) and
// stopped with SIGSTOP (the device stops answering). Each test runs a private server of its own
// (scripts/sound-server.sh in a folder of the test's), so that killing it disturbs no other test,
// and plays on it again once it is back. The figures measured are printed.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>

#include "media/InputWav.h"
#include "media/OutputAudio.h"
#include "platform/alsa_audio.h"
#include "tests/media/wav_file.h"
#include "tests/support/sound_server.h"

namespace media {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// A sound server of the test's own, its client variables set in this process.
class PrivateServer {
 public:
  PrivateServer()
      : dir_(
            (std::filesystem::temp_directory_path() / ("verbat-loss-" + std::to_string(::getpid())))
                .string()) {}
  ~PrivateServer() { Run("stop"); }

  // False with the reason when it cannot be started.
  bool Start(std::string& why) {
    const std::string source = Env("VERBAT_SOURCE_DIR");
    if (source.empty()) {
      why = "VERBAT_SOURCE_DIR is not set";
      return false;
    }
    script_ = source + "/scripts/sound-server.sh";
    if (!Run("start")) {
      why = "scripts/sound-server.sh could not start a server (is pulseaudio installed?)";
      return false;
    }
    std::ifstream env(dir_ + "/env");
    std::string line;
    while (std::getline(env, line)) {
      const auto eq = line.find('=');
      if (eq != std::string::npos)
        setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
    }
    return true;
  }
  pid_t Pid() const {
    std::ifstream in(dir_ + "/runtime/pulse/pid");
    pid_t pid = 0;
    in >> pid;
    return pid;
  }
  // Only ever the private server: a pid file that cannot be read gives 0, and kill(0, ...) would
  // signal this whole process group (ctest, and the shared server's monitor reader with it).
  void Signal(int signal) const {
    const pid_t pid = Pid();
    ASSERT_GT(pid, 0) << "no pid file in " << dir_;
    ::kill(pid, signal);
  }

 private:
  bool Run(const std::string& command) const {
    if (script_.empty()) return true;
    const std::string line = script_ + " " + command + " " + dir_ + " >/dev/null 2>&1";
    return std::system(line.c_str()) == 0;
  }

  std::string dir_;
  std::string script_;
};

#define REQUIRE_PRIVATE_SERVER(server)                                           \
  do {                                                                           \
    std::string why_;                                                            \
    if (!(server).Start(why_)) {                                                 \
      if (::verbat::test::InCi()) FAIL() << "no private sound server: " << why_; \
      GTEST_SKIP() << "no private sound server: " << why_;                       \
    }                                                                            \
  } while (0)

std::vector<uint8_t> ToneWav(uint32_t rate, double seconds) {
  std::vector<uint8_t> samples;
  const auto frames = static_cast<size_t>(rate * seconds);
  for (size_t i = 0; i < frames; ++i) {
    const double s = 0.3 * std::sin(2 * std::numbers::pi * 440.0 * static_cast<double>(i) / rate);
    media_test::PutLe16(samples,
                        static_cast<uint16_t>(static_cast<int16_t>(std::lround(s * 32767))));
  }
  return media_test::WavBuilder().Fmt(1, rate, 16).Data(samples).Bytes();
}

class AlsaLoss : public testing::Test {
 protected:
  void SetUp() override {
    wav_.SetOutput(&out_);
    wav_.SetNotify([this](int32_t code) {
      if (code == NOTIFY_DEVICE_LOST) lost_.Set();
      if (code == NOTIFY_END) ended_.Set();
    });
  }
  void TearDown() override {
    wav_.RequestStop();
    wav_.Close();
  }
  // Starts playing the file and waits until the device has played some of it.
  void PlayAWhile() {
    wav_.Open(file_.path(), item_);
    wav_.Start(0);
    const auto start = Clock::now();
    while (wav_.GetPosition() < 1 && Clock::now() - start < 10s) std::this_thread::sleep_for(10ms);
    ASSERT_GE(wav_.GetPosition(), 1) << "playback did not get going";
  }
  // Stops as the window does, returning how long the calling thread was held.
  double Stop() {
    const auto asked = Clock::now();
    wav_.RequestStop();
    wav_.Close();
    return MsSince(asked);
  }

  PrivateServer server_;
  media_test::TempFile file_{ToneWav(22050, 30.0)};
  platform::AlsaAudioBackend backend_;
  OutputAudio out_{backend_};
  InputWav wav_;
  PlayListItem item_{""};
  platform::Event lost_;
  platform::Event ended_;
};

TEST_F(AlsaLoss, AKilledServerEndsPlaybackAndPlayWorksOnceItIsBack) {
  REQUIRE_PRIVATE_SERVER(server_);
  PlayAWhile();
  server_.Signal(SIGKILL);
  const auto killed = Clock::now();
  ASSERT_EQ(lost_.Wait(4000ms), platform::WaitResult::kSignaled)
      << "playback did not end after the server was killed";
  const double noticed = MsSince(killed);
  EXPECT_EQ(wav_.GetState(), kStateStopped);
  EXPECT_TRUE(out_.DeviceLost());
  EXPECT_FALSE(out_.IsOpen());
  const double stop = Stop();
  EXPECT_LT(stop, 2000);
  std::printf("[ figures ] server killed: playback ended after %.0f ms, stop took %.0f ms\n",
              noticed, stop);

  // The server is back: the next Play plays (its position moves on the new device).
  std::string why;
  ASSERT_TRUE(server_.Start(why)) << why;
  PlayAWhile();
  EXPECT_FALSE(out_.DeviceLost());
  EXPECT_EQ(wav_.GetState(), kStatePlaying);
  EXPECT_LT(Stop(), 2000);
}

TEST_F(AlsaLoss, AStalledServerNeverHoldsTheCallerAndPlayWorksAfterItGoesOn) {
  REQUIRE_PRIVATE_SERVER(server_);
  // Stop pressed right after the server stalls: the device does not answer, the caller gives up.
  PlayAWhile();
  server_.Signal(SIGSTOP);
  const double stop = Stop();
  EXPECT_EQ(wav_.GetState(), kStateStopped);
  EXPECT_LT(stop, 2000) << "Stop waited for the stalled server";
  // Play while it is still stalled: the device does not open in time, nothing hangs.
  const auto asked = Clock::now();
  wav_.Open(file_.path(), item_);
  EXPECT_THROW(wav_.Start(0), MMException);
  const double failed_start = MsSince(asked);
  EXPECT_LT(failed_start, 2500);
  wav_.Close();
  server_.Signal(SIGCONT);

  // Left alone while the server stalls, playback ends by itself.
  PlayAWhile();
  server_.Signal(SIGSTOP);
  const auto stalled = Clock::now();
  const bool noticed_in_time = lost_.Wait(4000ms) == platform::WaitResult::kSignaled;
  const double noticed = MsSince(stalled);
  const double stop_after = Stop();
  server_.Signal(SIGCONT);
  ASSERT_TRUE(noticed_in_time) << "playback did not end while the server stalled";
  EXPECT_LT(stop_after, 2000);
  std::printf(
      "[ figures ] server stalled: Stop took %.0f ms, a start while stalled failed after %.0f ms, "
      "playback left alone ended after %.0f ms\n",
      stop, failed_start, noticed);

  // The server goes on: Play plays again.
  PlayAWhile();
  EXPECT_FALSE(out_.DeviceLost());
  EXPECT_EQ(wav_.GetState(), kStatePlaying);
  EXPECT_LT(Stop(), 2000);
}

}  // namespace
}  // namespace media
