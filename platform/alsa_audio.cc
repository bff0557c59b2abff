#include "platform/alsa_audio.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <mutex>

#include "platform/sound_file.h"

namespace platform {

namespace {

// How long a device thread sleeps between looks at the PCM while it has work: short beside the
// 100 ms buffer, so the device never runs dry, and the granularity of position and completions.
constexpr Milliseconds kTick{5};
// An answer from a device thread comes within a tick; this bound only keeps a caller from
// hanging on a thread that is stuck inside the sound library.
constexpr Milliseconds kCommandTimeout{5000};

// ALSA and its plugins print their own diagnostics on stderr; the program reports device
// errors itself, by result code.
void QuietAlsaError(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsa() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(&QuietAlsaError); });
}

MMResult FromOpenError(int err) {
  switch (-err) {
    case ENOENT:  // no such PCM (no sound server, no card)
    case ENODEV:
    case ENXIO:
      return MMResult::kNoDriver;
    case EBUSY:
      return MMResult::kAllocated;
    case ENOMEM:
      return MMResult::kNoMem;
    default:
      return MMResult::kNoDriver;
  }
}

// Opens a PCM in non-blocking mode with the wave format; the device thread never blocks in the
// sound library, so it can always answer its messages.
MMResult OpenPcm(snd_pcm_t*& pcm, const std::string& name, snd_pcm_stream_t stream,
                 const WaveFormat& format, unsigned latency_us) {
  SilenceAlsa();
  pcm = nullptr;
  int err = snd_pcm_open(&pcm, name.c_str(), stream, SND_PCM_NONBLOCK);
  if (err < 0) return FromOpenError(err);
  err = snd_pcm_set_params(pcm,
                           format.bits_per_sample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE,
                           SND_PCM_ACCESS_RW_INTERLEAVED, format.channels, format.samples_per_sec,
                           1 /* resample in software when the card lacks the rate */, latency_us);
  if (err < 0) {
    snd_pcm_close(pcm);
    pcm = nullptr;
    return MMResult::kBadFormat;
  }
  if (stream == SND_PCM_STREAM_PLAYBACK) {
    // Start with the first frame written, so that a sound shorter than the buffer plays too.
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    if (snd_pcm_sw_params_current(pcm, sw) == 0 &&
        snd_pcm_sw_params_set_start_threshold(pcm, sw, 1) == 0) {
      snd_pcm_sw_params(pcm, sw);
    }
  }
  return MMResult::kNoError;
}

// The answer to a command sent to a device thread. It travels as the message's reply event, so
// it stays alive for the thread even when the sender has given up waiting. When the thread has
// ended and the queue throws the message away, the sender reads kInvalidHandle.
struct Reply : Event {
  MMResult result = MMResult::kInvalidHandle;
};

enum DeviceMessage : uint32_t {
  kMsgQueue = 1,  // ptr: a WaveHeader
  kMsgPause,
  kMsgRestart,
  kMsgReset,
  kMsgStart,
  kMsgClose,
  kMsgShutdown,  // the owner is going away: hand everything back and end, whatever is queued
};

MMResult Send(ThreadId thread, uint32_t message) {
  auto reply = std::make_shared<Reply>();
  if (!PostThreadMessage(thread, {message, reply, 0, nullptr})) return MMResult::kInvalidHandle;
  if (reply->Wait(kCommandTimeout) != WaitResult::kSignaled) return MMResult::kError;
  return reply->result;
}

void Answer(const ThreadMessage& m, MMResult result) {
  if (!m.reply) return;
  static_cast<Reply*>(m.reply.get())->result = result;
  m.reply->Set();
}

// Marks a header as handed back. The in-queue flag goes before the owner hears of it: the owner
// may queue the header again at once, from its callback or another thread.
void MarkDone(WaveHeader& h) {
  h.flags.fetch_or(WaveHeader::kDone);
  h.flags.fetch_and(~WaveHeader::kInQueue);
}

// Waits, bounded, for a suspended PCM to come back; prepares it afresh when it cannot resume.
// True when it resumed with its buffer intact.
bool ResumeOrPrepare(snd_pcm_t* pcm) {
  int err = -EAGAIN;
  for (int i = 0; i < 100 && err == -EAGAIN; ++i) {
    err = snd_pcm_resume(pcm);
    if (err == -EAGAIN) std::this_thread::sleep_for(Milliseconds(10));
  }
  if (err == 0) return true;
  snd_pcm_prepare(pcm);
  return false;
}

