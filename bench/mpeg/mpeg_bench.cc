// Speed of the MPEG audio decoder on a 10-minute 128 kbit/s joint-stereo Layer III file at
// 44100 Hz, decoded to memory, as a multiple of real time on one core, and side by side with
// mpg123 (-t: decode without output) and ffmpeg (to its null muxer) on the same file in the
// same run. The file is made at the first run with sox (sweeps and pink noise) and lame, in a
// temporary folder. Times are CPU times, so that other work on the machine does not skew them.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/cpu_time.h"
#include "media/mpeg/decoder.h"

namespace {

namespace fs = std::filesystem;

constexpr double kSeconds = 600.0;

using bench::ChildrenCpuSeconds;
using bench::ThreadCpuSeconds;

void RemoveTestFile();

// The benchmark file, made once per process (and removed at exit); empty when sox or lame are
// missing.
const fs::path& TestFile() {
  static const fs::path path = [] {
    std::string dir = (fs::temp_directory_path() / "verbat-mpeg-bench-XXXXXX").string();
    if (!mkdtemp(dir.data())) return fs::path();
    const fs::path wav = fs::path(dir) / "input.wav", mp3 = fs::path(dir) / "input.mp3";
    const std::string make =
        "sox -n -r 44100 -c 2 " + wav.string() +
        " synth 600 sine 50-10000 sine 80-12000 synth 600 pinknoise mix gain -6 2>/dev/null";
    const std::string encode = "lame --quiet -t -b 128 -m j " + wav.string() + " " + mp3.string();
    if (std::system(make.c_str()) != 0 || std::system(encode.c_str()) != 0) return fs::path();
    fs::remove(wav);
    std::atexit(RemoveTestFile);
    return mp3;
  }();
  return path;
}

void RemoveTestFile() {
  const fs::path& path = TestFile();
  std::error_code ec;
  if (!path.empty()) fs::remove_all(path.parent_path(), ec);
}

std::vector<uint8_t> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Decodes the whole stream into `pcm`; returns the sample frames written.
size_t DecodeAll(const std::vector<uint8_t>& bits, std::vector<uint8_t>& pcm) {
  mpeg::DecoderInit();
  const auto size = static_cast<int32_t>(bits.size());
  mpeg::StreamInfo info;
  if (!mpeg::ReadStreamInfo(bits.data(), size, &info) || !mpeg::BeginDecoding(bits.data(), size))
    return 0;
  int32_t pos = 0;
  size_t written = 0;
  while (pos < size && written + static_cast<size_t>(info.output_size) <= pcm.size()) {
    mpeg::FrameJob job;
    job.input = bits.data() + pos;
    job.input_size = size - pos;
    job.output = pcm.data() + written;
    if (!mpeg::DecodeOneFrame(&job)) break;
    pos += job.input_size;
    written += static_cast<size_t>(job.output_size);
  }
  return written / 4;
}

void BM_DecodeTenMinutes(benchmark::State& state) {
  const fs::path& file = TestFile();
  if (file.empty()) {
    state.SkipWithError("sox and lame are needed to make the benchmark file");
    return;
  }
  const std::vector<uint8_t> bits = ReadAll(file);
  std::vector<uint8_t> pcm(static_cast<size_t>((kSeconds + 1) * 44100 * 4));
  double cpu = 0;
  size_t frames = 0;
  for (auto _ : state) {
    const double t0 = ThreadCpuSeconds();
    frames = DecodeAll(bits, pcm);
    cpu += ThreadCpuSeconds() - t0;
    benchmark::DoNotOptimize(pcm.data());
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["decoded_s"] = static_cast<double>(frames) / 44100.0;
  state.counters["x_realtime"] = static_cast<double>(frames) / 44100.0 * n / cpu;
}
BENCHMARK(BM_DecodeTenMinutes)->Iterations(3)->Unit(benchmark::kMillisecond);

// CPU seconds of one run of `command`, or a negative number when it fails.
double ChildCpu(const std::string& command) {
  const double c0 = ChildrenCpuSeconds();
  const int rc = std::system(command.c_str());
  const double c1 = ChildrenCpuSeconds();
  return rc == 0 ? c1 - c0 : -1.0;
}

// Each iteration decodes the file with this decoder, with mpg123 and with ffmpeg; the ratios
// are the others' CPU time over ours (above 1: this decoder is faster).
void BM_VersusReferenceDecoders(benchmark::State& state) {
  const fs::path& file = TestFile();
  if (file.empty()) {
    state.SkipWithError("sox and lame are needed to make the benchmark file");
    return;
  }
  const std::vector<uint8_t> bits = ReadAll(file);
  std::vector<uint8_t> pcm(static_cast<size_t>((kSeconds + 1) * 44100 * 4));
  const std::string mpg123 = "mpg123 -q -t " + file.string() + " 2>/dev/null";
  const std::string ffmpeg =
      "ffmpeg -nostdin -v quiet -threads 1 -i " + file.string() + " -f null - 2>/dev/null";
  double ours = 0, theirs_mpg123 = 0, theirs_ffmpeg = 0;
  bool have_ffmpeg = true;
  for (auto _ : state) {
    const double t0 = ThreadCpuSeconds();
    DecodeAll(bits, pcm);
    ours += ThreadCpuSeconds() - t0;
    benchmark::DoNotOptimize(pcm.data());
    const double m = ChildCpu(mpg123);
    if (m < 0) {
      state.SkipWithError("mpg123 is not available or failed");
      return;
    }
    theirs_mpg123 += m;
    const double f = have_ffmpeg ? ChildCpu(ffmpeg) : -1.0;
    if (f < 0) have_ffmpeg = false;
    theirs_ffmpeg += f;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["verbat_x_realtime"] = kSeconds * n / ours;
  state.counters["mpg123_x_realtime"] = kSeconds * n / theirs_mpg123;
  state.counters["mpg123_over_verbat"] = theirs_mpg123 / ours;
  if (have_ffmpeg) {
    state.counters["ffmpeg_x_realtime"] = kSeconds * n / theirs_ffmpeg;
    state.counters["ffmpeg_over_verbat"] = theirs_ffmpeg / ours;
  }
}
BENCHMARK(BM_VersusReferenceDecoders)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
