#include "media/TimeStretch.h"

#include <SoundTouch.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "media/MMException.h"

namespace media {

TimeStretch::TimeStretch() = default;
TimeStretch::~TimeStretch() = default;

void TimeStretch::Configure(uint16_t channels, uint32_t rate, uint16_t bits, uint32_t frames_hint) {
  if ((bits != 8 && bits != 16) || channels == 0 || channels > 2 || rate == 0) {
    throw MediaError("音程を保ったまま速度を変えられない PCM 形式です。");
  }
  channels_ = channels;
  bits_ = bits;
  frame_bytes_ = uint32_t{channels} * bits / 8;
  engine_ = std::make_unique<soundtouch::SoundTouch>();
  engine_->setChannels(channels);
  engine_->setSampleRate(rate);
  // The rate is set first: the piece lengths are turned into frames at the rate in force.
  engine_->setSetting(SETTING_SEQUENCE_MS, kSequenceMs);
  engine_->setSetting(SETTING_SEEKWINDOW_MS, kSeekWindowMs);
  engine_->setSetting(SETTING_OVERLAP_MS, kOverlapMs);
  // On speech the quick search for the join finds as good a one as the full search (the same
  // fundamental, the same periodicity of the voiced frames) at a third of the processor time.
  engine_->setSetting(SETTING_USE_QUICKSEEK, 1);
  scratch_frames_ = std::max<uint32_t>(frames_hint, 1024);
  scratch_.assign(size_t{scratch_frames_} * channels, 0.0f);
  through_.assign(size_t{scratch_frames_} * frame_bytes_, 0);
  Restart(1.0);
}

void TimeStretch::Restart(double tempo) {
  tempo_ = tempo > 0 ? tempo : 1.0;
  through_read_ = through_end_ = 0;
  owed_ = 0;
  finished_ = false;
  if (!engine_) return;
  engine_->clear();
  engine_->setTempo(tempo_);
}

void TimeStretch::ToFloat(const uint8_t* pcm, uint32_t frames) {
  const size_t n = size_t{frames} * channels_;
  if (bits_ == 8) {
    for (size_t i = 0; i < n; ++i) scratch_[i] = (static_cast<float>(pcm[i]) - 128.0f) / 128.0f;
  } else {
    for (size_t i = 0; i < n; ++i) {
      const auto s = static_cast<int16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8);
      scratch_[i] = static_cast<float>(s) / 32768.0f;
    }
  }
}

void TimeStretch::FromFloat(uint8_t* pcm, uint32_t frames) const {
  // Overlapping pieces can add up past full scale: clip rather than wrap.
  const size_t n = size_t{frames} * channels_;
  if (bits_ == 8) {
    for (size_t i = 0; i < n; ++i) {
      const long v = std::lrint(scratch_[i] * 128.0f) + 128;
      pcm[i] = static_cast<uint8_t>(std::clamp<long>(v, 0, 255));
    }
  } else {
    for (size_t i = 0; i < n; ++i) {
      const auto v = static_cast<uint16_t>(
          std::clamp<long>(std::lrint(scratch_[i] * 32768.0f), -32768, 32767));
      pcm[2 * i] = static_cast<uint8_t>(v);
      pcm[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
  }
}

void TimeStretch::Put(const uint8_t* pcm, uint32_t frames) {
  if (!engine_ || frames == 0 || finished_) return;
  owed_ += frames / tempo_;
  if (PassThrough()) {
    const size_t bytes = size_t{frames} * frame_bytes_;
    if (through_read_ == through_end_) through_read_ = through_end_ = 0;
    if (through_.size() < through_end_ + bytes) through_.resize(through_end_ + bytes);
    std::memcpy(through_.data() + through_end_, pcm, bytes);
    through_end_ += bytes;
    return;
  }
  while (frames > 0) {
    const uint32_t n = std::min(frames, scratch_frames_);
    ToFloat(pcm, n);
    engine_->putSamples(scratch_.data(), n);
    pcm += size_t{n} * frame_bytes_;
    frames -= n;
  }
}

void TimeStretch::Finish() {
  if (!engine_ || finished_) return;
  finished_ = true;
  if (!PassThrough()) engine_->flush();
}

uint32_t TimeStretch::Available() const {
  if (!engine_) return 0;
  if (PassThrough()) return static_cast<uint32_t>((through_end_ - through_read_) / frame_bytes_);
  const uint32_t ready = engine_->numSamples();
  if (!finished_) return ready;
  // The flush pads with silence to push the last samples out; that padding is not the file's.
  return static_cast<uint32_t>(std::min<double>(ready, std::max(0.0, std::round(owed_))));
}

uint32_t TimeStretch::Take(uint8_t* pcm, uint32_t max_frames) {
  const uint32_t wanted = std::min(max_frames, Available());
  if (wanted == 0) return 0;
  if (PassThrough()) {
    const size_t bytes = size_t{wanted} * frame_bytes_;
    std::memcpy(pcm, through_.data() + through_read_, bytes);
    through_read_ += bytes;
    owed_ -= wanted;
    return wanted;
  }
  uint32_t done = 0;
  while (done < wanted) {
    const uint32_t n =
        engine_->receiveSamples(scratch_.data(), std::min(wanted - done, scratch_frames_));
    if (n == 0) break;
    FromFloat(pcm + size_t{done} * frame_bytes_, n);
    done += n;
  }
  owed_ -= done;
  return done;
}

}  // namespace media
