// libFuzzer entry point for reading and rewriting the settings file's text.
#include <cstddef>
#include <cstdint>

#include "fuzz/settings_fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  settings_fuzz::CheckInput(data, size);
  return 0;
}
