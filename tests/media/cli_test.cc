// verbat-cli run as a program: decode reproduces a WAV file's data chunk, keeps the pitch when
// asked, info reports the format, and wrong input gets a message and a failing exit code.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>

#include "tests/media/wav_file.h"
#include "tests/support/sound_server.h"

namespace {

using media_test::Pattern;
using media_test::ReadAll;
using media_test::TempFile;
using media_test::WavBuilder;

struct CliRun {
  int status = -1;
  std::string output;  // stdout and stderr
};

CliRun RunCli(const std::string& args) {
  CliRun r;
  const std::string command = std::string(VERBAT_CLI) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return r;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
  const int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(VerbatCli, DecodeReproducesTheDataChunk) {
  const auto samples = Pattern(22050 * 4 * 2 + 1000);  // 2 s of 22.05 kHz stereo 16-bit, and more
  TempFile wav(WavBuilder()
                   .Chunk("LIST", std::vector<uint8_t>(9, 'n'))
                   .Fmt(2, 22050, 16, 18)
                   .Data(samples)
                   .Chunk("id3 ", Pattern(777, 5))
                   .Bytes(),
               "speech.WAV");
  const std::string raw = wav.dir() + "/out.raw";
  const CliRun r = RunCli("decode " + wav.path() + " -o " + raw);
  ASSERT_EQ(r.status, 0) << r.output;
  const auto decoded = ReadAll(raw);
  const size_t block = 22050 * 4 / 5;
  ASSERT_EQ(decoded.size(), (samples.size() + block - 1) / block * block);
  EXPECT_TRUE(std::equal(samples.begin(), samples.end(), decoded.begin()));
  EXPECT_TRUE(std::all_of(decoded.begin() + static_cast<ptrdiff_t>(samples.size()), decoded.end(),
                          [](uint8_t b) { return b == 0; }));
  EXPECT_NE(r.output.find("final position: 2 s (00:00:02), sample 44350"), std::string::npos)
      << r.output;

  const CliRun from = RunCli("decode " + wav.path() + " --from 1 --speed-divisor 16 -o " + raw);
  ASSERT_EQ(from.status, 0) << from.output;
  const auto tail = ReadAll(raw);
  ASSERT_GE(tail.size(), samples.size() - 88200);
  EXPECT_TRUE(std::equal(samples.begin() + 88200, samples.end(), tail.begin()));
}

double Rms16(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; i += 2) {
    const double x = static_cast<int16_t>(bytes[i] | bytes[i + 1] << 8);
    sum += x * x;
  }
  return std::sqrt(sum / static_cast<double>((to - from) / 2));
}

TEST(VerbatCli, DecodeThroughTheEqualizer) {
  // One second of a 1 kHz tone.
  std::vector<uint8_t> samples;
  for (int i = 0; i < 44100; ++i) {
    const double x = 8000 * std::sin(2 * std::numbers::pi * 1000 * i / 44100.0);
    media_test::PutLe16(samples, static_cast<uint16_t>(static_cast<int16_t>(std::lround(x))));
  }
  TempFile wav(WavBuilder().Fmt(1, 44100, 16).Data(samples).Bytes());
  const std::string raw = wav.dir() + "/eq.raw";
  const auto gain_db = [&](const std::string& options) {
    const CliRun r = RunCli("decode " + wav.path() + " " + options + " -o " + raw);
    EXPECT_EQ(r.status, 0) << r.output;
    const auto out = ReadAll(raw);
    if (out.size() != samples.size()) return 999.0;
    // After the filters have settled.
    return 20 * std::log10(Rms16(out, 44100, out.size()) / Rms16(samples, 44100, samples.size()));
  };
  // The 1 kHz band (the ninth) at its lowest: -15 dB at its centre.
  EXPECT_NEAR(gain_db("--eq 24,24,24,24,24,24,24,24,48,24,24,24,24,24,24"), -15, 1.0);
  // Flat bands and the master ten steps down: -10 dB.
  EXPECT_NEAR(gain_db("--master 10"), -10, 0.2);
}

// 16-bit mono samples as -1..1.
std::vector<float> Floats(const std::vector<uint8_t>& bytes) {
  std::vector<float> v(bytes.size() / 2);
  for (size_t i = 0; i < v.size(); ++i) {
    v[i] =
        static_cast<float>(static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8)) / 32768.0f;
  }
  return v;
}

