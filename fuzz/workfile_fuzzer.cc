// libFuzzer entry point for the recorder's work file and its reading back by the WAV input.
#include <cstddef>
#include <cstdint>

#include "fuzz/workfile_fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  workfile_fuzz::CheckInput(data, size);
  return 0;
}
