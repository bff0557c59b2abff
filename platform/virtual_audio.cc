#include "platform/virtual_audio.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <numbers>
#include <thread>

#include "platform/sound_file.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

// The whole card is guarded by one lock: devices are few, and a single lock keeps the test
// observers, the manual clock and the device threads free of lock-order questions. Completion
// callbacks and posted messages always run with the lock released.
struct VirtualAudioBackend::Card {
  struct OutDevice;
  struct InDevice;

  explicit Card(VirtualCardOptions o) : options(o) {}

  void Changed() {  // called with the lock held
    ++change_count;
    cv.notify_all();
  }

  const VirtualCardOptions options;
  mutable std::mutex mutex;
  std::condition_variable cv;
  uint64_t change_count = 0;
  std::vector<VirtualPlayback> playbacks;
  std::vector<OutDevice*> open_outs;
  std::vector<InDevice*> open_ins;
  uint32_t wave_in_serial = 0;
  bool stalled = false;  // the sound server answers nothing (Stall)

  // A stalled card answers no command: the caller waits at most kDeviceAnswerTimeout for the
  // stall to end. False when it did not end (the lock is held throughout, bar the wait).
  bool Answers(std::unique_lock<std::mutex>& lock) {
    return !stalled || cv.wait_for(lock, kDeviceAnswerTimeout, [this] { return !stalled; });
  }
};

// ---------------------------------------------------------------------------------------------
// Wave-out

struct VirtualAudioBackend::Card::OutDevice {
  WaveFormat format;
  WaveOutDevice::DoneCallback done;
  WaveOutDevice::LostCallback lost_notice;
  std::deque<WaveHeader*> queue;
  uint32_t front_offset = 0;  // bytes of the front block already played
  uint64_t position = 0;      // frames played since Open or Reset
  bool open = false;
  bool paused = false;
  bool stop = false;
  bool lost = false;  // LoseDevices, or a command that a stall left unanswered
  int in_callback = 0;
  uint64_t manual_credit = 0;
  double pending_frames = 0;  // real-time clock: frames due but not yet consumed
  size_t playback = 0;        // index into Card::playbacks
  std::thread thread;
};

namespace {

class VirtualWaveOut final : public WaveOutDevice {
 public:
  using Card = VirtualAudioBackend::Card;
  explicit VirtualWaveOut(std::shared_ptr<Card> card) : card_(std::move(card)) {}

  ~VirtualWaveOut() override {
    if (IsOpen()) {
      Reset();
      Close();
    }
  }

  MMResult Open(const WaveFormat& format, DoneCallback done) override {
    if (!SupportedDeviceFormat(format)) return MMResult::kBadFormat;
    std::unique_lock lock(card_->mutex);
    if (dev_.open) return MMResult::kAllocated;
    if (!card_->Answers(lock)) return MMResult::kDeviceLost;
    dev_ = {};
    dev_.format = format;
    dev_.done = std::move(done);
    dev_.lost_notice = lost_callback_;
    dev_.open = true;
    dev_.playback = card_->playbacks.size();
    card_->playbacks.push_back(VirtualPlayback{format, {}, 0, 0, 0, false});
    card_->open_outs.push_back(&dev_);
    dev_.thread = std::thread([this] { Play(); });
    card_->Changed();
    return MMResult::kNoError;
  }

  void SetLostCallback(LostCallback lost) override { lost_callback_ = std::move(lost); }

  MMResult Close() override {
    std::thread thread;
    bool lost;
    {
      std::unique_lock lock(card_->mutex);
      if (!dev_.open) return MMResult::kInvalidHandle;
      if (!dev_.lost && !card_->Answers(lock)) LoseLocked();
      lost = dev_.lost;
      if (!lost && (!dev_.queue.empty() || dev_.in_callback)) return MMResult::kStillPlaying;
      // The hand-back of a loss may still be running: it finishes before the device goes.
      card_->cv.wait(lock, [this] { return dev_.in_callback == 0; });
      // A lost device is released whatever it held: it hands nothing back any more.
      dev_.queue.clear();
      dev_.stop = true;
      card_->cv.notify_all();
      thread = std::move(dev_.thread);
    }
    thread.join();
    std::lock_guard lock(card_->mutex);
    dev_.open = false;
    card_->playbacks[dev_.playback].closed = true;
    std::erase(card_->open_outs, &dev_);
    card_->Changed();
    return lost ? MMResult::kDeviceLost : MMResult::kNoError;
  }