// ---------------------------------------------------------------------------------------------
// Wave-out

class AlsaWaveOut final : public WaveOutDevice {
 public:
  explicit AlsaWaveOut(const AlsaOptions& options) : options_(options) {}

  ~AlsaWaveOut() override {
    if (IsOpen() && Close() != MMResult::kNoError) Shutdown();
  }

  MMResult Open(const WaveFormat& format, DoneCallback done) override {
    if (open_) return MMResult::kAllocated;
    if (!SupportedDeviceFormat(format)) return MMResult::kBadFormat;
    snd_pcm_t* pcm;
    MMResult r = OpenPcm(pcm, options_.playback_device, SND_PCM_STREAM_PLAYBACK, format,
                         options_.playback_latency_us);
    if (r != MMResult::kNoError) return r;
    // The device thread's state, set before the thread starts.
    pcm_ = pcm;
    format_ = format;
    done_ = std::move(done);
    blocks_.clear();
    total_ = written_ = stream_written_ = played_ = 0;
    paused_ = pcm_paused_ = failed_ = false;
    position_ = 0;
    if (!thread_.Start([this] { Run(); })) {
      snd_pcm_close(pcm_);
      pcm_ = nullptr;
      return MMResult::kNoMem;
    }
    open_ = true;
    return MMResult::kNoError;
  }

  MMResult Close() override {
    if (!open_) return MMResult::kInvalidHandle;
    if (OnDeviceThread()) return MMResult::kHandleBusy;  // a thread cannot wait for its own end
    MMResult r = Send(thread_.id(), kMsgClose);
    if (r == MMResult::kStillPlaying) return r;
    if (!thread_.WaitForEnd(kCommandTimeout)) return MMResult::kError;
    thread_.Join();
    open_ = false;
    position_ = 0;
    return MMResult::kNoError;
  }

  bool IsOpen() const override { return open_; }

  MMResult Prepare(WaveHeader& header) override { return PrepareHeader(header); }

  MMResult Unprepare(WaveHeader& header) override { return UnprepareHeader(header); }

  MMResult Write(WaveHeader& header) override {
    if (!(header.flags & WaveHeader::kPrepared)) return MMResult::kUnprepared;
    if (!open_) return MMResult::kInvalidHandle;
    header.flags.fetch_and(~WaveHeader::kDone);
    header.flags.fetch_or(WaveHeader::kInQueue);
    if (!PostThreadMessage(thread_.id(), {kMsgQueue, nullptr, 0, &header})) {
      header.flags.fetch_and(~WaveHeader::kInQueue);
      return MMResult::kInvalidHandle;
    }
    return MMResult::kNoError;
  }

  MMResult Pause() override { return Command(kMsgPause); }
  MMResult Restart() override { return Command(kMsgRestart); }
  MMResult Reset() override { return Command(kMsgReset); }

  MMResult GetPosition(uint64_t& frames) override {
    if (!open_) return MMResult::kInvalidHandle;
    frames = position_;
    return MMResult::kNoError;
  }

  MMResult SetVolume(uint16_t left, uint16_t right) override {
    if (!open_) return MMResult::kInvalidHandle;
    volume_ = static_cast<uint32_t>(right) << 16 | left;
    return MMResult::kNoError;
  }

 private:
  struct Block {
    WaveHeader* header;
    uint64_t start;  // frame numbers since Open or Reset: [start, end)
    uint64_t end;
  };

  // Ends the device thread even with blocks queued, so that destruction never waits for ever.
  void Shutdown() {
    if (OnDeviceThread()) return;  // destroyed from its own callback: the thread ends with it
    Send(thread_.id(), kMsgShutdown);
    thread_.Join();
    open_ = false;
  }

  bool OnDeviceThread() const {
    return CurrentThreadId() != 0 && CurrentThreadId() == thread_.id();
  }

  // Commands run on the device thread; a completion callback that issues one is already there.
  MMResult Command(uint32_t message) {
    if (!open_) return MMResult::kInvalidHandle;
    if (OnDeviceThread()) return Handle(ThreadMessage{message, nullptr, 0, nullptr}).result;
    return Send(thread_.id(), message);
  }

  struct Handled {
    MMResult result = MMResult::kNoError;
    bool quit = false;
  };

  void Run() {
    MessageQueue* queue = CurrentQueue();
    for (;;) {
      Pump();
      const bool busy = !blocks_.empty() && !paused_;
      ThreadMessage m;
      if (busy ? !queue->GetFor(m, kTick) : !queue->Get(m)) {
        if (busy) continue;
        break;
      }
      Handled h = Handle(m);
      Answer(m, h.result);
      if (h.quit) break;
    }
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
  }

