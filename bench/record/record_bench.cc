// What the recorder thread does for each one-second buffer at 44.1 kHz 16-bit stereo (the
// free-space query, the append and the rewrite of the two size fields), which must take well
// under the second the device needs to fill the other buffer; the whole recorder on a virtual
// card that fills buffers as fast as it can; and, in the same run, sox writing the same minute
// of sound as a WAV file into the same folder. The folder is the build folder, on the disk.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/cpu_time.h"
#include "platform/virtual_audio.h"
#include "record/FreeSpace.h"
#include "record/RecAudio.h"
#include "record/WorkFile.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kFormat = platform::MakePcmFormat(2, 44100, 16);
constexpr uint32_t kSecond = 44100 * 4;
constexpr int kMinute = 60;

class Folder {
 public:
  Folder() {
    std::string pattern = std::string(BENCH_DIR) + "/rec-XXXXXX";
    path_ = mkdtemp(pattern.data());
  }
  ~Folder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::vector<uint8_t> Sound() {
  std::vector<uint8_t> v(kSecond);
  uint32_t x = 1;
  for (auto& b : v) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  return v;
}

// One buffer's work, repeated: a five-minute work file.
void BM_BufferWork(benchmark::State& state) {
  Folder dir;
  record::WorkFile file;
  record::FileError error;
  if (!file.Create(dir.path() + "/VerbatWav.wav", kFormat, error)) {
    state.SkipWithError(error.Describe().c_str());
    return;
  }
  const auto sound = Sound();
  for (auto _ : state) {
    auto free = record::GetFreeBytes(dir.path());
    benchmark::DoNotOptimize(free);
    if (!file.Append(sound.data(), sound.size(), error)) {
      state.SkipWithError(error.Describe().c_str());
      break;
    }
  }
  file.Finish(error);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSecond);
}
BENCHMARK(BM_BufferWork)->Iterations(300)->Unit(benchmark::kMicrosecond);

// The whole recorder (device notices, the recorder thread, the file) on a card that fills each
// buffer as soon as it is handed back: a minute of sound, wall time.
void BM_RecorderMinuteOnFastCard(benchmark::State& state) {
  Folder dir;
  platform::VirtualAudioBackend card({platform::Pacing::kAsFastAsPossible, 1.0});
  struct : record::RecorderOwner {
    void ShowRecorderMessage(const std::string&, record::MessageStyle) override {}
    void PostRecorderStop(const std::string&) override {}
  } owner;
  record::RecAudio rec(card, owner);
  record::RecordingSettings settings;
  settings.WorkDir = dir.path();
  for (auto _ : state) {
    if (!rec.StartRecording(settings)) {
      state.SkipWithError("the recording did not start");
      break;
    }
    while (rec.RecordedBytes() < uint64_t{kMinute} * kSecond) std::this_thread::sleep_for(1ms);
    rec.StopRecording();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kMinute * kSecond);
}
BENCHMARK(BM_RecorderMinuteOnFastCard)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

// Each iteration writes a minute of sound with the recorder's per-buffer work (a fresh work file;
// its final flush to the disk, which sox does not do, left out) and then has sox write a minute
// of 44.1 kHz 16-bit stereo into the same folder. CPU time, ours on this thread against sox's.
void BM_MinuteVersusSox(benchmark::State& state) {
  if (std::system("command -v sox >/dev/null 2>&1") != 0) {
    state.SkipWithError("sox is not installed");
    return;
  }
  Folder dir;
  const auto sound = Sound();
  const std::string sox = "sox -q -n -r 44100 -c 2 -b 16 -e signed-integer " + dir.path() +
                          "/peer.wav trim 0 60 2>/dev/null";
  const std::string sox_start = "sox -q -n -r 44100 -c 2 -b 16 -e signed-integer " + dir.path() +
                                "/peer0.wav trim 0 0 2>/dev/null";
  double ours = 0, theirs = 0, theirs_start = 0;
  for (auto _ : state) {
    record::WorkFile file;
    record::FileError error;
    const double t0 = bench::ThreadCpuSeconds();
    bool ok = file.Create(dir.path() + "/VerbatWav.wav", kFormat, error);
    for (int i = 0; ok && i < kMinute; ++i) {
      auto free = record::GetFreeBytes(dir.path());
      benchmark::DoNotOptimize(free);
      ok = file.Append(sound.data(), sound.size(), error);
    }
    ours += bench::ThreadCpuSeconds() - t0;
    file.Finish(error);
    double c0 = bench::ChildrenCpuSeconds();
    ok = ok && std::system(sox.c_str()) == 0;
    double c1 = bench::ChildrenCpuSeconds();
    theirs += c1 - c0;
    ok = ok && std::system(sox_start.c_str()) == 0;
    theirs_start += bench::ChildrenCpuSeconds() - c1;
    if (!ok) {
      state.SkipWithError("writing or sox failed");
      break;
    }
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["verbat_ms_per_buffer"] = 1000 * ours / (n * kMinute);
  state.counters["sox_ms_per_second"] = 1000 * theirs / (n * kMinute);
  state.counters["sox_start_ms"] = 1000 * theirs_start / n;
  state.counters["sox_over_verbat"] = theirs / ours;
}
BENCHMARK(BM_MinuteVersusSox)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
