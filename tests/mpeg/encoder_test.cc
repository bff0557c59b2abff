// Agreement with an independent decoder on files made by real encoders at test time: signals
// from sox (a sweep, noise bursts that force short blocks, near-full-scale tones that clip) and
// speech from espeak-ng, encoded with lame (Layer III: CBR, VBR with a Xing header, MPEG-2 and
// MPEG-2.5 rates, mono and joint stereo) and twolame (Layer II), decoded by this decoder and
// by mpg123. Both produce rounded 16-bit samples, so after aligning them the difference is
// rounding: the criterion is an RMS difference of at most 0.5 LSB, no sample more than 2 LSB
// apart, and the same length. The SNR against the reference is printed as well.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "media/mpeg/decoder_testing.h"
#include "tests/mpeg/stream_decoder.h"

namespace {

namespace fs = std::filesystem;

bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

// Skips (or fails under CI) when a tool is missing.
#define REQUIRE_TOOLS(...)                                                               \
  do {                                                                                   \
    for (const char* tool : {__VA_ARGS__}) {                                             \
      if (!HaveTool(tool)) {                                                             \
        if (InCi()) FAIL() << tool << " is not installed (scripts/deps/mpeg.list)";      \
        GTEST_SKIP() << tool << " is not installed (scripts/install-deps.sh installs it)"; \
      }                                                                                  \
    }                                                                                    \
  } while (0)

bool Shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A temporary folder removed with the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "verbat-mpeg-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct Encoding {
  const char* name;
  const char* encoder;  // "lame" or "twolame"
  bool speech;          // espeak-ng speech instead of the sox signal
  int rate;
  int channels;
  const char* options;
  bool xing;            // the file starts with a Xing frame (VBR) or an Info frame (CBR)
  int version;          // the MPEG version the encoder is expected to pick
  int layer;
  // The encoder puts signal into the top subband, which the decoder never decodes: the
  // criterion applies to a decode of all 32 subbands, and the default decode is only printed.
  bool top_subband = false;
};

const Encoding kEncodings[] = {
    {"lame_cbr128_joint_44k", "lame", false, 44100, 2, "-t -b 128 -m j", false, 1, 3},
    {"lame_cbr128_info_44k", "lame", false, 44100, 2, "-b 128 -m j", true, 1, 3},
    {"lame_lsf_cbr48_info_16k_mono_speech", "lame", true, 16000, 1, "-b 48 -m m", true, 2, 3},
    {"lame_vbr_xing_44k", "lame", false, 44100, 2, "-V 2", true, 1, 3},
    {"lame_cbr64_mono_speech_48k", "lame", true, 48000, 1, "-t -b 64 -m m", false, 1, 3},
    {"lame_cbr96_stereo_32k", "lame", false, 32000, 2, "-t -b 96 -m s", false, 1, 3},
    {"lame_lsf_22k_joint", "lame", false, 22050, 2, "-t -b 64 -m j", false, 2, 3},
    {"lame_lsf_16k_mono_speech", "lame", true, 16000, 1, "-t -b 32 -m m", false, 2, 3},
    {"lame_lsf_vbr_xing_24k_speech", "lame", true, 24000, 1, "-V 4", true, 2, 3},
    {"lame_mpeg25_8k_mono_speech", "lame", true, 8000, 1, "-t -b 16 -m m", false, 3, 3, true},
    {"lame_mpeg25_11k_joint", "lame", false, 11025, 2, "-t -b 32 -m j", false, 3, 3},
    {"lame_mpeg25_12k_vbr_xing", "lame", false, 12000, 2, "-V 3", true, 3, 3},
    {"twolame_192_joint_44k", "twolame", false, 44100, 2, "-b 192 -m j", false, 1, 2},
    {"twolame_crc_128_stereo_32k", "twolame", false, 32000, 2, "-p -b 128 -m s", false, 1, 2},
    {"twolame_mono_speech_48k", "twolame", true, 48000, 1, "-b 64 -m m", false, 1, 2},
    {"twolame_lsf_16k_stereo", "twolame", false, 16000, 2, "-b 64 -m s", false, 2, 2},
    {"twolame_lsf_22k_mono_speech", "twolame", true, 22050, 1, "-b 48 -m m", false, 2, 2},
};

