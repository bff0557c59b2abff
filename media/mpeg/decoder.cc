// The process-wide decoder: header parsing, the stream's sizes, and the frame dispatch. A frame
// routine (Layer I, II or III) turns a frame into subband samples; the shared synthesis
// filterbank turns those into interleaved 16-bit PCM, which is then reduced to one channel or
// to 8 bits when the options ask for it.
#include "media/mpeg/decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "media/mpeg/decoder_testing.h"
#include "media/mpeg/layer12.h"
#include "media/mpeg/layer3.h"
#include "media/mpeg/synthesis.h"

namespace mpeg {

namespace {

// Bit rates in kbit/s by [MPEG-1 or not][layer - 1][index]; MPEG-2.5 uses the MPEG-2 row.
constexpr int32_t kBitrates[2][3][16] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}},
};

// Sampling frequencies in Hz by [version - 1][index].
constexpr int32_t kFrequencies[3][3] = {
    {44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};

constexpr int kStreamInfoMinBytes = 156;

enum class Routine { kNone, kSuspended, kLayer1, kLayer2, kLayer3 };

// Everything the decoder keeps between calls. One stream at a time.
struct Decoder {
  DecoderOptions options;
  int32_t last_error = kErrorNone;
  Routine routine = Routine::kNone;
  StreamInfo stream;           // the stream being decoded (BeginDecoding)
  int32_t frequency = 0;       // unshifted sampling frequency of the stream
  int32_t output_size = 0;     // PCM bytes per frame
  int32_t subband_limit = 32;  // subbands decoded
  int32_t subband_override = 0;  // tests only: subbands to decode instead of the options' limit
  int32_t out_channels = 2;    // channels written
  int32_t out_bits = 16;       // bits per sample written
  int32_t reduction = 0;
  int32_t samples = 0;         // sample frames per frame, after reduction
  SynthesisFilter synthesis[2];
  Layer3Decoder layer3;
  alignas(16) float subbands[2][kLayer3MaxSlots][32];
  int16_t pcm[2 * 1152];       // one frame of 16-bit PCM before conversion
};

Decoder& State() {
  static Decoder decoder;
  return decoder;
}

int32_t Fail(int32_t code) {
  State().last_error = code;
  return 0;
}

int32_t BitrateKbps(const FrameHeader& h) {
  return kBitrates[h.version == 1 ? 0 : 1][h.layer - 1][h.bitrate_index];
}

int32_t FrequencyHz(const FrameHeader& h) { return kFrequencies[h.version - 1][h.frequency_index]; }

// Decodes the four header bytes; sets the last error and returns false when they are not a
// header this decoder can use.
bool ParseHeader(const uint8_t* b, FrameHeader* h) {
  if (b[0] != 0xFF) return Fail(kErrorBadSync);
  if (b[1] >= 0xF0) {
    h->version = (b[1] & 0x08) ? 1 : 2;
  } else if ((b[1] & 0xF0) == 0xE0) {
    h->version = 3;
  } else {
    return Fail(kErrorBadSync);
  }
  h->layer = 4 - ((b[1] >> 1) & 3);
  h->crc = (b[1] & 1) ? 0 : 1;
  h->bitrate_index = b[2] >> 4;
  h->frequency_index = (b[2] >> 2) & 3;
  h->padding = (b[2] >> 1) & 1;
  h->private_bit = b[2] & 1;
  h->mode = b[3] >> 6;
  h->mode_extension = (b[3] >> 4) & 3;
  h->copyright = (b[3] >> 3) & 1;
  h->original = (b[3] >> 2) & 1;
  h->emphasis = b[3] & 3;
  if (h->layer == 4 || h->frequency_index == 3 || h->bitrate_index == 0 ||
      h->bitrate_index == 15)
    return Fail(kErrorInvalidField);
  return true;
}

int32_t BigEndian32(const uint8_t* p) {
  return static_cast<int32_t>((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
                              (uint32_t{p[2]} << 8) | uint32_t{p[3]});
}

// Samples per frame before reduction.
int32_t SamplesPerFrame(const FrameHeader& h) {
  if (h.layer == 1) return 384;
  if (h.layer == 2) return 1152;
  return h.version == 1 ? 1152 : 576;
}

// Length in bytes of the frame `h` heads, at sampling frequency f.
int32_t FrameLength(const FrameHeader& h, int32_t bitrate, int32_t f) {
  const int64_t br = bitrate;
  if (h.layer == 1) return static_cast<int32_t>((h.padding + br * 12 / f) * 4);
  if (h.layer == 2 || h.version == 1) return static_cast<int32_t>(h.padding + br * 144 / f);
  return static_cast<int32_t>(br * 144 / f / 2 + h.padding);
}

int32_t OutputChannels(const FrameHeader& h, const DecoderOptions& o) {
  return (h.mode == 3 || (o.convert & 3) != 0) ? 1 : 2;
}

int32_t OutputBits(const DecoderOptions& o) { return (o.convert & 8) ? 8 : 16; }

Routine RoutineFor(int32_t layer) {
  switch (layer) {
    case 1: return Routine::kLayer1;
    case 2: return Routine::kLayer2;
    case 3: return Routine::kLayer3;
    default: return Routine::kNone;
  }
}

// Runs the stream's frame routine over one frame and writes `output_size` bytes at `out`.
void DecodeFrame(Decoder& d, const FrameHeader& h, int32_t bitrate, const uint8_t* frame,
                 int32_t length, uint8_t* out) {
  const int frame_channels = h.mode == 3 ? 1 : 2;
  int slots = 0;
  // A frame of another layer or with another number of samples than the stream's would not
  // fit the stream's output size: it plays as silence.
  const bool fits = RoutineFor(h.layer) == d.routine &&
                    (SamplesPerFrame(h) >> d.reduction) == d.samples;
  if (fits) {
    switch (d.routine) {
      case Routine::kLayer1:
        slots = DecodeLayer1Frame(h, frame, length, d.subband_limit, d.subbands);
        break;
      case Routine::kLayer2:
        slots = DecodeLayer2Frame(h, bitrate, FrequencyHz(h), frame, length, d.subband_limit,
                                  d.subbands);
        break;
      case Routine::kLayer3:
        slots = d.layer3.DecodeFrame(h, frame, length, d.subband_limit, d.subbands) * 18;
        break;
      default:
        break;
    }
  }
  const int expected = d.samples / (32 >> d.reduction);
  if (slots != expected) {
    for (int ch = 0; ch < 2; ++ch) std::memset(d.subbands[ch], 0, sizeof d.subbands[ch]);
    slots = expected;
  } else if (d.out_channels == 1 && frame_channels == 2) {
    // One output channel from two: the mean, formed before the (linear) synthesis.
    for (int t = 0; t < slots; ++t)
      for (int sb = 0; sb < 32; ++sb)
        d.subbands[0][t][sb] = 0.5f * (d.subbands[0][t][sb] + d.subbands[1][t][sb]);
  } else if (d.out_channels == 2 && frame_channels == 1) {
    // A single-channel frame inside a two-channel stream feeds both channels, so that the
    // second channel's filterbank stays continuous for the next two-channel frame.
    std::memcpy(d.subbands[1], d.subbands[0], sizeof d.subbands[1]);
  }

  const int per_slot = 32 >> d.reduction;
  for (int ch = 0; ch < d.out_channels; ++ch)
    for (int t = 0; t < slots; ++t)
      d.synthesis[ch].Synthesize(d.subbands[ch][t], d.reduction,
                                 d.pcm + (t * per_slot) * d.out_channels + ch, d.out_channels);

  // Never more than the remembered output size, which is what the caller made room for; if a
  // later ReadStreamInfo remembered a larger one, the rest is silence.
  const int bytes_per_value = d.out_bits / 8;
  const int values = std::min(d.samples * d.out_channels, d.output_size / bytes_per_value);
  if (values * bytes_per_value < d.output_size) {
    std::memset(out + values * bytes_per_value, d.out_bits == 16 ? 0 : 128,
                static_cast<size_t>(d.output_size - values * bytes_per_value));
  }
  if (d.out_bits == 16) {
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(out, d.pcm, static_cast<size_t>(values) * 2);
    } else {
      for (int i = 0; i < values; ++i) {
        const auto u = static_cast<uint16_t>(d.pcm[i]);
        out[2 * i] = static_cast<uint8_t>(u & 0xFF);
        out[2 * i + 1] = static_cast<uint8_t>(u >> 8);
      }
    }
  } else {
    // 8-bit PCM is unsigned with its zero at 128.
    for (int i = 0; i < values; ++i) out[i] = static_cast<uint8_t>((d.pcm[i] >> 8) + 128);
  }
}

}  // namespace