  // Card lock held: the device is lost without handing anything back.
  void LoseLocked() {
    dev_.lost = true;
    dev_.queue.clear();
    card_->Changed();
  }

  bool IsOpen() const override {
    std::lock_guard lock(card_->mutex);
    return dev_.open;
  }

  MMResult Prepare(WaveHeader& header) override { return PrepareHeader(header); }

  MMResult Unprepare(WaveHeader& header) override { return UnprepareHeader(header); }

  MMResult Write(WaveHeader& header) override {
    if (!(header.flags & WaveHeader::kPrepared)) return MMResult::kUnprepared;
    std::lock_guard lock(card_->mutex);
    if (!dev_.open) return MMResult::kInvalidHandle;
    if (dev_.lost) return MMResult::kDeviceLost;
    header.flags = (header.flags & ~WaveHeader::kDone) | WaveHeader::kInQueue;
    dev_.queue.push_back(&header);
    ++card_->playbacks[dev_.playback].blocks_written;
    card_->Changed();
    return MMResult::kNoError;
  }

  MMResult Pause() override { return SetPaused(true); }
  MMResult Restart() override { return SetPaused(false); }

  MMResult Reset() override {
    std::deque<WaveHeader*> dropped;
    DoneCallback done;
    {
      std::unique_lock lock(card_->mutex);
      if (!dev_.open) return MMResult::kInvalidHandle;
      if (!dev_.lost && !card_->Answers(lock)) LoseLocked();
      if (dev_.lost) return MMResult::kDeviceLost;
      // A block whose completion is being reported right now finishes first, so that every
      // completion has been delivered when Reset returns; unless that completion is the caller.
      if (std::this_thread::get_id() != dev_.thread.get_id()) {
        card_->cv.wait(lock, [this] { return dev_.in_callback == 0; });
      }
      dropped.swap(dev_.queue);
      dev_.front_offset = 0;
      dev_.position = 0;
      dev_.manual_credit = 0;
      dev_.pending_frames = 0;
      ++card_->playbacks[dev_.playback].resets;
      ++dev_.in_callback;
      done = dev_.done;
    }
    for (WaveHeader* h : dropped) {
      h->flags.fetch_or(WaveHeader::kDone);
      h->flags.fetch_and(~WaveHeader::kInQueue);
      if (done) done(*h);
    }
    std::lock_guard lock(card_->mutex);
    --dev_.in_callback;
    card_->playbacks[dev_.playback].blocks_done += dropped.size();
    card_->Changed();
    return MMResult::kNoError;
  }

  MMResult GetPosition(uint64_t& frames) override {
    std::lock_guard lock(card_->mutex);
    if (!dev_.open) return MMResult::kInvalidHandle;
    frames = dev_.position;
    return MMResult::kNoError;
  }

  MMResult SetVolume(uint16_t, uint16_t) override {
    std::lock_guard lock(card_->mutex);
    return dev_.open ? MMResult::kNoError : MMResult::kInvalidHandle;
  }

 private:
  MMResult SetPaused(bool paused) {
    std::unique_lock lock(card_->mutex);
    if (!dev_.open) return MMResult::kInvalidHandle;
    if (!dev_.lost && !card_->Answers(lock)) LoseLocked();
    if (dev_.lost) return MMResult::kDeviceLost;
    dev_.paused = paused;
    card_->Changed();
    return MMResult::kNoError;
  }

