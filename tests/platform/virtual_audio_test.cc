// The in-process sound card, driven by its manual clock so that every step is deterministic.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/audio_backend.h"
#include "platform/sound_file.h"
#include "platform/virtual_audio.h"
#include "tests/platform/tone_blocks.h"
#include "tests/support/sound_server.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
constexpr Milliseconds kBound = 5000ms;

class VirtualWaveOutTest : public ::testing::Test {
 protected:
  VirtualAudioBackend card_{{Pacing::kManual}};
  std::unique_ptr<WaveOutDevice> device_ = card_.CreateWaveOut();
  std::vector<uintptr_t> done_;  // completions, by header user value (one device thread reports)
  WaveOutDevice::DoneCallback Record() {
    return [this](WaveHeader& h) { done_.push_back(h.user); };
  }
  uint64_t Position() {
    uint64_t p = 0;
    EXPECT_EQ(device_->GetPosition(p), MMResult::kNoError);
    return p;
  }
};

TEST_F(VirtualWaveOutTest, BlocksCompleteInOrderOnceTheirLastFrameIsPlayed) {
  const auto format = MakePcmFormat(2, 8000, 16);
  ToneBlocks tone(format, 440, 300, 100);
  ASSERT_EQ(device_->Open(format, Record()), MMResult::kNoError);
  ASSERT_TRUE(tone.WriteAll(*device_));
  card_.Advance(150);
  EXPECT_EQ(done_, (std::vector<uintptr_t>{0}));
  EXPECT_EQ(Position(), 150u);
  card_.Advance(149);
  EXPECT_EQ(done_, (std::vector<uintptr_t>{0, 1}));
  EXPECT_EQ(Position(), 299u);
  card_.Advance(0);
  EXPECT_EQ(done_.size(), 2u) << "block 2 done before its last frame";
  card_.Advance(1);
  EXPECT_EQ(done_, (std::vector<uintptr_t>{0, 1, 2}));
  EXPECT_EQ(Position(), 300u);
  EXPECT_EQ(device_->Close(), MMResult::kNoError);
  auto playback = card_.LastPlayback();
  std::vector<uint8_t> written;
  for (size_t i = 0; i < tone.size(); ++i)
    written.insert(written.end(), tone.bytes(i).begin(), tone.bytes(i).end());
  EXPECT_EQ(playback.played, written);
  EXPECT_TRUE(playback.closed);
}

TEST_F(VirtualWaveOutTest, PositionHoldsWhilePausedAndRestartsAtZeroAfterResetAndReopen) {
  const auto format = MakePcmFormat(1, 11025, 16);
  ToneBlocks tone(format, 440, 400, 100);
  ASSERT_EQ(device_->Open(format, Record()), MMResult::kNoError);
  ASSERT_EQ(device_->Pause(), MMResult::kNoError);  // before the first block
  ASSERT_TRUE(tone.WriteAll(*device_));
  card_.Advance(100);
  EXPECT_EQ(Position(), 0u);
  EXPECT_TRUE(done_.empty());
  ASSERT_EQ(device_->Restart(), MMResult::kNoError);
  card_.Advance(120);
  ASSERT_EQ(device_->Pause(), MMResult::kNoError);
  card_.Advance(500);
  EXPECT_EQ(Position(), 120u);
  EXPECT_EQ(card_.QueuedBlocks(), 3u) << "pause must keep the queue";
  // Reset hands back every queued block before it returns, in order, and restarts the count.
  ASSERT_EQ(device_->Reset(), MMResult::kNoError);
  EXPECT_EQ(done_, (std::vector<uintptr_t>{0, 1, 2, 3}));
  EXPECT_EQ(Position(), 0u);
  EXPECT_EQ(card_.QueuedBlocks(), 0u);
  ASSERT_EQ(device_->Restart(), MMResult::kNoError);
  ToneBlocks more(format, 440, 50, 50);
  ASSERT_TRUE(more.WriteAll(*device_));
  card_.Advance(50);
  EXPECT_EQ(Position(), 50u);
  ASSERT_EQ(device_->Close(), MMResult::kNoError);
  EXPECT_EQ(device_->GetPosition(*std::make_unique<uint64_t>()), MMResult::kInvalidHandle);
  ASSERT_EQ(device_->Open(format, Record()), MMResult::kNoError);
  EXPECT_EQ(Position(), 0u);
  EXPECT_EQ(card_.PlaybackCount(), 2u);
  EXPECT_EQ(card_.Playbacks()[0].played.size(), (120u + 50u) * 2);
  EXPECT_EQ(card_.Playbacks()[0].resets, 1u);
}

