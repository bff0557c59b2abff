// Reading a whole PCM WAV file for the sound-file player and the virtual wave-in, and playing one
// synchronously on any wave-out device.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/wave_device.h"

namespace platform {

struct PcmFile {
  WaveFormat format;
  std::vector<uint8_t> samples;  // the data chunk
};

// The format and samples of a PCM WAV file (8 or 16 bits); nullopt when the file is missing or
// not such a file.
std::optional<PcmFile> ReadPcmFile(const std::string& path);

// Plays the file on the device (opened and closed here) and returns once it has been heard to
// the end. An empty or missing name, or a file that is not PCM WAV, plays nothing.
void PlaySoundFileOn(WaveOutDevice& device, const std::string& path);

}  // namespace platform
