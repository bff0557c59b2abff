// Speed of the equalizer engine on 44100 Hz 16-bit stereo playback blocks with all fifteen bands
// running, as a multiple of real time on one core, and side by side with sox applying fifteen
// peaking equalizers with the same centres, Q and gains to the same signal.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "bench/cpu_time.h"
#include "dsp/BandFrequencies.h"
#include "dsp/DataManager.h"
#include "dsp/Fft.h"
#include "platform/wave_format.h"

namespace {

constexpr uint32_t kRate = 44100;
constexpr float kQ = 5.0f;
// Gain slider positions 0..48 (24 is 0 dB, each step 0.625 dB), a mix of boosts and cuts.
constexpr int kPositions[dsp::kBandCount] = {8, 36, 16, 30, 20, 40, 12, 24, 28, 4, 34, 18, 44, 22, 14};
constexpr int kMasterPosition = 5;

double GainDb(int position) { return (24 - position) * 0.625; }
float LinearGain(int position) { return static_cast<float>(std::pow(10.0, GainDb(position) * 0.05)); }
float MasterGain() { return static_cast<float>(std::pow(10.0, -0.05 * kMasterPosition)); }

// Noise at about -12 dBFS: a signal that keeps every band busy and no state decaying to denormals.
std::vector<int16_t> MakeSignal(size_t frames) {
  std::vector<int16_t> s(frames * 2);
  uint32_t x = 12345;
  for (int16_t& v : s) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<int16_t>(static_cast<int32_t>(x >> 16) / 4 - 8192);
  }
  return s;
}

void Configure(dsp::CDataManager& eq) {
  eq.SetFormat(platform::MakePcmFormat(2, kRate, 16));
  for (int ch = 1; ch <= 2; ++ch) {
    for (int b = 0; b < dsp::kBandCount; ++b) {
      eq.SetBand(ch, b, dsp::BandFrequencies[b], kQ, LinearGain(kPositions[b]));
    }
  }
  eq.SetMasterGain(MasterGain());
}

void BM_GetData(benchmark::State& state) {
  const auto frames = static_cast<int32_t>(state.range(0));
  const std::vector<int16_t> signal = MakeSignal(static_cast<size_t>(frames));
  std::vector<int16_t> block(signal.size());
  dsp::CDataManager eq;
  Configure(eq);
  for (auto _ : state) {
    state.PauseTiming();
    block = signal;
    state.ResumeTiming();
    eq.SetFormat(platform::MakePcmFormat(2, kRate, 16));
    eq.GetData(1, reinterpret_cast<uint8_t*>(block.data()), frames);
    benchmark::DoNotOptimize(block.data());
  }
  state.counters["bands"] = eq.GetBandCount();
  // Seconds of sound filtered per second of benchmark time: the multiple of real time.
  state.counters["x_realtime"] = benchmark::Counter(
      static_cast<double>(frames) / kRate * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}
// 8820 frames is a fifth of a second, the block of a WAV file at 44100 Hz.
BENCHMARK(BM_GetData)->Arg(1152)->Arg(4096)->Arg(8820);

using bench::ChildrenCpuSeconds;
using bench::ThreadCpuSeconds;

std::string SoxCommand(const std::string& input) {
  std::string cmd = "sox -q -D -t raw -r 44100 -e signed-integer -b 16 -c 2 " + input +
                    " -t raw -e signed-integer -b 16 -c 2 /dev/null";
  char arg[96];
  for (int b = 0; b < dsp::kBandCount; ++b) {
    std::snprintf(arg, sizeof arg, " equalizer %.1f %.0fq %.3f", dsp::BandFrequencies[b], kQ,
                  GainDb(kPositions[b]));
    cmd += arg;
  }
  std::snprintf(arg, sizeof arg, " vol %.6f", MasterGain());
  return cmd + arg;
}

// One run filters 30 s of sound with the engine (in 8820-frame blocks) and with sox, and reports
// both speeds (seconds of sound per CPU second) and their ratio. sox reads the signal from a file
// in the page cache and writes to /dev/null; its process start is included in its time.
void BM_VersusSox(benchmark::State& state) {
  constexpr size_t kSeconds = 30;
  constexpr int32_t kBlock = 8820;
  const std::vector<int16_t> signal = MakeSignal(kSeconds * kRate);
  char path[] = "/tmp/verbat-dsp-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("cannot create the temporary signal file");
    return;
  }
  const auto bytes = static_cast<ssize_t>(signal.size() * sizeof(int16_t));
  const bool written = write(fd, signal.data(), static_cast<size_t>(bytes)) == bytes;
  close(fd);
  const std::string cmd = SoxCommand(path);
  if (!written || std::system((cmd + " trim 0 0.1").c_str()) != 0) {
    unlink(path);
    state.SkipWithError("sox is not available or failed on the signal file");
    return;
  }

  dsp::CDataManager eq;
  Configure(eq);
  std::vector<int16_t> work(signal.size());
  double ours = 0, sox = 0;
  for (auto _ : state) {
    work = signal;
    const double t0 = ThreadCpuSeconds();
    for (size_t f = 0; f + kBlock <= kSeconds * kRate; f += kBlock) {
      eq.SetFormat(platform::MakePcmFormat(2, kRate, 16));
      eq.GetData(1, reinterpret_cast<uint8_t*>(work.data() + 2 * f), kBlock);
    }
    const double t1 = ThreadCpuSeconds();
    const double c0 = ChildrenCpuSeconds();
    const int rc = std::system(cmd.c_str());
    const double c1 = ChildrenCpuSeconds();
    if (rc != 0) {
      state.SkipWithError("sox failed");
      break;
    }
    benchmark::DoNotOptimize(work.data());
    ours += t1 - t0;
    sox += c1 - c0;
  }
  unlink(path);
  const double n = static_cast<double>(state.iterations());
  state.counters["verbat_x_realtime"] = kSeconds * n / ours;
  state.counters["sox_x_realtime"] = kSeconds * n / sox;
  state.counters["verbat_over_sox"] = sox / ours;
}
BENCHMARK(BM_VersusSox)->Iterations(3)->Unit(benchmark::kMillisecond);

// The player's spectrum snapshot: 512 samples in, 256 decibel values out.
void BM_Fft512(benchmark::State& state) {
  dsp::Fft fft(512, dsp::Fft::kHann);
  const std::vector<int16_t> signal = MakeSignal(256);
  int32_t out[256];
  for (auto _ : state) {
    for (int32_t i = 0; i < 512; ++i) fft.SetSample(i, signal[static_cast<size_t>(i)]);
    fft.Calculate(out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Fft512);

}  // namespace