TEST_F(VirtualWaveOutTest, CloseAndUnprepareSayStillPlayingWhileBlocksAreQueued) {
  const auto format = MakePcmFormat(2, 22050, 16);
  ToneBlocks tone(format, 440, 200, 100);
  ASSERT_EQ(device_->Open(format, Record()), MMResult::kNoError);
  EXPECT_EQ(device_->Write(tone[0]), MMResult::kUnprepared);
  ASSERT_TRUE(tone.WriteAll(*device_));
  EXPECT_EQ(device_->Close(), MMResult::kStillPlaying);
  EXPECT_TRUE(device_->IsOpen());
  EXPECT_EQ(device_->Unprepare(tone[1]), MMResult::kStillPlaying);
  card_.Advance(100);
  EXPECT_EQ(device_->Unprepare(tone[0]), MMResult::kNoError);
  EXPECT_EQ(device_->Close(), MMResult::kStillPlaying);
  card_.Advance(100);
  EXPECT_EQ(device_->Close(), MMResult::kNoError);
  EXPECT_FALSE(device_->IsOpen());
  EXPECT_EQ(device_->Write(tone[1]), MMResult::kInvalidHandle);
  EXPECT_EQ(device_->Pause(), MMResult::kInvalidHandle);
}

// The output queues a header again as soon as it comes back; its in-queue mark must survive.
TEST_F(VirtualWaveOutTest, AHeaderWrittenAgainFromItsCompletionStaysQueued) {
  const auto format = MakePcmFormat(1, 8000, 8);
  ToneBlocks tone(format, 440, 100, 100);
  int again = 2;
  ASSERT_EQ(device_->Open(format,
                          [&](WaveHeader& h) {
                            if (again-- > 0) device_->Write(h);
                          }),
            MMResult::kNoError);
  ASSERT_TRUE(tone.WriteAll(*device_));
  card_.Advance(100);
  EXPECT_TRUE(tone[0].flags & WaveHeader::kInQueue);
  EXPECT_EQ(device_->Unprepare(tone[0]), MMResult::kStillPlaying);
  card_.Advance(100);
  card_.Advance(100);
  EXPECT_FALSE(tone[0].flags & WaveHeader::kInQueue);
  EXPECT_EQ(card_.LastPlayback().played.size(), 300u);
  EXPECT_EQ(device_->Close(), MMResult::kNoError);
}

// A reset issued from inside a completion (the output can reset on the thread that hears of a
// finished block) hands back the rest at once instead of waiting for itself.
TEST_F(VirtualWaveOutTest, ResetFromInsideACompletion) {
  const auto format = MakePcmFormat(2, 8000, 16);
  ToneBlocks tone(format, 440, 300, 100);
  ASSERT_EQ(device_->Open(format,
                          [&](WaveHeader& h) {
                            done_.push_back(h.user);
                            if (h.user == 0) device_->Reset();
                          }),
            MMResult::kNoError);
  ASSERT_TRUE(tone.WriteAll(*device_));
  card_.Advance(100);
  EXPECT_EQ(done_, (std::vector<uintptr_t>{0, 1, 2}));
  EXPECT_EQ(Position(), 0u);
  EXPECT_EQ(device_->Close(), MMResult::kNoError);
}

