// A seam for tests: the decoder normally never decodes the top subband (see BeginDecoding).
// Tests that measure how much that limit costs against a reference lift it here.
#pragma once

#include <cstdint>

namespace mpeg::testing {

// From the next BeginDecoding on, decode `subbands` (1..32) subbands whatever the options say;
// 0 returns to the limit the options give.
void OverrideSubbandLimit(int32_t subbands);

}  // namespace mpeg::testing
