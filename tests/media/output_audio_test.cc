// The audio output on the virtual sound card: blocks, flow control, padding, device rate,
// snapshots, the equalizer hook and pitch keeping.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <cmath>
#include <numbers>
#include <numeric>

#include "dsp/DataManager.h"
#include "media/EqualizerEngineHook.h"

#include "media/OutputAudio.h"
#include "platform/virtual_audio.h"
#include "tests/media/wav_file.h"

namespace media {
namespace {

using namespace std::chrono_literals;
using media_test::Pattern;

constexpr PcmBlockFormat kMono16{1, 16, 8000, 1600};  // a fifth of a second per block

platform::VirtualCardOptions Manual() { return {platform::Pacing::kManual, 1.0}; }
platform::VirtualCardOptions Fast() { return {platform::Pacing::kAsFastAsPossible, 1.0}; }

TEST(OutputWrite, ReturnsTheBlockSizeOnlyWhenABlockIsCompleted) {
  platform::VirtualAudioBackend card(Manual());
  OutputAudio out(card);
  out.SetSpeedDivisor(8);
  out.Open(kMono16);
  const auto bytes = Pattern(1600 * 3);

  EXPECT_EQ(out.Write(bytes.data(), 1000), 0u);
  EXPECT_EQ(card.LastPlayback().blocks_written, 0u);
  EXPECT_EQ(out.Write(bytes.data() + 1000, 600), 1600u);  // fills the block exactly
  EXPECT_EQ(card.LastPlayback().blocks_written, 1u);
  EXPECT_EQ(out.Write(bytes.data() + 1600, 1600), 1600u);  // a whole block at offset 0
  EXPECT_EQ(out.Write(bytes.data() + 3200, 1599), 0u);
  EXPECT_EQ(out.QueuedBlocks(), 2);

  card.Advance(1600);  // both blocks: 800 frames each
  EXPECT_EQ(out.GetPosition(), 1600u);
  EXPECT_EQ(out.QueuedBlocks(), 0);
  const auto played = card.LastPlayback().played;
  EXPECT_TRUE(std::equal(played.begin(), played.end(), bytes.begin()));
  EXPECT_EQ(played.size(), 3200u);
  card.Advance(0);
  out.Reset();
  out.Close();
}

TEST(OutputWrite, TheThirtyThirdBlockWaitsForAFreeHeader) {
  platform::VirtualAudioBackend card(Manual());
  OutputAudio out(card);
  out.SetSpeedDivisor(8);
  out.Open(kMono16);
  const auto block = Pattern(1600);
  for (int i = 0; i < OutputAudio::kHeaderCount; ++i) ASSERT_EQ(out.Write(block.data(), 1600), 1600u);
  EXPECT_EQ(out.QueuedBlocks(), 32);

  auto writer = std::async(std::launch::async, [&] { return out.Write(block.data(), 1600); });
  // The device has returned nothing, so the writer cannot get a header.
  EXPECT_EQ(writer.wait_for(100ms), std::future_status::timeout);
  EXPECT_EQ(card.LastPlayback().blocks_written, 32u);
  card.Advance(800);  // the first block comes back
  ASSERT_EQ(writer.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(writer.get(), 1600u);
  EXPECT_EQ(card.LastPlayback().blocks_written, 33u);
  out.Reset();
  out.Close();
}

TEST(OutputClose, PadsThePartialBlockWithSilenceAndPlaysIt) {
  for (uint16_t bits : {8, 16}) {
    SCOPED_TRACE(bits);
    platform::VirtualAudioBackend card(Fast());
    OutputAudio out(card);
    out.SetSpeedDivisor(8);
    out.Open({2, bits, 8000, 1000});
    const auto bytes = Pattern(1300);
    out.Write(bytes.data(), 1000);
    out.Write(bytes.data() + 1000, 300);
    out.Close();
    const auto playback = card.LastPlayback();
    EXPECT_TRUE(playback.closed);
    ASSERT_EQ(playback.played.size(), 2000u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), playback.played.begin()));
    const uint8_t silence = bits == 8 ? 0x80 : 0x00;
    EXPECT_TRUE(std::all_of(playback.played.begin() + 1300, playback.played.end(),
                            [&](uint8_t b) { return b == silence; }));
    EXPECT_FALSE(out.IsOpen());
    EXPECT_EQ(out.GetPosition(), 0u);  // a closed device counts nothing
  }
}

TEST(OutputClose, DoesNotWaitForeverOnAPausedDevice) {
  platform::VirtualAudioBackend card(Fast());
  OutputAudio out(card);
  out.SetSpeedDivisor(8);
  out.Open(kMono16);
  out.Pause();
  const auto bytes = Pattern(2000);
  out.Write(bytes.data(), 2000);
  auto closing = std::async(std::launch::async, [&] { out.Close(); });
  ASSERT_EQ(closing.wait_for(10s), std::future_status::ready);
  closing.get();
  EXPECT_EQ(card.LastPlayback().played.size(), 3200u);  // the tail was heard
}

TEST(OutputOpen, DeviceRateFollowsTheSpeedDivisorAtTheNextOpen) {
  struct Case {
    uint32_t rate;
    int32_t divisor;
    uint32_t device_rate;
  };
  for (const Case c : {Case{44100, 12, 29400}, Case{22050, 16, 11025}, Case{44100, 2, 176400},
                       Case{44100, 8, 44100}, Case{96000, 8, 96000}, Case{88200, 12, 58800}}) {
    SCOPED_TRACE(c.rate);
    SCOPED_TRACE(c.divisor);
    platform::VirtualAudioBackend card(Fast());
    OutputAudio out(card);
    out.SetSpeedDivisor(c.divisor);
    out.Open({2, 16, c.rate, 4000});
    EXPECT_EQ(card.LastPlayback().format.samples_per_sec, c.device_rate);
    EXPECT_EQ(card.LastPlayback().format.avg_bytes_per_sec, c.device_rate * 4);
    EXPECT_EQ(card.LastPlayback().format.block_align, 4);
    out.SetSpeedDivisor(4);  // stored only; the open device keeps its rate
    EXPECT_EQ(out.DeviceFormat().samples_per_sec, c.device_rate);
    out.Close();
    out.Open({2, 16, c.rate, 4000});
    EXPECT_EQ(card.LastPlayback().format.samples_per_sec, c.rate * 2);
    out.Close();
  }
}

TEST(OutputOpen, ADeviceRefusalRaisesTheResultCode) {
  platform::VirtualAudioBackend card(Fast());
  OutputAudio out(card);
  out.SetSpeedDivisor(8);
  try {
    out.Open({3, 16, 8000, 960});
    ADD_FAILURE() << "a three-channel device opened";
  } catch (const MMException& e) {
    EXPECT_EQ(e.result(), platform::MMResult::kBadFormat);
    EXPECT_EQ(e.code(), 32u);
    EXPECT_STREQ(e.what(), platform::MMErrorText(platform::MMResult::kBadFormat).c_str());
  }
  EXPECT_FALSE(out.IsOpen());
  const auto bytes = Pattern(960);
  EXPECT_EQ(out.Write(bytes.data(), 960), 0u);
  out.Close();  // harmless
  out.Open(kMono16);  // and the output is still usable
  EXPECT_TRUE(out.IsOpen());
  out.Close();
}

TEST(OutputReset, PositionAndHistoryStartAgain) {
  platform::VirtualAudioBackend card(Manual());
  OutputAudio out(card);
  out.SetSpeedDivisor(8);
  out.Open(kMono16);
  const auto bytes = Pattern(1600 * 4);
  out.Write(bytes.data(), 1600 * 4);
  card.Advance(1200);
  EXPECT_EQ(out.GetPosition(), 1200u);
  int32_t left[256], right[256];
  EXPECT_EQ(out.GetWaveSnapshot(600, left, right), 256);
  out.Write(bytes.data(), 500);  // a partial block, thrown away by the reset
  out.Reset();
  EXPECT_EQ(out.GetPosition(), 0u);
  EXPECT_EQ(out.QueuedBlocks(), 0);
  EXPECT_EQ(out.GetWaveSnapshot(600, left, right), 0);
  out.Write(bytes.data(), 1600);
  card.Advance(800);
  EXPECT_EQ(out.GetPosition(), 800u);
  const auto played = card.LastPlayback().played;
  // After the reset the device played the new block, not the discarded partial one.
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 1600, played.end() - 1600));
  out.Reset();
  out.Close();
}

