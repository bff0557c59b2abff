// The engine runs on every playback block: once it has seen a block of a given size, filtering
// blocks up to that size must not allocate. Counts every operator new in this test program.
#include <gtest/gtest.h>

#include "tests/support/counting_new.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "dsp/BandFrequencies.h"
#include "dsp/DataManager.h"
#include "platform/wave_format.h"

namespace dsp {
namespace {

TEST(EngineMemory, WarmEngineFiltersWithoutAllocating) {
  CDataManager eq;
  for (int32_t ch = 1; ch <= 2; ++ch) {
    for (int32_t b = 0; b < kBandCount; ++b) eq.SetBand(ch, b, BandFrequencies[b], 5.0f, 1.4f);
  }
  std::vector<int16_t> pcm(2 * 8820, 1000);
  const auto stereo = platform::MakePcmFormat(2, 44100, 16);
  const auto mono8 = platform::MakePcmFormat(1, 22050, 8);
  eq.SetFormat(stereo);
  eq.GetData(1, reinterpret_cast<uint8_t*>(pcm.data()), 8820);  // warms the scratch arrays

  const long before = verbat::test::AllocationCount();
  for (int block = 0; block < 20; ++block) {
    eq.SetFormat(block % 2 ? stereo : mono8);
    eq.GetData(1, reinterpret_cast<uint8_t*>(pcm.data()), 8820 - 100 * block);
  }
  EXPECT_EQ(verbat::test::AllocationCount() - before, 0);

  // A larger block grows the arrays once, and only once.
  std::vector<int16_t> big(2 * 20000, 500);
  eq.SetFormat(stereo);
  const long grow = verbat::test::AllocationCount();
  eq.GetData(1, reinterpret_cast<uint8_t*>(big.data()), 20000);
  EXPECT_GT(verbat::test::AllocationCount() - grow, 0);
  const long after_grow = verbat::test::AllocationCount();
  eq.GetData(1, reinterpret_cast<uint8_t*>(big.data()), 20000);
  EXPECT_EQ(verbat::test::AllocationCount() - after_grow, 0);
}

}  // namespace
}  // namespace dsp
