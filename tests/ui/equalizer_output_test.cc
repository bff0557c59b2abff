// The equalizer window as the audio output sees it: a 1 kHz tone written to the output on the
// virtual sound card (whose device thread plays it) while the window's switch goes on. The
// window is not shown: painting would bring in Qt's own drawing threads, which the thread
// sanitizer cannot follow.
#include <cmath>
#include <numbers>
#include <vector>

#include "media/OutputAudio.h"
#include "platform/virtual_audio.h"
#include "tests/ui/ui_test_support.h"

namespace {

double Db(double linear) {
  return 20.0 * std::log10(linear);
}

// With the switch on and band 9 (1 kHz) at the top of its slider the tone comes out 15 dB
// louder, less the master's 5 dB, than with the switch off; while off it passes untouched.
TEST(EqualizerOutput, AToneIsBoostedOnlyWhileTheSwitchIsOn) {
  uitest::EnsureApplication();
  uitest::MemoryStore store;
  ui::TEqualizerPanelForm form(store);
  ASSERT_EQ(form.GainTrackBar(9)->Tag(), 9);
  form.GainTrackBar(9)->setValue(0);

  platform::VirtualAudioBackend card({platform::Pacing::kAsFastAsPossible, 1.0});
  media::OutputAudio out(card);
  out.SetSpeedDivisor(8);
  out.SetEqualizer(&form.Hook());
  constexpr uint32_t kRate = 44100;
  constexpr uint32_t kBlockFrames = kRate / 10;
  constexpr int kBlocksOff = 4, kBlocksOn = 6;
  std::vector<uint8_t> tone;
  for (uint32_t i = 0; i < kBlockFrames * (kBlocksOff + kBlocksOn); ++i) {
    const double x = 3000.0 * std::sin(2 * std::numbers::pi * 1000.0 * i / kRate);
    const auto s = static_cast<uint16_t>(static_cast<int16_t>(std::lround(x)));
    tone.push_back(static_cast<uint8_t>(s & 0xFF));
    tone.push_back(static_cast<uint8_t>(s >> 8));
  }
  const uint32_t block_bytes = kBlockFrames * 2;
  out.Open({1, 16, kRate, block_bytes});
  out.Write(tone.data(), block_bytes * kBlocksOff);
  form.Toggle();  // what a click on the switch does (the clicks are tested on the shown window)
  ASSERT_TRUE(form.IsOn());
  out.Write(tone.data() + block_bytes * kBlocksOff, block_bytes * kBlocksOn);
  out.Close();
  out.SetEqualizer(nullptr);

  const std::vector<uint8_t> played = card.LastPlayback().played;
  ASSERT_EQ(played.size(), tone.size());
  auto rms = [&](size_t from_block, size_t to_block) {
    double sum = 0;
    const size_t from = from_block * kBlockFrames, to = to_block * kBlockFrames;
    for (size_t i = from; i < to; ++i) {
      const double x = static_cast<int16_t>(played[2 * i] | played[2 * i + 1] << 8);
      sum += x * x;
    }
    return std::sqrt(sum / static_cast<double>(to - from));
  };
  EXPECT_TRUE(std::equal(tone.begin(), tone.begin() + block_bytes * kBlocksOff, played.begin()))
      << "while off, the blocks pass untouched";
  // The first filtered block holds the filter's start; the rest are steady.
  const double boost = Db(rms(kBlocksOff + 1, kBlocksOff + kBlocksOn) / rms(0, kBlocksOff));
  EXPECT_NEAR(boost, 15.0 - 5.0, 0.1);
}

}  // namespace
