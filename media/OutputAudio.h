// Plays PCM on a wave-out device. The reader thread writes bytes; they are collected into blocks
// of the size given at Open, each completed block is filtered by the equalizer when it is on,
// kept in a history ring (for the snapshots) and copied into one of 32 device buffers. A
// semaphore with one count per free buffer holds the writer back while all 32 are queued: the
// only flow control between reading and playing.
//
// Pitch keeping (SetKeepPitch): the device then runs at the file's own rate and each block, once
// filtered, passes through a time-stretcher at tempo 8 / divisor, one device buffer per block.
// Everything the output reports (position, snapshots) stays in the file's frames, and a speed
// change while playing takes effect at once (SetSpeedDivisor).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media/EqualizerHook.h"
#include "media/MMException.h"
#include "media/OutputMedia.h"
#include "media/TimeStretch.h"
#include "platform/sync.h"
#include "platform/wave_device.h"

namespace media {

class OutputAudio : public OutputMedia {
 public:
  static constexpr int kHeaderCount = 32;
  static constexpr int kRingCount = 80;

  // The backend must outlive the output; the device is made from it once, here.
  explicit OutputAudio(platform::AudioBackend& backend);
  ~OutputAudio() override;
  OutputAudio(const OutputAudio&) = delete;
  OutputAudio& operator=(const OutputAudio&) = delete;

  void Open(const PcmBlockFormat& format) override;
  void Close() override;
  uint32_t Write(const uint8_t* bytes, uint32_t length) override;
  void Reset() override;
  void Pause() override;
  void Restart() override;
  void SetVolume(uint32_t left_percent, uint32_t right_percent) override;
  uint64_t GetPosition() override;
  int32_t GetWaveSnapshot(uint64_t sample_position, int32_t* left, int32_t* right) override;
  int32_t GetSpectrum(uint64_t sample_position, int32_t* left, int32_t* right) override;
  void SetSpeedDivisor(int32_t divisor) override;
  void PlaySoundInterrupt(const std::string& sound_name) override;
  void SetFlagA(uint8_t flag) override { flag_a_ = flag; }
  void SetFlagB(uint8_t flag) override { flag_b_ = flag; }
  int32_t QueuedBlocks() const override { return queued_.load(); }
  bool DeviceLost() const override { return lost_.load(); }
  void SetLostNotice(std::function<void()> notice) override;

  // The equalizer consulted before each block is queued; null (the default) for none. Not owned.
  void SetEqualizer(EqualizerHook* equalizer) { equalizer_.store(equalizer); }

  // Pitch keeping on or off (off after construction); takes effect at the next Open. While the
  // device is open with it, SetSpeedDivisor changes the tempo in place: what is queued and not
  // yet heard is dropped and played again from the position heard, at the new tempo, without
  // reopening the device. Without it the divisor changes the device rate at the next Open.
  void SetKeepPitch(bool on) { keep_pitch_ = on; }
  bool KeepPitch() const { return keep_pitch_.load(); }
  // Whether the open device is fed through the time-stretcher.
  bool Stretching() const { return stretching_.load(); }

  bool IsOpen() const { return open_; }
  int32_t SpeedDivisor() const { return speed_divisor_.load(); }
  // The format the device was last opened with (rate after the speed divisor).
  platform::WaveFormat DeviceFormat() const;
  uint8_t FlagA() const { return flag_a_; }
  uint8_t FlagB() const { return flag_b_; }
  // Blocks a Write or Close gave up because a stop command was waiting (see Write).
  uint64_t AbandonedBlocks() const { return abandoned_.load(); }
  // Whether a Write (or Close) is waiting for a free header right now.
  bool WriterWaiting() const { return writer_waiting_.load(); }

 private:
  struct Header {
    platform::WaveHeader wave;
    std::vector<uint8_t> buffer;
  };