void PrintTo(const Encoding& e, std::ostream* os) { *os << e.name; }

// The sox signal at `rate` and `channels`: a sweep at -6 dB up to nearly the Nyquist
// frequency, white-noise bursts between silences, and two loud tones that clip.
bool MakeSignal(const fs::path& dir, int rate, int channels, const fs::path& out) {
  const std::string r = " -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " ";
  const std::string top = std::to_string(rate * 45 / 100);
  const fs::path sweep = dir / "sweep.wav", bursts = dir / "bursts.wav", loud = dir / "loud.wav";
  return Shell("sox -n" + r + sweep.string() + " synth 1.5 sine 40-" + top + " gain -6") &&
         Shell("sox -n" + r + bursts.string() +
             " synth 0.2 whitenoise synth 0.2 sine amod 5 100 gain -8 repeat 3") &&
         Shell("sox -n" + r + loud.string() + " synth 0.6 sine 440 sine 660 gain -0.2") &&
         Shell("sox " + sweep.string() + " " + bursts.string() + " " + loud.string() + " " +
             out.string());
}

bool MakeSpeech(const fs::path& dir, int rate, int channels, const fs::path& out) {
  const fs::path raw = dir / "speech_raw.wav";
  return Shell("espeak-ng -v en -s 150 -w " + raw.string() +
             " 'The recording starts here. Stop, step back three seconds, and play the last "
             "words again.'") &&
         Shell("sox " + raw.string() + " -r " + std::to_string(rate) + " -c " +
             std::to_string(channels) + " " + out.string());
}

struct Agreement {
  long lag = 0;            // sample frames our output is behind the reference's
  double rms_lsb = 0;
  double max_lsb = 0;
  double snr_db = 0;
  size_t compared = 0;
};

// Aligns `ours` with `ref` (both interleaved, `channels` per frame) within one frame of
// samples, then measures the difference over the overlap.
Agreement Compare(const std::vector<int16_t>& ours, const std::vector<int16_t>& ref,
                  int channels) {
  Agreement best;
  double best_err = -1;
  const long frames_ours = static_cast<long>(ours.size()) / channels;
  const long frames_ref = static_cast<long>(ref.size()) / channels;
  for (long lag = -1152; lag <= 1152; ++lag) {
    double err = 0;
    long n = 0;
    for (long i = 0; i < 16384 && i < frames_ref; ++i) {
      const long j = i + lag;
      if (j < 0 || j >= frames_ours) continue;
      const double d = ours[static_cast<size_t>(j * channels)] - ref[static_cast<size_t>(i * channels)];
      err += d * d;
      ++n;
    }
    if (n < 1024) continue;
    err /= static_cast<double>(n);
    if (best_err < 0 || err < best_err) {
      best_err = err;
      best.lag = lag;
    }
  }
  double sum = 0, signal = 0, max = 0;
  size_t n = 0;
  for (long i = 0; i < frames_ref; ++i) {
    const long j = i + best.lag;
    if (j < 0 || j >= frames_ours) continue;
    for (int c = 0; c < channels; ++c) {
      const double r = ref[static_cast<size_t>(i * channels + c)];
      const double d = ours[static_cast<size_t>(j * channels + c)] - r;
      sum += d * d;
      signal += r * r;
      max = std::max(max, std::fabs(d));
      ++n;
    }
  }
  best.compared = n;
  if (n) best.rms_lsb = std::sqrt(sum / static_cast<double>(n));
  best.max_lsb = max;
  best.snr_db = sum > 0 ? 10 * std::log10(signal / sum) : 999.0;
  return best;
}

