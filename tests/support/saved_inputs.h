// Replays a fuzz target's saved inputs (fuzz/FOLDER/ of the source tree named by
// VERBAT_SOURCE_DIR) through a check, in name order, each traced by its file name, and says how
// many were replayed. An empty or missing folder fails: the replay must not pass on nothing.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace verbat::test {

inline void ReplaySavedInputs(const std::string& folder,
                              const std::function<void(const uint8_t*, size_t)>& check) {
  const char* src = std::getenv("VERBAT_SOURCE_DIR");
  ASSERT_NE(src, nullptr) << "VERBAT_SOURCE_DIR is not set";
  const std::filesystem::path dir = std::filesystem::path(src) / "fuzz" / folder;
  std::vector<std::filesystem::path> inputs;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error))
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  ASSERT_FALSE(error) << dir << ": " << error.message();
  std::sort(inputs.begin(), inputs.end());
  ASSERT_FALSE(inputs.empty()) << "no saved inputs in " << dir;
  for (const auto& path : inputs) {
    SCOPED_TRACE(path.filename().string());
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    check(bytes.data(), bytes.size());
  }
  std::printf("replayed %zu inputs from fuzz/%s\n", inputs.size(), folder.c_str());
}

}  // namespace verbat::test
