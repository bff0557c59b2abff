#include "media/OutputAudio.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "dsp/Fft.h"
#include "media/Commands.h"
#include "media/MMException.h"

namespace media {

namespace {

using Clock = std::chrono::steady_clock;

// How long Close keeps asking a device that says it is still playing.
constexpr platform::Milliseconds kRetryInterval{5};
constexpr platform::Milliseconds kCloseGrace{2000};

// The spectrum's transform: one 512-point Hann-windowed FFT for the whole program, shared by
// every output, and a lock because it keeps its input between SetSample and Calculate.
constexpr int kSpectrumPoints = 512;
std::mutex fft_mutex;
dsp::Fft& SpectrumFft() {
  static dsp::Fft fft(kSpectrumPoints, dsp::Fft::kHann);
  return fft;
}

}  // namespace

OutputAudio::OutputAudio(platform::AudioBackend& backend)
    : backend_(backend), device_(backend.CreateWaveOut()) {
  if (!device_) throw MediaError("音声出力デバイスを作成できません。");
  device_->SetLostCallback([this] { MarkLost(); });
}

void OutputAudio::SetLostNotice(std::function<void()> notice) {
  std::lock_guard lock(notice_mutex_);
  lost_notice_ = std::move(notice);
}

void OutputAudio::MarkLost() {
  // Once per Open: the writer may be held (paused) and waits for no answer of the device's, so
  // it is told; later reports of the same loss add nothing.
  if (lost_.exchange(true)) return;
  std::function<void()> notice;
  {
    std::lock_guard lock(notice_mutex_);
    notice = lost_notice_;
  }
  if (notice) notice();
}

OutputAudio::~OutputAudio() {
  try {
    Close();
  } catch (const std::exception&) {
    // A destructor cannot report; the device object below still releases what it holds.
  }
}

platform::WaveFormat OutputAudio::DeviceFormat() const {
  std::lock_guard lock(ring_lock_);
  return device_format_;
}

void OutputAudio::SetSpeedDivisor(int32_t divisor) {
  if (divisor <= 0) return;  // 0 would divide the rate by zero at Open
  speed_divisor_ = divisor;
  std::lock_guard stream(stream_mutex_);
  const double tempo = 8.0 / divisor;
  if (open_ && stretching_ && tempo != tempo_) Retune(tempo);
}

void OutputAudio::Check(platform::MMResult result) {
  if (result == platform::MMResult::kNoError) return;
  if (result == platform::MMResult::kDeviceLost) MarkLost();
  throw MMException(result);
}

void OutputAudio::OpenDevice() {
  // Cleared before the device runs: a loss it reports from the start belongs to this Open.
  lost_ = false;
  const platform::MMResult result =
      device_->Open(device_format_, [this](platform::WaveHeader& h) { OnDone(h); });
  if (result != platform::MMResult::kNoError) {
    free_headers_.reset();
    throw MMException(result);
  }
}

void OutputAudio::Open(const PcmBlockFormat& format) {
  Close();
  if (format.channels == 0 || format.bits_per_sample < 8 || format.block_size == 0 ||
      format.sample_rate == 0) {
    throw MediaError("再生できない PCM 形式です。");
  }
  std::lock_guard stream(stream_mutex_);
  const bool stretching = keep_pitch_.load();
  const int32_t divisor = speed_divisor_.load();
  free_headers_ = std::make_unique<platform::Semaphore>(kHeaderCount, kHeaderCount);
  // Keeping the pitch, the device plays at the file's rate and the stretcher makes the speed.
  const uint64_t rate = stretching
                            ? format.sample_rate
                            : uint64_t{format.sample_rate} * 8 / static_cast<uint64_t>(divisor);
  {
    std::lock_guard lock(ring_lock_);
    device_format_ = platform::MakePcmFormat(
        format.channels, static_cast<uint32_t>(std::min<uint64_t>(rate, UINT32_MAX)),
        format.bits_per_sample);
  }
  OpenDevice();
  frames_per_block_ = format.block_size / device_format_.block_align;
  header_bytes_ = format.block_size;
  tempo_ = 8.0 / divisor;
  if (stretching) {
    try {
      stretch_.Configure(format.channels, format.sample_rate, format.bits_per_sample,
                         frames_per_block_);
    } catch (...) {
      device_->Close();
      free_headers_.reset();
      throw;
    }
    stretch_.Restart(tempo_);
    // A block at the slowest tempo of the five speeds (or this one, if slower), and room for
    // the stretcher's lag (well under an eighth of a second) coming out with it.
    const double frames = (frames_per_block_ + format.sample_rate / 8.0) / std::min(tempo_, 0.5);
    header_bytes_ = std::max<uint32_t>(
        format.block_size, static_cast<uint32_t>(std::ceil(frames)) * device_format_.block_align);
  }
  {
    std::lock_guard lock(ring_lock_);
    bits_per_sample_ = format.bits_per_sample;
    channels_ = format.channels;
    block_size_ = format.block_size;
    for (auto& block : ring_) block.assign(block_size_, 0);
    ring_write_index_ = 0;
    ring_filled_ = 0;
  }
  fill_offset_ = 0;
  next_header_ = 0;
  for (Header& h : headers_) {
    h.buffer.assign(header_bytes_, 0);
    h.wave.data = h.buffer.data();
    h.wave.buffer_length = header_bytes_;
    h.wave.flags = 0;
    device_->Prepare(h.wave);
  }
  {
    std::lock_guard map(map_mutex_);
    ClearSpans(0);
  }
  frames_written_ = 0;
  input_ended_ = false;
  stretching_ = stretching;
  queued_ = 0;
  paused_ = false;
  open_ = true;
}

uint32_t OutputAudio::Write(const uint8_t* bytes, uint32_t length) {
  if (!open_) return 0;
  // The writer hears of a lost device here: its blocks come back at once and go nowhere.
  if (lost_) throw MMException(platform::MMResult::kDeviceLost);
  uint32_t completed = 0;
  while (length > 0) {
    const uint32_t room = block_size_ - fill_offset_;
    uint8_t* into = ring_[static_cast<size_t>(ring_write_index_)].data() + fill_offset_;
    if (length < room) {
      std::memcpy(into, bytes, length);
      fill_offset_ += length;
      break;
    }
    std::memcpy(into, bytes, room);
    fill_offset_ = block_size_;
    if (!QueueBlock()) {
      // A stop is waiting: it will throw away everything queued, this block included.
      fill_offset_ = 0;
      ++abandoned_;
      break;
    }
    completed = block_size_;
    bytes += room;
    length -= room;
  }
  return completed;
}

bool OutputAudio::AcquireHeader() {
  // A writer on a thread with a queue (the reader) stops waiting when a stop command arrives;
  // otherwise a stop at a slow device rate would wait out a whole block.
  writer_waiting_ = true;
  const platform::WaitResult got = platform::AcquireUnlessPosted(*free_headers_, CMD_STOP);
  writer_waiting_ = false;
  return got == platform::WaitResult::kSignaled;
}

void OutputAudio::Equalize(uint8_t* block, uint32_t frames) {
  EqualizerHook* equalizer = equalizer_.load();
  if (equalizer && equalizer->IsOn()) equalizer->Filter(device_format_, block, frames);
}

bool OutputAudio::QueueBlock() {
  if (!AcquireHeader()) return false;
  std::lock_guard stream(stream_mutex_);
  uint8_t* block = ring_[static_cast<size_t>(ring_write_index_)].data();
  Equalize(block, frames_per_block_);
  if (stretching_) {
    stretch_.Put(block, frames_per_block_);
    frames_written_ += frames_per_block_;
    QueueStretched();
  } else {
    Header& h = headers_[static_cast<size_t>(next_header_)];
    std::memcpy(h.buffer.data(), block, block_size_);
    WriteHeader(h, block_size_);
  }
  {
    std::lock_guard lock(ring_lock_);
    ++ring_filled_;
    ring_write_index_ = (ring_write_index_ + 1) % kRingCount;
  }
  fill_offset_ = 0;
  return true;
}

void OutputAudio::WriteHeader(Header& h, uint32_t bytes) {
  h.wave.buffer_length = bytes;
  ++queued_;  // before the write: the completion may come before Write returns
  const platform::MMResult written = device_->Write(h.wave);
  if (written != platform::MMResult::kNoError) {
    // A block the device refused never comes back; its header is free again at once.
    if (written == platform::MMResult::kDeviceLost) MarkLost();
    --queued_;
    free_headers_->Release();
  }
  next_header_ = (next_header_ + 1) % kHeaderCount;
}

void OutputAudio::QueueStretched() {
  // Every block gets its header even when the stretcher has nothing ready yet (at the fast
  // tempi it gives out a piece only every few short blocks): so the device never holds more
  // than 32 blocks of the file, all of them still in the history ring for a tempo change.
  Header& h = headers_[static_cast<size_t>(next_header_)];
  const uint32_t align = device_format_.block_align;
  const uint32_t ready = stretch_.Available();
  if (h.buffer.size() < size_t{ready} * align) {
    // Only a tempo slower than the buffers were sized for at Open gets here.
    h.buffer.resize(size_t{ready} * align);
    h.wave.data = h.buffer.data();
  }
  const uint32_t frames = stretch_.Take(h.buffer.data(), ready);
  {
    std::lock_guard map(map_mutex_);
    Span& span = spans_[static_cast<size_t>(next_header_)];
    span.device_start = device_total_;
    span.device_end = device_total_ + frames;
    span.input_start = input_total_;
    span.input_end = input_total_ + frames * tempo_;
    device_total_ = span.device_end;
    input_total_ = span.input_end;
  }
  WriteHeader(h, frames * align);
}

void OutputAudio::ClearSpans(double input_base) {
  spans_.fill(Span{});
  device_total_ = 0;
  input_total_ = input_base;
}

uint64_t OutputAudio::StretchedPosition() {
  uint64_t played = 0;
  if (device_->GetPosition(played) != platform::MMResult::kNoError) return 0;
  double input = input_total_;
  if (played < device_total_) {
    for (const Span& span : spans_) {
      if (span.device_start <= played && played < span.device_end) {
        const double part = static_cast<double>(played - span.device_start) /
                            static_cast<double>(span.device_end - span.device_start);
        input = span.input_start + part * (span.input_end - span.input_start);
        break;
      }
    }
  }
  return static_cast<uint64_t>(input);
}

void OutputAudio::Retune(double tempo) {
  uint64_t heard = 0;
  {
    std::lock_guard map(map_mutex_);
    heard = StretchedPosition();
    // The device holds at most 32 blocks, so what was heard is still in the ring; should it not
    // be, playing on from the oldest block kept beats repeating nothing.
    const uint64_t oldest =
        ring_filled_ >= kRingCount ? (ring_filled_ - (kRingCount - 1)) * frames_per_block_ : 0;
    heard = std::clamp(heard, oldest, std::max(oldest, frames_written_));
    // A device that cannot drop its queue keeps the old tempo until the next Open.
    const platform::MMResult reset = device_->Reset();
    if (reset == platform::MMResult::kDeviceLost) MarkLost();
    if (reset != platform::MMResult::kNoError) return;
    ClearSpans(static_cast<double>(heard));
  }
  tempo_ = tempo;
  stretch_.Restart(tempo);
  Replay(heard);
}

void OutputAudio::Replay(uint64_t from) {
  if (from >= frames_written_) {
    if (input_ended_) stretch_.Finish();
    return;
  }
  // Every header came back with the reset, bar one a waiting writer may have taken since.
  int32_t free = 0;
  while (free < kHeaderCount &&
         free_headers_->Acquire(platform::Milliseconds(0)) == platform::WaitResult::kSignaled) {
    ++free;
  }
  // The frames go in as pieces of about a block, one header each, as they went the first time;
  // fewer, longer pieces when headers are short.
  const uint64_t remaining = frames_written_ - from;
  const uint64_t fpb = frames_per_block_;
  const uint64_t pieces =
      std::clamp<uint64_t>((remaining + fpb - 1) / fpb, 1, std::max<int32_t>(free, 1));
  const uint32_t align = device_format_.block_align;
  uint64_t at = from;
  for (uint64_t p = 1; p <= pieces; ++p) {
    const uint64_t end = from + remaining * p / pieces;
    while (at < end) {
      const uint64_t within = at % fpb;
      const auto n = static_cast<uint32_t>(std::min(fpb - within, end - at));
      stretch_.Put(ring_[static_cast<size_t>(at / fpb % kRingCount)].data() + within * align, n);
      at += n;
    }
    if (p == pieces && input_ended_) stretch_.Finish();
    // Without a header (none was free) the output waits in the stretcher for the next block's.
    if (free > 0) {
      QueueStretched();
      --free;
    }
  }
  if (free > 0) free_headers_->Release(free);
}

void OutputAudio::OnDone(platform::WaveHeader&) {
  {
    std::lock_guard lock(drain_mutex_);
    --queued_;
  }
  drained_.notify_all();
  free_headers_->Release();
}

void OutputAudio::Reset() {
  if (!open_) return;
  std::lock_guard stream(stream_mutex_);
  ResetLocked();
}

void OutputAudio::ResetLocked() {
  {
    std::lock_guard map(map_mutex_);
    Check(device_->Reset());
    ClearSpans(0);
  }
  {
    std::lock_guard lock(ring_lock_);
    ring_write_index_ = 0;
    ring_filled_ = 0;
  }
  fill_offset_ = 0;
  frames_written_ = 0;
  input_ended_ = false;
  // What the stretcher holds belongs to the old position: nothing of it may be heard after a
  // seek.
  if (stretching_) stretch_.Restart(tempo_);
}

void OutputAudio::Pause() {
  if (!open_) return;
  Check(device_->Pause());
  paused_ = true;
}

void OutputAudio::Restart() {
  if (!open_) return;
  Check(device_->Restart());
  paused_ = false;
}

void OutputAudio::SetVolume(uint32_t left_percent, uint32_t right_percent) {
  if (!open_) return;
  const auto scale = [](uint32_t percent) {
    return static_cast<uint16_t>(std::min<uint32_t>(percent, 100) * 65535 / 100);
  };
  Check(device_->SetVolume(scale(left_percent), scale(right_percent)));
}

uint64_t OutputAudio::GetPosition() {
  if (stretching_) {
    std::lock_guard map(map_mutex_);
    return StretchedPosition();
  }
  uint64_t frames = 0;
  return device_->GetPosition(frames) == platform::MMResult::kNoError ? frames : 0;
}

bool OutputAudio::WaitUntilDrained() {
  // Bounded by the time the queue takes to play, with room to spare, in case a device never
  // hands its buffers back.
  const uint32_t byte_rate = std::max<uint32_t>(device_format_.avg_bytes_per_sec, 1);
  const auto queue_time =
      platform::Milliseconds(uint64_t{header_bytes_} * kHeaderCount * 1000 / byte_rate);
  std::unique_lock lock(drain_mutex_);
  return drained_.wait_for(lock, queue_time + kCloseGrace, [this] { return queued_.load() <= 0; });
}

void OutputAudio::CloseStretched() {
  // The last frames go in as they are, without padding, and the stretcher gives out what it
  // still holds: the output ends exactly where the file does, at the tempo.
  if (fill_offset_ == 0 && frames_written_ == 0) return;
  if (!AcquireHeader()) {
    fill_offset_ = 0;
    ++abandoned_;
    return;
  }
  std::lock_guard stream(stream_mutex_);
  const uint32_t frames = fill_offset_ / device_format_.block_align;
  if (frames > 0) {
    uint8_t* block = ring_[static_cast<size_t>(ring_write_index_)].data();
    Equalize(block, frames);
    stretch_.Put(block, frames);
    frames_written_ += frames;  // kept in the ring's current block, for a tempo change
  }
  input_ended_ = true;
  stretch_.Finish();
  QueueStretched();
  fill_offset_ = 0;
}

void OutputAudio::Close() {
  if (!open_) return;
  if (lost_) {
    CloseLost();
    return;
  }
  if (stretching_) {
    CloseStretched();
  } else if (fill_offset_ != 0) {
    const uint8_t silence = bits_per_sample_ == 8 ? 0x80 : 0;
    uint8_t* block = ring_[static_cast<size_t>(ring_write_index_)].data();
    std::memset(block + fill_offset_, silence, block_size_ - fill_offset_);
    fill_offset_ = block_size_;
    if (!QueueBlock()) {
      fill_offset_ = 0;
      ++abandoned_;
    }
  }
  // A paused device would keep the tail, and this wait, forever.
  if (paused_) {
    if (device_->Restart() == platform::MMResult::kDeviceLost) MarkLost();
    paused_ = false;
  }
  if (lost_) {
    CloseLost();
    return;
  }
  // A tempo change while the tail plays queues it again: then the wait starts over.
  std::unique_lock stream(stream_mutex_, std::defer_lock);
  for (;;) {
    const bool drained = WaitUntilDrained();
    stream.lock();
    if (!drained || queued_.load() <= 0) break;
    stream.unlock();
  }

  // The device gets a bounded time to give each buffer back; past it, a Reset takes them back.
  const auto deadline = Clock::now() + kCloseGrace;
  const auto retry = [&](auto&& call) {
    platform::MMResult r;
    while ((r = call()) == platform::MMResult::kStillPlaying) {
      if (Clock::now() > deadline) {
        r = device_->Reset();
        if (r != platform::MMResult::kDeviceLost) r = call();
        break;
      }
      std::this_thread::sleep_for(kRetryInterval);
    }
    if (r == platform::MMResult::kDeviceLost) MarkLost();
  };
  for (int i = 0; i < kHeaderCount && !lost_; ++i) {
    Header& h = headers_[static_cast<size_t>((next_header_ + i) % kHeaderCount)];
    retry([&] { return device_->Unprepare(h.wave); });
  }
  if (!lost_) retry([&] { return device_->Close(); });
  if (lost_) {
    CloseLost();
    return;
  }
  free_headers_.reset();
  open_ = false;
  stretching_ = false;
  queued_ = 0;
  fill_offset_ = 0;
}

void OutputAudio::CloseLost() {
  // The device gives back nothing more: closing it releases it (a thread of its stuck in a
  // stalled server ends by itself later), and every header is the output's own again.
  device_->Close();
  for (Header& h : headers_) h.wave.flags = 0;
  free_headers_.reset();
  open_ = false;
  stretching_ = false;
  paused_ = false;
  queued_ = 0;
  fill_offset_ = 0;
}

void OutputAudio::PlaySoundInterrupt(const std::string& sound_name) {
  if (!open_) {
    backend_.PlaySoundFile(sound_name);
    return;
  }
  std::lock_guard stream(stream_mutex_);
  ResetLocked();
  for (Header& h : headers_) device_->Unprepare(h.wave);
  Check(device_->Close());
  backend_.PlaySoundFile(sound_name);
  try {
    OpenDevice();
  } catch (...) {
    open_ = false;
    stretching_ = false;
    queued_ = 0;
    throw;
  }
  for (Header& h : headers_) device_->Prepare(h.wave);
}

bool OutputAudio::ReadHistory(uint64_t byte_position, uint32_t window, std::vector<uint8_t>& out) {
  std::lock_guard lock(ring_lock_);
  if (block_size_ == 0) return false;
  const uint64_t block = block_size_;
  const uint64_t completed = ring_filled_ * block;
  // The block being filled is written without the lock, and once the ring has wrapped it is
  // the oldest one: only the other 79 hold history that can be read.
  const uint64_t oldest =
      ring_filled_ >= kRingCount ? (ring_filled_ - (kRingCount - 1)) * block : 0;
  if (completed < window) return false;
  if (ring_filled_ < kRingCount) {
    if (byte_position < window || byte_position > completed) return false;
  } else if (byte_position < oldest) {
    return false;
  }
  byte_position = std::min<uint64_t>(byte_position, completed - window);
  if (byte_position < oldest) return false;

  out.resize(window);
  uint64_t absolute = byte_position / block;
  uint64_t within = byte_position % block;
  uint32_t copied = 0;
  while (copied < window) {
    const auto& source = ring_[static_cast<size_t>(absolute % kRingCount)];
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(block - within, window - copied));
    std::memcpy(out.data() + copied, source.data() + within, n);
    copied += n;
    ++absolute;
    within = 0;
  }
  return true;
}