  Handled Handle(const ThreadMessage& m) {
    Handled h;
    switch (m.id) {
      case kMsgQueue: {
        auto* header = static_cast<WaveHeader*>(m.ptr);
        uint64_t frames = header->buffer_length / format_.block_align;
        blocks_.push_back({header, total_, total_ + frames});
        total_ += frames;
        break;
      }
      case kMsgPause:
        h.result = DoPause();
        break;
      case kMsgRestart:
        h.result = DoRestart();
        break;
      case kMsgReset:
        h.result = DoReset();
        break;
      case kMsgClose:
        if (!blocks_.empty()) {
          h.result = MMResult::kStillPlaying;
        } else {
          h.quit = true;
        }
        break;
      case kMsgShutdown:
        DoReset();
        h.quit = true;
        break;
      default:
        break;
    }
    return h;
  }

  // Writes what the device has room for, follows what it has played, reports finished blocks.
  void Pump() {
    if (failed_) {
      // The device is gone: hand everything back so that no writer waits for it for ever.
      written_ = played_ = total_;
    } else {
      if (!paused_) WriteAvailable();
      UpdatePlayed();
    }
    position_ = played_;
    while (!blocks_.empty() && blocks_.front().end <= played_) {
      WaveHeader* header = blocks_.front().header;
      blocks_.pop_front();  // before the callback, which may reset (and so empty blocks_)
      Done(*header);
    }
  }

  void WriteAvailable() {
    const uint32_t align = format_.block_align;
    while (written_ < total_) {
      snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
      if (avail < 0) {
        Recover(static_cast<int>(avail));
        return;
      }
      if (avail == 0) return;
      auto block = std::find_if(blocks_.begin(), blocks_.end(),
                                [this](const Block& b) { return written_ < b.end; });
      if (block == blocks_.end()) return;
      auto frames = std::min<uint64_t>(static_cast<uint64_t>(avail), block->end - written_);
      const uint8_t* data = block->header->data + (written_ - block->start) * align;
      data = ApplyVolume(data, frames * align);
      snd_pcm_sframes_t n = snd_pcm_writei(pcm_, data, frames);
      if (n == -EAGAIN) return;
      if (n < 0) {
        Recover(static_cast<int>(n));
        return;
      }
      written_ += static_cast<uint64_t>(n);
      stream_written_ += static_cast<uint64_t>(n);
    }
  }

  // played = written − what the device still holds; never ahead of what was heard and never
  // backwards.
  void UpdatePlayed() {
    switch (snd_pcm_state(pcm_)) {
      case SND_PCM_STATE_RUNNING:
      case SND_PCM_STATE_PAUSED:
      case SND_PCM_STATE_DRAINING: {
        snd_pcm_sframes_t delay = 0;
        int err = snd_pcm_delay(pcm_, &delay);
        if (err < 0) {
          if (err == -EPIPE || err == -ESTRPIPE) Recover(err);
          return;  // keep the last figure
        }
        uint64_t held = std::min<uint64_t>(
            static_cast<uint64_t>(std::max<snd_pcm_sframes_t>(delay, 0)), stream_written_);
        played_ = std::max(played_, written_ - held);
        return;
      }
      case SND_PCM_STATE_XRUN:
        Recover(-EPIPE);
        return;
      case SND_PCM_STATE_SUSPENDED:
        Recover(-ESTRPIPE);
        return;
      default:
        // Not started since the last prepare: only what came before has been heard.
        played_ = std::max(played_, written_ - stream_written_);
        return;
    }
  }

  // Every PCM error of the write path ends here: under-runs, suspends and lost devices.
  void Recover(int err) {
    if (err == -EPIPE) {
      // Under-run: the device ran dry, so everything written has been heard.
      played_ = std::max(played_, written_);
      stream_written_ = 0;
      snd_pcm_prepare(pcm_);
    } else if (err == -ESTRPIPE) {
      if (!ResumeOrPrepare(pcm_)) {
        // The buffer was lost with the suspend: write again from what had been heard.
        written_ = played_;
        stream_written_ = 0;
      }
    } else if (err == -EBADFD) {
      snd_pcm_prepare(pcm_);
      written_ = played_;
      stream_written_ = 0;
    } else {
      failed_ = true;
    }
  }

