// The sound devices: wave-out for playback, wave-in for recording, a synchronous sound-file
// player, and the backend that makes them (ALSA for real sound, or the in-process virtual card).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/mm_result.h"
#include "platform/thread.h"
#include "platform/wave_format.h"

namespace platform {

// The device rates every backend opens (the sound server resamples where the card cannot).
inline constexpr uint32_t kMinDeviceRate = 4000;
inline constexpr uint32_t kMaxDeviceRate = 192000;

// 8-bit unsigned or 16-bit signed PCM, 1 or 2 channels, at a device rate.
inline bool SupportedDeviceFormat(const WaveFormat& f) {
  return f.format_tag == kWaveFormatPcm && (f.channels == 1 || f.channels == 2) &&
         (f.bits_per_sample == 8 || f.bits_per_sample == 16) &&
         f.samples_per_sec >= kMinDeviceRate && f.samples_per_sec <= kMaxDeviceRate &&
         f.block_align == f.channels * f.bits_per_sample / 8;
}

// How long a caller waits for a device's answer before it counts the device as lost: a device
// answers within milliseconds, so only a sound server that has stalled takes this long, and the
// window's thread must never hang on one.
inline constexpr Milliseconds kDeviceAnswerTimeout{750};
// How long opening a device may take before the device counts as not answering.
inline constexpr Milliseconds kDeviceOpenTimeout{1000};

// One buffer handed to a device. The owner keeps it (and its data) alive from Prepare to Unprepare.
struct WaveHeader {
  static constexpr uint32_t kDone = 0x01;  // the device has finished with it
  static constexpr uint32_t kPrepared = 0x02;
  static constexpr uint32_t kInQueue =
      0x10;  // queued at the device (until its completion is reported)

  uint8_t* data = nullptr;
  uint32_t buffer_length = 0;   // bytes in data
  uint32_t bytes_recorded = 0;  // wave-in: bytes the device filled
  uintptr_t user = 0;           // free for the owner
  std::atomic<uint32_t> flags{0};
};

// The header bookkeeping every device shares: a prepared header may be queued, and one still
// queued (its completion not yet reported) cannot be unprepared.
inline MMResult PrepareHeader(WaveHeader& header) {
  header.flags.fetch_or(WaveHeader::kPrepared);
  return MMResult::kNoError;
}
inline MMResult UnprepareHeader(WaveHeader& header) {
  if (header.flags & WaveHeader::kInQueue) return MMResult::kStillPlaying;
  header.flags.fetch_and(~WaveHeader::kPrepared);
  return MMResult::kNoError;
}

// Playback device. Position and completion are in terms of what was actually played: a block is
// reported done once its last frame has left the speaker (or when Reset throws it away).
//
// A device that goes away while open (its sound server ended, or stopped answering for longer
// than kDeviceAnswerTimeout) is lost: it hands back every queued block as done, and from then
// on every call but Close, IsOpen and GetPosition fails at once with kDeviceLost. Close releases
// it (returning kDeviceLost), and the next Open starts afresh.
class WaveOutDevice {
 public:
  // Called on a thread of the device layer for every block that is done, in the order written.
  using DoneCallback = std::function<void(WaveHeader&)>;
  // Called once on a thread of the device layer when the device finds itself lost while open,
  // after it has handed back its blocks. An owner whose playback is held (paused, nothing to
  // write) would otherwise hear of the loss only at its next call.
  using LostCallback = std::function<void()>;

  virtual ~WaveOutDevice() = default;

  // The callback for the loss of the devices opened from now on; none by default.
  virtual void SetLostCallback(LostCallback lost) { (void)lost; }

  // 8-bit unsigned or 16-bit signed PCM, 1 or 2 channels, 4000 to 192000 frames per second.
  virtual MMResult Open(const WaveFormat& format, DoneCallback done) = 0;
  // kStillPlaying while blocks are queued; the device stays open then.
  virtual MMResult Close() = 0;
  virtual bool IsOpen() const = 0;

  virtual MMResult Prepare(WaveHeader& header) = 0;
  // kStillPlaying while the header is queued (its completion not yet reported).
  virtual MMResult Unprepare(WaveHeader& header) = 0;
  virtual MMResult Write(WaveHeader& header) = 0;  // kUnprepared unless prepared

  // Holds playback with the queue intact; allowed before the first block too.
  virtual MMResult Pause() = 0;
  virtual MMResult Restart() = 0;
  // Stops at once: every queued block is reported done before Reset returns, and the position
  // starts again from 0.
  virtual MMResult Reset() = 0;

  // Sample frames played since Open or the last Reset.
  virtual MMResult GetPosition(uint64_t& frames) = 0;
  // Linear volume per channel, 0 to 0xFFFF.
  virtual MMResult SetVolume(uint16_t left, uint16_t right) = 0;
};

// Messages a wave-in device posts to the thread it was opened with.
inline constexpr uint32_t kMsgWaveInOpen = 0x3BE;
inline constexpr uint32_t kMsgWaveInClose = 0x3BF;
// A buffer is done: ptr is its WaveHeader (bytes_recorded tells how much was filled) and param the
// serial number of the Open it belongs to, so that notices of an earlier recording can be told
// apart from those of the current one.
inline constexpr uint32_t kMsgWaveInData = 0x3C0;

inline constexpr int kDefaultWaveInDevice = -1;

// The device was lost (see WaveOutDevice): param is the Open's serial. It comes after the
// buffers it handed back (each with the bytes it had filled).
inline constexpr uint32_t kMsgWaveInLost = 0x3C1;

// Recording device. Filled buffers are posted, in the order they were added, as kMsgWaveInData
// messages to the thread given at Open. A lost device hands back its buffers and posts
// kMsgWaveInLost; later calls but Close fail with kDeviceLost.
class WaveInDevice {
 public:
  virtual ~WaveInDevice() = default;

  // device: an index into AudioBackend::WaveInDeviceNames(), or kDefaultWaveInDevice.
  virtual MMResult Open(int device, const WaveFormat& format, ThreadId notify_thread) = 0;
  virtual MMResult Close() = 0;  // kStillPlaying while buffers are queued (Reset first)
  virtual bool IsOpen() const = 0;
  virtual uint32_t OpenSerial() const = 0;  // the serial carried by this Open's messages

  virtual MMResult Prepare(WaveHeader& header) = 0;
  virtual MMResult Unprepare(WaveHeader& header) = 0;  // kStillPlaying while queued
  virtual MMResult AddBuffer(WaveHeader& header) = 0;
  virtual MMResult Start() = 0;
  // Stops recording and hands back every queued buffer, the partly filled one with its byte count;
  // all of them are posted before Reset returns.
  virtual MMResult Reset() = 0;
};

class AudioBackend {
 public:
  virtual ~AudioBackend() = default;
  virtual std::string Name() const = 0;
  virtual std::unique_ptr<WaveOutDevice> CreateWaveOut() = 0;
  virtual std::unique_ptr<WaveInDevice> CreateWaveIn() = 0;
  // Recording devices; the position in the list is the device number.
  virtual std::vector<std::string> WaveInDeviceNames() = 0;
  // Plays a WAV file to its end before returning; an empty or missing name plays nothing.
  virtual void PlaySoundFile(const std::string& path) = 0;
};

// The backend chosen by the environment variable VERBAT_AUDIO: "alsa" (the default) or "virtual"
// (the in-process sound card, playing in real time; VERBAT_VIRTUAL_SPEED=N plays N times faster,
// 0 as fast as possible).
AudioBackend& DefaultAudioBackend();

}  // namespace platform
