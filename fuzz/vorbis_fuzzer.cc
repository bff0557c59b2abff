// libFuzzer entry point for the Ogg Vorbis input (media::InputVorbis): a whole file, opened and
// played. Every Ogg page carries a checksum, so nearly every mutation would only make the page
// unreadable; the mutator puts the checksums right again after most mutations, so that changed
// pages reach the Vorbis decoding.
#include <cstddef>
#include <cstdint>

#include "fuzz/vorbis_fuzz_harness.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size,
                                          unsigned int seed) {
  size = LLVMFuzzerMutate(data, size, max_size);
  if (seed % 8 != 0) vorbis_fuzz::FixPageChecksums(data, size);
  return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vorbis_fuzz::CheckInput(data, size);
  return 0;
}
