#include "platform/alsa_audio.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/sound_file.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// How long a device thread sleeps between looks at the PCM while it has work: short beside the
// 100 ms buffer, so the device never runs dry, and the granularity of position and completions.
constexpr Milliseconds kTick{5};
// A device that takes no frame and plays none for this long while it has some to play is lost:
// a stalled sound server leaves the PCM running with no room and no delay, for ever.
constexpr Milliseconds kStallLimit{1500};
// A capture may legitimately wait longer for its first frames: a sound server's idle source (a
// null sink's monitor, a source just resumed) delivers in blocks of up to two seconds.
constexpr Milliseconds kCaptureStallLimit{4000};
// How often a paused device looks whether its server is still there: a loss is then reported
// within this time, not only at the next restart.
constexpr Milliseconds kPausedLook{250};

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
// sound library by its own choice, so it can always answer its messages.
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

// Sends a command to a device thread and waits for its answer, at most kDeviceAnswerTimeout;
// nothing when the thread did not answer in time (it is stuck inside the sound library).
std::optional<MMResult> Send(ThreadId thread, uint32_t message) {
  auto reply = std::make_shared<Reply>();
  if (!PostThreadMessage(thread, {message, reply, 0, nullptr})) return MMResult::kInvalidHandle;
  if (reply->Wait(kDeviceAnswerTimeout) != WaitResult::kSignaled) return std::nullopt;
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

// What an open device shares between its owner and its device thread. The thread holds a
// reference of its own, so that an owner that gave up on a thread stuck inside the sound library
// (a stalled sound server) can go on, and even go away: once the call returns, the thread finds
// itself abandoned, closes its PCM and ends, touching nothing of the owner's.
class CoreBase {
 public:
  // Set once: by the device thread when the device failed for good, or by an owner that gave up
  // waiting. The owner's calls fail at once from then on.
  std::atomic<bool> lost{false};

  // Owner: from now on the thread hands nothing back and reads no buffer of the owner's.
  void Abandon() {
    std::lock_guard lock(owner_mutex_);
    abandoned_ = true;
    lost = true;
  }

 protected:
  // Held by the device thread while it reads or hands back one of the owner's buffers (and so
  // through the owner's callbacks, which may call the device again: recursive).
  std::recursive_mutex owner_mutex_;
  bool abandoned_ = false;  // guarded by owner_mutex_
};

// ---------------------------------------------------------------------------------------------
// Wave-out

// One Open of a wave-out device: everything the device thread touches.
class OutCore : public CoreBase {
 public:
  OutCore(const WaveFormat& format, WaveOutDevice::DoneCallback done,
          WaveOutDevice::LostCallback lost_notice)
      : format_(format), done_(std::move(done)), lost_notice_(std::move(lost_notice)) {}

  std::atomic<uint64_t> position{0};  // published by the device thread
  std::atomic<uint32_t> volume{0xFFFFFFFFu};

  struct Handled {
    MMResult result = MMResult::kNoError;
    bool quit = false;
  };

  // The device thread's body: opens the PCM, answers `opened`, then serves messages.
  void Main(const std::string& name, unsigned latency_us, const std::shared_ptr<Reply>& opened) {
    const MMResult r = OpenPcm(pcm_, name, SND_PCM_STREAM_PLAYBACK, format_, latency_us);
    opened->result = r;
    opened->Set();
    if (r != MMResult::kNoError) return;
    last_progress_ = Clock::now();
    Run();
    // A stalled server would hold the drop; a lost device has nothing left to drop.
    if (!lost) snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
  }

  Handled Handle(const ThreadMessage& m) {
    Handled h;
    switch (m.id) {
      case kMsgQueue: {
        auto* header = static_cast<WaveHeader*>(m.ptr);
        std::lock_guard lock(owner_mutex_);
        if (abandoned_) break;
        if (failed_) {
          Done(*header);  // a lost device hands every block straight back
          break;
        }
        if (blocks_.empty()) last_progress_ = Clock::now();
        uint64_t frames = header->buffer_length / format_.block_align;
        blocks_.push_back({header, total_, total_ + frames});
        total_ += frames;
        break;
      }
      case kMsgPause:
        h.result = failed_ ? MMResult::kDeviceLost : DoPause();
        break;
      case kMsgRestart:
        h.result = failed_ ? MMResult::kDeviceLost : DoRestart();
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

 private:
  struct Block {
    WaveHeader* header;
    uint64_t start;  // frame numbers since Open or Reset: [start, end)
    uint64_t end;
  };

  void Run() {
    MessageQueue* queue = CurrentQueue();
    for (;;) {
      Pump();
      const bool busy = !blocks_.empty() && !paused_;
      const bool held = paused_ && !failed_;
      ThreadMessage m;
      if (busy || held) {
        if (!queue->GetFor(m, busy ? kTick : kPausedLook)) {
          if (held) LookWhilePaused();
          continue;
        }
      } else if (!queue->Get(m)) {
        break;
      }
      Handled h = Handle(m);
      Answer(m, h.result);
      if (h.quit) break;
    }
  }

  // A paused PCM moves nothing, so only its connection tells whether the server is still
  // there; the errors of a server that went away count as a loss.
  void LookWhilePaused() {
    if (snd_pcm_state(pcm_) == SND_PCM_STATE_DISCONNECTED) {
      Fail();
      return;
    }
    snd_pcm_sframes_t delay = 0;
    const int err = snd_pcm_delay(pcm_, &delay);
    if (err == -EIO || err == -ENODEV || err == -ENOTCONN || err == -ECONNRESET) Fail();
  }

  // Writes what the device has room for, follows what it has played, reports finished blocks.
  void Pump() {
    if (!failed_) {
      if (!paused_) WriteAvailable();
      UpdatePlayed();
      CheckStall();
    }
    if (failed_) {
      // The device is gone: hand everything back so that no writer waits for it for ever. The
      // position stays where playback was last heard.
      std::deque<Block> dropped;
      dropped.swap(blocks_);
      for (auto& b : dropped) Done(*b.header);
      ReportLoss();
      return;
    }
    position = played_;
    while (!blocks_.empty() && blocks_.front().end <= played_) {
      WaveHeader* header = blocks_.front().header;
      blocks_.pop_front();  // before the callback, which may reset (and so empty blocks_)
      Done(*header);
    }
  }

  void Fail() {
    failed_ = true;
    lost = true;
  }

  // Playing without taking or playing a frame for kStallLimit: the server has stopped answering.
  void CheckStall() {
    const auto now = Clock::now();
    if (paused_ || played_ >= total_ || written_ != seen_written_ || played_ != seen_played_) {
      seen_written_ = written_;
      seen_played_ = played_;
      last_progress_ = now;
      return;
    }
    if (now - last_progress_ > kStallLimit) Fail();
  }

  void WriteAvailable() {
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
      if (!CopyOut(*block, frames)) return;
      snd_pcm_sframes_t n = snd_pcm_writei(pcm_, scratch_.data(), frames);
      if (n == -EAGAIN) return;
      if (n < 0) {
        Recover(static_cast<int>(n));
        return;
      }
      written_ += static_cast<uint64_t>(n);
      stream_written_ += static_cast<uint64_t>(n);
    }
  }

  // Copies the next `frames` of a block into the thread's own buffer, at the volume, so that the
  // sound library never holds a pointer into the owner's memory (a call stuck in a stalled
  // server may return after the owner has freed it). False once abandoned.
  bool CopyOut(const Block& block, uint64_t frames) {
    std::lock_guard lock(owner_mutex_);
    if (abandoned_) return false;
    const uint32_t align = format_.block_align;
    const uint8_t* data = block.header->data + (written_ - block.start) * align;
    const size_t bytes = frames * align;
    scratch_.resize(bytes);
    const uint32_t vol = volume;
    if (vol == 0xFFFFFFFFu) {
      std::memcpy(scratch_.data(), data, bytes);
      return true;
    }
    const uint32_t gains[2] = {vol & 0xFFFF, vol >> 16};
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
    return true;
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
      case SND_PCM_STATE_DISCONNECTED:
        Fail();
        return;
      default:
        // Not started since the last prepare: only what came before has been heard.
        played_ = std::max(played_, written_ - stream_written_);
        return;
    }
  }

  // Every PCM error of the write path ends here: under-runs, suspends and lost devices. A PCM
  // that cannot even be prepared again (its server has gone) is lost.
  void Recover(int err) {
    if (err == -EPIPE) {
      // Under-run: the device ran dry, so everything written has been heard.
      played_ = std::max(played_, written_);
      stream_written_ = 0;
      if (snd_pcm_prepare(pcm_) < 0) Fail();
    } else if (err == -ESTRPIPE) {
      if (!ResumeOrPrepare(pcm_)) {
        // The buffer was lost with the suspend: write again from what had been heard.
        written_ = played_;
        stream_written_ = 0;
      }
    } else if (err == -EBADFD) {
      if (snd_pcm_prepare(pcm_) < 0) Fail();
      written_ = played_;
      stream_written_ = 0;
    } else {
      Fail();
    }
  }

  MMResult DoPause() {
    paused_ = true;
    if (pcm_paused_) return MMResult::kNoError;
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
    position = played_;  // a caller reading the position after Pause sees where it stopped
    return MMResult::kNoError;
  }

  MMResult DoRestart() {
    paused_ = false;
    last_progress_ = Clock::now();
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
    if (!failed_) position = 0;
    last_progress_ = Clock::now();
    std::deque<Block> dropped;
    dropped.swap(blocks_);
    for (auto& b : dropped) Done(*b.header);
    return failed_ ? MMResult::kDeviceLost : MMResult::kNoError;
  }

  void Done(WaveHeader& header) {
    std::lock_guard lock(owner_mutex_);
    if (abandoned_) return;
    MarkDone(header);
    if (done_) done_(header);
  }

  // Once, after the blocks were handed back: an owner that writes nothing (paused) hears of it.
  void ReportLoss() {
    if (loss_reported_) return;
    loss_reported_ = true;
    std::lock_guard lock(owner_mutex_);
    if (!abandoned_ && lost_notice_) lost_notice_();
  }

  // Owned by the device thread.
  snd_pcm_t* pcm_ = nullptr;
  const WaveFormat format_;
  const WaveOutDevice::DoneCallback done_;
  const WaveOutDevice::LostCallback lost_notice_;
  bool loss_reported_ = false;
  std::deque<Block> blocks_;     // queued and not yet heard to the end, in order
  uint64_t total_ = 0;           // frames queued since Open or Reset
  uint64_t written_ = 0;         // of those, handed to the PCM
  uint64_t stream_written_ = 0;  // of those, since the PCM was last prepared
  uint64_t played_ = 0;          // of those, heard
  bool paused_ = false;          // the caller's pause: no writes while it holds
  bool pcm_paused_ = false;      // the PCM itself is paused
  bool failed_ = false;          // the device failed for good
  uint64_t seen_written_ = 0;    // the figures at the last look for a stall
  uint64_t seen_played_ = 0;
  Clock::time_point last_progress_{};
  std::vector<uint8_t> scratch_;
};

class AlsaWaveOut final : public WaveOutDevice {
 public:
  explicit AlsaWaveOut(const AlsaOptions& options) : options_(options) {}

  ~AlsaWaveOut() override {
    if (open_ && Close() == MMResult::kStillPlaying) Shutdown();
  }

  MMResult Open(const WaveFormat& format, DoneCallback done) override {
    if (open_) return MMResult::kAllocated;
    if (!SupportedDeviceFormat(format)) return MMResult::kBadFormat;
    auto core = std::make_shared<OutCore>(format, std::move(done), lost_notice_);
    auto opened = std::make_shared<Reply>();
    // The PCM is opened on the device thread, so that a server that does not answer holds up
    // only that thread.
    if (!thread_.Start(
            [core, opened, name = options_.playback_device,
             latency = options_.playback_latency_us] { core->Main(name, latency, opened); })) {
      return MMResult::kNoMem;
    }
    if (opened->Wait(kDeviceOpenTimeout) != WaitResult::kSignaled) {
      Abandon(*core);
      return MMResult::kDeviceLost;
    }
    if (opened->result != MMResult::kNoError) {
      thread_.Join();
      return opened->result;
    }
    core_ = std::move(core);
    open_ = true;
    return MMResult::kNoError;
  }

  MMResult Close() override {
    if (!open_) return MMResult::kInvalidHandle;
    if (OnDeviceThread()) return MMResult::kHandleBusy;  // a thread cannot wait for its own end
    if (!core_->lost) {
      const auto r = Send(thread_.id(), kMsgClose);
      if (r == MMResult::kStillPlaying) return *r;
      if (r && thread_.WaitForEnd(kDeviceAnswerTimeout)) {
        thread_.Join();
        open_ = false;
        return MMResult::kNoError;
      }
    }
    // Lost, or not answering: the thread ends by itself once its call returns.
    Abandon(*core_);
    open_ = false;
    return MMResult::kDeviceLost;
  }

  bool IsOpen() const override { return open_; }
  void SetLostCallback(LostCallback lost) override { lost_notice_ = std::move(lost); }

  MMResult Prepare(WaveHeader& header) override { return PrepareHeader(header); }

  MMResult Unprepare(WaveHeader& header) override {
    // A lost device never hands back what it held: those headers are free once it is closed.
    if (!open_) header.flags.fetch_and(~WaveHeader::kInQueue);
    return UnprepareHeader(header);
  }

  MMResult Write(WaveHeader& header) override {
    if (!(header.flags & WaveHeader::kPrepared)) return MMResult::kUnprepared;
    if (!open_) return MMResult::kInvalidHandle;
    if (core_->lost) return MMResult::kDeviceLost;
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
    frames = core_->position;
    return MMResult::kNoError;
  }

  MMResult SetVolume(uint16_t left, uint16_t right) override {
    if (!open_) return MMResult::kInvalidHandle;
    core_->volume = static_cast<uint32_t>(right) << 16 | left;
    return MMResult::kNoError;
  }

 private:
  // The owner gives up on the thread: it hands nothing back from now on and ends by itself.
  void Abandon(OutCore& core) {
    core.Abandon();
    PostThreadMessage(thread_.id(), {kMsgShutdown, nullptr, 0, nullptr});
    thread_.Detach();
  }

  // Ends the device thread even with blocks queued, so that destruction never waits for ever.
  void Shutdown() {
    if (OnDeviceThread()) return;  // destroyed from its own callback: the thread ends with it
    if (Send(thread_.id(), kMsgShutdown) && thread_.WaitForEnd(kDeviceAnswerTimeout)) {
      thread_.Join();
    } else {
      Abandon(*core_);
    }
    open_ = false;
  }

  bool OnDeviceThread() const {
    return CurrentThreadId() != 0 && CurrentThreadId() == thread_.id();
  }

  // Commands run on the device thread; a completion callback that issues one is already there.
  // A thread that does not answer in time is stuck in the sound library: the device is lost.
  MMResult Command(uint32_t message) {
    if (!open_) return MMResult::kInvalidHandle;
    if (OnDeviceThread()) return core_->Handle(ThreadMessage{message, nullptr, 0, nullptr}).result;
    if (core_->lost) return MMResult::kDeviceLost;
    const auto r = Send(thread_.id(), message);
    if (r) return *r;
    core_->Abandon();
    return MMResult::kDeviceLost;
  }

  const AlsaOptions options_;
  std::atomic<bool> open_{false};
  Thread thread_;
  LostCallback lost_notice_;  // for the Opens from now on
  // The current (or last) Open's shared part; replaced only by the next Open, so that a position
  // read on another thread while the device closes still finds it.
  std::shared_ptr<OutCore> core_;
};

// ---------------------------------------------------------------------------------------------
// Wave-in

std::atomic<uint32_t> g_wave_in_serial{0};

// One Open of a wave-in device: everything the device thread touches.
class InCore : public CoreBase {
 public:
  InCore(const WaveFormat& format, ThreadId notify, uint32_t serial)
      : format_(format), notify_(notify), serial_(serial) {}

  void Main(const std::string& name, unsigned latency_us, const std::shared_ptr<Reply>& opened) {
    const MMResult r = OpenPcm(pcm_, name, SND_PCM_STREAM_CAPTURE, format_, latency_us);
    opened->result = r;
    opened->Set();
    if (r != MMResult::kNoError) return;
    Run();
    if (!lost) snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
  }

 private:
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
        case kMsgQueue: {
          std::lock_guard lock(owner_mutex_);
          if (abandoned_) break;
          auto* h = static_cast<WaveHeader*>(m.ptr);
          if (failed_) {
            Return(*h);
          } else {
            queue_.push_back(h);
          }
          break;
        }
        case kMsgStart:
          result = failed_ ? MMResult::kDeviceLost : DoStart();
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
  }

  MMResult DoStart() {
    if (started_) return MMResult::kNoError;
    int err = snd_pcm_start(pcm_);
    if (err < 0 && err != -EBADFD) return MMResult::kError;
    started_ = true;
    last_progress_ = Clock::now();
    return MMResult::kNoError;
  }

  MMResult DoReset() {
    if (!failed_) {
      snd_pcm_drop(pcm_);
      snd_pcm_prepare(pcm_);
    }
    started_ = false;
    std::deque<WaveHeader*> returned;
    returned.swap(queue_);
    std::lock_guard lock(owner_mutex_);
    if (!abandoned_) {
      for (WaveHeader* h : returned) Return(*h);
    }
    return failed_ ? MMResult::kDeviceLost : MMResult::kNoError;
  }

  // Moves what the device has captured into the queued buffers, handing back each full one.
  // With no buffer queued the frames are read and dropped, as a card drops what nobody takes.
  // Frames are read into the thread's own buffer first: a read stuck in a stalled server may
  // return after the owner has freed its buffers.
  void Pump() {
    if (!started_ || failed_) return;
    const uint32_t align = format_.block_align;
    for (;;) {
      snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
      if (avail < 0) {
        Recover(static_cast<int>(avail));
        break;
      }
      if (avail == 0) break;
      uint64_t room = 4096;
      if (!queue_.empty()) {
        std::lock_guard lock(owner_mutex_);
        if (abandoned_) return;
        const WaveHeader* h = queue_.front();
        room = (h->buffer_length - h->bytes_recorded) / align;
      }
      const auto want = std::min<uint64_t>(room, static_cast<uint64_t>(avail));
      scratch_.resize(want * align);
      snd_pcm_sframes_t n = snd_pcm_readi(pcm_, scratch_.data(), want);
      if (n == -EAGAIN) break;
      if (n < 0) {
        Recover(static_cast<int>(n));
        break;
      }
      last_progress_ = Clock::now();
      if (queue_.empty()) continue;
      std::lock_guard lock(owner_mutex_);
      if (abandoned_) return;
      WaveHeader* h = queue_.front();
      std::memcpy(h->data + h->bytes_recorded, scratch_.data(), static_cast<size_t>(n) * align);
      h->bytes_recorded += static_cast<uint32_t>(n) * align;
      if (h->buffer_length - h->bytes_recorded < align) {
        queue_.pop_front();
        Return(*h);
      }
    }
    // Recording without a frame for kCaptureStallLimit: the server has stopped answering.
    if (!failed_ && Clock::now() - last_progress_ > kCaptureStallLimit) Fail();
  }

  void Recover(int err) {
    if (err == -EPIPE || err == -EBADFD) {
      // Over-run: what was lost is lost; record on, unless the PCM cannot be prepared again.
      if (snd_pcm_prepare(pcm_) < 0) {
        Fail();
        return;
      }
    } else if (err == -ESTRPIPE) {
      ResumeOrPrepare(pcm_);
    } else {
      Fail();
      return;
    }
    snd_pcm_start(pcm_);
  }

  // The device is gone: every buffer goes back with what it holds, then the notice of the loss.
  void Fail() {
    failed_ = true;
    lost = true;
    std::deque<WaveHeader*> returned;
    returned.swap(queue_);
    std::lock_guard lock(owner_mutex_);
    if (abandoned_) return;
    for (WaveHeader* h : returned) Return(*h);
    PostThreadMessage(notify_, {kMsgWaveInLost, nullptr, serial_, nullptr});
  }

  void Return(WaveHeader& h) {  // owner_mutex_ is held
    MarkDone(h);
    PostThreadMessage(notify_, {kMsgWaveInData, nullptr, serial_, &h});
  }

  snd_pcm_t* pcm_ = nullptr;
  const WaveFormat format_;
  const ThreadId notify_;
  const uint32_t serial_;
  std::deque<WaveHeader*> queue_;
  bool started_ = false;
  bool failed_ = false;
  Clock::time_point last_progress_{};
  std::vector<uint8_t> scratch_;
};

