// The base of every input (WAV, MP3, Ogg Vorbis). The main thread opens the file, starts
// playback at a position and sends commands; while playing, one reader thread per playback reads
// or decodes the file and writes PCM into the attached output. Commands reach the reader only as
// thread messages (Commands.h); events come back through one notification callback, called on
// the reader thread.
//
// Calling order: SetOutput, SetNotify; Open(path, item) and Close to fill the item at load; on
// play Open, then Start(seconds); while playing the Request operations, GetPosition, GetState;
// on stop RequestStop, then Close.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "media/Commands.h"
#include "media/InputInfo.h"
#include "media/MMException.h"
#include "media/OutputMedia.h"
#include "platform/thread.h"

namespace media {

// The format an input reports for the information panel.
struct InputFormat {
  uint16_t channels = 0;
  uint16_t bits_per_sample = 0;  // 0 where the input decodes to a fixed layout (Ogg Vorbis)
  uint32_t sample_rate = 0;
};

class InputMedia {
 public:
  // Called on the reader thread with a notification code (NOTIFY_*): NOTIFY_END or
  // NOTIFY_DEVICE_LOST once for every playback that ends by itself, never after a stop. It may call
  // RequestStop and Close of this input, but must not wait for the main thread (the main thread may
  // be waiting for the reader in RequestStop), and must not call Open or Start.
  using NotifyCallback = std::function<void(int32_t code)>;

  static constexpr platform::Milliseconds kCommandTimeout{15000};

  InputMedia();
  virtual ~InputMedia();  // subclasses call StopReader() and Close() in theirs
  InputMedia(const InputMedia&) = delete;
  InputMedia& operator=(const InputMedia&) = delete;

  // Repositions to a sample index: drops what the output has queued, moves the file or decoder
  // there and makes it the start sample. Runs on the reader thread.
  virtual void Seek(int64_t sample_index) = 0;
  // Opens and parses the file and fills the item. Raises MediaError (with a message for the user)
  // when the file cannot be opened or is not in this input's format; nothing is loaded then.
  virtual void Open(const std::string& path, InputInfo& info) = 0;
  // Closes the file; -1 when none was open. Waits for a reader that is still ending first.
  virtual int Close() = 0;
  // Positions the file, opens the output and starts the reader thread. Raises MediaError or
  // MMException; nothing plays then.
  virtual void Start(int32_t seconds) = 0;
  // The reader loop; runs on the reader thread.
  virtual int Run() = 0;
  virtual void GetFormat(InputFormat& format) const = 0;

  int32_t GetState() const { return state_.load(); }
  // Whole seconds from the start of the file: (played frames + start sample) / rate.
  int32_t GetPosition() const;

  // Stops the reader and returns once it has ended; returns at once when none runs. Never
  // returns while the reader can still touch this input or its output.
  void RequestStop();
  void RequestPause();
  void RequestResume();
  void RequestSeek(int32_t seconds);

  void SetNotify(NotifyCallback notify, void* owner = nullptr);
  // Also hands the output the notice of a lost device, which wakes the reader (see
  // CMD_DEVICE_LOST).
  void SetOutput(OutputMedia* output);
  OutputMedia* Output() const { return output_; }
  void* Owner() const { return owner_; }

  // The id of the running reader thread, 0 when none runs (or it is ending).
  platform::ThreadId ReaderThreadId() const;
  // The message of the error that ended the last reader early, empty when none did.
  std::string LastReaderError() const;

  // Position arithmetic in sample frames.
  int64_t SecondsToSamples(int64_t seconds) const { return seconds * sample_rate_; }
  int64_t SamplesToSeconds(int64_t samples) const {
    return sample_rate_ > 0 ? samples / sample_rate_ : 0;
  }
  int64_t BytesToSamples(int64_t bytes) const {
    const int64_t frame = FrameBytes();
    return frame > 0 ? bytes / frame : 0;
  }

