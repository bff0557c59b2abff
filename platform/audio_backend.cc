// The process's sound backend, chosen once from the environment.
#include "platform/audio_backend.h"

#include <cstdio>
#include <cstdlib>

#include "platform/alsa_audio.h"
#include "platform/virtual_audio.h"

namespace platform {

std::unique_ptr<AudioBackend> CreateAudioBackend(const std::string& name, const std::string& speed,
                                                 std::string& warning) {
  warning.clear();
  if (name == "virtual") {
    VirtualCardOptions options;
    // Nobody reads back what the program's card played; kept, it would grow by the whole of
    // every file played (1.3 GB for two hours of CD sound).
    options.keep_played = false;
    if (!speed.empty()) {
      char* end = nullptr;
      double value = std::strtod(speed.c_str(), &end);
      if (end == speed.c_str() || *end != '\0' || !(value >= 0 && value <= 1e6)) {
        warning = "VERBAT_VIRTUAL_SPEED の値 \"" + speed +
                  "\" は使えません (0 以上の数を指定してください)。実時間で再生します。";
      } else if (value == 0) {
        options.pacing = Pacing::kAsFastAsPossible;
      } else {
        options.speed = value;
      }
    }
    return std::make_unique<VirtualAudioBackend>(options);
  }
  if (!name.empty() && name != "alsa") {
    warning = "VERBAT_AUDIO の値 \"" + name +
              "\" は不明です (alsa または virtual を指定してください)。alsa を使います。";
  }
  return std::make_unique<AlsaAudioBackend>();
}

AudioBackend& DefaultAudioBackend() {
  // Never destroyed: device threads and late callers may still use it while the process exits.
  static AudioBackend* backend = [] {
    auto env = [](const char* n) {
      const char* v = std::getenv(n);
      return std::string(v ? v : "");
    };
    std::string warning;
    auto made = CreateAudioBackend(env("VERBAT_AUDIO"), env("VERBAT_VIRTUAL_SPEED"), warning);
    if (!warning.empty()) std::fprintf(stderr, "Verbat: %s\n", warning.c_str());
    return made.release();
  }();
  return *backend;
}

}  // namespace platform
