#include "media/OutputAudio.h"

#include <algorithm>
#include <chrono>
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

void Check(platform::MMResult result) {
  if (result != platform::MMResult::kNoError) throw MMException(result);
}

}  // namespace

OutputAudio::OutputAudio(platform::AudioBackend& backend)
    : backend_(backend), device_(backend.CreateWaveOut()) {
  if (!device_) throw MediaError("音声出力デバイスを作成できません。");
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
  if (divisor > 0) speed_divisor_ = divisor;  // 0 would divide the rate by zero at Open
}

void OutputAudio::OpenDevice() {
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
  free_headers_ = std::make_unique<platform::Semaphore>(kHeaderCount, kHeaderCount);
  const uint64_t rate = uint64_t{format.sample_rate} * 8 / static_cast<uint64_t>(speed_divisor_);
  {
    std::lock_guard lock(ring_lock_);
    device_format_ = platform::MakePcmFormat(
        format.channels, static_cast<uint32_t>(std::min<uint64_t>(rate, UINT32_MAX)),
        format.bits_per_sample);
  }
  OpenDevice();
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
    h.buffer.assign(block_size_, 0);
    h.wave.data = h.buffer.data();
    h.wave.buffer_length = block_size_;
    h.wave.flags = 0;
    device_->Prepare(h.wave);
  }
  queued_ = 0;
  paused_ = false;
  open_ = true;
}

uint32_t OutputAudio::Write(const uint8_t* bytes, uint32_t length) {
  if (!open_) return 0;
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

bool OutputAudio::QueueBlock() {
  // A writer on a thread with a queue (the reader) stops waiting when a stop command arrives;
  // otherwise a stop at a slow device rate would wait out a whole block.
  writer_waiting_ = true;
  const platform::WaitResult got = platform::AcquireUnlessPosted(*free_headers_, CMD_STOP);
  writer_waiting_ = false;
  if (got != platform::WaitResult::kSignaled) return false;
  Header& h = headers_[static_cast<size_t>(next_header_)];
  uint8_t* block = ring_[static_cast<size_t>(ring_write_index_)].data();
  EqualizerHook* equalizer = equalizer_.load();
  if (equalizer && equalizer->IsOn()) {
    equalizer->Filter(device_format_, block, block_size_ / device_format_.block_align);
  }
  std::memcpy(h.buffer.data(), block, block_size_);
  ++queued_;  // before the write: the completion may come before Write returns
  if (device_->Write(h.wave) != platform::MMResult::kNoError) {
    // A block the device refused never comes back; its header is free again at once.
    --queued_;
    free_headers_->Release();
  }
  next_header_ = (next_header_ + 1) % kHeaderCount;
  {
    std::lock_guard lock(ring_lock_);
    ++ring_filled_;
    ring_write_index_ = (ring_write_index_ + 1) % kRingCount;
  }
  fill_offset_ = 0;
  return true;
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
  Check(device_->Reset());
  {
    std::lock_guard lock(ring_lock_);
    ring_write_index_ = 0;
    ring_filled_ = 0;
  }
  fill_offset_ = 0;
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
  uint64_t frames = 0;
  return device_->GetPosition(frames) == platform::MMResult::kNoError ? frames : 0;
}

void OutputAudio::WaitUntilDrained() {
  // Bounded by the time the queue takes to play, with room to spare, in case a device never
  // hands its buffers back.
  const uint32_t byte_rate = std::max<uint32_t>(device_format_.avg_bytes_per_sec, 1);
  const auto queue_time = platform::Milliseconds(uint64_t{block_size_} * kHeaderCount * 1000 / byte_rate);
  std::unique_lock lock(drain_mutex_);
  drained_.wait_for(lock, queue_time + kCloseGrace, [this] { return queued_.load() <= 0; });
}

void OutputAudio::Close() {
  if (!open_) return;
  if (fill_offset_ != 0) {
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
    device_->Restart();
    paused_ = false;
  }
  WaitUntilDrained();

  // The device gets a bounded time to give each buffer back; past it, a Reset takes them back.
  const auto deadline = Clock::now() + kCloseGrace;
  const auto retry = [&](auto&& call) {
    while (call() == platform::MMResult::kStillPlaying) {
      if (Clock::now() > deadline) {
        device_->Reset();
        call();
        return;
      }
      std::this_thread::sleep_for(kRetryInterval);
    }
  };
  for (int i = 0; i < kHeaderCount; ++i) {
    Header& h = headers_[static_cast<size_t>((next_header_ + i) % kHeaderCount)];
    retry([&] { return device_->Unprepare(h.wave); });
  }
  retry([&] { return device_->Close(); });
  free_headers_.reset();
  open_ = false;
  queued_ = 0;
  fill_offset_ = 0;
}

void OutputAudio::PlaySoundInterrupt(const std::string& sound_name) {
  if (!open_) {
    backend_.PlaySoundFile(sound_name);
    return;
  }
  Reset();
  for (Header& h : headers_) device_->Unprepare(h.wave);
  Check(device_->Close());
  backend_.PlaySoundFile(sound_name);
  try {
    OpenDevice();
  } catch (...) {
    open_ = false;
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