class EncoderAgreement : public ::testing::TestWithParam<Encoding> {};

TEST_P(EncoderAgreement, MatchesTheReferenceDecoder) {
  const Encoding& e = GetParam();
  REQUIRE_TOOLS("sox", "mpg123", e.encoder);
  if (e.speech) REQUIRE_TOOLS("espeak-ng");
  TempDir dir;
  ASSERT_FALSE(dir.path().empty()) << "cannot make a temporary folder";
  const fs::path wav = dir.path() / "input.wav";
  const fs::path encoded = dir.path() / (std::string(e.name) + (e.layer == 2 ? ".mp2" : ".mp3"));
  const fs::path ref_raw = dir.path() / "reference.raw";
  ASSERT_TRUE(e.speech ? MakeSpeech(dir.path(), e.rate, e.channels, wav)
                       : MakeSignal(dir.path(), e.rate, e.channels, wav))
      << "sox/espeak-ng failed";
  ASSERT_TRUE(Shell(std::string(e.encoder) + " --quiet " + e.options + " " + wav.string() + " " +
                  encoded.string()))
      << e.encoder << " failed";
  ASSERT_TRUE(Shell("mpg123 -q --no-gapless -O " + ref_raw.string() + " " + encoded.string()))
      << "mpg123 failed";

  const std::vector<uint8_t> bits = mpeg_test::ReadFile(encoded);
  const std::vector<int16_t> ref = mpeg_test::ReadS16(ref_raw);
  ASSERT_FALSE(ref.empty());
  const mpeg_test::Decoded d = mpeg_test::DecodeStream(bits);
  ASSERT_TRUE(d.began) << "BeginDecoding failed with error " << d.begin_error;
  EXPECT_EQ(d.info.header.version, e.version);
  EXPECT_EQ(d.info.header.layer, e.layer);
  EXPECT_EQ(d.info.frequency, e.rate);
  ASSERT_EQ(d.info.channels, e.channels);
  EXPECT_EQ(d.resyncs, 0);
  if (e.xing) {
    EXPECT_EQ(d.info.bitrate, 0);
    EXPECT_GT(d.info.skip_size, 0);
    EXPECT_EQ(d.info.frames, d.frames) << "the Xing frame count";
    EXPECT_GT(d.info.data_size, 0);
    EXPECT_LE(d.info.data_size, static_cast<int32_t>(bits.size()));
  } else {
    EXPECT_EQ(d.info.skip_size, 0);
  }

  const Agreement by_default = Compare(d.pcm, ref, e.channels);
  std::printf("%-30s lag %ld, RMS %.3f LSB, max %.0f LSB, SNR %.1f dB over %zu samples\n",
              e.name, by_default.lag, by_default.rms_lsb, by_default.max_lsb, by_default.snr_db,
              by_default.compared);
  Agreement a = by_default;
  if (e.top_subband) {
    mpeg::testing::OverrideSubbandLimit(32);
    const mpeg_test::Decoded d32 = mpeg_test::DecodeStream(bits);
    mpeg::testing::OverrideSubbandLimit(0);
    a = Compare(d32.pcm, ref, e.channels);
    std::printf("%-30s with subband 31: lag %ld, RMS %.3f LSB, max %.0f LSB, SNR %.1f dB\n",
                e.name, a.lag, a.rms_lsb, a.max_lsb, a.snr_db);
    EXPECT_GT(by_default.rms_lsb, a.rms_lsb) << "the top subband should explain the difference";
  }
  EXPECT_EQ(a.lag, 0);
  EXPECT_EQ(d.pcm.size(), ref.size());
  EXPECT_LE(a.rms_lsb, 0.5);
  EXPECT_LE(a.max_lsb, 2.0);
}

INSTANTIATE_TEST_SUITE_P(Files, EncoderAgreement, ::testing::ValuesIn(kEncodings),
                         [](const ::testing::TestParamInfo<Encoding>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace
