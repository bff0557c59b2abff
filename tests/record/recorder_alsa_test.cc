// The recorder through ALSA on the private sound server: it records the default source (the
// test sink's monitor) while a known tone plays into the sink, and the tone is in the work file.
#include <cmath>
#include <numbers>

#include "platform/alsa_audio.h"
#include "tests/record/recorder_rig.h"
#include "tests/support/sound_server.h"

namespace record {
namespace {

using namespace record_test;

TEST(RecorderAlsa, RecordsTheToneThatPlaysIntoTheSink) {
  VERBAT_REQUIRE_SOUND_SERVER();
  TempDir dir;
  constexpr double kHz = 523.0;
  std::vector<uint8_t> tone;
  for (int i = 0; i < 22050 * 3 / 2; ++i) {  // 1.5 s at 22050 Hz, mono
    const double s = 0.5 * std::sin(2 * std::numbers::pi * kHz * i / 22050);
    media_test::PutLe16(tone, static_cast<uint16_t>(static_cast<int16_t>(std::lround(s * 32767))));
  }
  const std::string tone_path = dir.path() + "/tone.wav";
  {
    const auto bytes = media_test::WavBuilder().Fmt(1, 22050, 16).Data(tone).Bytes();
    std::ofstream(tone_path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }

  platform::AlsaAudioBackend backend;
  Owner owner;
  RecAudio rec(backend, owner);
  RecordingSettings settings;  // 44100 Hz, 16-bit stereo, the default device
  settings.WorkDir = dir.path();
  ASSERT_TRUE(rec.StartRecording(settings)) << (owner.shown.empty() ? "" : owner.shown[0]);
  backend.PlaySoundFile(tone_path);
  std::this_thread::sleep_for(400ms);  // the tail of the tone reaches the monitor
  rec.StopRecording();

  const auto file = media_test::ReadAll(rec.GetWorkFileName());
  ASSERT_GE(file.size(), 44u + 4 * 44100);
  const std::vector<uint8_t> data(file.begin() + 44, file.end());
  EXPECT_EQ(file, media_test::WavBuilder().Fmt(2, 44100, 16).Data(data).Bytes());
  std::vector<float> left(data.size() / 4);
  for (size_t i = 0; i < left.size(); ++i) {
    left[i] = static_cast<int16_t>(data[4 * i] | data[4 * i + 1] << 8) / 32768.0f;
  }
  const auto span = verbat::test::FindSound(left, 0.05, 0, -1, 44100);
  ASSERT_TRUE(span.found) << "the recording is silent";
  const double ms = 1000.0 * static_cast<double>(span.end - span.start) / 44100;
  EXPECT_NEAR(ms, 1500, 40);
  const double hz =
      verbat::test::DominantFrequency(left, span.start + 2000, span.end - 2000, 44100);
  EXPECT_NEAR(hz, kHz, 2);
  EXPECT_TRUE(owner.Stops().empty());
  std::printf(
      "[ figures ] recorder through ALSA: %.2f Hz for %.1f ms of 1500, %zu bytes of sound\n", hz,
      ms, data.size());
}

}  // namespace
}  // namespace record
