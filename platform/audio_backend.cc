// The process's sound backend, chosen once from the environment.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/alsa_audio.h"
#include "platform/virtual_audio.h"
#include "platform/wave_device.h"

namespace platform {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// VERBAT_VIRTUAL_SPEED: N plays N times faster than real time, 0 as fast as possible.
VirtualCardOptions VirtualOptionsFromEnvironment() {
  VirtualCardOptions options;
  std::string speed = Env("VERBAT_VIRTUAL_SPEED");
  if (speed.empty()) return options;
  char* end = nullptr;
  double value = std::strtod(speed.c_str(), &end);
  if (end == speed.c_str() || *end != '\0' || !(value >= 0) || value > 1e6) {
    std::fprintf(stderr,
                 "Verbat: VERBAT_VIRTUAL_SPEED の値 \"%s\" は使えません (0 以上の数)。"
                 "実時間で再生します。\n",
                 speed.c_str());
    return options;
  }
  if (value == 0) {
    options.pacing = Pacing::kAsFastAsPossible;
  } else {
    options.speed = value;
  }
  return options;
}

AudioBackend* MakeBackend() {
  std::string name = Env("VERBAT_AUDIO");
  if (name == "virtual") return new VirtualAudioBackend(VirtualOptionsFromEnvironment());
  if (!name.empty() && name != "alsa") {
    std::fprintf(stderr,
                 "Verbat: VERBAT_AUDIO の値 \"%s\" は不明です (alsa または virtual)。"
                 "alsa を使います。\n",
                 name.c_str());
  }
  return new AlsaAudioBackend();
}

}  // namespace

AudioBackend& DefaultAudioBackend() {
  // Never destroyed: device threads and late callers may still use it while the process exits.
  static AudioBackend* backend = MakeBackend();
  return *backend;
}

}  // namespace platform
