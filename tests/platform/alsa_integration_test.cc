// The ALSA backend against a real sound server (scripts/sound-server.sh): what the wave-out
// device plays is recorded from the server's monitor and compared with what was written, and the
// wave-in device records a known sound played into the server.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/alsa_audio.h"
#include "platform/sync.h"
#include "tests/platform/tone_blocks.h"
#include "tests/support/sound_server.h"

namespace platform {
namespace {

using verbat::test::Clock;
using verbat::test::MonitorRecorder;
using namespace std::chrono_literals;
constexpr int kRecRate = MonitorRecorder::kRate;
constexpr double kThreshold = 0.05;  // RMS of sound; the tones are at 0.5 (RMS 0.35)

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}
double FramesToMs(int64_t frames, double rate) {
  return 1000.0 * static_cast<double>(frames) / rate;
}

// Counts completions and remembers when the last one came.
struct Completions {
  explicit Completions(int32_t blocks) : sem(0, blocks) {}
  WaveOutDevice::DoneCallback Callback() {
    return [this](WaveHeader& h) {
      order.push_back(h.user);  // one device thread reports, in turn
      last = Clock::now();
      sem.Release();
    };
  }
  // Waits for n more completions, each within `each`.
  bool Wait(size_t n, Milliseconds each = 3000ms) {
    for (size_t i = 0; i < n; ++i) {
      if (sem.Acquire(each) != WaitResult::kSignaled) return false;
    }
    return true;
  }
  Semaphore sem;
  std::vector<uintptr_t> order;
  Clock::time_point last;
};

class AlsaIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    VERBAT_REQUIRE_SOUND_SERVER();
    ASSERT_TRUE(rec_.Start()) << rec_.error();
  }
  // Waits until the recording reaches `t` plus a margin, then ends it.
  std::vector<float> StopAfter(Clock::time_point t, Milliseconds margin = 300ms) {
    EXPECT_TRUE(rec_.WaitForFrames(rec_.FramesAt(t + margin), 5000ms)) << "the monitor stalled";
    return rec_.Stop();
  }

  AlsaAudioBackend backend_;
  MonitorRecorder rec_;
};

struct RateCase {
  uint32_t rate;
  uint16_t bits;
  uint16_t channels;
  double hz;
};

// Tones at the normal rate, at the fastest speed step (44100 × 4) and at the lowest rate in
// 8-bit mono: the frequency heard and the length must be what was written, the blocks must come
// back in order, and a block's completion must not come before its end has been heard.
TEST_F(AlsaIntegration, PlaysTonesAtTheirRateAndLength) {
  const RateCase cases[] = {{44100, 16, 2, 1000}, {176400, 16, 2, 1000}, {4000, 8, 1, 440}};
  struct Heard {
    RateCase c;
    int64_t start, end;
    Clock::time_point done;
    double open_ms;
  };
  std::vector<Heard> heard;
  for (const auto& c : cases) {
    const auto format = MakePcmFormat(c.channels, c.rate, c.bits);
    ToneBlocks tone(format, c.hz, c.rate, c.rate / 10);  // one second in tenths
    Completions done(static_cast<int32_t>(tone.size()));
    auto device = backend_.CreateWaveOut();
    auto t0 = Clock::now();
    ASSERT_EQ(device->Open(format, done.Callback()), MMResult::kNoError) << c.rate;
    double open_ms = Ms(Clock::now() - t0);
    auto before = rec_.Frames();
    ASSERT_TRUE(tone.WriteAll(*device));
    ASSERT_TRUE(done.Wait(tone.size())) << c.rate << " Hz: blocks did not come back";
    for (size_t i = 0; i < done.order.size(); ++i) EXPECT_EQ(done.order[i], i);
    uint64_t position = 0;
    EXPECT_EQ(device->GetPosition(position), MMResult::kNoError);
    EXPECT_EQ(position, c.rate) << "every frame written counts as played";
    EXPECT_EQ(device->Close(), MMResult::kNoError);
    // Silence between the cases, so that each tone stands alone in the recording.
    ASSERT_TRUE(rec_.WaitForFrames(rec_.FramesAt(Clock::now() + 300ms), 5000ms));
    heard.push_back({c, before, rec_.Frames(), done.last, open_ms});
  }
  auto samples = rec_.Stop();
  for (const auto& h : heard) {
    SCOPED_TRACE(std::to_string(h.c.rate) + " Hz");
    auto span = verbat::test::FindSound(samples, kThreshold, h.start, h.end);
    ASSERT_TRUE(span.found) << "nothing was heard";
    double length_ms = FramesToMs(span.end - span.start, kRecRate);
    EXPECT_NEAR(length_ms, 1000, 25);
    EXPECT_NEAR(
        verbat::test::DominantFrequency(samples, span.start + 2205, span.end - 2205, kRecRate),
        h.c.hz, 2.0);
    // Completion of the last block against the end of the sound in the recording.
    double early_ms = Ms(rec_.TimeOfFrame(span.end) - h.done);
    EXPECT_LT(early_ms, 40) << "the last block was reported done before it was heard";
    std::printf(
        "[ figures ] %6u Hz %2u-bit %u ch: open %.1f ms, heard %.1f ms of 1000, %.2f Hz, "
        "last completion %.1f ms after its end was heard\n",
        h.c.rate, h.c.bits, h.c.channels, h.open_ms, length_ms,
        verbat::test::DominantFrequency(samples, span.start + 2205, span.end - 2205, kRecRate),
        -early_ms);
  }
}

