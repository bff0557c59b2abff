// Replays the work-file fuzz target's saved inputs (fuzz/corpus-workfile/) through its checks:
// the recorder's formats, partial frames, writes cut short by a file size limit, nonsense
// formats, and the inputs that once broke a promise.
#include <gtest/gtest.h>

#include "fuzz/workfile_fuzz_harness.h"
#include "tests/support/saved_inputs.h"

namespace {

// A format made from nonsense channels and bits must not overflow on the way (here at compile
// time, where an overflow is an error).
static_assert(platform::MakePcmFormat(65535, 8000, 65535).block_align ==
              static_cast<uint16_t>(65535u * 65535u / 8));

TEST(WorkFileFuzzRegression, SavedInputsKeepTheirPromises) {
  verbat::test::ReplaySavedInputs("corpus-workfile", workfile_fuzz::CheckInput);
}

}  // namespace
