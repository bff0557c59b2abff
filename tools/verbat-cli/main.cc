// verbat-cli: drives the media layer without a window.
//
//   verbat-cli info FILE
//   verbat-cli decode FILE [--from SECONDS] [--speed-divisor N] [--keep-pitch] [--eq P0,...,P14]
//                     [--master M] -o OUT.raw
//   verbat-cli play FILE [--from SECONDS] [--speed-divisor N] [--keep-pitch]
//
// decode plays the file through the audio output on the virtual sound card running as fast as it
// can and writes exactly the PCM bytes the card received; play uses the real sound device.
// --keep-pitch plays the speed through the time-stretcher at the file's own rate.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dsp/BandFrequencies.h"
#include "dsp/DataManager.h"
#include "media/EqualizerEngineHook.h"
#include "media/InputFactory.h"
#include "media/OutputAudio.h"
#include "platform/virtual_audio.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

struct Options {
  std::string command;
  std::string file;
  std::string out;
  int32_t from = 0;
  int32_t divisor = 8;
  bool keep_pitch = false;
  std::optional<std::vector<int>> eq;  // gain positions 0..48 of the fifteen bands
  std::optional<int> master;           // attenuation position 0..60
};

void Usage() {
  std::fprintf(stderr,
               "使い方:\n"
               "  verbat-cli info FILE\n"
               "  verbat-cli decode FILE [--from SECONDS] [--speed-divisor N] [--keep-pitch]"
               " [--eq P0,...,P14] [--master M] -o OUT.raw\n"
               "  verbat-cli play FILE [--from SECONDS] [--speed-divisor N] [--keep-pitch]\n"
               "  速度の除数 N: 2 (x4), 4 (x2), 8 (標準), 12 (x2/3), 16 (x1/2)\n"
               "  --keep-pitch: 速度を変えても音程を保つ\n"
               "  --eq: 15 バンドのゲイン位置 0..48 (24 = 0 dB), --master: 0..60 (1 段 = -1 dB)\n");
}

bool ParseInt(const std::string& text, long low, long high, int& out) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < low || v > high) return false;
  out = static_cast<int>(v);
  return true;
}

// Fills options from argv; prints the reason and returns false on a mistake.
bool ParseArgs(int argc, char** argv, Options& o) {
  if (argc < 3) return false;
  o.command = argv[1];
  o.file = argv[2];
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--keep-pitch") {
      o.keep_pitch = true;
      continue;
    }
    const bool has_value = i + 1 < argc;
    if (!has_value) {
      std::fprintf(stderr, "%s には値が必要です。\n", arg.c_str());
      return false;
    }
    const std::string value = argv[++i];
    int n = 0;
    if (arg == "--from") {
      if (!ParseInt(value, 0, 24 * 3600 * 100, n)) {
        std::fprintf(stderr, "--from の秒数が正しくありません: %s\n", value.c_str());
        return false;
      }
      o.from = n;
    } else if (arg == "--speed-divisor") {
      if (!ParseInt(value, 1, 64, n)) {
        std::fprintf(stderr, "--speed-divisor は 1 から 64 の整数です: %s\n", value.c_str());
        return false;
      }
      o.divisor = n;
    } else if (arg == "-o") {
      o.out = value;
    } else if (arg == "--eq") {
      std::vector<int> positions;
      size_t start = 0;
      while (start <= value.size()) {
        const size_t comma = value.find(',', start);
        const std::string part =
            value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!ParseInt(part, 0, 48, n)) {
          std::fprintf(stderr, "--eq のゲイン位置は 0 から 48 の整数です: %s\n", part.c_str());
          return false;
        }
        positions.push_back(n);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      if (positions.size() != static_cast<size_t>(dsp::kBandCount)) {
        std::fprintf(stderr, "--eq には 15 個のゲイン位置が必要です (%zu 個あります)。\n",
                     positions.size());
        return false;
      }
      o.eq = positions;
    } else if (arg == "--master") {
      if (!ParseInt(value, 0, 60, n)) {
        std::fprintf(stderr, "--master は 0 から 60 の整数です: %s\n", value.c_str());
        return false;
      }
      o.master = n;
    } else {
      std::fprintf(stderr, "不明なオプションです: %s\n", arg.c_str());
      return false;
    }
  }
  return true;
}