 protected:
  int64_t FrameBytes() const { return int64_t{bits_per_sample_ / 8} * channels_; }

  // File access for the inputs that read a file themselves. OpenFile raises MediaError.
  void OpenFile(const std::string& path);
  int CloseFile();  // -1 when none was open
  bool FileIsOpen() const { return file_ >= 0; }
  bool SeekFile(int64_t offset);
  int64_t FileSize() const;  // -1 when unknown
  // One read of up to n bytes; the bytes read, 0 at end of file or on an error.
  uint32_t ReadFile(void* into, uint32_t n);

  // Sets the start sample and resets the output in one step, so that GetPosition on another
  // thread never sees the new count with the old start (or the reverse).
  void ResetOutputAt(int64_t sample_index);
  void SetStartSample(int64_t sample_index);

  // Starts the reader thread (state 1); on failure closes the output and raises MediaError.
  void StartReader();
  // Stops a reader that may still run (RequestStop), for Open, Start, Close and destructors.
  void StopReader();

  // Reader side, steps of the loop shared by the inputs: takes at most one waiting message and
  // handles it, then, while paused, waits for messages and handles them. False once stopped.
  bool ServeCommands();
  void Dispatch(const platform::ThreadMessage& message);
  void Notify(int32_t code);
  // Whether the end of the reader lets queued audio play out while still serving commands
  // (WAV, Vorbis) or leaves it to the output's Close (MP3).
  virtual bool ServesCommandsWhileDraining() const { return true; }
  // A seek handled while the tail plays (rewind or repeat near the end of a file) asks for more
  // reading: return true when there is data at the new position, ready for the next Run.
  virtual bool ContinueAfterSeek() { return false; }
  // Sleeps the input's idle time after a read, unless the output is running short of queued
  // audio (a sleep then would starve the device at the fast speeds).
  void IdleSleep();

  OutputMedia* output_ = nullptr;
  NotifyCallback notify_;
  void* owner_ = nullptr;
  std::atomic<int> file_{-1};  // closed from the main thread, or from the notification callback

  int32_t channels_ = 0;
  int32_t bits_per_sample_ = 0;
  int32_t sample_rate_ = 0;
  int32_t bit_rate_ = 0;
  int32_t frames_ = 0;
  int32_t skip_size_ = 0;
  uint32_t data_size_ = 0;
  int32_t min_input_size_ = 0;
  int32_t max_input_size_ = 0;
  uint32_t block_size_ = 0;
  int64_t data_offset_ = 0;

  std::atomic<int32_t> state_{kStateStopped};
  int32_t input_buffer_factor_ = 0;
  int32_t idle_sleep_ms_ = 0;

  std::vector<uint8_t> buffer_;  // input side
  size_t buffer_current_ = 0;    // offset of the next unread byte in buffer_
  size_t buffer_available_ = 0;  // bytes available from buffer_current_
  std::vector<uint8_t> second_buffer_;

 private:
  void ReaderMain();
  bool DrainTail();  // true: a seek wants the reader loop to run again
  void EndOfReader();
  void RecordError(const std::exception& e);
  void HandleStop(bool reset);
  void Exchange(uint32_t command, int64_t param);
  // Any thread: the output's device was lost; the reader ends playback when it takes this.
  void PostDeviceLost();

  uint64_t seeks_handled_ = 0;  // reader thread only
  platform::Event wake_;        // set after each post: a command cuts the idle sleep short
  std::atomic<int64_t> start_sample_{0};
  mutable std::mutex position_mutex_;  // start sample and the output's count change together

  platform::Thread reader_;
  mutable std::mutex thread_mutex_;  // thread id against posts: none lands after the reader ends
  platform::ThreadId thread_id_ = 0;
  std::atomic<platform::ThreadId> reader_platform_id_{0};  // kept until the reader is joined
  std::mutex join_mutex_;  // one caller at a time waits for the reader's end

  mutable std::mutex error_mutex_;
  std::string reader_error_;
};

}  // namespace media
