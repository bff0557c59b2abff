// The measurements the sound tests rely on, checked on signals whose answer is known.
#include <cmath>
#include <numbers>

#include "tests/support/sound_server.h"

namespace verbat::test {
namespace {

std::vector<float> Tone(double hz, int64_t frames, int rate, double amplitude = 0.5) {
  std::vector<float> out(static_cast<size_t>(frames));
  for (int64_t i = 0; i < frames; ++i) {
    out[static_cast<size_t>(i)] =
        static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * hz * i / rate));
  }
  return out;
}

TEST(SignalAnalysis, DominantFrequencyOfTonesAcrossTheBand) {
  for (double hz : {110.0, 440.0, 1000.0, 1234.5, 8000.0}) {
    auto tone = Tone(hz, 8820, 44100);  // 0.2 s
    EXPECT_NEAR(DominantFrequency(tone, 0, 8820, 44100), hz, 1.0) << hz;
  }
  // The strongest of two tones wins.
  auto mix = Tone(500, 44100, 44100, 0.2);
  auto loud = Tone(3000, 44100, 44100, 0.6);
  for (size_t i = 0; i < mix.size(); ++i) mix[i] += loud[i];
  EXPECT_NEAR(DominantFrequency(mix, 0, 44100, 44100), 3000, 1.0);
}

TEST(SignalAnalysis, FindSoundLocatesATonePaddedBySilence) {
  std::vector<float> buffer(44100, 0.0f);
  auto tone = Tone(440, 22050, 44100);
  std::copy(tone.begin(), tone.end(), buffer.begin() + 11025);
  auto span = FindSound(buffer, 0.05);
  ASSERT_TRUE(span.found);
  EXPECT_NEAR(span.start, 11025, 441);  // to the 10 ms window
  EXPECT_NEAR(span.end, 11025 + 22050, 441);
  EXPECT_FALSE(FindSound(std::vector<float>(44100, 0.001f), 0.05).found);
  // A search range leaves out what lies outside it.
  EXPECT_FALSE(FindSound(buffer, 0.05, 0, 11025 - 441).found);
}

}  // namespace
}  // namespace verbat::test