  MMResult DoPause() {
    paused_ = true;
    if (pcm_paused_ || failed_) return MMResult::kNoError;
    if (snd_pcm_state(pcm_) != SND_PCM_STATE_RUNNING) return MMResult::kNoError;
    int err = snd_pcm_pause(pcm_, 1);
    if (err == 0) {
      pcm_paused_ = true;
    } else if (err != -EBADFD) {
      // The device cannot pause: stop it and keep what it had not played, to write it again
      // on restart (blocks are kept until they have been heard).
      UpdatePlayed();
      snd_pcm_drop(pcm_);
      snd_pcm_prepare(pcm_);
      written_ = played_;
      stream_written_ = 0;
    }
    // EBADFD: the stream had not started; holding back the writes is the pause.
    UpdatePlayed();
    position_ = played_;  // a caller reading the position after Pause sees where it stopped
    return MMResult::kNoError;
  }

  MMResult DoRestart() {
    paused_ = false;
    if (pcm_paused_) {
      pcm_paused_ = false;
      int err = snd_pcm_pause(pcm_, 0);
      if (err < 0 && err != -EBADFD) Recover(err);
    }
    return MMResult::kNoError;
  }

  MMResult DoReset() {
    if (!failed_) {
      snd_pcm_drop(pcm_);
      snd_pcm_prepare(pcm_);
    }
    pcm_paused_ = false;
    total_ = written_ = stream_written_ = played_ = 0;
    position_ = 0;
    std::deque<Block> dropped;
    dropped.swap(blocks_);
    for (auto& b : dropped) Done(*b.header);
    return MMResult::kNoError;
  }

  void Done(WaveHeader& header) {
    MarkDone(header);
    if (done_) done_(header);
  }

  // Software volume (ALSA PCMs have none of their own): scales into a scratch buffer.
  const uint8_t* ApplyVolume(const uint8_t* data, size_t bytes) {
    const uint32_t volume = volume_;
    if (volume == 0xFFFFFFFFu) return data;
    scratch_.resize(bytes);
    const uint32_t gains[2] = {volume & 0xFFFF, volume >> 16};
    const int channels = format_.channels;
    if (format_.bits_per_sample == 8) {
      for (size_t i = 0; i < bytes; ++i) {
        int32_t v = (static_cast<int32_t>(data[i]) - 128) *
                    static_cast<int32_t>(gains[i % channels]) / 0xFFFF;
        scratch_[i] = static_cast<uint8_t>(v + 128);
      }
    } else {
      for (size_t i = 0; i + 1 < bytes; i += 2) {
        auto s = static_cast<int16_t>(data[i] | data[i + 1] << 8);
        int32_t v = s * static_cast<int32_t>(gains[(i / 2) % channels]) / 0xFFFF;
        scratch_[i] = static_cast<uint8_t>(v & 0xFF);
        scratch_[i + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
      }
    }
    return scratch_.data();
  }

  const AlsaOptions options_;
  std::atomic<bool> open_{false};
  std::atomic<uint64_t> position_{0};  // published by the device thread
  std::atomic<uint32_t> volume_{0xFFFFFFFFu};
  Thread thread_;

  // Owned by the device thread while it runs.
  snd_pcm_t* pcm_ = nullptr;
  WaveFormat format_;
  DoneCallback done_;
  std::deque<Block> blocks_;     // queued and not yet heard to the end, in order
  uint64_t total_ = 0;           // frames queued since Open or Reset
  uint64_t written_ = 0;         // of those, handed to the PCM
  uint64_t stream_written_ = 0;  // of those, since the PCM was last prepared
  uint64_t played_ = 0;          // of those, heard
  bool paused_ = false;          // the caller's pause: no writes while it holds
  bool pcm_paused_ = false;      // the PCM itself is paused
  bool failed_ = false;          // the device failed for good
  std::vector<uint8_t> scratch_;
};

// ---------------------------------------------------------------------------------------------
// Wave-in

std::atomic<uint32_t> g_wave_in_serial{0};

class AlsaWaveIn final : public WaveInDevice {
 public:
  AlsaWaveIn(const AlsaOptions& options, AlsaAudioBackend& backend)
      : options_(options), backend_(backend) {}

  ~AlsaWaveIn() override {
    if (IsOpen() && Close() != MMResult::kNoError) Shutdown();
  }

