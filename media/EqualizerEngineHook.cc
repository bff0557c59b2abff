#include "media/EqualizerEngineHook.h"

namespace media {

void EqualizerEngineHook::Filter(const platform::WaveFormat& device_format, uint8_t* block,
                                 uint32_t frames) {
  // The engine designs and runs its bands for the rate the device plays at, which after the
  // speed divisor is not the file's rate.
  engine_.SetFormat(device_format);
  engine_.GetData(1, block, static_cast<int32_t>(frames));
}

}  // namespace media
