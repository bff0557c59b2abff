// Replays the settings fuzz target's saved inputs (fuzz/corpus-settings/) through its checks:
// files the project wrote, and inputs that once broke a promise or reached paths worth keeping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/settings_fuzz_harness.h"

namespace {

TEST(SettingsFuzzRegression, SavedInputsKeepTheirPromises) {
  const char* src = std::getenv("VERBAT_SOURCE_DIR");
  ASSERT_NE(src, nullptr) << "VERBAT_SOURCE_DIR is not set";
  const std::filesystem::path dir = std::filesystem::path(src) / "fuzz" / "corpus-settings";
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  std::sort(inputs.begin(), inputs.end());
  ASSERT_FALSE(inputs.empty()) << "no saved inputs in " << dir;
  for (const auto& path : inputs) {
    SCOPED_TRACE(path.filename().string());
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    settings_fuzz::CheckInput(bytes.data(), bytes.size());
  }
  std::printf("replayed %zu inputs\n", inputs.size());
}

}  // namespace