  MMResult Open(int device, const WaveFormat& format, ThreadId notify_thread) override {
    if (open_) return MMResult::kAllocated;
    std::string name = options_.capture_device;
    if (device != kDefaultWaveInDevice) {
      auto ids = backend_.WaveInDeviceIds();
      if (device < 0 || static_cast<size_t>(device) >= ids.size()) return MMResult::kBadDeviceId;
      name = ids[static_cast<size_t>(device)];
    }
    if (!SupportedDeviceFormat(format)) return MMResult::kBadFormat;
    snd_pcm_t* pcm;
    MMResult r = OpenPcm(pcm, name, SND_PCM_STREAM_CAPTURE, format, options_.capture_latency_us);
    if (r != MMResult::kNoError) return r;
    pcm_ = pcm;
    format_ = format;
    notify_ = notify_thread;
    serial_ = ++g_wave_in_serial;
    queue_.clear();
    started_ = failed_ = false;
    if (!thread_.Start([this] { Run(); })) {
      snd_pcm_close(pcm_);
      pcm_ = nullptr;
      return MMResult::kNoMem;
    }
    open_ = true;
    PostThreadMessage(notify_, {kMsgWaveInOpen, nullptr, serial_, nullptr});
    return MMResult::kNoError;
  }

  MMResult Close() override {
    if (!open_) return MMResult::kInvalidHandle;
    MMResult r = Send(thread_.id(), kMsgClose);
    if (r == MMResult::kStillPlaying) return r;
    if (!thread_.WaitForEnd(kCommandTimeout)) return MMResult::kError;
    thread_.Join();
    open_ = false;
    PostThreadMessage(notify_, {kMsgWaveInClose, nullptr, serial_, nullptr});
    return MMResult::kNoError;
  }

  bool IsOpen() const override { return open_; }
  uint32_t OpenSerial() const override { return serial_; }

  MMResult Prepare(WaveHeader& header) override { return PrepareHeader(header); }

  MMResult Unprepare(WaveHeader& header) override { return UnprepareHeader(header); }

  MMResult AddBuffer(WaveHeader& header) override {
    if (!(header.flags & WaveHeader::kPrepared)) return MMResult::kUnprepared;
    if (!open_) return MMResult::kInvalidHandle;
    header.bytes_recorded = 0;
    header.flags.fetch_and(~WaveHeader::kDone);
    header.flags.fetch_or(WaveHeader::kInQueue);
    if (!PostThreadMessage(thread_.id(), {kMsgQueue, nullptr, 0, &header})) {
      header.flags.fetch_and(~WaveHeader::kInQueue);
      return MMResult::kInvalidHandle;
    }
    return MMResult::kNoError;
  }

  MMResult Start() override {
    return open_ ? Send(thread_.id(), kMsgStart) : MMResult::kInvalidHandle;
  }
  MMResult Reset() override {
    return open_ ? Send(thread_.id(), kMsgReset) : MMResult::kInvalidHandle;
  }

 private:
  // Ends the device thread even with buffers queued, so that destruction never waits for ever.
  void Shutdown() {
    Send(thread_.id(), kMsgShutdown);
    thread_.Join();
    open_ = false;
  }

  void Run() {
    MessageQueue* queue = CurrentQueue();
    for (;;) {
      Pump();
      const bool busy = started_ && !failed_;
      ThreadMessage m;
      if (busy ? !queue->GetFor(m, kTick) : !queue->Get(m)) {
        if (busy) continue;
        break;
      }
      MMResult result = MMResult::kNoError;
      bool quit = false;
      switch (m.id) {
        case kMsgQueue:
          queue_.push_back(static_cast<WaveHeader*>(m.ptr));
          break;
        case kMsgStart:
          result = DoStart();
          break;
        case kMsgReset:
          result = DoReset();
          break;
        case kMsgClose:
          if (!queue_.empty()) {
            result = MMResult::kStillPlaying;
          } else {
            quit = true;
          }
          break;
        case kMsgShutdown:
          DoReset();
          quit = true;
          break;
        default:
          break;
      }
      Answer(m, result);
      if (quit) break;
    }
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
  }

  MMResult DoStart() {
    if (started_) return MMResult::kNoError;
    int err = snd_pcm_start(pcm_);
    if (err < 0 && err != -EBADFD) return MMResult::kError;
    started_ = true;
    return MMResult::kNoError;
  }

  MMResult DoReset() {
    snd_pcm_drop(pcm_);
    snd_pcm_prepare(pcm_);
    started_ = false;
    std::deque<WaveHeader*> returned;
    returned.swap(queue_);
    for (WaveHeader* h : returned) Return(*h);
    return MMResult::kNoError;
  }

