// The output's view of the equalizer: whether filtering is on, and the engine that filters a
// block in place. The equalizer window owns the switch and the engine; the output only asks,
// which keeps the media layer free of the window.
#pragma once

#include <cstdint>

#include "platform/wave_format.h"

namespace media {

class EqualizerHook {
 public:
  virtual ~EqualizerHook() = default;

  // Asked on the reader thread before every block; may be switched from any thread.
  virtual bool IsOn() const = 0;
  // Filters `frames` sample frames of `block` in place. `device_format` is the format the device
  // was opened with, so its rate is the device rate after the speed divisor.
  virtual void Filter(const platform::WaveFormat& device_format, uint8_t* block,
                      uint32_t frames) = 0;
};

}  // namespace media