  // Waits for a free header and queues the ring block being filled; false when a stop command
  // arrived for the calling thread first (the block is then dropped).
  bool QueueBlock();
  // Waits for a free header unless a stop command is waiting; false then.
  bool AcquireHeader();
  void Equalize(uint8_t* block, uint32_t frames);
  // Hands the header at the next index to the device with `bytes` of its buffer.
  void WriteHeader(Header& h, uint32_t bytes);
  // Moves everything the stretcher has ready into the next header (the caller holds a free
  // header) and queues it, with the span of file frames it plays.
  void QueueStretched();
  void CloseStretched();
  // The tempo change in place: position heard, device reset, the rest played again.
  void Retune(double tempo);
  // Feeds the stretcher the file frames [from, frames_written_) again from the history ring.
  void Replay(uint64_t from);
  // Drops what is queued and the block being filled; the stream lock is held.
  void ResetLocked();
  void ClearSpans(double input_base);
  // File frames heard since Open or Reset, while stretching; map_mutex_ is held.
  uint64_t StretchedPosition();
  void OnDone(platform::WaveHeader& header);
  // Copies `window` bytes of history starting at `byte_position`; false when the ring does not
  // hold all of them.
  bool ReadHistory(uint64_t byte_position, uint32_t window, std::vector<uint8_t>& out);
  // The bytes of history a snapshot looks at, read as 16-bit samples whatever the format.
  struct SnapshotWindow {
    uint32_t channels = 0;
    uint32_t bits = 0;
    uint32_t bytes_wanted = 0;
    std::vector<uint8_t> bytes;
    int16_t Sample(size_t i) const {
      return static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
  };
  // Zeroes both outputs and reads the window of history at the position; false when there is
  // no format yet or not enough completed history.
  bool ReadSnapshotWindow(uint64_t sample_position, uint32_t samples_per_channel, int32_t* left,
                          int32_t* right, SnapshotWindow& window);
  // False when the device kept buffers beyond the time the queue takes to play.
  bool WaitUntilDrained();
  void OpenDevice();
  // Raises MMException for a failed device call, noting first whether the device was lost.
  void Check(platform::MMResult result);
  // The end of an Open whose device was lost: nothing is waited for, since a lost device hands
  // nothing back any more.
  void CloseLost();
  // The device was lost (found by a call, or reported by the device): notes it and tells the
  // lost notice, once per Open.
  void MarkLost();

  platform::AudioBackend& backend_;
  std::unique_ptr<platform::WaveOutDevice> device_;
  std::atomic<bool> open_{false};  // read by IsOpen from any thread
  // A device call answered kDeviceLost since the last Open. Set by whichever thread made it (the
  // reader, or the main thread changing the tempo in place).
  std::atomic<bool> lost_{false};
  std::mutex notice_mutex_;  // the lost notice is set by the input, called on any thread
  std::function<void()> lost_notice_;
  bool paused_ = false;
  platform::WaveFormat device_format_;
  std::unique_ptr<platform::Semaphore> free_headers_;

  std::atomic<int32_t> queued_{0};
  std::mutex drain_mutex_;  // with drained_: lets Close wait for the device's last completion
  std::condition_variable drained_;

  uint16_t bits_per_sample_ = 0;
  uint16_t channels_ = 0;
  uint32_t block_size_ = 0;

  // History ring: guarded by ring_lock_ where a block completes and where snapshots read it.
  mutable std::mutex ring_lock_;
  std::array<std::vector<uint8_t>, kRingCount> ring_;
  int ring_write_index_ = 0;
  uint64_t ring_filled_ = 0;  // blocks completed since Open or Reset
  uint32_t fill_offset_ = 0;  // bytes already in the block being filled

  std::array<Header, kHeaderCount> headers_;
  int next_header_ = 0;

  std::atomic<int32_t> speed_divisor_{4};
  std::atomic<EqualizerHook*> equalizer_{nullptr};
  std::atomic<uint64_t> abandoned_{0};
  std::atomic<bool> writer_waiting_{false};
  uint8_t flag_a_ = 0;
  uint8_t flag_b_ = 1;

  // Pitch keeping. The block path (the writer's Write, Reset, Close) and a tempo change in place
  // (SetSpeedDivisor on the main thread) take stream_mutex_ in turn; a writer waiting for a free
  // header does not hold it.
  std::atomic<bool> keep_pitch_{false};
  std::atomic<bool> stretching_{false};  // fixed at Open
  std::mutex stream_mutex_;
  TimeStretch stretch_;
  double tempo_ = 1.0;
  uint32_t frames_per_block_ = 0;
  uint32_t header_bytes_ = 0;    // each header's buffer, sized at Open
  uint64_t frames_written_ = 0;  // file frames fed to the stretcher since Open or Reset
  bool input_ended_ = false;     // Close has fed the last frames and finished the stretcher

  // Which file frames each queued header plays: device frames since Open, Reset or a tempo
  // change against file frames since Open or Reset, so that the position is the file's.
  struct Span {
    uint64_t device_start = 0;
    uint64_t device_end = 0;
    double input_start = 0;
    double input_end = 0;
  };
  mutable std::mutex map_mutex_;
  std::array<Span, kHeaderCount> spans_{};
  uint64_t device_total_ = 0;  // where the next header's span starts, in device frames
  double input_total_ = 0;     // and in file frames
};

}  // namespace media
