// verbat-cli run as a program: decode reproduces a WAV file's data chunk, info reports the
// format, and wrong input gets a message and a failing exit code.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>

#include "tests/media/wav_file.h"

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