class AlsaWaveIn final : public WaveInDevice {
 public:
  AlsaWaveIn(const AlsaOptions& options, AlsaAudioBackend& backend)
      : options_(options), backend_(backend) {}

  ~AlsaWaveIn() override {
    if (open_ && Close() == MMResult::kStillPlaying) Shutdown();
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
    const uint32_t serial = ++g_wave_in_serial;
    auto core = std::make_shared<InCore>(format, notify_thread, serial);
    auto opened = std::make_shared<Reply>();
    if (!thread_.Start([core, opened, name, latency = options_.capture_latency_us] {
          core->Main(name, latency, opened);
        })) {
      return MMResult::kNoMem;
    }
    if (opened->Wait(kDeviceOpenTimeout) != WaitResult::kSignaled) {
      Abandon(*core);
      return MMResult::kDeviceLost;
    }
    if (opened->result != MMResult::kNoError) {
      thread_.Join();
      return opened->result;
    }
    core_ = std::move(core);
    notify_ = notify_thread;
    serial_ = serial;
    open_ = true;
    PostThreadMessage(notify_, {kMsgWaveInOpen, nullptr, serial_, nullptr});
    return MMResult::kNoError;
  }

  MMResult Close() override {
    if (!open_) return MMResult::kInvalidHandle;
    MMResult result = MMResult::kDeviceLost;
    bool ended = false;
    if (!core_->lost) {
      const auto r = Send(thread_.id(), kMsgClose);
      if (r == MMResult::kStillPlaying) return *r;
      ended = r && thread_.WaitForEnd(kDeviceAnswerTimeout);
    }
    if (ended) {
      thread_.Join();
      result = MMResult::kNoError;
    } else {
      Abandon(*core_);  // the thread ends by itself once its call returns
    }
    open_ = false;
    PostThreadMessage(notify_, {kMsgWaveInClose, nullptr, serial_, nullptr});
    return result;
  }