// 16-bit stereo history whose left channel counts up and right channel counts down, frame by
// frame, so that a snapshot shows exactly where it was taken.
std::vector<uint8_t> Ramp(size_t frames) {
  std::vector<uint8_t> v;
  for (size_t i = 0; i < frames; ++i) {
    media_test::PutLe16(v, static_cast<uint16_t>(i * 64));
    media_test::PutLe16(v, static_cast<uint16_t>(-static_cast<int32_t>(i * 64)));
  }
  return v;
}

TEST(OutputSnapshot, NothingUntilAWindowOfDataThenTheSamplesAtThePosition) {
  platform::VirtualAudioBackend card(Manual());
  OutputAudio out(card);
  out.SetSpeedDivisor(8);
  out.Open({2, 16, 8000, 400});  // 100 frames per block: a window spans several blocks
  int32_t left[256], right[256];
  std::fill(left, left + 256, 7);
  EXPECT_EQ(out.GetWaveSnapshot(0, left, right), 0);
  EXPECT_TRUE(std::all_of(left, left + 256, [](int32_t v) { return v == 0; }));

  const auto ramp = Ramp(500);
  out.Write(ramp.data(), 400 * 2);  // 200 frames: less than a window (256)
  EXPECT_EQ(out.GetWaveSnapshot(256, left, right), 0);
  out.Write(ramp.data() + 800, 400 * 3);  // 500 frames in all
  ASSERT_EQ(out.GetWaveSnapshot(256, left, right), 256);
  // The window clamps to the end of what is kept: frames 244..499.
  for (int i = 0; i < 256; ++i) {
    const auto frame = static_cast<int32_t>(244 + i);
    EXPECT_EQ(left[i], static_cast<int16_t>(frame * 64) * 100 / 32767) << i;
    EXPECT_EQ(right[i], static_cast<int16_t>(-frame * 64) * 100 / 32767) << i;
  }
  EXPECT_EQ(out.GetWaveSnapshot(501, left, right), 0);  // past the data
  card.Advance(1000);
  out.Reset();
  out.Close();
}