  // The device's own thread: consumes queued frames as the clock allows and reports finished
  // blocks.
  void Play() {
    const double rate = dev_.format.samples_per_sec * card_->options.speed;
    const uint32_t align = dev_.format.block_align;
    std::unique_lock lock(card_->mutex);
    Clock::time_point last = Clock::now();
    while (!dev_.stop) {
      if (dev_.queue.empty() || dev_.paused || dev_.lost || card_->stalled) {
        card_->cv.wait(lock);
        last = Clock::now();
        continue;
      }
      WaveHeader* h = dev_.queue.front();
      uint32_t left_bytes = h->buffer_length - dev_.front_offset;
      uint64_t left_frames = (left_bytes + align - 1) / align;
      uint64_t take = 0;
      switch (card_->options.pacing) {
        case Pacing::kAsFastAsPossible:
          take = left_frames;
          break;
        case Pacing::kManual:
          if (dev_.manual_credit == 0) {
            card_->cv.wait(lock);
            continue;
          }
          take = std::min(dev_.manual_credit, left_frames);
          dev_.manual_credit -= take;
          break;
        case Pacing::kRealTime: {
          auto now = Clock::now();
          dev_.pending_frames += std::chrono::duration<double>(now - last).count() * rate;
          last = now;
          take = std::min<uint64_t>(static_cast<uint64_t>(dev_.pending_frames), left_frames);
          dev_.pending_frames -= static_cast<double>(take);
          break;
        }
      }
      if (take > 0) {
        uint32_t bytes = static_cast<uint32_t>(std::min<uint64_t>(take * align, left_bytes));
        VirtualPlayback& playback = card_->playbacks[dev_.playback];
        if (card_->options.keep_played) {
          playback.played.insert(playback.played.end(), h->data + dev_.front_offset,
                                 h->data + dev_.front_offset + bytes);
        }
        playback.bytes_played += bytes;
        dev_.front_offset += bytes;
        dev_.position += take;
      }
      if (dev_.front_offset >= h->buffer_length) {
        dev_.queue.pop_front();
        dev_.front_offset = 0;
        ++dev_.in_callback;
        DoneCallback done = dev_.done;
        lock.unlock();
        // The in-queue flag goes before the owner hears of it: the owner may queue the header
        // again at once.
        h->flags.fetch_or(WaveHeader::kDone);
        h->flags.fetch_and(~WaveHeader::kInQueue);
        if (done) done(*h);
        lock.lock();
        --dev_.in_callback;
        ++card_->playbacks[dev_.playback].blocks_done;
        card_->Changed();
      } else if (card_->options.pacing == Pacing::kRealTime) {
        double wait_s = (static_cast<double>(left_frames - take) - dev_.pending_frames) / rate;
        card_->Changed();
        card_->cv.wait_for(lock, std::chrono::duration<double>(std::max(wait_s, 0.0)));
      } else {
        card_->Changed();
      }
    }
  }

  std::shared_ptr<Card> card_;
  Card::OutDevice dev_;
  LostCallback lost_callback_;  // for the devices opened from now on
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Wave-in: produces a 1 kHz tone (or the samples of a WAV file) into the buffers it is given.

struct VirtualAudioBackend::Card::InDevice {
  WaveFormat format;
  ThreadId notify = 0;
  uint32_t serial = 0;
  std::deque<WaveHeader*> queue;
  bool open = false;
  bool started = false;
  bool stop = false;
  bool lost = false;
  uint64_t frames_made = 0;  // frames produced since Start, for a continuous signal
  uint64_t manual_credit = 0;
  double pending_frames = 0;
  std::thread thread;
};

namespace {

class VirtualWaveIn final : public WaveInDevice {
 public:
  using Card = VirtualAudioBackend::Card;
  VirtualWaveIn(std::shared_ptr<Card> card, std::shared_ptr<const PcmFile> source)
      : card_(std::move(card)), source_(std::move(source)) {}

  ~VirtualWaveIn() override {
    if (IsOpen()) {
      Reset();
      Close();
    }
  }

  MMResult Open(int device, const WaveFormat& format, ThreadId notify_thread) override {
    if (device != kDefaultWaveInDevice && device != 0) return MMResult::kBadDeviceId;
    if (!SupportedDeviceFormat(format)) return MMResult::kBadFormat;
    std::unique_lock lock(card_->mutex);
    if (dev_.open) return MMResult::kAllocated;
    if (!card_->Answers(lock)) return MMResult::kDeviceLost;
    dev_.format = format;
    dev_.lost = false;
    dev_.notify = notify_thread;
    dev_.serial = ++card_->wave_in_serial;
    dev_.open = true;
    dev_.started = false;
    dev_.stop = false;
    card_->open_ins.push_back(&dev_);
    PostThreadMessage(notify_thread, {kMsgWaveInOpen, nullptr, dev_.serial, nullptr});
    return MMResult::kNoError;
  }