TEST(VerbatCli, KeepPitchHoldsTheToneAtEverySpeedAndStretchesItsLength) {
  // Two seconds of 1 kHz at 44.1 kHz.
  std::vector<uint8_t> samples;
  for (int i = 0; i < 88200; ++i) {
    const double x = 16000 * std::sin(2 * std::numbers::pi * 1000 * i / 44100.0);
    media_test::PutLe16(samples, static_cast<uint16_t>(static_cast<int16_t>(std::lround(x))));
  }
  TempFile wav(WavBuilder().Fmt(1, 44100, 16).Data(samples).Bytes());
  const std::string raw = wav.dir() + "/tone.raw";
  for (const int divisor : {2, 4, 8, 12, 16}) {
    for (const bool keep : {true, false}) {
      SCOPED_TRACE(testing::Message()
                   << "divisor " << divisor << (keep ? ", keeping the pitch" : ""));
      const CliRun r =
          RunCli("decode " + wav.path() + " --speed-divisor " + std::to_string(divisor) +
                 (keep ? " --keep-pitch" : "") + " -o " + raw);
      ASSERT_EQ(r.status, 0) << r.output;
      const auto heard = Floats(ReadAll(raw));
      // Without the option the device rate makes the speed, and the pitch goes with it.
      const int device_rate = keep ? 44100 : 44100 * 8 / divisor;
      EXPECT_NE(r.output.find("device rate: " + std::to_string(device_rate) + " Hz"),
                std::string::npos)
          << r.output;
      const double want_hz = keep ? 1000.0 : 1000.0 * 8 / divisor;
      EXPECT_NEAR(verbat::test::DominantFrequency(heard, 0, static_cast<int64_t>(heard.size()),
                                                  device_rate),
                  want_hz, want_hz * 0.005);
      const double want_frames = keep ? 88200.0 * divisor / 8 : 88200.0;
      EXPECT_NEAR(static_cast<double>(heard.size()), want_frames, want_frames * 0.01);
      EXPECT_NE(r.output.find("final position: 2 s"), std::string::npos) << r.output;
    }
  }
}

// The median fundamental of the voiced 40 ms frames of speech: those whose normalised
// autocorrelation peaks above 0.7 at a lag of 60 to 400 Hz, the peak refined by a parabola.
double MedianF0(const std::vector<float>& x, int rate) {
  const size_t window = static_cast<size_t>(rate) * 40 / 1000;
  const size_t min_lag = static_cast<size_t>(rate) / 400;
  const size_t max_lag = static_cast<size_t>(rate) / 60;
  std::vector<double> r(max_lag + 2), f0;
  for (size_t s = 0; s + window + max_lag + 1 < x.size(); s += static_cast<size_t>(rate) / 100) {
    double energy = 0;
    for (size_t i = 0; i < window; ++i) energy += x[s + i] * x[s + i];
    if (energy < window * 0.02 * 0.02) continue;  // silence between words
    for (size_t lag = min_lag - 1; lag <= max_lag + 1; ++lag) {
      double c = 0, e = 0;
      for (size_t i = 0; i < window; ++i) {
        c += x[s + i] * x[s + i + lag];
        e += x[s + i + lag] * x[s + i + lag];
      }
      r[lag] = c / std::sqrt(energy * e + 1e-12);
    }
    size_t best = 0;
    for (size_t lag = min_lag; lag <= max_lag; ++lag) {
      if (r[lag] > 0.7 && r[lag] >= r[lag - 1] && r[lag] >= r[lag + 1] &&
          (!best || r[lag] > r[best]))
        best = lag;
    }
    if (!best) continue;
    const double shift =
        0.5 * (r[best - 1] - r[best + 1]) / (r[best - 1] - 2 * r[best] + r[best + 1]);
    f0.push_back(rate / (static_cast<double>(best) + shift));
  }
  if (f0.size() < 20) return 0;
  std::nth_element(f0.begin(), f0.begin() + static_cast<ptrdiff_t>(f0.size() / 2), f0.end());
  return f0[f0.size() / 2];
}