TEST_F(VirtualWaveOutTest, AcceptsBothSampleSizesAndAnyRateInRangeAndNothingElse) {
  for (uint32_t rate : {4000u, 11025u, 29400u, 176400u, 192000u}) {
    for (uint16_t bits : {8, 16}) {
      const auto format = MakePcmFormat(bits == 8 ? 1 : 2, rate, bits);
      ToneBlocks tone(format, 300, 64, 64);
      ASSERT_EQ(device_->Open(format, nullptr), MMResult::kNoError) << rate << "/" << bits;
      ASSERT_TRUE(tone.WriteAll(*device_));
      card_.Advance(64);
      ASSERT_EQ(device_->Close(), MMResult::kNoError);
      auto playback = card_.LastPlayback();
      EXPECT_EQ(playback.format.samples_per_sec, rate);
      EXPECT_EQ(playback.format.bits_per_sample, bits);
      EXPECT_EQ(playback.played, tone.bytes(0));
    }
  }
  EXPECT_EQ(device_->Open(MakePcmFormat(1, 3999, 16), nullptr), MMResult::kBadFormat);
  EXPECT_EQ(device_->Open(MakePcmFormat(1, 192001, 16), nullptr), MMResult::kBadFormat);
  EXPECT_EQ(device_->Open(MakePcmFormat(2, 44100, 24), nullptr), MMResult::kBadFormat);
  EXPECT_EQ(device_->Open(MakePcmFormat(3, 44100, 16), nullptr), MMResult::kBadFormat);
  auto bad_align = MakePcmFormat(2, 44100, 16);
  bad_align.block_align = 2;
  EXPECT_EQ(device_->Open(bad_align, nullptr), MMResult::kBadFormat);
}

// The clocked modes consume blocks without being told to; a card told not to keep what it
// played counts it all the same.
TEST(VirtualCard, RealTimeAndFastPacingPlayOnTheirOwn) {
  for (auto options :
       {VirtualCardOptions{Pacing::kAsFastAsPossible}, VirtualCardOptions{Pacing::kRealTime, 50.0},
        VirtualCardOptions{Pacing::kAsFastAsPossible, 1.0, 1, false}}) {
    SCOPED_TRACE(options.keep_played ? "kept" : "counted");
    VirtualAudioBackend card(options);
    auto device = card.CreateWaveOut();
    const auto format = MakePcmFormat(2, 44100, 16);
    ToneBlocks tone(format, 440, 44100, 4410);  // one second: 20 ms at 50 times real time
    Semaphore done(0, 10);
    ASSERT_EQ(device->Open(format, [&](WaveHeader&) { done.Release(); }), MMResult::kNoError);
    ASSERT_TRUE(tone.WriteAll(*device));
    for (size_t i = 0; i < tone.size(); ++i) ASSERT_EQ(done.Acquire(kBound), WaitResult::kSignaled);
    // The last completion may still be on its way out of the callback: Close says so.
    ASSERT_TRUE(card.WaitUntil([&] { return device->Close() == MMResult::kNoError; }, kBound));
    EXPECT_EQ(card.LastPlayback().bytes_played, 44100u * 4);
    EXPECT_EQ(card.LastPlayback().played.size(), options.keep_played ? 44100u * 4 : 0u);
  }
}

// ---------------------------------------------------------------------------------------------

std::string WriteTempWav(const std::string& tag, const WaveFormat& f,
                         const std::vector<uint8_t>& pcm, uint32_t claimed_data_size = 0) {
  auto path = (std::filesystem::temp_directory_path() /
               ("verbat-" + tag + "-" + std::to_string(getpid()) + ".wav"))
                  .string();
  std::ofstream o(path, std::ios::binary);
  auto le = [&](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) o.put(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  o.write("RIFF", 4);
  le(36 + static_cast<uint32_t>(pcm.size()), 4);
  o.write("WAVEfmt ", 8);
  le(16, 4);
  le(1, 2);
  le(f.channels, 2);
  le(f.samples_per_sec, 4);
  le(f.avg_bytes_per_sec, 4);
  le(f.block_align, 2);
  le(f.bits_per_sample, 2);
  o.write("data", 4);
  le(claimed_data_size ? claimed_data_size : static_cast<uint32_t>(pcm.size()), 4);
  o.write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(pcm.size()));
  return path;
}

class VirtualWaveInTest : public ::testing::Test {
 protected:
  void AddBuffers(WaveInDevice& in, size_t n, uint32_t bytes) {
    data_.assign(n, std::vector<uint8_t>(bytes));
    headers_ = std::vector<WaveHeader>(n);
    for (size_t i = 0; i < n; ++i) {
      headers_[i].data = data_[i].data();
      headers_[i].buffer_length = bytes;
      ASSERT_EQ(in.Prepare(headers_[i]), MMResult::kNoError);
      ASSERT_EQ(in.AddBuffer(headers_[i]), MMResult::kNoError);
    }
  }
  // The next message of this thread's queue, which must come within the bound.
  ThreadMessage Next() {
    ThreadMessage m;
    EXPECT_TRUE(scope_.queue().GetFor(m, kBound)) << "no message";
    return m;
  }
  static std::vector<float> ToFloat(const WaveHeader& h) {
    std::vector<float> out(h.bytes_recorded / 2);
    for (size_t i = 0; i < out.size(); ++i)
      out[i] = static_cast<int16_t>(h.data[2 * i] | h.data[2 * i + 1] << 8) / 32768.0f;
    return out;
  }

