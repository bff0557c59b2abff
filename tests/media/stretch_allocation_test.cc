// The time-stretcher runs on every playback block while pitch keeping is on: once it has seen
// blocks at a tempo, stretching more of them must not allocate, nor must a speed change that
// restarts it. Counts every operator new in this test program (the library's included).
#include <gtest/gtest.h>

#include "tests/support/counting_new.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <numbers>
#include <vector>

#include "media/TimeStretch.h"

namespace media {
namespace {

TEST(StretchMemory, WarmStretcherWorksWithoutAllocating) {
  constexpr uint32_t kFrames = 8820;  // a WAV block: a fifth of a second at 44.1 kHz
  std::vector<uint8_t> block(kFrames * 4);
  for (uint32_t i = 0; i < kFrames; ++i) {
    const auto v = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * 220 * i / 44100.0));
    for (int c = 0; c < 2; ++c) {
      block[4 * i + 2 * c] = static_cast<uint8_t>(v);
      block[4 * i + 2 * c + 1] = static_cast<uint8_t>(v >> 8);
    }
  }
  std::vector<uint8_t> out(kFrames * 4 * 4);
  TimeStretch stretch;
  stretch.Configure(2, 44100, 16, kFrames);
  const auto run = [&](double tempo, int blocks) {
    stretch.Restart(tempo);
    for (int b = 0; b < blocks; ++b) {
      stretch.Put(block.data(), kFrames);
      stretch.Take(out.data(), kFrames * 4);
    }
  };
  // Warm up at each of the five speeds, then again: nothing more may be allocated.
  for (double tempo : {0.5, 2.0 / 3, 1.0, 2.0, 4.0}) run(tempo, 6);
  const long before = verbat::test::AllocationCount();
  for (double tempo : {0.5, 2.0 / 3, 1.0, 2.0, 4.0, 0.5}) run(tempo, 6);
  EXPECT_EQ(verbat::test::AllocationCount() - before, 0);

  // The count does see the library's own buffers: ten blocks at once make them grow.
  std::vector<uint8_t> big(block.size() * 10);
  for (size_t i = 0; i < big.size(); ++i) big[i] = block[i % block.size()];
  stretch.Restart(0.5);
  const long grow = verbat::test::AllocationCount();
  stretch.Put(big.data(), kFrames * 10);
  EXPECT_GT(verbat::test::AllocationCount() - grow, 0);
}

}  // namespace
}  // namespace media
