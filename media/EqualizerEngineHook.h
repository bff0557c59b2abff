// The equalizer hook over the equalizer engine: a switch, and the engine it hands each block to
// (SetFormat with the device format, then GetData in place). The switch may be flipped from any
// thread; the engine is not owned and must outlive the output that uses this hook.
#pragma once

#include <atomic>

#include "dsp/DataManager.h"
#include "media/EqualizerHook.h"

namespace media {

class EqualizerEngineHook : public EqualizerHook {
 public:
  explicit EqualizerEngineHook(dsp::CDataManager& engine, bool on = false)
      : engine_(engine), on_(on) {}

  void SetOn(bool on) { on_.store(on); }
  bool IsOn() const override { return on_.load(); }
  void Filter(const platform::WaveFormat& device_format, uint8_t* block, uint32_t frames) override;

  dsp::CDataManager& Engine() { return engine_; }

 private:
  dsp::CDataManager& engine_;
  std::atomic<bool> on_;
};

}  // namespace media
