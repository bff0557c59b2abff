// Plays a tone through the sound layer: the demonstration scripts/run.sh starts while the
// program's window does not exist yet, and a quick check that the sound device works.
//
//   tone-demo [frequency Hz = 440] [seconds = 2] [device rate Hz = 44100]
//
// The backend is the one VERBAT_AUDIO picks (alsa by default, virtual for no sound card).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "platform/wave_device.h"

namespace {

bool ParseNumber(const char* text, double low, double high, double& out) {
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v >= low && v <= high)) return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  double hz = 440, seconds = 2, rate = 44100;
  if ((argc > 1 && !ParseNumber(argv[1], 20, 20000, hz)) ||
      (argc > 2 && !ParseNumber(argv[2], 0.1, 60, seconds)) ||
      (argc > 3 && !ParseNumber(argv[3], 4000, 192000, rate)) || argc > 4) {
    std::fprintf(
        stderr,
        "使い方: tone-demo [周波数 20-20000 Hz] [秒数 0.1-60] [デバイスの周波数 4000-192000 Hz]\n");
    return 2;
  }
  using namespace platform;
  AudioBackend& backend = DefaultAudioBackend();
  const auto format = MakePcmFormat(2, static_cast<uint32_t>(rate), 16);

  // Blocks of a fifth of a second, all queued up front; each completion frees one.
  const uint32_t block_frames = format.samples_per_sec / 5;
  const auto total_frames = static_cast<uint64_t>(seconds * format.samples_per_sec);
  const size_t blocks = static_cast<size_t>((total_frames + block_frames - 1) / block_frames);
  std::vector<std::vector<uint8_t>> data(blocks);
  std::vector<WaveHeader> headers(blocks);
  for (size_t b = 0; b < blocks; ++b) {
    uint64_t first = b * block_frames;
    uint64_t frames = std::min<uint64_t>(block_frames, total_frames - first);
    data[b].resize(frames * format.block_align);
    for (uint64_t i = 0; i < frames; ++i) {
      double t = static_cast<double>(first + i) / format.samples_per_sec;
      // A short fade at both ends keeps the start and the end free of clicks.
      double fade = std::min({1.0, t / 0.01, (seconds - t) / 0.01});
      auto v = static_cast<int16_t>(
          std::lround(0.3 * 32767 * fade * std::sin(2 * std::numbers::pi * hz * t)));
      for (int ch = 0; ch < 2; ++ch) {
        data[b][i * 4 + ch * 2] = static_cast<uint8_t>(v & 0xFF);
        data[b][i * 4 + ch * 2 + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
      }
    }
    headers[b].data = data[b].data();
    headers[b].buffer_length = static_cast<uint32_t>(data[b].size());
  }

  auto device = backend.CreateWaveOut();
  Semaphore done(0, static_cast<int32_t>(blocks));
  MMResult r = device->Open(format, [&done](WaveHeader&) { done.Release(); });
  if (r != MMResult::kNoError) {
    std::fprintf(stderr, "サウンドデバイス (%s) を開けませんでした: %s (コード %u)\n",
                 backend.Name().c_str(), MMErrorText(r).c_str(), ToCode(r));
    return 1;
  }
  std::printf("%s: %.0f Hz の音を %.1f 秒、%u Hz で再生します…\n", backend.Name().c_str(), hz,
              seconds, format.samples_per_sec);
  std::fflush(stdout);
  for (auto& h : headers) {
    device->Prepare(h);
    device->Write(h);
  }
  int status = 0;
  const auto bound = Milliseconds(static_cast<int64_t>(seconds * 1000) + 5000);
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (size_t b = 0; b < blocks; ++b) {
    auto left =
        std::chrono::duration_cast<Milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || done.Acquire(left) != WaitResult::kSignaled) {
      std::fprintf(stderr, "サウンドデバイスが応答しません。再生を中止します。\n");
      device->Reset();
      status = 1;
      break;
    }
  }
  uint64_t played = 0;
  device->GetPosition(played);
  for (auto& h : headers) device->Unprepare(h);
  device->Close();
  if (status == 0)
    std::printf("再生しました (%llu フレーム)。\n", static_cast<unsigned long long>(played));
  return status;
}
