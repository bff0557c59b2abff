// The Layer III inverse MDCT: 18 frequency lines of one subband become 36 windowed time
// samples (long blocks, window types 0, 1 and 3) or three overlapping 12-sample short
// transforms (window type 2).
#pragma once

namespace mpeg {

// Long block: in[18] -> out[36], windowed with window type 0, 1 or 3.
void ImdctLong(const float in[18], int block_type, float out[36]);
// Short blocks: in[3][6] (three windows of six lines) -> out[36], windowed and overlapped.
void ImdctShort(const float in[18], float out[36]);

// Four adjacent long-block subbands sb..sb+3 (sb even) at once, with overlap-add and
// frequency inversion: in holds their 4 x 18 lines, block_types their window types. Row t
// of `overlap` and `out` (rows of 32 floats, pointing at column sb) receives time sample t;
// out = first half + overlap, overlap = second half, odd subbands' odd samples negated.
void ImdctLongFour(const float* in, const int block_types[4], float* overlap, float* out);

// The window of a block type (0 normal, 1 start, 2 short, 3 stop): for type 2 the 12-sample
// short window, else 36 samples.
const float* ImdctWindow(int block_type);

}  // namespace mpeg