TEST(VerbatCli, KeepPitchKeepsTheVoiceAtHalfSpeed) {
  if (std::system("command -v espeak-ng >/dev/null 2>&1") != 0) {
    if (verbat::test::InCi()) FAIL() << "espeak-ng is not installed";
    GTEST_SKIP() << "espeak-ng is not installed (scripts/install-deps.sh puts it there)";
  }
  TempFile dir({});
  const std::string speech = dir.dir() + "/speech.wav";
  ASSERT_EQ(std::system(("espeak-ng -w " + speech +
                         " \"Every word of the recording is typed "
                         "while it plays, a few seconds at a time.\"")
                            .c_str()),
            0);
  const auto original = ReadAll(speech);
  ASSERT_GT(original.size(), 44u);
  const std::string raw = dir.dir() + "/slow.raw";
  const CliRun r = RunCli("decode " + speech + " --speed-divisor 16 --keep-pitch -o " + raw);
  ASSERT_EQ(r.status, 0) << r.output;
  // espeak-ng writes 22050 Hz mono with a 44-byte header.
  const auto before = Floats({original.begin() + 44, original.end()});
  const auto after = Floats(ReadAll(raw));
  EXPECT_NEAR(static_cast<double>(after.size()), 2.0 * before.size(), 0.01 * 2 * before.size());
  const double f0 = MedianF0(before, 22050);
  ASSERT_GT(f0, 0) << "no voiced frames in the original";
  EXPECT_NEAR(MedianF0(after, 22050), f0, f0 * 0.03);
}

TEST(VerbatCli, InfoPrintsTheFormat) {
  TempFile wav(WavBuilder().Fmt(1, 11025, 8).Data(Pattern(11025 * 3 + 7)).Bytes());
  const CliRun r = RunCli("info " + wav.path());
  ASSERT_EQ(r.status, 0) << r.output;
  for (const char* line : {"channels: 1\n", "sample rate: 11025 Hz\n", "bits: 8\n",
                           "total samples: 33082\n", "length: 3 s (00:00:03)\n"}) {
    EXPECT_NE(r.output.find(line), std::string::npos) << line << " in\n" << r.output;
  }
}

TEST(VerbatCli, WrongInputIsRefusedWithAMessage) {
  TempFile text(std::vector<uint8_t>{'h', 'i', '\n'}, "notes.txt");
  const CliRun ext = RunCli("info " + text.path());
  EXPECT_EQ(ext.status, 2);
  EXPECT_NE(ext.output.find("対象外の拡張子"), std::string::npos) << ext.output;

  TempFile bad(std::vector<uint8_t>{'h', 'i', '\n'}, "broken.wav");
  const CliRun riff = RunCli("decode " + bad.path() + " -o " + bad.dir() + "/x.raw");
  EXPECT_EQ(riff.status, 1);
  EXPECT_NE(riff.output.find("RIFF フォーマットではありません。"), std::string::npos) << riff.output;

  const CliRun eq = RunCli("decode " + bad.path() + " --eq 1,2,3 -o x.raw");
  EXPECT_EQ(eq.status, 2);
  EXPECT_NE(eq.output.find("15 個のゲイン位置"), std::string::npos) << eq.output;
}

}  // namespace