  QueueScope scope_;
  VirtualAudioBackend card_{{Pacing::kManual}};
  std::vector<std::vector<uint8_t>> data_;
  std::vector<WaveHeader> headers_;
};

TEST_F(VirtualWaveInTest, FilledBuffersArriveInOrderAsMessagesAndResetReturnsThePartlyFilledOne) {
  auto in = card_.CreateWaveIn();
  const auto format = MakePcmFormat(1, 8000, 16);
  ASSERT_EQ(in->Open(kDefaultWaveInDevice, format, scope_.id()), MMResult::kNoError);
  EXPECT_EQ(Next().id, kMsgWaveInOpen);
  AddBuffers(*in, 2, 1600);  // 800 frames each
  ASSERT_EQ(in->Start(), MMResult::kNoError);
  card_.Advance(800);
  ThreadMessage m = Next();
  ASSERT_EQ(m.id, kMsgWaveInData);
  EXPECT_EQ(m.ptr, &headers_[0]);
  EXPECT_EQ(static_cast<uint32_t>(m.param), in->OpenSerial());
  EXPECT_EQ(headers_[0].bytes_recorded, 1600u);
  EXPECT_TRUE(headers_[0].flags & WaveHeader::kDone);
  // The default signal: a 1 kHz tone at half scale.
  auto samples = ToFloat(headers_[0]);
  EXPECT_NEAR(verbat::test::DominantFrequency(samples, 0, 800, 8000), 1000, 2);
  EXPECT_NEAR(verbat::test::Rms(samples, 0, 800), 0.5 / std::sqrt(2), 0.01);

  card_.Advance(300);
  EXPECT_EQ(in->Close(), MMResult::kStillPlaying);
  EXPECT_EQ(in->Unprepare(headers_[1]), MMResult::kStillPlaying);
  ASSERT_EQ(in->Reset(), MMResult::kNoError);
  ASSERT_TRUE(scope_.queue().Peek(m)) << "Reset returned before handing the buffer back";
  EXPECT_EQ(m.ptr, &headers_[1]);
  EXPECT_EQ(headers_[1].bytes_recorded, 600u);
  EXPECT_EQ(in->Unprepare(headers_[1]), MMResult::kNoError);
  uint32_t serial = in->OpenSerial();
  ASSERT_EQ(in->Close(), MMResult::kNoError);
  EXPECT_EQ(Next().id, kMsgWaveInClose);
  // A new recording carries a new serial, so old notices can be told apart.
  ASSERT_EQ(in->Open(0, format, scope_.id()), MMResult::kNoError);
  EXPECT_NE(in->OpenSerial(), serial);
  EXPECT_EQ(in->Open(0, format, scope_.id()), MMResult::kAllocated);
  ASSERT_EQ(in->Close(), MMResult::kNoError);
  EXPECT_EQ(in->Open(1, format, scope_.id()), MMResult::kBadDeviceId);
  EXPECT_EQ(card_.WaveInDeviceNames().size(), 1u);
}

