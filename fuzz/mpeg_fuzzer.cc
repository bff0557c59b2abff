// libFuzzer entry point for the MPEG audio decoder.
#include <cstddef>
#include <cstdint>

#include "fuzz/mpeg_fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mpeg_fuzz::DecodeInput(data, size);
  return 0;
}
