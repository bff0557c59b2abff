// The real sound card through ALSA. On a desktop the "default" device routes to the sound server
// (PipeWire or PulseAudio) through its ALSA plugin, which resamples, so every rate from 4000 to
// 192000 Hz opens. Each open device has a thread of its own that feeds the PCM and reports
// completions; the callers talk to it by messages, so the PCM handle is touched by one thread only.
#pragma once

#include <string>

#include "platform/wave_device.h"

namespace platform {

struct AlsaOptions {
  std::string playback_device = "default";
  // Recording device used for kDefaultWaveInDevice.
  std::string capture_device = "default";
  // Latency asked of the device: the buffer between what was written and what is heard. Short
  // enough that a reset is silent at once, long enough to ride over a busy machine.
  unsigned playback_latency_us = 100000;
  unsigned capture_latency_us = 200000;
};

class AlsaAudioBackend : public AudioBackend {
 public:
  explicit AlsaAudioBackend(AlsaOptions options = {});

  std::string Name() const override { return "alsa"; }
  std::unique_ptr<WaveOutDevice> CreateWaveOut() override;
  std::unique_ptr<WaveInDevice> CreateWaveIn() override;
  // The capture-capable PCM devices ALSA knows (the first line of each one's description);
  // the position in the list is the device number for WaveInDevice::Open.
  std::vector<std::string> WaveInDeviceNames() override;
  void PlaySoundFile(const std::string& path) override;

  // The ALSA names behind WaveInDeviceNames(), in the same order.
  std::vector<std::string> WaveInDeviceIds();

 private:
  AlsaOptions options_;
};

}  // namespace platform
