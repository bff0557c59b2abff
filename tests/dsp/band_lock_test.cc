// Bands redesigned on one thread while blocks are filtered on another: each band's coefficients
// and state change together under the band's lock, so the filtering thread only ever meets one
// whole design. It looks between its blocks, where the next block takes the coefficients from.
// A torn update lasts only the few instructions of the copy, so this value check catches a band
// written without its lock only now and then; the thread sanitizer, which runs this test (label
// "threaded"), reports such a write against the filtering thread's read every time.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "dsp/BandFrequencies.h"
#include "dsp/DataManager.h"
#include "platform/wave_format.h"

namespace dsp {
namespace {

bool Same(const CEqualizer::Coefficients& a, const CEqualizer::Coefficients& b) {
  return a.b0 == b.b0 && a.b1 == b.b1 && a.b2 == b.b2 && a.a1 == b.a1 && a.a2 == b.a2;
}

TEST(BandLocks, DesignsChangeWholeWhileBlocksAreFiltered) {
  const auto format = platform::MakePcmFormat(2, 44100, 16);
  // The two designs the UI thread alternates between, taken from a separate engine.
  CDataManager model;
  model.SetFormat(format);
  model.SetBand(1, 0, 1000.0f, 5.0f, 4.0f);
  model.SetBand(1, 1, 1000.0f, 1.0f, 0.25f);
  const CEqualizer::Coefficients design_a = model.Band(1, 0).GetCoefficients();
  const CEqualizer::Coefficients design_b = model.Band(1, 1).GetCoefficients();

  CDataManager eq;
  eq.SetFormat(format);
  for (int32_t ch = 1; ch <= 2; ++ch) {
    for (int32_t b = 0; b < kBandCount; ++b) eq.SetBand(ch, b, 1000.0f, 5.0f, 4.0f);
  }
  std::atomic<bool> done{false};
  int mixed = 0, looks = 0;  // the filtering thread's own, read after the join
  std::thread filtering([&] {
    std::vector<int16_t> pcm(2 * 2205);
    for (int block = 0; block < 300; ++block) {
      for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>((i * 13) % 2001 - 1000);
      eq.SetFormat(format);
      eq.GetData(1, reinterpret_cast<uint8_t*>(pcm.data()), 2205);
      for (int pass = 0; pass < 20; ++pass) {
        for (int32_t ch = 1; ch <= 2; ++ch) {
          for (int32_t b = 0; b < kBandCount; ++b) {
            const CEqualizer::Coefficients c = eq.Band(ch, b).GetCoefficients();
            if (!Same(c, design_a) && !Same(c, design_b)) ++mixed;
            ++looks;
          }
        }
      }
    }
    done.store(true);
  });
  int rounds = 0;
  while (!done.load()) {
    const bool a = rounds++ % 2 == 0;
    for (int32_t ch = 1; ch <= 2; ++ch) {
      for (int32_t b = 0; b < kBandCount; ++b)
        eq.SetBand(ch, b, 1000.0f, a ? 5.0f : 1.0f, a ? 4.0f : 0.25f);
    }
    eq.SetMasterGain(a ? 0.5f : 0.25f);
  }
  filtering.join();
  EXPECT_EQ(mixed, 0) << "of " << looks << " looks at a band";
  EXPECT_GT(rounds, 0);
  for (int32_t b = 0; b < kBandCount; ++b) {
    const CEqualizer::State s = eq.Band(1, b).GetState();
    EXPECT_TRUE(std::isfinite(s.y1) && std::isfinite(s.y2)) << "band " << b;
  }
}

}  // namespace
}  // namespace dsp