// GetPosition counts frames heard: compared, while playing, with how much of the tone the
// monitor had received by the same moment.
TEST_F(AlsaIntegration, PositionFollowsWhatWasHeard) {
  const auto format = MakePcmFormat(2, 44100, 16);
  ToneBlocks tone(format, 1000, 2 * 44100, 4410);
  Completions done(static_cast<int32_t>(tone.size()));
  auto device = backend_.CreateWaveOut();
  ASSERT_EQ(device->Open(format, done.Callback()), MMResult::kNoError);
  ASSERT_TRUE(tone.WriteAll(*device));
  struct Sample {
    Clock::time_point t;
    uint64_t position;
  };
  std::vector<Sample> readings;
  // A reading every 100 ms of recording, paced by the monitor itself.
  for (int i = 1; i <= 16; ++i) {
    ASSERT_TRUE(rec_.WaitForFrames(rec_.FramesAt(Clock::now()) + 4410, 2000ms));
    uint64_t p = 0;
    ASSERT_EQ(device->GetPosition(p), MMResult::kNoError);
    readings.push_back({Clock::now(), p});
  }
  ASSERT_TRUE(done.Wait(tone.size()));
  ASSERT_EQ(device->Close(), MMResult::kNoError);
  auto samples = StopAfter(Clock::now());
  auto span = verbat::test::FindSound(samples, kThreshold);
  ASSERT_TRUE(span.found);
  double worst = 0, sum = 0;
  int counted = 0;
  for (const auto& r : readings) {
    int64_t heard = std::clamp<int64_t>(rec_.FramesAt(r.t) - span.start, 0, 2 * 44100);
    if (heard == 0 || heard == 2 * 44100) continue;  // before the start or after the end
    double error_ms = FramesToMs(static_cast<int64_t>(r.position) - heard, 44100);
    worst = std::max(worst, std::abs(error_ms));
    sum += error_ms;
    ++counted;
    EXPECT_LT(error_ms, 30) << "the position ran ahead of what was heard";
    EXPECT_GT(error_ms, -60) << "the position lagged behind what was heard";
  }
  ASSERT_GT(counted, 10);
  std::printf("[ figures ] position − heard: mean %.1f ms, worst %.1f ms over %d readings\n",
              sum / counted, worst, counted);
}