void DecoderInit() {
  Decoder& d = State();
  d.options = DecoderOptions{};
  d.last_error = kErrorNone;
}

int32_t DecoderLastError() { return State().last_error; }

int32_t FindSyncWord(const uint8_t* bytes, int32_t count, int32_t* offset) {
  if (bytes == nullptr || count < 4) return Fail(kErrorNeedMoreData);
  for (int32_t i = 0; i <= count - 4; ++i) {
    if (bytes[i] == 0xFF && (bytes[i + 1] >= 0xF0 || (bytes[i + 1] & 0xF0) == 0xE0)) {
      if (offset) *offset = i;
      return 1;
    }
  }
  return Fail(kErrorNeedMoreData);
}

int32_t ReadStreamInfo(const uint8_t* bytes, int32_t count, StreamInfo* info) {
  Decoder& d = State();
  if (bytes == nullptr || count < kStreamInfoMinBytes) return Fail(kErrorNeedMoreData);
  StreamInfo s;
  if (!ParseHeader(bytes, &s.header)) return 0;
  const FrameHeader& h = s.header;

  int tag = h.crc ? 6 : 4;
  if (h.layer == 3) {
    if (h.version == 1)
      tag += h.mode == 3 ? 17 : 32;
    else
      tag += h.mode == 3 ? 9 : 17;
  }
  const int32_t f = FrequencyHz(h);
  const int32_t br = BitrateKbps(h) * 1000;
  // Encoders write the same header as "Info" into the first frame of a constant-bit-rate
  // stream: that frame carries no audio either, and its frame count is as good.
  const bool xing =
      std::memcmp(bytes + tag, "Xing", 4) == 0 || std::memcmp(bytes + tag, "Info", 4) == 0;
  int32_t min_br = 0, max_br = 0;
  if (xing) {
    const int32_t flags = BigEndian32(bytes + tag + 4);
    if ((flags & 3) == 0) return Fail(kErrorInvalidField);
    s.frames = BigEndian32(bytes + tag + 8);
    s.data_size = BigEndian32(bytes + tag + 12);
    const int32_t* row = kBitrates[h.version == 1 ? 0 : 1][h.layer - 1];
    min_br = *std::min_element(row + 1, row + 15) * 1000;
    max_br = *std::max_element(row + 1, row + 15) * 1000;
  }

  const int64_t p = h.padding;
  int32_t samples = SamplesPerFrame(h);
  if (h.layer == 1) {
    if (xing) {
      s.skip_size = static_cast<int32_t>((p + int64_t{br} * 12 / f) * 4);
      s.min_input_size = static_cast<int32_t>((int64_t{min_br} * 12 / f) * 4);
      s.max_input_size = static_cast<int32_t>((int64_t{max_br} * 12 / f) * 4 + 4);
    } else {
      s.min_input_size = static_cast<int32_t>((int64_t{br} * 12 / f) * 4);
      s.max_input_size = s.min_input_size + 4;
    }
  } else {
    const int64_t g = (h.layer == 3 && h.version != 1) ? 2 : 1;
    if (xing) {
      s.skip_size = static_cast<int32_t>(p + int64_t{br} * 144 / f / g);
      s.min_input_size = static_cast<int32_t>(int64_t{min_br} * 144 / f / g);
      s.max_input_size = static_cast<int32_t>(int64_t{max_br} * 144 / f / g + 1);
    } else {
      s.min_input_size = static_cast<int32_t>(int64_t{br} * 144 / f / g);
      s.max_input_size = s.min_input_size + 1;
    }
  }
  samples >>= d.options.reduction;
  s.channels = OutputChannels(h, d.options);
  s.bits_per_sample = OutputBits(d.options);
  s.output_size = samples * s.channels * s.bits_per_sample / 8;
  s.frequency = f >> d.options.reduction;
  s.bitrate = xing ? 0 : br;

  d.frequency = f;
  d.output_size = s.output_size;
  if (info) *info = s;
  return 1;
}