bool OutputAudio::ReadSnapshotWindow(uint64_t sample_position, uint32_t samples_per_channel,
                                     int32_t* left, int32_t* right, SnapshotWindow& window) {
  std::fill(left, left + kSnapshotValues, 0);
  std::fill(right, right + kSnapshotValues, 0);
  {
    std::lock_guard lock(ring_lock_);
    window.channels = channels_;
    window.bits = bits_per_sample_;
  }
  if (window.channels == 0 || window.bits == 0) return false;
  window.bytes_wanted = window.channels * samples_per_channel;
  return ReadHistory(sample_position * window.bits * window.channels / 8, window.bytes_wanted,
                     window.bytes);
}

int32_t OutputAudio::GetWaveSnapshot(uint64_t sample_position, int32_t* left, int32_t* right) {
  SnapshotWindow w;
  if (!ReadSnapshotWindow(sample_position, 512, left, right, w)) return 0;
  for (size_t i = 0; i < kSnapshotValues; ++i) {
    left[i] = w.Sample(i * w.channels) * 100 / 32767;
    if (w.channels == 2) right[i] = w.Sample(i * 2 + 1) * 100 / 32767;
  }
  return static_cast<int32_t>(w.bytes_wanted * 8 / w.bits / w.channels);
}

int32_t OutputAudio::GetSpectrum(uint64_t sample_position, int32_t* left, int32_t* right) {
  SnapshotWindow w;
  if (!ReadSnapshotWindow(sample_position, 1024, left, right, w)) return 0;
  std::lock_guard lock(fft_mutex);
  dsp::Fft& fft = SpectrumFft();
  for (int i = 0; i < kSpectrumPoints; ++i) {
    fft.SetSample(i, w.Sample(static_cast<size_t>(i) * w.channels));
  }
  fft.Calculate(left);
  if (w.channels == 2) {
    for (int i = 0; i < kSpectrumPoints; ++i) {
      fft.SetSample(i, w.Sample(static_cast<size_t>(i) * 2 + 1));
    }
    fft.Calculate(right);
  }
  return static_cast<int32_t>(w.bytes_wanted * 8 / w.bits / w.channels);
}

}  // namespace media
