// Replays the fuzz target's saved inputs (fuzz/corpus/): inputs that once crashed the decoder
// or reached paths worth keeping. The harness aborts on any broken contract (output past its
// size, a consumed length beyond the input, an undocumented error code), and the sanitizer
// builds check every memory access.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "fuzz/mpeg_fuzz_harness.h"
#include "tests/mpeg/stream_decoder.h"

namespace {

TEST(FuzzRegression, SavedInputsDecodeWithinTheirContract) {
  const char* src = std::getenv("VERBAT_SOURCE_DIR");
  ASSERT_NE(src, nullptr) << "VERBAT_SOURCE_DIR is not set";
  const std::filesystem::path dir = std::filesystem::path(src) / "fuzz" / "corpus";
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  std::sort(inputs.begin(), inputs.end());
  ASSERT_FALSE(inputs.empty()) << "no saved inputs in " << dir;
  for (const auto& path : inputs) {
    SCOPED_TRACE(path.filename().string());
    const std::vector<uint8_t> bytes = mpeg_test::ReadFile(path);
    mpeg_fuzz::DecodeInput(bytes.data(), bytes.size());
  }
  std::printf("replayed %zu inputs\n", inputs.size());
}

}  // namespace