  // Moves what the device has captured into the queued buffers, handing back each full one.
  // With no buffer queued the frames are read and dropped, as a card drops what nobody takes.
  void Pump() {
    if (!started_ || failed_) return;
    const uint32_t align = format_.block_align;
    for (;;) {
      snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
      if (avail < 0) {
        Recover(static_cast<int>(avail));
        return;
      }
      if (avail == 0) return;
      uint8_t* into;
      uint64_t room;
      if (queue_.empty()) {
        discard_.resize(4096u * align);
        into = discard_.data();
        room = 4096;
      } else {
        WaveHeader* h = queue_.front();
        into = h->data + h->bytes_recorded;
        room = (h->buffer_length - h->bytes_recorded) / align;
      }
      snd_pcm_sframes_t n =
          snd_pcm_readi(pcm_, into, std::min<uint64_t>(room, static_cast<uint64_t>(avail)));
      if (n == -EAGAIN) return;
      if (n < 0) {
        Recover(static_cast<int>(n));
        return;
      }
      if (queue_.empty()) continue;
      WaveHeader* h = queue_.front();
      h->bytes_recorded += static_cast<uint32_t>(n) * align;
      if (h->buffer_length - h->bytes_recorded < align) {
        queue_.pop_front();
        Return(*h);
      }
    }
  }

  void Recover(int err) {
    if (err == -EPIPE || err == -EBADFD) {
      snd_pcm_prepare(pcm_);  // over-run: what was lost is lost; record on
    } else if (err == -ESTRPIPE) {
      ResumeOrPrepare(pcm_);
    } else {
      failed_ = true;
      return;
    }
    snd_pcm_start(pcm_);
  }

  void Return(WaveHeader& h) {
    MarkDone(h);
    PostThreadMessage(notify_, {kMsgWaveInData, nullptr, serial_, &h});
  }

  const AlsaOptions options_;
  AlsaAudioBackend& backend_;
  std::atomic<bool> open_{false};
  std::atomic<uint32_t> serial_{0};
  ThreadId notify_ = 0;
  Thread thread_;

  // Owned by the device thread while it runs.
  snd_pcm_t* pcm_ = nullptr;
  WaveFormat format_;
  std::deque<WaveHeader*> queue_;
  bool started_ = false;
  bool failed_ = false;
  std::vector<uint8_t> discard_;
};

std::string Hint(void* hint, const char* id) {
  char* value = snd_device_name_get_hint(hint, id);
  std::string out = value ? value : "";
  free(value);
  return out;
}

}  // namespace

AlsaAudioBackend::AlsaAudioBackend(AlsaOptions options) : options_(std::move(options)) {
  SilenceAlsa();
}

std::unique_ptr<WaveOutDevice> AlsaAudioBackend::CreateWaveOut() {
  return std::make_unique<AlsaWaveOut>(options_);
}

std::unique_ptr<WaveInDevice> AlsaAudioBackend::CreateWaveIn() {
  return std::make_unique<AlsaWaveIn>(options_, *this);
}

namespace {

// The capture-capable PCMs as (ALSA name, description's first line). "null" records nothing
// and is left out, so an empty list means there is nothing to record from.
std::vector<std::pair<std::string, std::string>> CaptureDevices() {
  SilenceAlsa();
  std::vector<std::pair<std::string, std::string>> out;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0 || !hints) return out;
  for (void** h = hints; *h; ++h) {
    std::string name = Hint(*h, "NAME");
    std::string io = Hint(*h, "IOID");  // empty: both directions
    if (name.empty() || name == "null" || io == "Output") continue;
    std::string desc = Hint(*h, "DESC");
    desc = desc.substr(0, desc.find('\n'));
    out.emplace_back(name, desc.empty() ? name : desc);
  }
  snd_device_name_free_hint(hints);
  return out;
}

}  // namespace

std::vector<std::string> AlsaAudioBackend::WaveInDeviceNames() {
  std::vector<std::string> names;
  for (auto& [id, desc] : CaptureDevices()) names.push_back(desc);
  return names;
}

std::vector<std::string> AlsaAudioBackend::WaveInDeviceIds() {
  std::vector<std::string> ids;
  for (auto& [id, desc] : CaptureDevices()) ids.push_back(id);
  return ids;
}

void AlsaAudioBackend::PlaySoundFile(const std::string& path) {
  AlsaWaveOut device(options_);
  PlaySoundFileOn(device, path);
}

}  // namespace platform