TEST(OutputSnapshot, OnlyTheLastBlocksOfHistoryAreKept) {
  platform::VirtualAudioBackend card(Fast());
  OutputAudio out(card);
  out.SetSpeedDivisor(8);
  out.Open({1, 16, 8000, 1024});  // 512 frames per block, one window each
  const auto bytes = Pattern(1024 * 100);
  for (int b = 0; b < 100; ++b) out.Write(bytes.data() + 1024 * b, 1024);
  int32_t left[256], right[256];
  // 100 blocks written, the ring holds 80 of which the one being refilled is not readable.
  EXPECT_EQ(out.GetWaveSnapshot(512 * 20, left, right), 0);
  ASSERT_EQ(out.GetWaveSnapshot(512 * 21, left, right), 256);
  const auto sample = [&](size_t frame) {
    return static_cast<int16_t>(bytes[2 * frame] | bytes[2 * frame + 1] << 8) * 100 / 32767;
  };
  for (int i = 0; i < 256; ++i) EXPECT_EQ(left[i], sample(512 * 21 + i)) << i;
  EXPECT_TRUE(std::all_of(right, right + 256, [](int32_t v) { return v == 0; }));  // mono
  out.Close();
}

// 16-bit sines, one per channel, at the given frequencies.
std::vector<uint8_t> Sines(size_t frames, uint32_t rate, std::vector<double> hz, double amplitude) {
  std::vector<uint8_t> v;
  for (size_t i = 0; i < frames; ++i) {
    for (double f : hz) {
      const double x = amplitude * std::sin(2 * std::numbers::pi * f * static_cast<double>(i) / rate);
      media_test::PutLe16(v, static_cast<uint16_t>(static_cast<int16_t>(std::lround(x))));
    }
  }
  return v;
}

TEST(OutputSnapshot, SpectrumShowsEachChannelsTone) {
  platform::VirtualAudioBackend card(Fast());
  OutputAudio out(card);
  out.SetSpeedDivisor(8);
  out.Open({2, 16, 8000, 3200});
  int32_t left[256], right[256];
  EXPECT_EQ(out.GetSpectrum(0, left, right), 0);
  // Bins of 8000 / 512 Hz: 500 Hz is bin 32, 1000 Hz bin 64.
  const auto tones = Sines(4000, 8000, {500, 1000}, 16000);
  out.Write(tones.data(), 2000);  // 500 frames, and no block completed
  EXPECT_EQ(out.GetSpectrum(600, left, right), 0);
  out.Write(tones.data() + 2000, 3200 * 4 - 2000);
  EXPECT_EQ(out.GetSpectrum(100, left, right), 0);  // the window would start before the data
  ASSERT_EQ(out.GetSpectrum(1000, left, right), 512);
  EXPECT_EQ(std::max_element(left, left + 256) - left, 32);
  EXPECT_EQ(std::max_element(right, right + 256) - right, 64);
  EXPECT_GT(left[32], left[100] + 40);  // a clear peak, tens of decibels above the rest
  out.Close();
}

