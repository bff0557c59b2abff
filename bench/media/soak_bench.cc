// Soak: two hours of sound played at x4 (speed divisor 2) through the real inputs and the audio
// output on a virtual card that plays as fast as it can and only counts what it played, with the
// process's resident memory (VmRSS) and open file descriptors sampled every five minutes of sound
// played; then a file loaded and unloaded (Open, Close) many times, sampled the same way. Both must
// stay flat: each run prints its samples, the first, last and largest, and the growth from the
// first sample to the last. Last, for comparison, the first half hour of the first soak again on a
// card that keeps what it played.
//
// The files are made when the benchmark starts, in the temporary folder, and removed at its end:
// a two-hour WAV file of 8 kHz mono 16-bit sound (115 MB: the rate keeps the disk use sensible,
// and the reader, output and card do the same work per block at any rate), and, when lame is
// installed, the same sound's first minute encoded at 32 kbit/s and repeated to two hours
// (29 MB; a constant bit rate stream without a Xing header joins cleanly).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "media/Commands.h"
#include "media/InputMP3.h"
#include "media/InputWav.h"
#include "media/OutputAudio.h"
#include "platform/sync.h"
#include "platform/virtual_audio.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kRate = 8000;
constexpr int kSeconds = 2 * 3600;
constexpr int kSampleEverySeconds = 5 * 60;
constexpr int32_t kDivisorX4 = 2;  // the device runs at rate x 8 / divisor
constexpr int kLoads = 20000;