int32_t BeginDecoding(const uint8_t* bytes, int32_t count) {
  Decoder& d = State();
  StreamInfo s;
  if (!ReadStreamInfo(bytes, count, &s)) return 0;
  d.stream = s;
  d.reduction = d.options.reduction;
  d.samples = SamplesPerFrame(s.header) >> d.reduction;
  d.out_channels = s.channels;
  d.out_bits = s.bits_per_sample;

  // Subbands decoded: as many as lie below the frequency limit, rounded, but never the top
  // one of a full-width filterbank.
  const int64_t f = d.frequency;
  int64_t limit = (int64_t{d.options.frequency_limit} * 64 + f / 2) / f;
  int64_t cap = 32 >> d.reduction;
  if (cap > 8) --cap;
  limit = std::clamp<int64_t>(limit, 0, std::min<int64_t>(cap, 32));
  d.subband_limit = static_cast<int32_t>(limit);
  if (d.subband_override > 0) d.subband_limit = std::min(d.subband_override, 32 >> d.reduction);

  for (SynthesisFilter& filter : d.synthesis) filter.Reset();
  d.layer3.Reset();
  d.routine = RoutineFor(s.header.layer);
  return 1;
}

int32_t DecodeOneFrame(FrameJob* job) {
  Decoder& d = State();
  if (job == nullptr || job->input == nullptr || job->input_size <= 4)
    return Fail(kErrorNeedMoreData);
  FrameHeader h;
  if (!ParseHeader(job->input, &h)) return 0;
  job->header = h;
  job->bitrate = BitrateKbps(h) * 1000;
  // Before any stream is begun there is no remembered frequency; the frame's own one sizes it.
  const int32_t f = d.frequency > 0 ? d.frequency : FrequencyHz(h);
  const int32_t length = FrameLength(h, job->bitrate, f);
  if (job->input_size < length) return Fail(kErrorNeedMoreData);

  if (d.routine != Routine::kNone && d.routine != Routine::kSuspended && job->output != nullptr)
    DecodeFrame(d, h, job->bitrate, job->input, length, job->output);
  job->input_size = length;
  job->output_size = d.routine == Routine::kNone ? 0 : d.output_size;
  return 1;
}

void SuspendSynthesis(FrameJob* /*job*/) {
  Decoder& d = State();
  if (d.routine != Routine::kNone) d.routine = Routine::kSuspended;
}

void ResumeSynthesis(FrameJob* job) {
  Decoder& d = State();
  int32_t layer = job ? job->header.layer : 0;
  if (layer < 1 || layer > 3) layer = d.stream.header.layer;
  d.routine = RoutineFor(layer);
  if (d.routine == Routine::kLayer3) d.layer3.ResetMainData();
}

void GetDecoderOptions(DecoderOptions* options) {
  if (options) *options = State().options;
}

void SetDecoderOptions(const DecoderOptions* options) {
  if (!options) return;
  DecoderOptions o = *options;
  // Reduction beyond a quarter rate has no filterbank; out-of-range values would make the
  // shifts undefined.
  o.reduction = std::clamp<int32_t>(o.reduction, 0, 2);
  if (o.frequency_limit < 0) o.frequency_limit = 0;
  State().options = o;
}

namespace testing {

void OverrideSubbandLimit(int32_t subbands) {
  State().subband_override = std::clamp(subbands, 0, 32);
}

}  // namespace testing

}  // namespace mpeg