double Rms16(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; i += 2) {
    const double x = static_cast<int16_t>(bytes[i] | bytes[i + 1] << 8);
    sum += x * x;
  }
  return std::sqrt(sum / static_cast<double>((to - from) / 2));
}

TEST(OutputEqualizer, TheEngineFiltersAtTheDeviceRate) {
  platform::VirtualAudioBackend card(Fast());
  OutputAudio out(card);
  dsp::CDataManager engine;
  EqualizerEngineHook hook(engine);
  out.SetEqualizer(&hook);
  out.SetSpeedDivisor(16);  // a 16000 Hz file plays at 8000 Hz
  const platform::WaveFormat device = platform::MakePcmFormat(1, 8000, 16);
  engine.SetFormat(device);  // design the bands for the device rate
  for (int band = 0; band < dsp::kBandCount; ++band) {
    // +15 dB at 1 kHz, everything else flat.
    const float gain = band == 8 ? std::pow(10.0f, 15 * 0.05f) : 1.0f;
    engine.SetBand(1, band, dsp::BandFrequencies[band], 5.0f, gain);
    engine.SetBand(2, band, dsp::BandFrequencies[band], 5.0f, gain);
  }
  // A tone at 2 kHz in the file is heard at 1 kHz: the band's centre at the device rate.
  const auto tone = Sines(16000, 16000, {2000}, 1000);
  out.Open({1, 16, 16000, 6400});
  out.Write(tone.data(), 6400 * 2);
  hook.SetOn(true);
  out.Write(tone.data() + 6400 * 2, 6400 * 3);
  out.Close();
  EXPECT_EQ(engine.Format().samples_per_sec, 8000u);
  const auto played = card.LastPlayback().played;
  ASSERT_EQ(played.size(), tone.size());
  EXPECT_TRUE(std::equal(tone.begin(), tone.begin() + 6400 * 2, played.begin()));  // while off
  // After the filter has settled in its first block.
  const double before = Rms16(tone, 6400 * 3, tone.size());
  const double after = Rms16(played, 6400 * 3, played.size());
  EXPECT_NEAR(after / before, std::pow(10.0, 15 * 0.05), 0.5);
}

TEST(OutputKeepPitch, ASpeedChangeWhileTheTailPlaysPlaysTheRestOnceAndEndsWithTheFile) {
  const auto bytes = Pattern(1600 * 10 + 500);  // ten blocks and a partial one
  const uint64_t total = bytes.size() / 2;
  for (const int32_t divisor : {8, 4}) {
    SCOPED_TRACE(divisor);
    platform::VirtualAudioBackend card(Manual());
    OutputAudio out(card);
    out.SetKeepPitch(true);
    out.SetSpeedDivisor(16);
    out.Open(kMono16);
    EXPECT_EQ(card.LastPlayback().format.samples_per_sec, 8000u);  // the file's rate
    for (size_t at = 0; at < bytes.size(); at += 1600) {
      out.Write(bytes.data() + at,
                static_cast<uint32_t>(std::min<size_t>(1600, bytes.size() - at)));
    }
    card.Advance(3000);  // heard at half speed: 1500 frames of the file
    // Close gives the stretcher's tail to the device and waits for it to be heard.
    auto closing = std::async(std::launch::async, [&] { out.Close(); });
    ASSERT_TRUE(card.WaitUntil([&] { return card.LastPlayback().blocks_written == 11; }, 10s));
    const uint64_t heard = out.GetPosition();
    EXPECT_NEAR(static_cast<double>(heard), 1500, 800);
    out.SetSpeedDivisor(divisor);
    EXPECT_EQ(out.GetPosition(), heard);
    const size_t from = card.LastPlayback().played.size();
    while (closing.wait_for(1ms) != std::future_status::ready) card.Advance(800);
    closing.get();
    const auto playback = card.LastPlayback();
    EXPECT_TRUE(playback.closed);
    EXPECT_EQ(playback.resets, 1u);
    const std::vector<uint8_t> after(playback.played.begin() + static_cast<ptrdiff_t>(from),
                                     playback.played.end());
    // After the change the rest of the file is heard once, to its last frame and no further, at
    // the new tempo; at normal speed the stretcher passes the very samples through.
    EXPECT_NEAR(static_cast<double>(after.size() / 2), (total - heard) * divisor / 8.0, 1);
    if (divisor == 8) {
      EXPECT_EQ(after, std::vector<uint8_t>(bytes.begin() + static_cast<ptrdiff_t>(heard * 2),
                                            bytes.end()));
    }
  }
}

}  // namespace
}  // namespace media
