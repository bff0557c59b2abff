// How long the MP3 input takes to seek to 1:59:00 in a two-hour 128 kbit/s file (the seek parses
// the header of every frame from the first on, with synthesis off), side by side with ffmpeg's
// accurate seek on the same file, which decodes one second from the seek point. And how long the
// Ogg Vorbis input takes to open an hour-long file: the first time it reads the whole file
// through the check of its links, when opened again for the next Play it does not.
//
// The MP3 file is made when the benchmark starts: a minute of tones and noise encoded by lame,
// repeated to two hours (a constant bit rate stream without a Xing header joins cleanly). The
// Ogg Vorbis file is an hour of the same sound encoded by oggenc at its default quality.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <vorbis/vorbisfile.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "media/InputMP3.h"
#include "media/InputVorbis.h"
#include "media/OutputAudio.h"
#include "platform/virtual_audio.h"

namespace {

namespace fs = std::filesystem;

constexpr int kTargetSeconds = 1 * 3600 + 59 * 60;
constexpr int kMinutes = 120;

bool Shell(const std::string& command) {
  const int status = std::system(("timeout 300 sh -c '" + command + "' >/dev/null 2>&1").c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class TwoHourFile {
 public:
  TwoHourFile() {
    std::string pattern = (fs::temp_directory_path() / "verbat-seek-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return;
    dir_ = pattern;
    const std::string minute_wav = (dir_ / "minute.wav").string();
    const std::string minute_mp3 = (dir_ / "minute.mp3").string();
    if (!Shell("sox -n -b 16 -r 44100 -c 2 " + minute_wav +
               " synth 60 sine 220 sine 330 synth 60 pinknoise amod 0.3 gain -12") ||
        !Shell("lame --quiet -t -b 128 " + minute_wav + " " + minute_mp3)) {
      return;
    }
    std::ifstream in(minute_mp3, std::ios::binary);
    const std::vector<char> minute((std::istreambuf_iterator<char>(in)), {});
    path_ = (dir_ / "two_hours.mp3").string();
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < kMinutes; ++i) out.write(minute.data(), static_cast<std::streamsize>(minute.size()));
    if (!out) path_.clear();
  }
  ~TwoHourFile() {
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  fs::path dir_;
  std::string path_;
};

const TwoHourFile& File() {
  static TwoHourFile file;
  return file;
}

// The seek alone, as the reader runs it for a seek command: begin at the first frame, parse up
// to the target, decode the last few frames to fill the bit reservoir.
void BM_Mp3Seek(benchmark::State& state) {
  if (File().path().empty()) {
    state.SkipWithError("could not make the two-hour file (sox and lame needed)");
    return;
  }
  platform::VirtualAudioBackend card({platform::Pacing::kAsFastAsPossible, 1.0});
  media::OutputAudio output(card);
  output.SetSpeedDivisor(8);
  media::InputMP3 mp3;
  mp3.SetOutput(&output);
  media::PlayListItem item(File().path());
  mp3.Open(File().path(), item);
  mp3.Start(0);  // sizes the buffers; the seeks below run with no reader
  mp3.RequestStop();
  const int64_t target = int64_t{kTargetSeconds} * item.sample_rate;
  for (auto _ : state) {
    mp3.Seek(target);
    benchmark::DoNotOptimize(mp3.SeekLanding());
  }
  if (mp3.SeekLanding() < target) state.SkipWithError("the seek did not reach the target");
  state.counters["file_MB"] = static_cast<double>(fs::file_size(File().path())) / 1e6;
}
BENCHMARK(BM_Mp3Seek)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// What the user waits for on Play at 1:59:00: Start (the seek included) until the reader runs,
// and the stop after it.
void BM_Mp3StartAt(benchmark::State& state) {
  if (File().path().empty()) {
    state.SkipWithError("could not make the two-hour file (sox and lame needed)");
    return;
  }
  platform::VirtualAudioBackend card({platform::Pacing::kManual, 1.0});
  media::OutputAudio output(card);
  output.SetSpeedDivisor(8);
  media::InputMP3 mp3;
  mp3.SetOutput(&output);
  media::PlayListItem item(File().path());
  mp3.Open(File().path(), item);
  for (auto _ : state) {
    mp3.Start(kTargetSeconds);
    mp3.RequestStop();
  }
}
BENCHMARK(BM_Mp3StartAt)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// ffmpeg decoding one second at the seek point (accurate seek), or at the start of the file
// (the cost of starting ffmpeg and decoding, without the seek); process start included, as
// that is part of what it costs to use it.
void BM_Ffmpeg(benchmark::State& state) {
  if (File().path().empty() || !Shell("command -v ffmpeg")) {
    state.SkipWithError("ffmpeg or the two-hour file missing");
    return;
  }
  const int seconds = state.range(0) ? kTargetSeconds : 0;
  const std::string command = "ffmpeg -v error -nostdin -accurate_seek -ss " +
                              std::to_string(seconds) + " -i " + File().path() +
                              " -t 1 -f s16le -y /dev/null";
  for (auto _ : state) {
    if (!Shell(command)) {
      state.SkipWithError("ffmpeg failed");
      break;
    }
  }
  state.SetLabel(seconds ? "accurate seek to 1:59:00" : "from the start");
}
BENCHMARK(BM_Ffmpeg)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

class HourOggFile {
 public:
  HourOggFile() {
    std::string pattern = (fs::temp_directory_path() / "verbat-open-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return;
    dir_ = pattern;
    path_ = (dir_ / "hour.ogg").string();
    if (!Shell("sox -n -b 16 -r 44100 -c 2 -t wav - synth 3600 sine 220 sine 330 synth 3600 "
               "pinknoise amod 0.3 gain -12 | oggenc -Q -o " +
               path_ + " -")) {
      path_.clear();
    }
  }
  ~HourOggFile() {
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  fs::path dir_;
  std::string path_;
};

const HourOggFile& OggFile() {
  static HourOggFile file;
  return file;
}

// Open and Close of an hour of Ogg Vorbis: by a new input (the load, which checks the links),
// by the same input again (each Play), and libvorbisfile's own open and clear for comparison.
void BM_VorbisOpen(benchmark::State& state) {
  if (OggFile().path().empty()) {
    state.SkipWithError("could not make the hour-long file (sox and oggenc needed)");
    return;
  }
  const std::string& path = OggFile().path();
  media::InputVorbis again;
  media::PlayListItem item(path);
  again.Open(path, item);
  again.Close();
  for (auto _ : state) {
    if (state.range(0) == 0) {
      media::InputVorbis fresh;
      fresh.Open(path, item);
      fresh.Close();
    } else if (state.range(0) == 1) {
      again.Open(path, item);
      again.Close();
    } else {
      OggVorbis_File vf;
      if (ov_fopen(path.c_str(), &vf) != 0) {
        state.SkipWithError("libvorbisfile could not open the file");
        break;
      }
      ov_clear(&vf);
    }
  }
  state.SetLabel(state.range(0) == 0   ? "new input (link check)"
                 : state.range(0) == 1 ? "same input again"
                                       : "libvorbisfile alone");
  state.counters["file_MB"] = static_cast<double>(fs::file_size(path)) / 1e6;
}
BENCHMARK(BM_VorbisOpen)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