std::unique_ptr<media::InputMedia> InputFor(const std::string& path) {
  auto input = media::CreateInputForPath(path);
  if (!input) {
    std::string known;
    for (const auto& ext : media::KnownExtensions()) known += (known.empty() ? "" : " ") + ext;
    std::fprintf(stderr, "対象外の拡張子です: %s（対応している拡張子: %s）\n", path.c_str(),
                 known.c_str());
  }
  return input;
}

std::string Clock(int64_t seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", static_cast<long>(seconds / 3600),
                static_cast<long>(seconds / 60 % 60), static_cast<long>(seconds % 60));
  return text;
}

int Info(const Options& o) {
  auto input = InputFor(o.file);
  if (!input) return kExitUsage;
  media::PlayListItem item(o.file);
  input->Open(o.file, item);
  input->Close();
  media::InputFormat format;
  input->GetFormat(format);
  std::printf("file: %s\n", media::FileNameOf(o.file).c_str());
  if (!item.name.empty()) std::printf("name: %s\n", item.name.c_str());
  std::printf("channels: %d\n", item.channels);
  std::printf("sample rate: %d Hz\n", item.sample_rate);
  std::printf("bits: %u\n", format.bits_per_sample);
  std::printf("total samples: %u\n", item.total_samples);
  std::printf("length: %d s (%s)\n", item.length, Clock(item.length).c_str());
  if (item.bit_rate != 0 || item.frames != 0) {
    std::printf("bit rate: %d bit/s\n", item.bit_rate);
    std::printf("frames: %d\n", item.frames);
  }
  return 0;
}

// Sets the engine as the equalizer window does for these slider positions: Q 5 and the nominal
// centre of every band, the band gain (24 - position) x 0.625 dB, the master gain -1 dB a step.
// The bands are designed for the rate the device will run at.
void SetEqualizer(dsp::CDataManager& engine, const Options& o, uint32_t device_rate,
                  uint16_t channels, uint16_t bits) {
  engine.SetFormat(platform::MakePcmFormat(channels, device_rate, bits));
  const std::vector<int> flat(dsp::kBandCount, 24);
  const std::vector<int>& positions = o.eq ? *o.eq : flat;
  for (int band = 0; band < dsp::kBandCount; ++band) {
    const float db = static_cast<float>(24 - positions[static_cast<size_t>(band)]) * 0.625f;
    const float gain = std::pow(10.0f, db * 0.05f);
    engine.SetBand(1, band, dsp::BandFrequencies[band], 5.0f, gain);
    engine.SetBand(2, band, dsp::BandFrequencies[band], 5.0f, gain);
  }
  engine.SetMasterGain(std::pow(10.0f, -0.05f * static_cast<float>(o.master.value_or(0))));
}

