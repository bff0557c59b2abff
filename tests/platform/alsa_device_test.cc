// The ALSA wave-out device's bookkeeping on ALSA's "null" PCM, which swallows everything at
// once: no sound server needed, so these run everywhere. What is heard is the integration
// test's business; here it is order, counts and states.
#include <gtest/gtest.h>
#include "platform/alsa_audio.h"
#include "platform/sync.h"
#include "tests/platform/tone_blocks.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

class AlsaNullDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    AlsaOptions options;
    options.playback_device = "null";
    backend_ = std::make_unique<AlsaAudioBackend>(options);
    device_ = backend_->CreateWaveOut();
    MMResult r = device_->Open(format_, [this](WaveHeader& h) {
      order_.push_back(h.user);  // reported by the one device thread, or inside Reset
      done_.Release();
    });
    if (r != MMResult::kNoError)
      GTEST_SKIP() << "ALSA's null PCM does not open here: " << MMErrorText(r);
  }

  const WaveFormat format_ = MakePcmFormat(2, 44100, 16);
  std::unique_ptr<AlsaAudioBackend> backend_;
  std::unique_ptr<WaveOutDevice> device_;
  Semaphore done_{0, 1000};
  std::vector<uintptr_t> order_;
};

TEST_F(AlsaNullDevice, BlocksComeBackInOrderAndThePositionCountsThem) {
  ToneBlocks tone(format_, 440, 4410 * 4 + 7, 4410);  // the last block is 7 frames
  EXPECT_EQ(device_->Write(tone[0]), MMResult::kUnprepared);
  ASSERT_TRUE(tone.WriteAll(*device_));
  for (size_t i = 0; i < tone.size(); ++i) ASSERT_EQ(done_.Acquire(5000ms), WaitResult::kSignaled);
  EXPECT_EQ(order_, (std::vector<uintptr_t>{0, 1, 2, 3, 4}));
  uint64_t p = 0;
  ASSERT_EQ(device_->GetPosition(p), MMResult::kNoError);
  EXPECT_EQ(p, 4410u * 4 + 7);
  for (auto& h : tone.headers()) EXPECT_EQ(device_->Unprepare(h), MMResult::kNoError);
  EXPECT_EQ(device_->Close(), MMResult::kNoError);
  EXPECT_EQ(device_->GetPosition(p), MMResult::kInvalidHandle);
  EXPECT_EQ(device_->Write(tone[0]), MMResult::kUnprepared);
}

// Paused before the first block, the device holds every block (Close says "still playing");
// Reset hands them all back before it returns and restarts the count at 0.
TEST_F(AlsaNullDevice, PauseHoldsTheQueueAndResetEmptiesIt) {
  ASSERT_EQ(device_->Pause(), MMResult::kNoError);
  ToneBlocks tone(format_, 440, 4410 * 3, 4410);
  ASSERT_TRUE(tone.WriteAll(*device_));
  EXPECT_EQ(done_.Acquire(50ms), WaitResult::kTimeout) << "a block came back while paused";
  EXPECT_EQ(device_->Close(), MMResult::kStillPlaying);
  EXPECT_EQ(device_->Unprepare(tone[2]), MMResult::kStillPlaying);
  uint64_t p = 99;
  device_->GetPosition(p);
  EXPECT_EQ(p, 0u);
  ASSERT_EQ(device_->Reset(), MMResult::kNoError);
  EXPECT_EQ(done_.Count(), 3) << "Reset returned before every block was back";
  EXPECT_EQ(order_, (std::vector<uintptr_t>{0, 1, 2}));
  device_->GetPosition(p);
  EXPECT_EQ(p, 0u);
  // Still paused after the reset; a restart plays what comes next.
  ToneBlocks next(format_, 440, 100, 100);
  ASSERT_TRUE(next.WriteAll(*device_));
  EXPECT_EQ(done_.Count(), 3);
  ASSERT_EQ(device_->Restart(), MMResult::kNoError);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(done_.Acquire(5000ms), WaitResult::kSignaled);
  device_->GetPosition(p);
  EXPECT_EQ(p, 100u);
  EXPECT_EQ(device_->Close(), MMResult::kNoError);
}

// The output resets the device from inside a completion (a seek on the reader thread can land
// there) and queues headers again from the callback: neither may deadlock.
TEST_F(AlsaNullDevice, ResetAndWriteFromInsideACompletion) {
  ASSERT_EQ(device_->Close(), MMResult::kNoError);
  ToneBlocks tone(format_, 440, 4410 * 3, 4410);
  Semaphore back(0, 100);
  int calls = 0;
  ASSERT_EQ(device_->Open(format_,
                          [&](WaveHeader& h) {
                            if (++calls == 1) {
                              device_->Reset();   // blocks 1 and 2 come back inside this call
                              device_->Write(h);  // and block 0 goes round once more
                            }
                            back.Release();
                          }),
            MMResult::kNoError);
  ASSERT_TRUE(tone.WriteAll(*device_));
  for (int i = 0; i < 4; ++i) ASSERT_EQ(back.Acquire(5000ms), WaitResult::kSignaled) << i;
  EXPECT_EQ(back.Acquire(50ms), WaitResult::kTimeout);
  EXPECT_EQ(device_->Close(), MMResult::kNoError);
}

TEST_F(AlsaNullDevice, DestroyingAnOpenDeviceHandsBackWhatItHeld) {
  ASSERT_EQ(device_->Pause(), MMResult::kNoError);
  ToneBlocks tone(format_, 440, 4410 * 3, 4410);
  ASSERT_TRUE(tone.WriteAll(*device_));
  device_.reset();
  EXPECT_EQ(done_.Count(), 3);
  for (auto& h : tone.headers()) EXPECT_FALSE(h.flags & WaveHeader::kInQueue);
}

TEST(AlsaDevices, AMissingDeviceIsReportedNotHung) {
  AlsaOptions options;
  options.playback_device = "verbat_no_such_device";
  options.capture_device = "verbat_no_such_device";
  AlsaAudioBackend backend(options);
  auto out = backend.CreateWaveOut();
  EXPECT_EQ(out->Open(MakePcmFormat(2, 44100, 16), nullptr), MMResult::kNoDriver);
  EXPECT_FALSE(out->IsOpen());
  EXPECT_EQ(out->Close(), MMResult::kInvalidHandle);
  auto in = backend.CreateWaveIn();
  EXPECT_EQ(in->Open(kDefaultWaveInDevice, MakePcmFormat(1, 8000, 8), 0), MMResult::kNoDriver);
  // The sound-file player returns at once.
  backend.PlaySoundFile("/nonexistent.wav");
}

}  // namespace
}  // namespace platform
