// libFuzzer entry point for the MP3 input (media::InputMP3): a whole file, opened and played.
#include <cstddef>
#include <cstdint>

#include "fuzz/mp3_fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mp3_fuzz::CheckInput(data, size);
  return 0;
}