  bool IsOpen() const override { return open_; }
  uint32_t OpenSerial() const override { return serial_; }

  MMResult Prepare(WaveHeader& header) override { return PrepareHeader(header); }

  MMResult Unprepare(WaveHeader& header) override {
    if (!open_) header.flags.fetch_and(~WaveHeader::kInQueue);
    return UnprepareHeader(header);
  }

  MMResult AddBuffer(WaveHeader& header) override {
    if (!(header.flags & WaveHeader::kPrepared)) return MMResult::kUnprepared;
    if (!open_) return MMResult::kInvalidHandle;
    if (core_->lost) return MMResult::kDeviceLost;
    header.bytes_recorded = 0;
    header.flags.fetch_and(~WaveHeader::kDone);
    header.flags.fetch_or(WaveHeader::kInQueue);
    if (!PostThreadMessage(thread_.id(), {kMsgQueue, nullptr, 0, &header})) {
      header.flags.fetch_and(~WaveHeader::kInQueue);
      return MMResult::kInvalidHandle;
    }
    return MMResult::kNoError;
  }

  MMResult Start() override { return Command(kMsgStart); }
  MMResult Reset() override { return Command(kMsgReset); }

 private:
  MMResult Command(uint32_t message) {
    if (!open_) return MMResult::kInvalidHandle;
    if (core_->lost) return MMResult::kDeviceLost;
    const auto r = Send(thread_.id(), message);
    if (r) return *r;
    core_->Abandon();
    return MMResult::kDeviceLost;
  }

  void Abandon(InCore& core) {
    core.Abandon();
    PostThreadMessage(thread_.id(), {kMsgShutdown, nullptr, 0, nullptr});
    thread_.Detach();
  }

  // Ends the device thread even with buffers queued, so that destruction never waits for ever.
  void Shutdown() {
    if (Send(thread_.id(), kMsgShutdown) && thread_.WaitForEnd(kDeviceAnswerTimeout)) {
      thread_.Join();
    } else {
      Abandon(*core_);
    }
    open_ = false;
  }

  const AlsaOptions options_;
  AlsaAudioBackend& backend_;
  std::atomic<bool> open_{false};
  std::atomic<uint32_t> serial_{0};
  ThreadId notify_ = 0;
  Thread thread_;
  std::shared_ptr<InCore> core_;
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
