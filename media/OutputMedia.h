// The interface through which an input's reader thread plays PCM: blocks in, device control,
// position and snapshots out. OutputAudio is the implementation on a wave-out device.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "media/PcmBlockFormat.h"

namespace media {

class OutputMedia {
 public:
  // Values per channel in the arrays of GetWaveSnapshot and GetSpectrum.
  static constexpr int kSnapshotValues = 256;

  virtual ~OutputMedia() = default;

  // Opens the device for this format (closing it first if open). Raises MMException when the
  // device refuses, MediaError for a block format it cannot work with.
  virtual void Open(const PcmBlockFormat& format) = 0;
  // Plays out what is pending (the last partial block padded with silence) and closes the
  // device. Does nothing when closed.
  virtual void Close() = 0;
  // Appends bytes to the block being filled and queues every block that fills up; returns the
  // block size when a block was completed by this call, else 0.
  virtual uint32_t Write(const uint8_t* bytes, uint32_t length) = 0;
  // Drops everything queued and the partly filled block; the position starts again from 0.
  virtual void Reset() = 0;
  virtual void Pause() = 0;
  virtual void Restart() = 0;
  virtual void SetVolume(uint32_t left_percent, uint32_t right_percent) = 0;
  // Sample frames of the file played since Open or the last Reset (whatever the device's own
  // rate); 0 when closed.
  virtual uint64_t GetPosition() = 0;
  // kSnapshotValues frames of each channel at a sample position (counted like GetPosition),
  // scaled to -100..100. Returns the frames the window held, or 0 (and zeroed arrays) when no
  // such window of data is kept.
  virtual int32_t GetWaveSnapshot(uint64_t sample_position, int32_t* left, int32_t* right) = 0;
  // The magnitude spectrum (whole decibels, kSnapshotValues bins per channel) of the
  // 2 x kSnapshotValues frames at a sample position; returns the frames used, or 0 (and zeroed
  // arrays) when no such window of data is kept.
  virtual int32_t GetSpectrum(uint64_t sample_position, int32_t* left, int32_t* right) = 0;
  // 8 is normal speed; the device runs at rate x 8 / divisor. Takes effect at the next Open
  // (an output that keeps the pitch may apply it at once, see OutputAudio).
  virtual void SetSpeedDivisor(int32_t divisor) = 0;
  // Stops the device, plays a sound file to its end, and opens the device again as it was.
  virtual void PlaySoundInterrupt(const std::string& sound_name) = 0;
  virtual void SetFlagA(uint8_t flag) = 0;
  virtual void SetFlagB(uint8_t flag) = 0;

  // Blocks handed to the device and not yet returned by it.
  virtual int32_t QueuedBlocks() const = 0;

  // Whether the device went away during the last playback (see platform::MMResult::kDeviceLost);
  // false again after the next Open.
  virtual bool DeviceLost() const { return false; }
  // Called (on any thread) when the device is lost during playback, however it was found: the
  // input wakes its reader with it, which may be paused and so writing nothing.
  virtual void SetLostNotice(std::function<void()> notice) { (void)notice; }
};

}  // namespace media
