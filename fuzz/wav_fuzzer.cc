// libFuzzer entry point for the WAV input (media::InputWav): a whole file, opened and played.
#include <cstddef>
#include <cstdint>

#include "fuzz/wav_fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  wav_fuzz::CheckInput(data, size);
  return 0;
}
