// Replays the work-file fuzz target's saved inputs (fuzz/corpus-workfile/) through its checks:
// the recorder's formats, partial frames, writes cut short by a file size limit, nonsense
// formats, and the inputs that once broke a promise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/workfile_fuzz_harness.h"

namespace {

// A format made from nonsense channels and bits must not overflow on the way (here at compile
// time, where an overflow is an error).
static_assert(platform::MakePcmFormat(65535, 8000, 65535).block_align ==
              static_cast<uint16_t>(65535u * 65535u / 8));

TEST(WorkFileFuzzRegression, SavedInputsKeepTheirPromises) {
  const char* src = std::getenv("VERBAT_SOURCE_DIR");
  ASSERT_NE(src, nullptr) << "VERBAT_SOURCE_DIR is not set";
  const std::filesystem::path dir = std::filesystem::path(src) / "fuzz" / "corpus-workfile";
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  std::sort(inputs.begin(), inputs.end());
  ASSERT_FALSE(inputs.empty()) << "no saved inputs in " << dir;
  for (const auto& path : inputs) {
    SCOPED_TRACE(path.filename().string());
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    workfile_fuzz::CheckInput(bytes.data(), bytes.size());
  }
  std::printf("replayed %zu inputs\n", inputs.size());
}

}  // namespace