bool Shell(const std::string& command) {
  const int status = std::system(("timeout 300 sh -c '" + command + "' >/dev/null 2>&1").c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void PutLe(std::vector<uint8_t>& v, uint32_t x, int bytes) {
  for (int i = 0; i < bytes; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

// The canonical header of a PCM WAV file of 8 kHz mono 16-bit sound.
std::vector<uint8_t> WavHeader(uint32_t data_bytes) {
  std::vector<uint8_t> h;
  auto text = [&](const char* s) { h.insert(h.end(), s, s + 4); };
  text("RIFF");
  PutLe(h, data_bytes + 36, 4);
  text("WAVE");
  text("fmt ");
  PutLe(h, 16, 4);
  PutLe(h, 1, 2);
  PutLe(h, 1, 2);
  PutLe(h, kRate, 4);
  PutLe(h, kRate * 2, 4);
  PutLe(h, 2, 2);
  PutLe(h, 16, 2);
  text("data");
  PutLe(h, data_bytes, 4);
  return h;
}

// Second `s` of the sound: a tone gliding with the second, under a little noise.
std::vector<uint8_t> Second(int s) {
  std::vector<uint8_t> v;
  v.reserve(kRate * 2);
  uint32_t x = static_cast<uint32_t>(s) * 2654435761u + 1;
  const double f = 200.0 + (s % 60) * 10.0;
  for (uint32_t i = 0; i < kRate; ++i) {
    x = x * 1664525u + 1013904223u;
    const double t = static_cast<double>(i) / kRate;
    const double y = 0.3 * std::sin(2 * std::numbers::pi * f * t) +
                     0.02 * (static_cast<double>(x >> 16) / 32768.0 - 1.0);
    PutLe(v, static_cast<uint16_t>(static_cast<int16_t>(std::lround(y * 32767))), 2);
  }
  return v;
}

bool WriteWav(const std::string& path, int seconds) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const auto header = WavHeader(static_cast<uint32_t>(seconds) * kRate * 2);
  out.write(reinterpret_cast<const char*>(header.data()),
            static_cast<std::streamsize>(header.size()));
  for (int s = 0; s < seconds; ++s) {
    const auto v = Second(s);
    out.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size()));
  }
  return static_cast<bool>(out);
}

class Files {
 public:
  Files() {
    std::string pattern = (fs::temp_directory_path() / "verbat-soak-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return;
    dir_ = pattern;
    if (WriteWav((dir_ / "two_hours.wav").string(), kSeconds))
      wav_ = (dir_ / "two_hours.wav").string();
    const std::string minute_wav = (dir_ / "minute.wav").string();
    const std::string minute_mp3 = (dir_ / "minute.mp3").string();
    if (!WriteWav(minute_wav, 60) ||
        !Shell("lame --quiet -t -b 32 " + minute_wav + " " + minute_mp3))
      return;
    std::ifstream in(minute_mp3, std::ios::binary);
    const std::vector<char> minute((std::istreambuf_iterator<char>(in)), {});
    const std::string path = (dir_ / "two_hours.mp3").string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < kSeconds / 60; ++i)
      out.write(minute.data(), static_cast<std::streamsize>(minute.size()));
    if (out && !minute.empty()) mp3_ = path;
  }
  ~Files() {
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
  }
  const std::string& wav() const { return wav_; }
  const std::string& mp3() const { return mp3_; }

 private:
  fs::path dir_;
  std::string wav_, mp3_;
};

const Files& TheFiles() {
  static Files files;
  return files;
}

// --- what is sampled ---

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

long OpenFds() {  // the directory's own descriptor included, in every sample alike
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  long n = 0;
  while (const dirent* e = readdir(dir)) n += e->d_name[0] != '.';
  closedir(dir);
  return n;
}

struct Sample {
  double at;  // seconds of sound played, or loads done
  double wall_s;
  long rss_kb;
  long fds;
};

class Samples {
 public:
  explicit Samples(const char* unit) : unit_(unit), t0_(Clock::now()) {}
  void Take(double at) {
    samples_.push_back(
        {at, std::chrono::duration<double>(Clock::now() - t0_).count(), ResidentKb(), OpenFds()});
  }
  // Prints the samples and the summary, and puts the summary into the benchmark's counters.
  void Report(benchmark::State& state, const std::string& title) const {
    if (samples_.empty()) return;
    std::printf("\n%s\n%12s %10s %12s %6s\n", title.c_str(), unit_, "wall s", "VmRSS kB", "fds");
    for (const Sample& s : samples_)
      std::printf("%12.0f %10.2f %12ld %6ld\n", s.at, s.wall_s, s.rss_kb, s.fds);
    const Sample& first = samples_.front();
    const Sample& last = samples_.back();
    long rss_max = 0, fds_max = 0;
    for (const Sample& s : samples_) {
      rss_max = std::max(rss_max, s.rss_kb);
      fds_max = std::max(fds_max, s.fds);
    }
    // The first sample is taken before playback (or the second load) has allocated what it
    // keeps; the growth from the second sample on is the steady state.
    const Sample& second = samples_[std::min<size_t>(1, samples_.size() - 1)];
    std::printf(
        "VmRSS kB: first %ld, last %ld, max %ld, growth %+ld (%+ld from the second "
        "sample); fds: first %ld, last %ld, max %ld, growth %+ld\n",
        first.rss_kb, last.rss_kb, rss_max, last.rss_kb - first.rss_kb, last.rss_kb - second.rss_kb,
        first.fds, last.fds, fds_max, last.fds - first.fds);
    std::fflush(stdout);
    state.counters["rss_first_kB"] = static_cast<double>(first.rss_kb);
    state.counters["rss_growth_kB"] = static_cast<double>(last.rss_kb - first.rss_kb);
    state.counters["rss_max_kB"] = static_cast<double>(rss_max);
    state.counters["fds_growth"] = static_cast<double>(last.fds - first.fds);
  }

 private:
  const char* unit_;
  Clock::time_point t0_;
  std::vector<Sample> samples_;
};

// --- the runs ---

enum class Kind { kWav, kMp3 };

std::unique_ptr<media::InputMedia> MakeInput(Kind kind) {
  if (kind == Kind::kWav) return std::make_unique<media::InputWav>();
  return std::make_unique<media::InputMP3>();
}

const std::string& PathOf(Kind kind) {
  return kind == Kind::kWav ? TheFiles().wav() : TheFiles().mp3();
}

// The whole two hours at x4, sampled every five minutes of sound (the input's position).
// With `stop_at` below the length, playback is stopped once that much has been played.
void Soak(benchmark::State& state, Kind kind, bool keep_pitch, bool card_keeps = false,
          int32_t stop_at = kSeconds) {
  const std::string& path = PathOf(kind);
  if (path.empty()) {
    state.SkipWithError(kind == Kind::kWav ? "could not write the two-hour WAV file"
                                           : "could not make the two-hour MP3 file (lame needed)");
    return;
  }
  platform::VirtualCardOptions options;
  options.pacing = platform::Pacing::kAsFastAsPossible;
  options.keep_played = card_keeps;
  platform::VirtualAudioBackend card(options);
  media::OutputAudio out(card);
  out.SetSpeedDivisor(kDivisorX4);
  out.SetKeepPitch(keep_pitch);
  const auto input = MakeInput(kind);
  input->SetOutput(&out);
  platform::Event ended;
  input->SetNotify([&](int32_t code) {
    if (code == media::NOTIFY_END) ended.Set();
  });
  media::PlayListItem item(path);
  for (auto _ : state) {
    try {
      Samples samples("sound s");
      input->Open(path, item);
      samples.Take(0);
      input->Start(0);
      const int32_t end = std::min(stop_at, item.length);
      int next = kSampleEverySeconds;
      bool done = false;
      while (!done) {
        done = ended.Wait(5ms) == platform::WaitResult::kSignaled;
        const int32_t position = done ? end : input->GetPosition();
        done = done || position >= end;
        for (; next <= position && next < end; next += kSampleEverySeconds) samples.Take(next);
      }
      input->RequestStop();
      input->Close();
      samples.Take(end);  // the end, after Close
      samples.Report(state, std::string(kind == Kind::kWav ? "WAV" : "MP3") +
                                (keep_pitch ? " x4 keeping the pitch" : " x4") +
                                (card_keeps ? " on a card keeping what it played" : "") + ", " +
                                std::to_string(card.LastPlayback().bytes_played) +
                                " bytes at the card");
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      break;
    }
  }
}

void BM_SoakWavX4(benchmark::State& state) {
  Soak(state, Kind::kWav, false);
}
void BM_SoakWavX4KeepPitch(benchmark::State& state) {
  Soak(state, Kind::kWav, true);
}
void BM_SoakMp3X4(benchmark::State& state) {
  Soak(state, Kind::kMp3, false);
}
BENCHMARK(BM_SoakWavX4)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_SoakWavX4KeepPitch)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_SoakMp3X4)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// Open and Close of the same file, again and again, as loading files in the window does.
void LoadUnload(benchmark::State& state, Kind kind, int loads) {
  const std::string& path = PathOf(kind);
  if (path.empty()) {
    state.SkipWithError("the file could not be made");
    return;
  }
  const auto input = MakeInput(kind);
  media::PlayListItem item(path);
  for (auto _ : state) {
    try {
      Samples samples("loads");
      input->Open(path, item);  // the first load, before the first sample
      input->Close();
      samples.Take(1);
      for (int i = 2; i <= loads; ++i) {
        input->Open(path, item);
        input->Close();
        if (i % (loads / 20) == 0) samples.Take(i);
      }
      samples.Report(state, std::string(kind == Kind::kWav ? "WAV" : "MP3") + " Open and Close");
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      break;
    }
  }
}

void BM_LoadUnloadWav(benchmark::State& state) {
  LoadUnload(state, Kind::kWav, kLoads);
}
void BM_LoadUnloadMp3(benchmark::State& state) {
  LoadUnload(state, Kind::kMp3, kLoads);
}
BENCHMARK(BM_LoadUnloadWav)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_LoadUnloadMp3)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// For comparison, the first half hour of the first soak on a card that keeps every byte it
// played, as the tests' cards do (and the program's did): the memory grows with the sound
// played (and the copying under the card's lock makes it four times as slow).
void BM_SoakWavX4CardKeepsAll(benchmark::State& state) {
  Soak(state, Kind::kWav, false, true, 30 * 60);
}
BENCHMARK(BM_SoakWavX4CardKeepsAll)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
