// The engine on PCM blocks: which bands run at which rate, sample layout and conversion, the
// formats it leaves alone, the design rate, and the base wave data read.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "dsp/Assertion.h"
#include "dsp/BandFrequencies.h"
#include "dsp/DataManager.h"
#include "platform/wave_format.h"
#include "tests/dsp/response.h"

namespace dsp {
namespace {

using platform::MakePcmFormat;
using testing::kPi;

void SetAllBands(CDataManager& eq, float q, float gain) {
  for (int32_t ch = 1; ch <= 2; ++ch) {
    for (int32_t b = 0; b < kBandCount; ++b) eq.SetBand(ch, b, BandFrequencies[b], q, gain);
  }
}

bool StateIsZero(const CEqualizer& band) {
  const CEqualizer::State s = band.GetState();
  return s.x1 == 0 && s.x2 == 0 && s.y1 == 0 && s.y2 == 0;
}

void Filter(CDataManager& eq, const platform::WaveFormat& f, std::vector<int16_t>& pcm) {
  eq.SetFormat(f);
  eq.GetData(1, reinterpret_cast<uint8_t*>(pcm.data()),
             static_cast<int32_t>(pcm.size() * 2 / f.block_align));
}

TEST(DataManager, BandCountFollowsTheRate) {
  CDataManager eq;
  const struct { uint32_t rate; int32_t bands; } cases[] = {
      {8000, 12}, {11025, 13}, {16000, 14}, {22050, 14}, {32000, 15}, {44100, 15},
      // Around the point where the 10079.3 Hz band stops being the first above the limit:
      // (12698 x 0.79371...) = 10078.5, (12699 x 0.79371...) = 10079.3; odd rates halve downwards.
      {25396, 14}, {25397, 14}, {25398, 15}};
  for (const auto& c : cases) {
    eq.SetFormat(MakePcmFormat(2, c.rate, 16));
    EXPECT_EQ(eq.GetBandCount(), c.bands) << c.rate << " Hz";
  }
}

TEST(DataManager, BandsAboveTheCountDoNotRunAndKeepTheirState) {
  CDataManager eq;
  SetAllBands(eq, 5.0f, 1.5f);
  std::vector<int16_t> pcm(2 * 800);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>((i * 7919) % 2001) - 1000;
  Filter(eq, MakePcmFormat(2, 8000, 16), pcm);
  for (int32_t ch = 1; ch <= 2; ++ch) {
    EXPECT_FALSE(StateIsZero(eq.Band(ch, 11))) << "the 4000 Hz band runs at 8000 Hz";
    EXPECT_TRUE(StateIsZero(eq.Band(ch, 12)));
    EXPECT_TRUE(StateIsZero(eq.Band(ch, 14)));
  }
}

// Sine of amplitude a at frequency f, both channels, 16-bit; the right channel inverted.
std::vector<int16_t> StereoSine(double f, double fs, double a, size_t frames) {
  std::vector<int16_t> pcm(2 * frames);
  for (size_t i = 0; i < frames; ++i) {
    const double v = a * std::sin(2 * kPi * f * static_cast<double>(i) / fs);
    pcm[2 * i] = static_cast<int16_t>(std::lround(v));
    pcm[2 * i + 1] = static_cast<int16_t>(std::lround(-v));
  }
  return pcm;
}

double ChannelAmplitude(const std::vector<int16_t>& pcm, int channel, size_t from, double f,
                        double fs) {
  double s = 0, c = 0;
  const size_t frames = pcm.size() / 2;
  for (size_t i = from; i < frames; ++i) {
    const double x = pcm[2 * i + static_cast<size_t>(channel)];
    s += x * std::sin(2 * kPi * f * static_cast<double>(i) / fs);
    c += x * std::cos(2 * kPi * f * static_cast<double>(i) / fs);
  }
  return 2 * std::sqrt(s * s + c * c) / static_cast<double>(frames - from);
}

TEST(DataManager, LastRunningBandReachesTheOutputForOddAndEvenCounts) {
  // 15 bands at 44100 Hz (the result is in the second array), 14 at 22050 Hz (the first). Only the
  // last running band is not flat; a sine at its centre must come out scaled by its gain and the
  // master gain, on both channels.
  const struct { uint32_t rate; int32_t last; } cases[] = {{44100, 14}, {22050, 13}};
  for (const auto& c : cases) {
    CDataManager eq;
    eq.SetFormat(MakePcmFormat(2, c.rate, 16));
    SetAllBands(eq, 5.0f, 1.0f);
    eq.SetBand(1, c.last, BandFrequencies[c.last], 5.0f, 2.0f);
    eq.SetBand(2, c.last, BandFrequencies[c.last], 5.0f, 2.0f);
    eq.SetMasterGain(0.75f);
    const double f0 = BandFrequencies[c.last];
    std::vector<int16_t> pcm = StereoSine(f0, c.rate, 8000.0, c.rate / 2);
    Filter(eq, MakePcmFormat(2, c.rate, 16), pcm);
    for (int ch = 0; ch < 2; ++ch) {
      EXPECT_NEAR(ChannelAmplitude(pcm, ch, c.rate / 10, f0, c.rate), 8000.0 * 2.0 * 0.75, 12.0)
          << c.rate << " Hz, channel " << ch;
    }
  }
}

TEST(DataManager, BlockMatchesTheBandCascadeRunOnItsOwn) {
  // The engine's channel layout, array alternation and interleaving of the two banks against a
  // plain cascade of separate bands over each channel, converted by the same rules.
  CDataManager eq;
  eq.SetFormat(MakePcmFormat(2, 44100, 16));
  CEqualizer ref_l[kBandCount], ref_r[kBandCount];
  for (int32_t b = 0; b < kBandCount; ++b) {
    const float gl = 0.4f + 0.1f * static_cast<float>(b), gr = 2.0f - 0.1f * static_cast<float>(b);
    eq.SetBand(1, b, BandFrequencies[b], 3.0f, gl);
    eq.SetBand(2, b, BandFrequencies[b], 3.0f, gr);
    ref_l[b].SetParam(1.0f / 44100.0f, BandFrequencies[b], 3.0f, gl);
    ref_r[b].SetParam(1.0f / 44100.0f, BandFrequencies[b], 3.0f, gr);
  }
  eq.SetMasterGain(0.9f);
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> sample(-4000, 4000);
  for (int block = 0; block < 3; ++block) {
    const size_t frames = 1000 + 517 * static_cast<size_t>(block);
    std::vector<int16_t> pcm(2 * frames);
    for (int16_t& v : pcm) v = static_cast<int16_t>(sample(rng));
    std::vector<float> l(frames), r(frames), tmp(frames);
    for (size_t i = 0; i < frames; ++i) {
      l[i] = pcm[2 * i];
      r[i] = pcm[2 * i + 1];
    }
    for (int32_t b = 0; b < kBandCount; ++b) {
      ref_l[b].Process(l.data(), tmp.data(), static_cast<int32_t>(frames));
      l.swap(tmp);
      ref_r[b].Process(r.data(), tmp.data(), static_cast<int32_t>(frames));
      r.swap(tmp);
    }
    Filter(eq, MakePcmFormat(2, 44100, 16), pcm);
    for (size_t i = 0; i < frames; ++i) {
      ASSERT_LT(std::fabs(l[i] * 0.9f), 32767.0f);
      ASSERT_LT(std::fabs(r[i] * 0.9f), 32767.0f);
      ASSERT_EQ(pcm[2 * i], static_cast<int16_t>(std::trunc(l[i] * 0.9f))) << "block " << block;
      ASSERT_EQ(pcm[2 * i + 1], static_cast<int16_t>(std::trunc(r[i] * 0.9f))) << "block " << block;
    }
  }
}

// A fresh flat engine and one two-frame block whose first frame is (x, -x): the first output
// sample of a flat band from zero state is the input itself, so only master gain and conversion act.
std::pair<int16_t, int16_t> Convert16(int16_t x, float master) {
  CDataManager eq;
  SetAllBands(eq, 5.0f, 1.0f);
  eq.SetMasterGain(master);
  std::vector<int16_t> pcm = {x, static_cast<int16_t>(-x), 0, 0};
  Filter(eq, MakePcmFormat(2, 44100, 16), pcm);
  return {pcm[0], pcm[1]};
}

TEST(DataManager, SixteenBitResultsTruncateAndSaturateSymmetrically) {
  EXPECT_EQ(Convert16(16384, 2.0f), std::make_pair(int16_t{32767}, int16_t{-32767}));
  EXPECT_EQ(Convert16(-32768, 1.0f).first, -32767);
  EXPECT_EQ(Convert16(30000, 4.0f), std::make_pair(int16_t{32767}, int16_t{-32767}));
  EXPECT_EQ(Convert16(16383, 2.0f), std::make_pair(int16_t{32766}, int16_t{-32766}));
  EXPECT_EQ(Convert16(13107, 2.5f), std::make_pair(int16_t{32767}, int16_t{-32767}));  // 32767.5
  EXPECT_EQ(Convert16(3, 0.5f), std::make_pair(int16_t{1}, int16_t{-1}));  // toward zero
}

uint8_t Convert8(uint8_t x, float master) {
  CDataManager eq;
  SetAllBands(eq, 5.0f, 1.0f);
  eq.SetMasterGain(master);
  std::vector<uint8_t> pcm = {x, 128};
  eq.SetFormat(MakePcmFormat(1, 22050, 8));
  eq.GetData(1, pcm.data(), 2);
  return pcm[0];
}

TEST(DataManager, EightBitResultsTruncateAndSaturateSymmetrically) {
  EXPECT_EQ(Convert8(0, 2.0f), 1);       // -256 saturates at -127, never -128 (byte 0)
  EXPECT_EQ(Convert8(0, 1.0f), 1);
  EXPECT_EQ(Convert8(255, 2.0f), 255);
  EXPECT_EQ(Convert8(64, 0.5f), 96);     // -64 / 2
  EXPECT_EQ(Convert8(125, 0.5f), 127);   // -1.5 toward zero
  EXPECT_EQ(Convert8(131, 0.5f), 129);   // +1.5 toward zero
}

TEST(DataManager, EightBitSilenceStaysSilent) {
  for (uint16_t channels : {1, 2}) {
    CDataManager eq;
    SetAllBands(eq, 1.0f, 5.6f);
    eq.SetBand(1, 3, 99.2f, 10.0f, 0.18f);
    eq.SetMasterGain(1.0f);
    std::vector<uint8_t> pcm(2000, 128);
    eq.SetFormat(MakePcmFormat(channels, 11025, 8));
    eq.GetData(1, pcm.data(), static_cast<int32_t>(pcm.size() / channels));
    for (uint8_t v : pcm) ASSERT_EQ(v, 128) << channels << " channels";
  }
}

TEST(DataManager, MonoRunsOnlyTheLeftBank) {
  CDataManager eq;
  SetAllBands(eq, 5.0f, 2.0f);
  std::vector<int16_t> pcm(4410);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>((i * 31) % 4001) - 2000;
  const std::vector<int16_t> before = pcm;
  Filter(eq, MakePcmFormat(1, 44100, 16), pcm);
  EXPECT_NE(pcm, before);
  for (int32_t b = 0; b < kBandCount; ++b) {
    EXPECT_FALSE(StateIsZero(eq.Band(1, b))) << "left band " << b;
    EXPECT_TRUE(StateIsZero(eq.Band(2, b))) << "right band " << b;
  }
}

TEST(DataManager, OtherFormatsPassUnchanged) {
  platform::WaveFormat odd_align = MakePcmFormat(2, 44100, 16);
  odd_align.block_align = 2;  // would walk past the caller's frames x block align bytes
  const platform::WaveFormat formats[] = {MakePcmFormat(4, 44100, 16), MakePcmFormat(2, 44100, 24),
                                          MakePcmFormat(1, 44100, 32), MakePcmFormat(2, 44100, 12),
                                          MakePcmFormat(0, 44100, 16), odd_align};
  for (const platform::WaveFormat& f : formats) {
    CDataManager eq;
    SetAllBands(eq, 5.0f, 3.0f);
    std::vector<uint8_t> pcm(960);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i * 37);
    const std::vector<uint8_t> before = pcm;
    eq.SetFormat(f);
    const int32_t frames = f.block_align ? static_cast<int32_t>(pcm.size() / f.block_align) : 10;
    eq.GetData(1, pcm.data(), frames);
    EXPECT_EQ(pcm, before) << f.channels << " channels, " << f.bits_per_sample << " bits";
    EXPECT_TRUE(StateIsZero(eq.Band(1, 0)));
  }
}

TEST(DataManager, BandsAreDesignedForTheRateStoredAtThatMoment) {
  // Before any block the design uses 44000 Hz.
  CDataManager fresh, at44000, at44100;
  at44000.SetFormat(MakePcmFormat(2, 44000, 16));
  at44100.SetFormat(MakePcmFormat(2, 44100, 16));
  for (CDataManager* e : {&fresh, &at44000, &at44100}) e->SetBand(1, 8, 1000.0f, 5.0f, 3.0f);
  const CEqualizer::Coefficients c0 = fresh.Band(1, 8).GetCoefficients();
  const CEqualizer::Coefficients c1 = at44000.Band(1, 8).GetCoefficients();
  const CEqualizer::Coefficients c2 = at44100.Band(1, 8).GetCoefficients();
  EXPECT_EQ(c0.a1, c1.a1);
  EXPECT_EQ(c0.b0, c1.b0);
  EXPECT_NE(c0.a1, c2.a1);

  // A later format change keeps the coefficients; the band count follows the new rate.
  std::vector<int16_t> pcm(200, 100);
  Filter(at44100, MakePcmFormat(2, 22050, 16), pcm);
  EXPECT_EQ(at44100.Band(1, 8).GetCoefficients().a1, c2.a1);
  EXPECT_EQ(at44100.GetBandCount(), 14);
  at44100.SetBand(2, 8, 1000.0f, 5.0f, 3.0f);
  EXPECT_NE(at44100.Band(2, 8).GetCoefficients().a1, c2.a1);
}

TEST(DataManager, ChannelOrBandOutOfRangeIsAnAssertion) {
  CDataManager eq;
  for (int32_t channel : {0, 3, -1}) {
    try {
      eq.SetBand(channel, 0, 1000.0f, 5.0f, 1.0f);
      ADD_FAILURE() << "channel " << channel << " accepted";
    } catch (const AssertionError& e) {
      EXPECT_STREQ(e.what(), "Assertion failed: false, file DataManager, line 371");
    }
  }
  EXPECT_THROW(eq.SetBand(1, 15, 1000.0f, 5.0f, 1.0f), AssertionError);
  EXPECT_THROW(eq.SetBand(2, -1, 1000.0f, 5.0f, 1.0f), AssertionError);
}

TEST(WaveData, BaseReadsAttachedFramesAndRejectsPositionsOutside) {
  std::vector<uint8_t> file(44 + 40);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i);
  CWaveData wave;
  wave.SetFormat(MakePcmFormat(2, 8000, 16));
  wave.AttachData(file, 44, 10);
  uint8_t got[12];
  wave.GetData(7, got, 3);  // the last three frames
  EXPECT_EQ(0, std::memcmp(got, file.data() + 44 + 28, sizeof got));
  for (int32_t position : {-1, 8}) {
    try {
      wave.GetData(position, got, 3);
      ADD_FAILURE() << "position " << position << " accepted";
    } catch (const AssertionError& e) {
      EXPECT_EQ(e.source(), "WaveData");
      EXPECT_EQ(e.line(), 49);
      EXPECT_STREQ(e.what(), "Assertion failed: false, file WaveData, line 49");
    }
  }
}

}  // namespace
}  // namespace dsp
