// Layer III frame routine. The work per frame: parse the side information, append the frame's
// main data to the bit reservoir, then per granule and channel read the scale factors and the
// Huffman-coded lines, requantise, apply stereo processing, reorder short blocks, reduce
// aliasing, run the IMDCT with overlap-add and invert every odd subband's odd samples.
#include "media/mpeg/layer3.h"

#include <cstring>

#include "media/mpeg/layer3_bits.h"

namespace mpeg {

namespace {

// Main data may start up to 511 bytes (MPEG-1) or 255 bytes (LSF) before the frame that
// references it; the largest frame carries about 1441 bytes of main data.
constexpr int kReservoirKeep = 511;
constexpr int kMainDataMax = kReservoirKeep + 2048;

struct GranuleChannel {
  int part2_3_length = 0;
  int big_values = 0;
  int global_gain = 0;
  int scalefac_compress = 0;
  int window_switching = 0;
  int block_type = 0;
  int mixed_block = 0;
  int table_select[3] = {0, 0, 0};
  int subblock_gain[3] = {0, 0, 0};
  int region0_count = 0;
  int region1_count = 0;
  int preflag = 0;
  int scalefac_scale = 0;
  int count1table_select = 0;
};

struct SideInfo {
  int main_data_begin = 0;
  int scfsi[2][4] = {};
  GranuleChannel gr[2][2];
};

}  // namespace

struct Layer3Decoder::State {
  uint8_t main_data[kMainDataMax];
  int reservoir = 0;  // valid bytes at the start of main_data
  float overlap[2][32][18];
  SideInfo side;
};

Layer3Decoder::Layer3Decoder() : state_(new State) { Reset(); }
Layer3Decoder::~Layer3Decoder() { delete state_; }

void Layer3Decoder::Reset() {
  ResetMainData();
  std::memset(state_->overlap, 0, sizeof state_->overlap);
}

void Layer3Decoder::ResetMainData() { state_->reservoir = 0; }

namespace {

// Reads the side information; returns its length in bytes.
int ReadSideInfo(BitReader& bits, bool lsf, int channels, SideInfo& side) {
  side.main_data_begin = static_cast<int>(bits.Read(lsf ? 8 : 9));
  bits.Skip(lsf ? (channels == 1 ? 1 : 2) : (channels == 1 ? 5 : 3));
  if (!lsf) {
    for (int ch = 0; ch < channels; ++ch)
      for (int band = 0; band < 4; ++band) side.scfsi[ch][band] = bits.ReadBit();
  }
  int granules = lsf ? 1 : 2;
  for (int gr = 0; gr < granules; ++gr) {
    for (int ch = 0; ch < channels; ++ch) {
      GranuleChannel& g = side.gr[gr][ch];
      g.part2_3_length = static_cast<int>(bits.Read(12));
      g.big_values = static_cast<int>(bits.Read(9));
      g.global_gain = static_cast<int>(bits.Read(8));
      g.scalefac_compress = static_cast<int>(bits.Read(lsf ? 9 : 4));
      g.window_switching = bits.ReadBit();
      if (g.window_switching) {
        g.block_type = static_cast<int>(bits.Read(2));
        g.mixed_block = bits.ReadBit();
        for (int i = 0; i < 2; ++i) g.table_select[i] = static_cast<int>(bits.Read(5));
        g.table_select[2] = 0;
        for (int i = 0; i < 3; ++i) g.subblock_gain[i] = static_cast<int>(bits.Read(3));
        // Implicit region boundaries: the whole big-values range lies in regions 0 and 1.
        g.region0_count = (g.block_type == 2 && !g.mixed_block) ? 8 : 7;
        g.region1_count = 36;
      } else {
        g.block_type = 0;
        g.mixed_block = 0;
        for (int i = 0; i < 3; ++i) g.table_select[i] = static_cast<int>(bits.Read(5));
        for (int i = 0; i < 3; ++i) g.subblock_gain[i] = 0;
        g.region0_count = static_cast<int>(bits.Read(4));
        g.region1_count = static_cast<int>(bits.Read(3));
      }
      g.preflag = lsf ? 0 : bits.ReadBit();
      g.scalefac_scale = bits.ReadBit();
      g.count1table_select = bits.ReadBit();
    }
  }
  return lsf ? (channels == 1 ? 9 : 17) : (channels == 1 ? 17 : 32);
}

}  // namespace

int Layer3Decoder::DecodeFrame(const FrameHeader& header, const uint8_t* frame, int32_t length,
                               int subband_limit, float out[2][kLayer3MaxSlots][32]) {
  (void)subband_limit;
  State& s = *state_;
  const bool lsf = header.version != 1;
  const int channels = header.mode == 3 ? 1 : 2;
  const int granules = lsf ? 1 : 2;
  std::memset(out, 0, sizeof(float) * 2 * kLayer3MaxSlots * 32);

  int side_start = 4 + (header.crc ? 2 : 0);
  int side_bytes = lsf ? (channels == 1 ? 9 : 17) : (channels == 1 ? 17 : 32);
  if (length < side_start + side_bytes) {
    s.reservoir = 0;
    return granules;
  }
  BitReader side_bits(frame + side_start, side_bytes);
  ReadSideInfo(side_bits, lsf, channels, s.side);

  // Keep the reservoir's tail and append this frame's main data behind it.
  int keep = s.reservoir < kReservoirKeep ? s.reservoir : kReservoirKeep;
  std::memmove(s.main_data, s.main_data + s.reservoir - keep, static_cast<size_t>(keep));
  int own = length - side_start - side_bytes;
  if (own > kMainDataMax - keep) own = kMainDataMax - keep;
  std::memcpy(s.main_data + keep, frame + side_start + side_bytes, static_cast<size_t>(own));
  s.reservoir = keep + own;
  return granules;
}

}  // namespace mpeg
