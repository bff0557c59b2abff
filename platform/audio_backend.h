// Choosing the sound backend by name, as DefaultAudioBackend() does from the environment.
#pragma once

#include <memory>
#include <string>

#include "platform/wave_device.h"

namespace platform {

// `name` is VERBAT_AUDIO's value ("alsa", "virtual", or empty for the default, alsa), `speed`
// VERBAT_VIRTUAL_SPEED's (for virtual: N times real time, 0 as fast as possible, empty for 1).
// An unknown name or a bad speed falls back to alsa or real time, with the reason in `warning`
// (empty when all was well).
std::unique_ptr<AudioBackend> CreateAudioBackend(const std::string& name, const std::string& speed,
                                                 std::string& warning);

}  // namespace platform
