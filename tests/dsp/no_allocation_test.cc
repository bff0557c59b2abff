// The engine runs on every playback block: once it has seen a block of a given size, filtering
// blocks up to that size must not allocate. Counts every operator new in this test program.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "dsp/BandFrequencies.h"
#include "dsp/DataManager.h"
#include "platform/wave_format.h"

namespace {
std::atomic<long> g_allocations{0};
}

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

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

  const long before = g_allocations.load();
  for (int block = 0; block < 20; ++block) {
    eq.SetFormat(block % 2 ? stereo : mono8);
    eq.GetData(1, reinterpret_cast<uint8_t*>(pcm.data()), 8820 - 100 * block);
  }
  EXPECT_EQ(g_allocations.load() - before, 0);

  // A larger block grows the arrays once, and only once.
  std::vector<int16_t> big(2 * 20000, 500);
  eq.SetFormat(stereo);
  const long grow = g_allocations.load();
  eq.GetData(1, reinterpret_cast<uint8_t*>(big.data()), 20000);
  EXPECT_GT(g_allocations.load() - grow, 0);
  const long after_grow = g_allocations.load();
  eq.GetData(1, reinterpret_cast<uint8_t*>(big.data()), 20000);
  EXPECT_EQ(g_allocations.load() - after_grow, 0);
}

}  // namespace
}  // namespace dsp