// Pause holds the queue: nothing is heard or handed back while paused, and after the restart
// the rest of the tone plays, so that in all exactly the tone's length is heard. Also before
// the first block: a paused device plays nothing until restarted.
TEST_F(AlsaIntegration, PauseKeepsTheQueue) {
  const auto format = MakePcmFormat(2, 44100, 16);
  ToneBlocks tone(format, 800, 44100 + 22050, 4410);  // 1.5 s
  Completions done(static_cast<int32_t>(tone.size()));
  auto device = backend_.CreateWaveOut();
  ASSERT_EQ(device->Open(format, done.Callback()), MMResult::kNoError);
  ASSERT_EQ(device->Pause(), MMResult::kNoError);  // before the first block
  ASSERT_TRUE(tone.WriteAll(*device));
  ASSERT_TRUE(rec_.WaitForFrames(rec_.FramesAt(Clock::now() + 200ms), 2000ms));
  uint64_t p = 99;
  EXPECT_EQ(device->GetPosition(p), MMResult::kNoError);
  EXPECT_EQ(p, 0u);
  ASSERT_EQ(device->Restart(), MMResult::kNoError);
  ASSERT_TRUE(done.Wait(5));  // half a second played
  ASSERT_EQ(device->Pause(), MMResult::kNoError);
  auto paused_at = Clock::now();
  uint64_t p1 = 0, p2 = 0;
  device->GetPosition(p1);
  ASSERT_TRUE(rec_.WaitForFrames(rec_.FramesAt(Clock::now() + 500ms), 2000ms));
  device->GetPosition(p2);
  // The server plays out a few milliseconds after the pause; the position follows that and
  // then stands still.
  EXPECT_LE(p2 - p1, 441u) << "the position moved while paused";
  EXPECT_EQ(done.sem.Count(), 0) << "blocks came back while paused";
  EXPECT_EQ(device->Close(), MMResult::kStillPlaying);
  auto restart_at = Clock::now();
  ASSERT_EQ(device->Restart(), MMResult::kNoError);
  ASSERT_TRUE(done.Wait(tone.size() - 5));
  EXPECT_EQ(device->Close(), MMResult::kNoError);
  auto samples = StopAfter(Clock::now());
  // Heard: the part before the pause, silence while paused, the rest after.
  auto before = verbat::test::FindSound(samples, kThreshold, 0, rec_.FramesAt(paused_at) + 4410);
  // The time mapping is good to about 10 ms: the window keeps clear of the restart.
  auto during = verbat::test::FindSound(samples, kThreshold, rec_.FramesAt(paused_at) + 4410,
                                        rec_.FramesAt(restart_at) - 2205);
  auto after = verbat::test::FindSound(samples, kThreshold, rec_.FramesAt(restart_at));
  ASSERT_TRUE(before.found && after.found);
  EXPECT_FALSE(during.found) << "sound while paused";
  double total_ms = FramesToMs((before.end - before.start) + (after.end - after.start), kRecRate);
  EXPECT_NEAR(total_ms, 1500, 40) << "pause lost or repeated audio";
  std::printf("[ figures ] pause: silent %.1f ms after the call; heard %.1f ms of 1500 in all\n",
              Ms(rec_.TimeOfFrame(before.end) - paused_at), total_ms);
}