  MMResult Close() override {
    std::thread thread;
    bool lost;
    {
      std::unique_lock lock(card_->mutex);
      if (!dev_.open) return MMResult::kInvalidHandle;
      if (!dev_.lost && !card_->Answers(lock)) LoseLocked();
      lost = dev_.lost;
      if (!lost && !dev_.queue.empty()) return MMResult::kStillPlaying;
      dev_.queue.clear();
      dev_.stop = true;
      card_->cv.notify_all();
      thread = std::move(dev_.thread);
    }
    if (thread.joinable()) thread.join();
    std::lock_guard lock(card_->mutex);
    dev_.open = false;
    std::erase(card_->open_ins, &dev_);
    PostThreadMessage(dev_.notify, {kMsgWaveInClose, nullptr, dev_.serial, nullptr});
    card_->Changed();
    return lost ? MMResult::kDeviceLost : MMResult::kNoError;
  }

  // Card lock held: lost without handing anything back (a stall left a command unanswered).
  void LoseLocked() {
    dev_.lost = true;
    dev_.queue.clear();
    card_->Changed();
  }

  bool IsOpen() const override {
    std::lock_guard lock(card_->mutex);
    return dev_.open;
  }

  uint32_t OpenSerial() const override {
    std::lock_guard lock(card_->mutex);
    return dev_.serial;
  }

  MMResult Prepare(WaveHeader& header) override { return PrepareHeader(header); }

  MMResult Unprepare(WaveHeader& header) override { return UnprepareHeader(header); }

  MMResult AddBuffer(WaveHeader& header) override {
    if (!(header.flags & WaveHeader::kPrepared)) return MMResult::kUnprepared;
    std::lock_guard lock(card_->mutex);
    if (!dev_.open) return MMResult::kInvalidHandle;
    if (dev_.lost) return MMResult::kDeviceLost;
    header.bytes_recorded = 0;
    header.flags = (header.flags & ~WaveHeader::kDone) | WaveHeader::kInQueue;
    dev_.queue.push_back(&header);
    card_->Changed();
    return MMResult::kNoError;
  }

  MMResult Start() override {
    std::unique_lock lock(card_->mutex);
    if (!dev_.open) return MMResult::kInvalidHandle;
    if (!dev_.lost && !card_->Answers(lock)) LoseLocked();
    if (dev_.lost) return MMResult::kDeviceLost;
    if (dev_.started) return MMResult::kNoError;
    dev_.started = true;
    dev_.stop = false;
    dev_.frames_made = 0;
    dev_.thread = std::thread([this] { Record(); });
    return MMResult::kNoError;
  }

  MMResult Reset() override {
    std::thread thread;
    {
      std::unique_lock lock(card_->mutex);
      if (!dev_.open) return MMResult::kInvalidHandle;
      if (!dev_.lost && !card_->Answers(lock)) LoseLocked();
      if (dev_.lost) return MMResult::kDeviceLost;
      dev_.stop = true;
      card_->cv.notify_all();
      thread = std::move(dev_.thread);
    }
    if (thread.joinable()) thread.join();
    std::deque<WaveHeader*> returned;
    {
      std::lock_guard lock(card_->mutex);
      returned.swap(dev_.queue);
      dev_.started = false;
      dev_.stop = false;
      card_->Changed();
    }
    for (WaveHeader* h : returned) Return(h);
    return MMResult::kNoError;
  }

 private:
  void Return(WaveHeader* h) {
    h->flags = (h->flags | WaveHeader::kDone) & ~WaveHeader::kInQueue;
    PostThreadMessage(dev_.notify, {kMsgWaveInData, nullptr, dev_.serial, h});
  }

  // One sample of channel `ch` at frame `n`, in -1..1.
  double Sample(uint64_t n, int ch) const {
    if (!source_) {
      return 0.5 * std::sin(2 * std::numbers::pi * 1000.0 * static_cast<double>(n) /
                            dev_.format.samples_per_sec);
    }
    const auto& f = source_->format;
    // Nearest source frame at the source's own rate; silence after its end.
    uint64_t src = n * f.samples_per_sec / dev_.format.samples_per_sec;
    size_t at = static_cast<size_t>(src) * f.block_align +
                static_cast<size_t>(std::min<int>(ch, f.channels - 1)) * (f.bits_per_sample / 8);
    if (at + f.bits_per_sample / 8 > source_->samples.size()) return 0.0;
    if (f.bits_per_sample == 8) return (source_->samples[at] - 128) / 128.0;
    int16_t v = static_cast<int16_t>(source_->samples[at] | source_->samples[at + 1] << 8);
    return v / 32768.0;
  }

