// The in-process sound card: wave-out and wave-in devices with a clock of their own, for tests
// and for running the program where no sound server exists. For tests it keeps everything it
// played, to be compared with what should have been heard; the program's own card and long runs
// only count it, so that memory does not grow with every second played.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/sound_file.h"
#include "platform/wave_device.h"

namespace platform {

enum class Pacing {
  kRealTime,          // frames are consumed at the device rate (times VirtualCardOptions::speed)
  kAsFastAsPossible,  // every block is consumed as soon as it is written
  kManual,            // frames are consumed only when the test calls Advance()
};

struct VirtualCardOptions {
  Pacing pacing = Pacing::kRealTime;
  double speed = 1.0;       // kRealTime only: how many times faster than the device rate
  int wave_in_devices = 1;  // recording devices the card offers (0: a machine without any)
  bool keep_played = true;  // keep every played byte in VirtualPlayback::played (else count only)
};

// What one wave-out device did between an Open and its Close.
struct VirtualPlayback {
  WaveFormat format;
  std::vector<uint8_t> played;  // every byte that reached the speaker, in order (if kept)
  uint64_t bytes_played = 0;    // how many they were, kept or not
  uint64_t blocks_written = 0;
  uint64_t blocks_done = 0;  // played to the end or thrown away by Reset
  uint64_t resets = 0;
  bool closed = false;
};

class VirtualAudioBackend : public AudioBackend {
 public:
  explicit VirtualAudioBackend(VirtualCardOptions options = {});
  ~VirtualAudioBackend() override;

  std::string Name() const override { return "virtual"; }
  const VirtualCardOptions& options() const;
  std::unique_ptr<WaveOutDevice> CreateWaveOut() override;
  std::unique_ptr<WaveInDevice> CreateWaveIn() override;
  std::vector<std::string> WaveInDeviceNames() override;
  void PlaySoundFile(const std::string& path) override;

  // Every wave-out Open so far, oldest first (copies).
  std::vector<VirtualPlayback> Playbacks() const;
  size_t PlaybackCount() const;
  VirtualPlayback LastPlayback() const;  // an empty record when nothing was opened yet

  // Blocks queued (written and not yet done) at the open wave-out devices.
  size_t QueuedBlocks() const;
  // Waits, at most `timeout`, until pred() holds; pred is checked whenever a device changes
  // (write, completion, open, close). Returns whether it held. For tests that must not sleep.
  bool WaitUntil(const std::function<bool()>& pred, Milliseconds timeout);

  // The sound server goes away: every open device is lost at once. Wave-out devices hand back
  // their queued blocks, wave-in devices their buffers (with what they hold) followed by
  // kMsgWaveInLost; every later call on them but Close fails with kDeviceLost. Devices opened
  // afterwards work again.
  void LoseDevices();
  // The sound server stalls (true) or goes on (false). While stalled no frame moves, and a
  // command to an open device waits for the stall to end; after kDeviceAnswerTimeout the caller
  // gives up and the device is lost, dropping what it held without handing it back (as a device
  // thread stuck in a stalled server does). Opening a device while stalled fails the same way.
  void Stall(bool stalled);

  // kManual: plays up to `frames` frames of what is queued at each open, unpaused wave-out device,
  // reporting the completed blocks, and returns once that is done. Frames beyond what is queued
  // are lost, as silence is on a real card.
  void Advance(uint64_t frames);

  // What wave-in devices created from now on record: the samples of this PCM WAV file (then
  // silence), or with an empty path a 1 kHz tone at half scale (the default). False when the
  // file cannot be read as PCM WAV.
  bool SetWaveInSource(const std::string& wav_path);

  struct Card;  // shared by the backend and the devices it made

 private:
  std::shared_ptr<Card> card_;
  std::mutex source_mutex_;
  std::shared_ptr<const PcmFile> wave_in_source_;
};

}  // namespace platform