// Reset hands every queued block back before it returns, the position restarts at 0, and the
// sound stops at once; the device then plays what is written next.
TEST_F(AlsaIntegration, ResetSilencesAtOnce) {
  const auto format = MakePcmFormat(2, 44100, 16);
  ToneBlocks tone(format, 600, 3 * 44100, 4410);
  Completions done(static_cast<int32_t>(tone.size()));
  auto device = backend_.CreateWaveOut();
  ASSERT_EQ(device->Open(format, done.Callback()), MMResult::kNoError);
  ASSERT_TRUE(tone.WriteAll(*device));
  ASSERT_TRUE(done.Wait(5));
  auto reset_at = Clock::now();
  ASSERT_EQ(device->Reset(), MMResult::kNoError);
  double reset_call_ms = Ms(Clock::now() - reset_at);
  EXPECT_EQ(done.sem.Count() + 5, static_cast<int32_t>(tone.size()))
      << "Reset returned with blocks queued";
  uint64_t p = 99;
  device->GetPosition(p);
  EXPECT_EQ(p, 0u);
  // The device is still open and plays what comes next, counted from 0.
  ToneBlocks next(format, 1500, 8820, 4410);
  Completions done2(2);
  ASSERT_TRUE(rec_.WaitForFrames(rec_.FramesAt(Clock::now() + 500ms), 2000ms));
  ASSERT_EQ(device->Close(), MMResult::kNoError);
  ASSERT_EQ(device->Open(format, done2.Callback()), MMResult::kNoError);
  auto second_at = Clock::now();
  ASSERT_TRUE(next.WriteAll(*device));
  ASSERT_TRUE(done2.Wait(2));
  device->GetPosition(p);
  EXPECT_EQ(p, 8820u);
  EXPECT_EQ(device->Close(), MMResult::kNoError);
  auto samples = StopAfter(Clock::now());
  // The time mapping is good to about 10 ms: the windows keep clear of the next sound's start.
  auto first = verbat::test::FindSound(samples, kThreshold, 0, rec_.FramesAt(second_at) - 4410);
  ASSERT_TRUE(first.found);
  double silence_after_ms = Ms(rec_.TimeOfFrame(first.end) - reset_at);
  EXPECT_LT(silence_after_ms, 150) << "sound went on after Reset";
  auto second = verbat::test::FindSound(samples, kThreshold, rec_.FramesAt(second_at));
  ASSERT_TRUE(second.found);
  EXPECT_NEAR(verbat::test::DominantFrequency(samples, second.start, second.end, kRecRate), 1500,
              3);
  std::printf("[ figures ] reset: silent %.1f ms after the call (the call took %.1f ms)\n",
              silence_after_ms, reset_call_ms);
}

// A device that ran dry (an under-run: all queued audio played, nothing more written) plays on
// when the next block comes, and keeps counting the position from where it was.
TEST_F(AlsaIntegration, PlaysOnAfterRunningDry) {
  const auto format = MakePcmFormat(1, 22050, 16);
  ToneBlocks first(format, 500, 4410, 4410), second(format, 900, 4410, 4410);
  Completions done(2);
  auto device = backend_.CreateWaveOut();
  ASSERT_EQ(device->Open(format, done.Callback()), MMResult::kNoError);
  ASSERT_TRUE(first.WriteAll(*device));
  ASSERT_TRUE(done.Wait(1));
  ASSERT_TRUE(rec_.WaitForFrames(rec_.FramesAt(Clock::now() + 300ms), 2000ms));
  auto second_at = Clock::now();
  ASSERT_TRUE(second.WriteAll(*device));
  ASSERT_TRUE(done.Wait(1));
  uint64_t p = 0;
  device->GetPosition(p);
  EXPECT_EQ(p, 8820u);
  EXPECT_EQ(device->Close(), MMResult::kNoError);
  auto samples = StopAfter(Clock::now());
  auto a = verbat::test::FindSound(samples, kThreshold, 0, rec_.FramesAt(second_at) - 2205);
  auto b = verbat::test::FindSound(samples, kThreshold, rec_.FramesAt(second_at) - 2205);
  ASSERT_TRUE(a.found && b.found);
  EXPECT_NEAR(FramesToMs(a.end - a.start, kRecRate), 200, 25);
  EXPECT_NEAR(FramesToMs(b.end - b.start, kRecRate), 200, 25);
  EXPECT_NEAR(verbat::test::DominantFrequency(samples, b.start, b.end, kRecRate), 900, 5);
}

