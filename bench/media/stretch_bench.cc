// Pitch keeping: the time-stretcher's processor time on 44.1 kHz stereo speech-like sound at
// half and double speed, as a multiple of real time on one core, beside sox's tempo effect
// (speech settings) on the same sound in the same run; and how long a speed change in place
// takes, from the call until what was queued is queued again at the new tempo.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <string>

#include "bench/cpu_time.h"
#include "media/InputWav.h"
#include "media/OutputAudio.h"
#include "media/TimeStretch.h"
#include "platform/virtual_audio.h"
#include "tests/media/wav_file.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kRate = 44100;
constexpr int kSeconds = 30;

// A voice-like sound: a fundamental gliding between 100 and 140 Hz with 30 harmonics shaped by
// three formants, in syllables of a quarter second and a pause every two seconds.
const std::vector<uint8_t>& SpeechSamples() {
  static const std::vector<uint8_t> samples = [] {
    std::vector<uint8_t> v;
    v.reserve(size_t{kRate} * kSeconds * 4);
    double phase = 0;
    for (size_t i = 0; i < size_t{kRate} * kSeconds; ++i) {
      const double t = static_cast<double>(i) / kRate;
      const double f0 = 120 + 20 * std::sin(2 * std::numbers::pi * 0.5 * t);
      phase += 2 * std::numbers::pi * f0 / kRate;
      double s = 0;
      for (int k = 1; k <= 30; ++k) {
        const double f = k * f0;
        const double formants = 1 / (1 + std::pow((f - 500) / 150, 2)) +
                                0.5 / (1 + std::pow((f - 1500) / 200, 2)) +
                                0.25 / (1 + std::pow((f - 2500) / 250, 2));
        s += formants / k * std::sin(k * phase);
      }
      const double syllable = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * 4 * t);
      const double pause = std::fmod(t, 2.0) < 1.7 ? 1.0 : 0.0;
      const auto x = static_cast<int16_t>(std::lround(12000 * s * syllable * pause));
      media_test::PutLe16(v, static_cast<uint16_t>(x));
      media_test::PutLe16(v, static_cast<uint16_t>(x));
    }
    return v;
  }();
  return samples;
}

const media_test::TempFile& SpeechFile() {
  static const media_test::TempFile file(
      media_test::WavBuilder().Fmt(2, kRate, 16).Data(SpeechSamples()).Bytes(), "speech.wav");
  return file;
}

double Tempo(const benchmark::State& state) {
  return 8.0 / static_cast<double>(state.range(0));
}

// The stretcher alone, fed WAV-sized blocks (a fifth of a second) as the output feeds it.
void BM_StretchCpu(benchmark::State& state) {
  const auto& samples = SpeechSamples();
  constexpr uint32_t kBlock = kRate / 5;
  std::vector<uint8_t> out(size_t{kBlock} * 4 * 4);
  media::TimeStretch stretch;
  stretch.Configure(2, kRate, 16, kBlock);
  double cpu = 0;
  for (auto _ : state) {
    stretch.Restart(Tempo(state));
    const double start = bench::ThreadCpuSeconds();
    for (size_t at = 0; at + size_t{kBlock} * 4 <= samples.size(); at += size_t{kBlock} * 4) {
      stretch.Put(samples.data() + at, kBlock);
      stretch.Take(out.data(), static_cast<uint32_t>(out.size() / 4));
    }
    cpu += bench::ThreadCpuSeconds() - start;
  }
  state.counters["x_real_time"] = kSeconds * static_cast<double>(state.iterations()) / cpu;
}
BENCHMARK(BM_StretchCpu)->Arg(16)->Arg(4)->Iterations(3)->Unit(benchmark::kMillisecond);

bool HaveSox() {
  return std::system("command -v sox >/dev/null 2>&1") == 0;
}

// sox's tempo effect with its speech settings on the same 30 s, to nowhere.
void BM_PeerSoxTempo(benchmark::State& state) {
  if (!HaveSox()) {
    state.SkipWithError("sox is not installed");
    return;
  }
  const std::string command = "sox -D -q " + SpeechFile().path() + " -t raw /dev/null tempo -s " +
                              std::to_string(Tempo(state));
  double cpu = 0;
  for (auto _ : state) {
    const double start = bench::ChildrenCpuSeconds();
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("sox failed");
      return;
    }
    cpu += bench::ChildrenCpuSeconds() - start;
  }
  state.counters["x_real_time"] = kSeconds * static_cast<double>(state.iterations()) / cpu;
}
BENCHMARK(BM_PeerSoxTempo)->Arg(16)->Arg(4)->Iterations(3)->Unit(benchmark::kMillisecond);

// SetSpeedDivisor while playing with the pitch kept: the device queue (32 blocks of a fifth of
// a second) is dropped and played again from the position heard, at the new tempo, before the
// call returns. The first block of it reaches the device after the first fifth of a second has
// been stretched; the call's time is the whole queue's.
void BM_SpeedChangeInPlace(benchmark::State& state) {
  const std::string& path = SpeechFile().path();
  platform::VirtualAudioBackend card({platform::Pacing::kManual, 1.0});
  media::OutputAudio out(card);
  out.SetKeepPitch(true);
  media::InputWav wav;
  wav.SetOutput(&out);
  media::PlayListItem item(path);
  const auto from = static_cast<int32_t>(state.range(0));
  const auto to = static_cast<int32_t>(state.range(1));
  for (auto _ : state) {
    out.SetSpeedDivisor(from);
    wav.Open(path, item);
    wav.Start(5);
    if (!card.WaitUntil([&] { return card.QueuedBlocks() == media::OutputAudio::kHeaderCount; },
                        5000ms)) {
      state.SkipWithError("the queue did not fill");
      break;
    }
    const auto t0 = Clock::now();
    out.SetSpeedDivisor(to);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    wav.RequestStop();
    wav.Close();
  }
}
BENCHMARK(BM_SpeedChangeInPlace)
    ->Args({8, 16})
    ->Args({16, 8})
    ->Args({8, 12})
    ->Args({16, 4})
    ->Iterations(8)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
