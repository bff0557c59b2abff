// Replays the fuzz target's saved inputs (fuzz/corpus/): inputs that once crashed the decoder
// or reached paths worth keeping. The harness aborts on any broken contract (output past its
// size, a consumed length beyond the input, an undocumented error code), and the sanitizer
// builds check every memory access.
#include <gtest/gtest.h>

#include "fuzz/mpeg_fuzz_harness.h"
#include "tests/support/saved_inputs.h"

namespace {

TEST(FuzzRegression, SavedInputsDecodeWithinTheirContract) {
  verbat::test::ReplaySavedInputs("corpus", mpeg_fuzz::DecodeInput);
}

}  // namespace