// ALSA PCMs have no volume of their own: the device scales the samples, per channel.
TEST_F(AlsaIntegration, SetVolumeScalesTheSound) {
  const auto format = MakePcmFormat(2, 44100, 16);
  ToneBlocks loud(format, 700, 8820, 8820), soft(format, 700, 8820, 8820);
  Completions done(2);
  auto device = backend_.CreateWaveOut();
  ASSERT_EQ(device->Open(format, done.Callback()), MMResult::kNoError);
  ASSERT_TRUE(loud.WriteAll(*device));
  ASSERT_TRUE(done.Wait(1));
  ASSERT_TRUE(rec_.WaitForFrames(rec_.FramesAt(Clock::now() + 200ms), 2000ms));
  auto soft_at = Clock::now();
  ASSERT_EQ(device->SetVolume(0x8000, 0x8000), MMResult::kNoError);
  ASSERT_TRUE(soft.WriteAll(*device));
  ASSERT_TRUE(done.Wait(1));
  EXPECT_EQ(device->Close(), MMResult::kNoError);
  EXPECT_EQ(device->SetVolume(0, 0), MMResult::kInvalidHandle);
  auto samples = StopAfter(Clock::now());
  auto a = verbat::test::FindSound(samples, 0.02, 0, rec_.FramesAt(soft_at) - 2205);
  auto b = verbat::test::FindSound(samples, 0.02, rec_.FramesAt(soft_at) - 2205);
  ASSERT_TRUE(a.found && b.found);
  double ratio = verbat::test::Rms(samples, b.start + 441, b.end - 441) /
                 verbat::test::Rms(samples, a.start + 441, a.end - 441);
  EXPECT_NEAR(ratio, 0.5, 0.03) << "loud at " << a.start << ", soft at " << b.start;
}

