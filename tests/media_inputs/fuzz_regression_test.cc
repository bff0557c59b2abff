// Replays the saved inputs of the WAV, MP3 and Ogg Vorbis fuzz targets (fuzz/corpus-wav/,
// fuzz/corpus-mp3/, fuzz/corpus-vorbis/) through their harnesses: files the installed encoders
// made, inputs that once broke a promise or crashed an input, and inputs that reached paths
// worth keeping. Each is opened and played through the input's real reader; the harness aborts
// on any broken promise, and the sanitizer builds check every memory access.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

#include "fuzz/mp3_fuzz_harness.h"
#include "fuzz/vorbis_fuzz_harness.h"
#include "fuzz/wav_fuzz_harness.h"

namespace {

void Replay(const char* folder, const std::function<void(const uint8_t*, size_t)>& check) {
  const char* src = std::getenv("VERBAT_SOURCE_DIR");
  ASSERT_NE(src, nullptr) << "VERBAT_SOURCE_DIR is not set";
  const std::filesystem::path dir = std::filesystem::path(src) / "fuzz" / folder;
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  std::sort(inputs.begin(), inputs.end());
  ASSERT_FALSE(inputs.empty()) << "no saved inputs in " << dir;
  for (const auto& path : inputs) {
    SCOPED_TRACE(path.filename().string());
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    check(bytes.data(), bytes.size());
  }
  std::printf("replayed %zu inputs from %s\n", inputs.size(), folder);
}

TEST(InputFuzzRegression, SavedWavInputsKeepTheirPromises) {
  Replay("corpus-wav", wav_fuzz::CheckInput);
}

TEST(InputFuzzRegression, SavedMp3InputsKeepTheirPromises) {
  Replay("corpus-mp3", mp3_fuzz::CheckInput);
}

TEST(InputFuzzRegression, SavedVorbisInputsKeepTheirPromises) {
  Replay("corpus-vorbis", vorbis_fuzz::CheckInput);
}

}  // namespace
