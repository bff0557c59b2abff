// Changes the tempo of PCM and keeps its pitch, so that a voice slowed down to half speed is
// still heard at its own pitch. Waveform-similarity overlap-add (the SoundTouch library), with
// piece lengths chosen for speech. Blocks go in as they are played and come out stretched; a
// tempo of exactly 1 passes the samples through untouched.
//
// One thread at a time: the audio output calls it on the thread that writes the blocks, and
// under its own lock when a speed change restarts it from another thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace soundtouch {
class SoundTouch;
}

namespace media {

class TimeStretch {
 public:
  // Lengths of the stretcher's pieces. A piece of 40 ms holds about four periods of a low male
  // voice, short enough that the joins do not smear syllables (the library's automatic choice,
  // 80 ms and longer at slow tempi, is made for music and lets a voice echo); 15 ms of search
  // for the best join covers one period of a 67 Hz voice; 8 ms of cross-fade hides the join
  // without blurring consonants.
  static constexpr int kSequenceMs = 40;
  static constexpr int kSeekWindowMs = 15;
  static constexpr int kOverlapMs = 8;

  TimeStretch();
  ~TimeStretch();
  TimeStretch(const TimeStretch&) = delete;
  TimeStretch& operator=(const TimeStretch&) = delete;

  // Sets the layout (interleaved 8-bit unsigned or 16-bit signed PCM) and sizes the scratch
  // buffers for pieces of `frames_hint` frames, so that a warmed-up stage does not allocate.
  // Raises MediaError for any other layout. Restart sets the tempo before the first Put.
  void Configure(uint16_t channels, uint32_t rate, uint16_t bits, uint32_t frames_hint);
  // Empties the stage and sets the tempo: the output lasts the input's length divided by it.
  void Restart(double tempo);
  double Tempo() const { return tempo_; }

  void Put(const uint8_t* pcm, uint32_t frames);
  // The input has ended: what the stage still holds becomes available, cut so that the whole
  // output lasts exactly the input's length divided by the tempo.
  void Finish();
  // Frames ready to be taken.
  uint32_t Available() const;
  // Moves up to `max_frames` ready frames into `pcm`; returns how many.
  uint32_t Take(uint8_t* pcm, uint32_t max_frames);

 private:
  bool PassThrough() const { return tempo_ == 1.0; }
  void ToFloat(const uint8_t* pcm, uint32_t frames);
  void FromFloat(uint8_t* pcm, uint32_t frames) const;

  std::unique_ptr<soundtouch::SoundTouch> engine_;
  uint16_t channels_ = 0;
  uint16_t bits_ = 0;
  uint32_t frame_bytes_ = 0;
  double tempo_ = 1.0;

  std::vector<float> scratch_;  // one piece of samples, on the way in or out
  uint32_t scratch_frames_ = 0;

  // At tempo 1 the bytes wait here unchanged: [read, end) of `through_`.
  std::vector<uint8_t> through_;
  size_t through_read_ = 0;
  size_t through_end_ = 0;

  // Output frames the input so far asks for (input frames / tempo), less those taken: after
  // Finish, the cap on what may still come out.
  double owed_ = 0;
  bool finished_ = false;
};

}  // namespace media