int Decode(const Options& o) {
  if (o.out.empty()) {
    std::fprintf(stderr, "出力ファイルを -o で指定してください。\n");
    return kExitUsage;
  }
  auto input = InputFor(o.file);
  if (!input) return kExitUsage;
  platform::VirtualAudioBackend card({platform::Pacing::kAsFastAsPossible, 1.0});
  media::OutputAudio output(card);
  output.SetSpeedDivisor(o.divisor);
  output.SetKeepPitch(o.keep_pitch);
  dsp::CDataManager engine;
  media::EqualizerEngineHook hook(engine, o.eq.has_value() || o.master.has_value());
  output.SetEqualizer(&hook);

  platform::Event ended;
  input->SetOutput(&output);
  input->SetNotify([&](int32_t code) {
    if (code == media::NOTIFY_END || code == media::NOTIFY_DEVICE_LOST) ended.Set();
  });
  media::PlayListItem item(o.file);
  input->Open(o.file, item);
  media::InputFormat format;
  input->GetFormat(format);
  // Keeping the pitch, the device (and so the equalizer) runs at the file's own rate.
  const auto device_rate = o.keep_pitch ? format.sample_rate
                                        : static_cast<uint32_t>(uint64_t{format.sample_rate} * 8 /
                                                                static_cast<uint64_t>(o.divisor));
  if (hook.IsOn()) {
    SetEqualizer(engine, o, device_rate, format.channels,
                 format.bits_per_sample ? format.bits_per_sample : 16);
  }
  input->Start(o.from);
  ended.Wait();
  input->RequestStop();
  input->Close();
  if (!input->LastReaderError().empty()) {
    std::fprintf(stderr, "再生中にエラーが発生しました: %s\n", input->LastReaderError().c_str());
    return kExitFailure;
  }

  std::ofstream out(o.out, std::ios::binary | std::ios::trunc);
  size_t bytes = 0;
  uint32_t block_align = 1;
  for (const auto& playback : card.Playbacks()) {
    out.write(reinterpret_cast<const char*>(playback.played.data()),
              static_cast<std::streamsize>(playback.played.size()));
    bytes += playback.played.size();
    block_align = std::max<uint32_t>(playback.format.block_align, 1);
  }
  out.close();
  if (!out) {
    std::fprintf(stderr, "出力ファイルに書き込めません: %s\n", o.out.c_str());
    return kExitFailure;
  }
  // The last block is padded with silence up to a whole block (keeping the pitch, the output
  // ends with the data, stretched); the position ends with the data.
  const int64_t start = static_cast<int64_t>(o.from) * item.sample_rate;
  const int64_t frames = static_cast<int64_t>(bytes / block_align);
  const int64_t file_frames =
      o.keep_pitch ? std::llround(static_cast<double>(frames) * 8 / o.divisor) : frames;
  const int64_t last =
      std::min<int64_t>(start + file_frames, std::max<int64_t>(start, item.total_samples));
  const int64_t end = item.sample_rate > 0 ? last / item.sample_rate : 0;
  std::printf("device rate: %u Hz\n", device_rate);
  std::printf("wrote %zu bytes (%lld frames%s) to %s\n", bytes, static_cast<long long>(frames),
              o.keep_pitch ? "" : ", the last block padded", o.out.c_str());
  std::printf("final position: %lld s (%s), sample %lld\n", static_cast<long long>(end),
              Clock(end).c_str(), static_cast<long long>(last));
  return 0;
}

volatile std::sig_atomic_t g_interrupted = 0;

int Play(const Options& o) {
  auto input = InputFor(o.file);
  if (!input) return kExitUsage;
  platform::AudioBackend& backend = platform::DefaultAudioBackend();
  media::OutputAudio output(backend);
  output.SetSpeedDivisor(o.divisor);
  output.SetKeepPitch(o.keep_pitch);
  platform::Event ended;
  input->SetOutput(&output);
  input->SetNotify([&](int32_t code) {
    if (code == media::NOTIFY_END || code == media::NOTIFY_DEVICE_LOST) ended.Set();
  });
  media::PlayListItem item(o.file);
  input->Open(o.file, item);
  std::signal(SIGINT, [](int) { g_interrupted = 1; });
  input->Start(o.from);
  std::printf("playing %s on %s, %s long\n", media::FileNameOf(o.file).c_str(),
              backend.Name().c_str(), Clock(item.length).c_str());
  while (!g_interrupted &&
         ended.Wait(platform::Milliseconds(1000)) == platform::WaitResult::kTimeout) {
    std::printf("%s\n", Clock(input->GetPosition()).c_str());
    std::fflush(stdout);
  }
  const bool stopped = g_interrupted != 0;
  // At the end the device is closed and counts nothing; the position is then the end of the file.
  const int32_t position = stopped ? input->GetPosition() : item.length;
  input->RequestStop();
  input->Close();
  std::printf("%s at %s\n", stopped ? "stopped" : "ended", Clock(position).c_str());
  if (!input->LastReaderError().empty()) {
    std::fprintf(stderr, "再生中にエラーが発生しました: %s\n", input->LastReaderError().c_str());
    return kExitFailure;
  }
  if (output.DeviceLost()) {
    std::fprintf(stderr, "再生中にサウンドデバイスが使えなくなりました。\n");
    return kExitFailure;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    Usage();
    return kExitUsage;
  }
  try {
    if (o.command == "info") return Info(o);
    if (o.command == "decode") return Decode(o);
    if (o.command == "play") {
      if (o.eq || o.master) {
        std::fprintf(stderr, "--eq と --master は decode でのみ使えます。\n");
        return kExitUsage;
      }
      return Play(o);
    }
    std::fprintf(stderr, "不明なコマンドです: %s\n", o.command.c_str());
    Usage();
    return kExitUsage;
  } catch (const media::MMException& e) {
    std::fprintf(stderr, "サウンドデバイスのエラー (%u): %s\n", e.code(), e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  }
  return kExitFailure;
}