// Writes a 16-bit mono WAV file.
void WriteWav(const std::string& path, const std::vector<uint8_t>& pcm, uint32_t rate) {
  auto le32 = [](std::ofstream& o, uint32_t v) {
    for (int i = 0; i < 4; ++i) o.put(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  auto le16 = [](std::ofstream& o, uint16_t v) {
    o.put(static_cast<char>(v & 0xFF));
    o.put(static_cast<char>(v >> 8));
  };
  std::ofstream o(path, std::ios::binary);
  o.write("RIFF", 4);
  le32(o, 36 + static_cast<uint32_t>(pcm.size()));
  o.write("WAVEfmt ", 8);
  le32(o, 16);
  le16(o, 1);
  le16(o, 1);
  le32(o, rate);
  le32(o, rate * 2);
  le16(o, 2);
  le16(o, 16);
  o.write("data", 4);
  le32(o, static_cast<uint32_t>(pcm.size()));
  o.write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(pcm.size()));
}

// The wave-in device records the server's default source (the test sink's monitor) while a
// known file is played into the sink by the sound-file player: the recording holds the file's
// tone at its length, buffers come back in order as messages, and Reset returns the partly
// filled one with its byte count.
TEST_F(AlsaIntegration, WaveInRecordsAKnownFile) {
  const auto file_format = MakePcmFormat(1, 22050, 16);
  ToneBlocks tone(file_format, 700, 22050, 22050);  // one second in one piece
  auto path = (std::filesystem::temp_directory_path() /
               ("verbat-wavein-" + std::to_string(getpid()) + ".wav"))
                  .string();
  WriteWav(path, tone.bytes(0), 22050);

  QueueScope queue;
  auto in = backend_.CreateWaveIn();
  const auto format = MakePcmFormat(1, 16000, 16);
  auto t0 = Clock::now();
  ASSERT_EQ(in->Open(kDefaultWaveInDevice, format, queue.id()), MMResult::kNoError);
  double open_ms = Ms(Clock::now() - t0);
  constexpr int kBuffers = 4;
  constexpr uint32_t kBytes = 16000 / 4 * 2;  // a quarter second
  std::vector<std::vector<uint8_t>> data(kBuffers, std::vector<uint8_t>(kBytes));
  std::vector<WaveHeader> headers(kBuffers);
  for (int i = 0; i < kBuffers; ++i) {
    headers[i].data = data[i].data();
    headers[i].buffer_length = kBytes;
    ASSERT_EQ(in->Prepare(headers[i]), MMResult::kNoError);
    ASSERT_EQ(in->AddBuffer(headers[i]), MMResult::kNoError);
  }
  ASSERT_EQ(in->Start(), MMResult::kNoError);
  std::thread player([&] { backend_.PlaySoundFile(path); });

  // Collect buffers (re-adding each) until the player is done and half a second has followed.
  std::vector<uint8_t> recorded;
  ThreadMessage m;
  ASSERT_EQ(queue.queue().GetFor(m, 2000ms) ? m.id : 0, kMsgWaveInOpen);
  size_t next = 0;
  int buffers_after_play = -1;
  while (buffers_after_play < 2) {
    ASSERT_TRUE(queue.queue().GetFor(m, 2000ms)) << "no buffer came back";
    ASSERT_EQ(m.id, kMsgWaveInData);
    EXPECT_EQ(static_cast<uint32_t>(m.param), in->OpenSerial());
    auto* h = static_cast<WaveHeader*>(m.ptr);
    ASSERT_EQ(h, &headers[next]) << "buffers out of order";
    next = (next + 1) % kBuffers;
    EXPECT_EQ(h->bytes_recorded, kBytes);
    recorded.insert(recorded.end(), h->data, h->data + h->bytes_recorded);
    ASSERT_EQ(in->AddBuffer(*h), MMResult::kNoError);
    if (buffers_after_play >= 0) {
      ++buffers_after_play;
    } else if (recorded.size() > 2 * 16000 * 2) {  // past the second second: the file has played
      if (player.joinable()) player.join();
      buffers_after_play = 0;
    }
    ASSERT_LT(recorded.size(), 10u * 16000 * 2) << "the player never finished";
  }
  if (player.joinable()) player.join();
  std::filesystem::remove(path);
  EXPECT_EQ(in->Close(), MMResult::kStillPlaying);
  ASSERT_EQ(in->Reset(), MMResult::kNoError);
  // Every queued buffer is back, as messages, before Reset returned.
  for (int i = 0; i < kBuffers; ++i) {
    ASSERT_TRUE(queue.queue().Peek(m)) << "Reset kept a buffer";
    ASSERT_EQ(m.id, kMsgWaveInData);
    auto* h = static_cast<WaveHeader*>(m.ptr);
    EXPECT_LE(h->bytes_recorded, kBytes);
    EXPECT_FALSE(h->flags & WaveHeader::kInQueue);
  }
  for (auto& h : headers) EXPECT_EQ(in->Unprepare(h), MMResult::kNoError);
  ASSERT_EQ(in->Close(), MMResult::kNoError);
  ASSERT_TRUE(queue.queue().Peek(m));
  EXPECT_EQ(m.id, kMsgWaveInClose);
  rec_.Stop();

  std::vector<float> samples(recorded.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(recorded[2 * i] | recorded[2 * i + 1] << 8) / 32768.0f;
  }
  auto span = verbat::test::FindSound(samples, kThreshold, 0, -1, 16000);
  ASSERT_TRUE(span.found) << "the recording is silent";
  EXPECT_NEAR(FramesToMs(span.end - span.start, 16000), 1000, 25);
  EXPECT_NEAR(verbat::test::DominantFrequency(samples, span.start + 800, span.end - 800, 16000),
              700, 2);
  std::printf("[ figures ] wave-in: open %.1f ms, heard %.1f ms of 1000\n", open_ms,
              FramesToMs(span.end - span.start, 16000));
}

TEST_F(AlsaIntegration, DeviceListAndBadDeviceNumbers) {
  auto names = backend_.WaveInDeviceNames();
  auto ids = backend_.WaveInDeviceIds();
  ASSERT_FALSE(names.empty());
  ASSERT_EQ(names.size(), ids.size());
  EXPECT_NE(std::find(ids.begin(), ids.end(), "default"), ids.end());
  for (auto& n : names) EXPECT_EQ(n.find('\n'), std::string::npos) << n;
  auto in = backend_.CreateWaveIn();
  EXPECT_EQ(in->Open(static_cast<int>(names.size()), MakePcmFormat(1, 8000, 8), 0),
            MMResult::kBadDeviceId);
  EXPECT_EQ(in->Open(-2, MakePcmFormat(1, 8000, 8), 0), MMResult::kBadDeviceId);
  auto out = backend_.CreateWaveOut();
  EXPECT_EQ(out->Open(MakePcmFormat(1, 3999, 16), nullptr), MMResult::kBadFormat);
  EXPECT_EQ(out->Open(MakePcmFormat(2, 44100, 24), nullptr), MMResult::kBadFormat);
  rec_.Stop();
}

}  // namespace
}  // namespace platform