  void Produce(WaveHeader* h, uint64_t frames) {
    const auto& f = dev_.format;
    for (uint64_t i = 0; i < frames; ++i, ++dev_.frames_made) {
      for (int ch = 0; ch < f.channels; ++ch) {
        double s = Sample(dev_.frames_made, ch);
        uint8_t* p = h->data + h->bytes_recorded;
        if (f.bits_per_sample == 8) {
          p[0] = static_cast<uint8_t>(std::clamp(std::lround(s * 127.0) + 128, 0L, 255L));
          h->bytes_recorded += 1;
        } else {
          auto v = static_cast<int16_t>(std::clamp(std::lround(s * 32767.0), -32768L, 32767L));
          p[0] = static_cast<uint8_t>(v & 0xFF);
          p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
          h->bytes_recorded += 2;
        }
      }
    }
  }

  void Record() {
    const double rate = dev_.format.samples_per_sec * card_->options.speed;
    const uint32_t align = dev_.format.block_align;
    std::unique_lock lock(card_->mutex);
    Clock::time_point last = Clock::now();
    while (!dev_.stop) {
      if (dev_.queue.empty() || dev_.lost || card_->stalled) {
        card_->cv.wait(lock);
        last = Clock::now();
        continue;
      }
      WaveHeader* h = dev_.queue.front();
      uint64_t room = (h->buffer_length - h->bytes_recorded) / align;
      uint64_t take = 0;
      switch (card_->options.pacing) {
        case Pacing::kAsFastAsPossible:
          take = room;
          break;
        case Pacing::kManual:
          if (dev_.manual_credit == 0) {
            card_->cv.wait(lock);
            continue;
          }
          take = std::min(dev_.manual_credit, room);
          dev_.manual_credit -= take;
          break;
        case Pacing::kRealTime: {
          auto now = Clock::now();
          dev_.pending_frames += std::chrono::duration<double>(now - last).count() * rate;
          last = now;
          take = std::min<uint64_t>(static_cast<uint64_t>(dev_.pending_frames), room);
          dev_.pending_frames -= static_cast<double>(take);
          break;
        }
      }
      Produce(h, take);
      if ((h->buffer_length - h->bytes_recorded) < align) {
        dev_.queue.pop_front();
        Return(h);
        card_->Changed();
      } else if (card_->options.pacing == Pacing::kRealTime) {
        double wait_s = (static_cast<double>(room - take) - dev_.pending_frames) / rate;
        card_->cv.wait_for(lock, std::chrono::duration<double>(std::max(wait_s, 0.0)));
      } else {
        card_->Changed();
      }
    }
  }