TEST_F(VirtualWaveInTest, RecordsTheSamplesOfAGivenFileInEightBitToo) {
  const auto format = MakePcmFormat(1, 8000, 8);
  ToneBlocks tone(format, 500, 400, 400);
  auto path = WriteTempWav("source", format, tone.bytes(0));
  ASSERT_TRUE(card_.SetWaveInSource(path));
  EXPECT_FALSE(card_.SetWaveInSource(path + ".missing"));
  auto in = card_.CreateWaveIn();
  ASSERT_EQ(in->Open(kDefaultWaveInDevice, format, scope_.id()), MMResult::kNoError);
  AddBuffers(*in, 1, 500);
  ASSERT_EQ(in->Start(), MMResult::kNoError);
  card_.Advance(500);
  ThreadMessage m;
  do m = Next();
  while (m.id == kMsgWaveInOpen);
  ASSERT_EQ(m.ptr, &headers_[0]);
  ASSERT_EQ(headers_[0].bytes_recorded, 500u);
  // The file's samples (within one step of rounding), then silence after its end.
  for (size_t i = 0; i < 400; ++i) EXPECT_NEAR(data_[0][i], tone.bytes(0)[i], 1) << i;
  for (size_t i = 400; i < 500; ++i) EXPECT_EQ(data_[0][i], 128) << i;
  ASSERT_EQ(in->Reset(), MMResult::kNoError);
  ASSERT_EQ(in->Close(), MMResult::kNoError);
  std::filesystem::remove(path);
}

// ---------------------------------------------------------------------------------------------

TEST(SoundFile, PlaysAWholeFileAndNothingForAMissingOrEmptyName) {
  VirtualAudioBackend card({Pacing::kAsFastAsPossible});
  const auto format = MakePcmFormat(2, 22050, 16);
  ToneBlocks tone(format, 880, 2205, 2205);
  auto path = WriteTempWav("sound", format, tone.bytes(0));
  card.PlaySoundFile(path);
  ASSERT_EQ(card.PlaybackCount(), 1u);
  EXPECT_EQ(card.LastPlayback().played, tone.bytes(0));
  EXPECT_EQ(card.LastPlayback().format.samples_per_sec, 22050u);
  EXPECT_TRUE(card.LastPlayback().closed);
  card.PlaySoundFile("");
  card.PlaySoundFile(path + ".missing");
  EXPECT_EQ(card.PlaybackCount(), 1u);
  std::filesystem::remove(path);
}

// A data chunk whose size field claims far more than the file holds (a cut-off or streamed
// file) is read as far as it goes.
TEST(SoundFile, ADataSizeBeyondTheFileReadsWhatIsThere) {
  const auto format = MakePcmFormat(1, 8000, 16);
  std::vector<uint8_t> pcm(100, 0x11);
  auto path = WriteTempWav("cut", format, pcm, 0xFFFFFFF0u);
  auto file = ReadPcmFile(path);
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(file->samples, pcm);
  std::filesystem::remove(path);
  // Not a WAV file at all.
  auto junk = WriteTempWav("junk", format, pcm);
  std::ofstream(junk, std::ios::binary | std::ios::in | std::ios::out).write("RIFX", 4);
  EXPECT_FALSE(ReadPcmFile(junk).has_value());
  std::filesystem::remove(junk);
}

TEST(AudioBackendChoice, ByNameWithAWarningForWhatItCannotUse) {
  std::string warning;
  EXPECT_EQ(CreateAudioBackend("", "", warning)->Name(), "alsa");
  EXPECT_TRUE(warning.empty());
  EXPECT_EQ(CreateAudioBackend("alsa", "", warning)->Name(), "alsa");
  auto fallback = CreateAudioBackend("oss", "", warning);
  EXPECT_EQ(fallback->Name(), "alsa");
  EXPECT_NE(warning.find("oss"), std::string::npos);

  auto fast = CreateAudioBackend("virtual", "0", warning);
  ASSERT_EQ(fast->Name(), "virtual");
  EXPECT_TRUE(warning.empty());
  EXPECT_EQ(static_cast<VirtualAudioBackend&>(*fast).options().pacing, Pacing::kAsFastAsPossible);
  // The program's card keeps nothing of what it plays.
  EXPECT_FALSE(static_cast<VirtualAudioBackend&>(*fast).options().keep_played);
  auto quick = CreateAudioBackend("virtual", "8", warning);
  EXPECT_EQ(static_cast<VirtualAudioBackend&>(*quick).options().pacing, Pacing::kRealTime);
  EXPECT_EQ(static_cast<VirtualAudioBackend&>(*quick).options().speed, 8.0);
  for (const char* bad : {"-1", "fast", "2x", "nan"}) {
    auto real = CreateAudioBackend("virtual", bad, warning);
    EXPECT_EQ(static_cast<VirtualAudioBackend&>(*real).options().speed, 1.0) << bad;
    EXPECT_FALSE(warning.empty()) << bad;
  }
}

}  // namespace
}  // namespace platform
