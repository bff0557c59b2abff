// Start-up latency of playback: from the input's Start (and from Open, which parses the file
// first) to the moment the first block is queued at the device, on the virtual card. Beside it,
// for comparison, the time sox takes from being started to delivering its first PCM bytes for
// the same file, and the time to play a whole file as fast as possible against sox converting it.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>

#include "media/InputWav.h"
#include "media/OutputAudio.h"
#include "platform/virtual_audio.h"
#include "tests/media/wav_file.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// One minute of 44.1 kHz stereo speech-like tone, the common case of a transcription file.
const media_test::TempFile& SpeechFile() {
  static const media_test::TempFile file([] {
    std::vector<uint8_t> samples;
    const size_t frames = 44100 * 60;
    samples.reserve(frames * 4);
    for (size_t i = 0; i < frames; ++i) {
      const double s = 0.3 * std::sin(2 * std::numbers::pi * 220 * static_cast<double>(i) / 44100);
      const auto v = static_cast<uint16_t>(static_cast<int16_t>(std::lround(s * 32767)));
      media_test::PutLe16(samples, v);
      media_test::PutLe16(samples, v);
    }
    return media_test::WavBuilder().Fmt(2, 44100, 16).Data(samples).Bytes();
  }(), "speech.wav");
  return file;
}

// Start (or Open + Start) at second `seconds` until the first block reached the device.
void Startup(benchmark::State& state, bool with_open) {
  const std::string& path = SpeechFile().path();
  platform::VirtualAudioBackend card({platform::Pacing::kManual, 1.0});
  media::OutputAudio out(card);
  out.SetSpeedDivisor(8);
  media::InputWav wav;
  wav.SetOutput(&out);
  media::PlayListItem item(path);
  const auto seconds = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    if (!with_open) wav.Open(path, item);
    const size_t playbacks = card.PlaybackCount();
    const auto t0 = Clock::now();
    if (with_open) wav.Open(path, item);
    wav.Start(seconds);
    const bool queued = card.WaitUntil(
        [&] { return card.PlaybackCount() > playbacks && card.LastPlayback().blocks_written > 0; },
        5000ms);
    const auto t1 = Clock::now();
    if (!queued) {
      state.SkipWithError("no block reached the device within 5 s");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    wav.RequestStop();
    wav.Close();
  }
}

void BM_StartToFirstBlock(benchmark::State& state) { Startup(state, false); }
void BM_OpenStartToFirstBlock(benchmark::State& state) { Startup(state, true); }
BENCHMARK(BM_StartToFirstBlock)->Arg(0)->Arg(45)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenStartToFirstBlock)->Arg(0)->Arg(45)->UseManualTime()->Unit(benchmark::kMicrosecond);

bool HaveSox() { return std::system("command -v sox >/dev/null 2>&1") == 0; }

// sox started on the same file, writing raw PCM to a pipe: time until its first bytes arrive.
void BM_PeerSoxToFirstBytes(benchmark::State& state) {
  if (!HaveSox()) {
    state.SkipWithError("sox is not installed");
    return;
  }
  const std::string command = "sox -q " + SpeechFile().path() + " -t raw - trim " +
                              std::to_string(state.range(0)) + " 2>/dev/null";
  for (auto _ : state) {
    const auto t0 = Clock::now();
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
      state.SkipWithError("cannot start sox");
      break;
    }
    char byte;
    const bool got = std::fread(&byte, 1, 1, pipe) == 1;
    const auto t1 = Clock::now();
    pclose(pipe);
    if (!got) {
      state.SkipWithError("sox delivered nothing");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
}
BENCHMARK(BM_PeerSoxToFirstBytes)->Arg(0)->Arg(45)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The whole minute through the reader and the output on a card that plays as fast as it can.
void BM_PlayWholeFileAsFastAsPossible(benchmark::State& state) {
  const std::string& path = SpeechFile().path();
  platform::VirtualAudioBackend card({platform::Pacing::kAsFastAsPossible, 1.0});
  media::OutputAudio out(card);
  out.SetSpeedDivisor(8);
  media::InputWav wav;
  wav.SetOutput(&out);
  platform::Event ended;
  wav.SetNotify([&](int32_t code) {
    if (code == media::NOTIFY_END) ended.Set();
  });
  media::PlayListItem item(path);
  for (auto _ : state) {
    wav.Open(path, item);
    wav.Start(0);
    if (ended.Wait(60000ms) != platform::WaitResult::kSignaled) {
      state.SkipWithError("playback did not end");
      break;
    }
    wav.RequestStop();
    wav.Close();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 44100 * 4 * 60);
}
BENCHMARK(BM_PlayWholeFileAsFastAsPossible)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PeerSoxWholeFile(benchmark::State& state) {
  if (!HaveSox()) {
    state.SkipWithError("sox is not installed");
    return;
  }
  const std::string command = "sox -q " + SpeechFile().path() + " -t raw /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("sox failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 44100 * 4 * 60);
}
BENCHMARK(BM_PeerSoxWholeFile)->UseRealTime()->Unit(benchmark::kMillisecond);

// Ten seconds of the file played on a card with a real-time clock at each speed: the wall time
// against the time the audio lasts at that speed ("stretch" 1.0 means the device never ran dry).
// The reader sleeps 120 ms after a read only while the device holds at least 16 blocks; a
// sleep after every read would starve the device wherever a block lasts less than 120 ms
// (x2 and x4).
void BM_RealTimePlaybackStretch(benchmark::State& state) {
  const std::string& path = SpeechFile().path();
  platform::VirtualAudioBackend card({platform::Pacing::kRealTime, 1.0});
  media::OutputAudio out(card);
  const auto divisor = static_cast<int32_t>(state.range(0));
  out.SetSpeedDivisor(divisor);
  media::InputWav wav;
  wav.SetOutput(&out);
  platform::Event ended;
  wav.SetNotify([&](int32_t code) {
    if (code == media::NOTIFY_END) ended.Set();
  });
  media::PlayListItem item(path);
  const double audio_s = 10.0 * divisor / 8;
  double stretch = 0;
  for (auto _ : state) {
    wav.Open(path, item);
    const auto t0 = Clock::now();
    wav.Start(50);
    if (ended.Wait(60000ms) != platform::WaitResult::kSignaled) {
      state.SkipWithError("playback did not end");
      break;
    }
    stretch = std::chrono::duration<double>(Clock::now() - t0).count() / audio_s;
    wav.RequestStop();
    wav.Close();
  }
  state.counters["stretch"] = stretch;
}
BENCHMARK(BM_RealTimePlaybackStretch)->Arg(2)->Arg(4)->Arg(8)->Iterations(1)->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