  std::shared_ptr<Card> card_;
  std::shared_ptr<const PcmFile> source_;
  Card::InDevice dev_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------

VirtualAudioBackend::VirtualAudioBackend(VirtualCardOptions options)
    : card_(std::make_shared<Card>(options)) {}

VirtualAudioBackend::~VirtualAudioBackend() = default;

const VirtualCardOptions& VirtualAudioBackend::options() const {
  return card_->options;
}

std::unique_ptr<WaveOutDevice> VirtualAudioBackend::CreateWaveOut() {
  return std::make_unique<VirtualWaveOut>(card_);
}

std::unique_ptr<WaveInDevice> VirtualAudioBackend::CreateWaveIn() {
  std::shared_ptr<const PcmFile> source;
  std::lock_guard lock(source_mutex_);
  if (wave_in_source_) source = wave_in_source_;
  return std::make_unique<VirtualWaveIn>(card_, source);
}

std::vector<std::string> VirtualAudioBackend::WaveInDeviceNames() {
  std::vector<std::string> names;
  for (int i = 0; i < options().wave_in_devices; ++i) {
    names.push_back(i == 0 ? "Virtual Line In" : "Virtual Line In " + std::to_string(i + 1));
  }
  return names;
}

void VirtualAudioBackend::PlaySoundFile(const std::string& path) {
  VirtualWaveOut device(card_);
  PlaySoundFileOn(device, path);
}

bool VirtualAudioBackend::SetWaveInSource(const std::string& wav_path) {
  std::lock_guard lock(source_mutex_);
  if (wav_path.empty()) {
    wave_in_source_.reset();
    return true;
  }
  auto file = ReadPcmFile(wav_path);
  if (!file) return false;
  wave_in_source_ = std::make_shared<const PcmFile>(std::move(*file));
  return true;
}

std::vector<VirtualPlayback> VirtualAudioBackend::Playbacks() const {
  std::lock_guard lock(card_->mutex);
  return card_->playbacks;
}

size_t VirtualAudioBackend::PlaybackCount() const {
  std::lock_guard lock(card_->mutex);
  return card_->playbacks.size();
}

VirtualPlayback VirtualAudioBackend::LastPlayback() const {
  std::lock_guard lock(card_->mutex);
  return card_->playbacks.empty() ? VirtualPlayback{} : card_->playbacks.back();
}

size_t VirtualAudioBackend::QueuedBlocks() const {
  std::lock_guard lock(card_->mutex);
  size_t n = 0;
  for (auto* d : card_->open_outs) n += d->queue.size();
  return n;
}

bool VirtualAudioBackend::WaitUntil(const std::function<bool()>& pred, Milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::unique_lock lock(card_->mutex);
  for (;;) {
    uint64_t seen = card_->change_count;
    lock.unlock();
    bool ok = pred();
    lock.lock();
    if (ok) return true;
    if (!card_->cv.wait_until(lock, deadline, [&] { return card_->change_count != seen; })) {
      lock.unlock();
      return pred();
    }
  }
}

void VirtualAudioBackend::LoseDevices() {
  struct HandBack {
    Card::OutDevice* device;
    WaveOutDevice::DoneCallback done;
    WaveOutDevice::LostCallback lost;
    std::deque<WaveHeader*> blocks;
  };
  std::vector<HandBack> outs;
  std::unique_lock lock(card_->mutex);
  for (auto* d : card_->open_outs) {
    if (d->lost) continue;
    d->lost = true;
    ++d->in_callback;  // holds Close back until the blocks are handed back
    outs.push_back({d, d->done, d->lost_notice, {}});
    outs.back().blocks.swap(d->queue);
    d->front_offset = 0;
  }
  for (auto* d : card_->open_ins) {
    if (d->lost) continue;
    d->lost = true;
    std::deque<WaveHeader*> returned;
    returned.swap(d->queue);
    for (WaveHeader* h : returned) {
      h->flags = (h->flags | WaveHeader::kDone) & ~WaveHeader::kInQueue;
      PostThreadMessage(d->notify, {kMsgWaveInData, nullptr, d->serial, h});
    }
    PostThreadMessage(d->notify, {kMsgWaveInLost, nullptr, d->serial, nullptr});
  }
  card_->Changed();
  lock.unlock();
  // The callbacks run without the card's lock, as every completion does.
  for (auto& out : outs) {
    for (WaveHeader* h : out.blocks) {
      h->flags.fetch_or(WaveHeader::kDone);
      h->flags.fetch_and(~WaveHeader::kInQueue);
      if (out.done) out.done(*h);
    }
    if (out.lost) out.lost();
  }
  lock.lock();
  for (auto& out : outs) {
    --out.device->in_callback;
    card_->playbacks[out.device->playback].blocks_done += out.blocks.size();
  }
  card_->Changed();
}

void VirtualAudioBackend::Stall(bool stalled) {
  std::lock_guard lock(card_->mutex);
  card_->stalled = stalled;
  card_->Changed();
}

void VirtualAudioBackend::Advance(uint64_t frames) {
  std::unique_lock lock(card_->mutex);
  for (auto* d : card_->open_outs) {
    if (!d->paused && !d->queue.empty()) d->manual_credit += frames;
  }
  for (auto* d : card_->open_ins) {
    if (d->started) d->manual_credit += frames;
  }
  card_->cv.notify_all();
  auto settled = [&] {
    for (auto* d : card_->open_outs) {
      if (d->in_callback ||
          (d->manual_credit && !d->queue.empty() && !d->paused && !d->lost && !card_->stalled)) {
        return false;
      }
    }
    for (auto* d : card_->open_ins) {
      if (d->manual_credit && !d->queue.empty() && !d->stop && !d->lost && !card_->stalled) {
        return false;
      }
    }
    return true;
  };
  card_->cv.wait(lock, settled);
  for (auto* d : card_->open_outs) d->manual_credit = 0;
  for (auto* d : card_->open_ins) d->manual_credit = 0;
}

}  // namespace platform
