// The transport controller on its own, through a view that records what the window would show.
// Playback runs on the input's reader thread against the virtual card with manual pacing, so
// positions move only when a test lets audio play.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "app/EqualizerStore.h"
#include "app/Transport.h"
#include "app_test_support.h"
#include "kbdwatch/KbdWatch.h"
#include "ui/Alert.h"
#include "ui/EqualizerPanel.h"
#include "ui/SpeedButton.h"

namespace apptest {
namespace {

using app::kMaskPlaying;
using app::kMaskStopped;
using app::TransportController;

// What the window would show, and the answers a user would give.
class FakeView : public app::TransportView {
 public:
  void EnableButtons(int m) override { mask = m; }
  void EnableRepeatButton(bool on) override {
    mask = on ? (mask | app::kMaskRepeat) : (mask & ~app::kMaskRepeat);
  }
  bool PlayDown() const override { return play_down; }
  void SetPlayDown(bool down) override { play_down = down; }
  bool PauseDown() const override { return pause_down; }
  void SetPauseDown(bool down) override { pause_down = down; }
  bool RepeatDown() const override { return repeat_down; }
  void SetRepeatDown(bool down) override { repeat_down = down; }
  void EnableSettingsMenu(bool on) override { settings_menu = on; }
  void ShowCounter(int32_t seconds) override { counter = seconds; }
  void SetSliderMaximum(int32_t maximum) override { slider_max = maximum; }
  void SetSliderPosition(int32_t position) override { slider = position; }
  void ShowSeekPreview(int32_t seconds) override { preview = seconds; }
  void HideSeekPreview() override { preview = -1; }
  void ShowSpeed(const QString& text) override { speed = text; }
  void ShowFile(const media::PlayListItem* item, const media::InputFormat&) override {
    file_shown = item != nullptr;
  }
  void AdvanceMarquee() override { ++marquee_steps; }
  bool ConfirmSpeedChange() override {
    ++warnings;
    if (confirm_answers.empty()) return true;
    const bool answer = confirm_answers.front();
    confirm_answers.pop_front();
    return answer;
  }
  void ShowMessage(const QString& text) override { messages << text; }
  void ReportError(const QString& text) override { messages << text; }

  int mask = app::kMaskRec;
  bool play_down = false, pause_down = false, repeat_down = false, settings_menu = true;
  int32_t counter = 0, slider = 0, slider_max = 0, preview = -1;
  QString speed = " 1";
  bool file_shown = false;
  int marquee_steps = 0;
  int warnings = 0;
  std::deque<bool> confirm_answers;
  QStringList messages;
};

class TransportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { EnsureApplication(); }
  void SetUp() override {
    backend = std::make_unique<TestBackend>();
    transport = std::make_unique<TransportController>(*backend, view, settings);
    settings.DspAlert = false;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = (std::filesystem::temp_directory_path() /
           ("verbat-transport-" + std::to_string(::getpid()) + "-" + info->name()))
              .string();
    std::filesystem::create_directories(dir);
  }
  void TearDown() override {
    transport.reset();
    backend.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  std::string Load(uint32_t seconds) {
    const std::string path = dir + "/voice.wav";
    WriteWav(path, kRate, 1, 16, seconds);
    transport->Load(path);
    return path;
  }
  // The Play button pressed: it toggles itself, then asks the transport.
  void PressPlay() {
    view.play_down = !view.play_down;
    transport->PlayBtnClick();
  }
  void Play() {
    PressPlay();
    ASSERT_TRUE(ProcessUntil([&] { return State() == media::kStatePlaying; }))
        << "playback did not start";
  }
  void PlaySeconds(int seconds) {
    for (int i = 0; i < seconds; ++i) {
      // A second of audio is five blocks of a fifth of a second each.
      ASSERT_TRUE(backend->card.WaitUntil([&] { return backend->card.QueuedBlocks() >= 5; },
                                          platform::Milliseconds(10000)))
          << "the reader did not queue a second of audio";
      backend->card.Advance(kRate);
    }
  }
  // Lets everything play out until the end of the file has been handled.
  bool PlayToTheEnd() {
    return ProcessUntil([&] {
      backend->card.Advance(kRate / 5);
      return !view.play_down;
    });
  }
  int32_t State() const { return transport->State(); }
  uint32_t DeviceRate() const { return backend->card.LastPlayback().format.samples_per_sec; }

  static constexpr uint32_t kRate = 11025;
  std::unique_ptr<TestBackend> backend;
  FakeView view;
  app::Settings settings;
  std::unique_ptr<TransportController> transport;
  std::string dir;
};

TEST_F(TransportTest, StopStepsBackButNeverBelowZero) {
  Load(60);
  EXPECT_EQ(view.mask, kMaskStopped);
  Play();
  EXPECT_EQ(view.mask, kMaskPlaying);
  EXPECT_FALSE(view.settings_menu);
  PlaySeconds(2);
  transport->IntTimerTimer();
  EXPECT_EQ(transport->Position(), 2);
  PressPlay();  // stop, RevSec 3
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_EQ(transport->Position(), 0);
  EXPECT_EQ(view.counter, 0);

  // The next start plays from the stepped-back position: 0 + 10 - 3.
  Play();
  PlaySeconds(10);
  transport->IntTimerTimer();
  PressPlay();
  EXPECT_EQ(transport->Position(), 7);
  EXPECT_EQ(view.slider, 7);
  EXPECT_EQ(view.mask, kMaskStopped);
  EXPECT_TRUE(view.settings_menu);
  Play();
  EXPECT_EQ(transport->Input().GetPosition(), 7);
}

TEST_F(TransportTest, DelayedStopPlaysOnAndServesCommandsByTheRule) {
  Load(60);
  settings.DelaySec = 1;
  transport->SetPosition(20);
  Play();
  PlaySeconds(5);
  transport->IntTimerTimer();
  ASSERT_EQ(transport->Position(), 25);

  int mask_during = -1;
  bool stopping_during = false;
  int32_t counter_during = -1;
  QTimer::singleShot(50, [&] {
    mask_during = view.mask;
    stopping_during = transport->Stopping();
    // Ignored: play/stop, reset, a speed change, counter entry.
    PressPlay();
    transport->ResetPosition();
    transport->ChangeSpeed(true);
    transport->SetCounterTo(50);
    // Acts on the playback that goes on: fast-forward (25 + 4).
    transport->FastForward();
    PlaySeconds(3);
    transport->IntTimerTimer();  // the poll goes on
    counter_during = view.counter;
  });
  PressPlay();  // returns once the delay has passed

  EXPECT_EQ(mask_during, 0);
  EXPECT_TRUE(stopping_during);
  EXPECT_EQ(counter_during, 32);
  EXPECT_FALSE(transport->Stopping());
  EXPECT_EQ(transport->DelayTicks(), 1);
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_FALSE(view.play_down) << "the ignored press must not leave Play down";
  EXPECT_EQ(transport->SpeedStep(), 8);
  EXPECT_EQ(transport->Position(), 32 - 3) << "the step back counts from where playback got to";
  EXPECT_EQ(view.mask, kMaskStopped);

  // The recorder's stop request waits for the stop to finish.
  bool ran_after = false, stopped_when_run = false;
  Play();
  QTimer::singleShot(50, [&] {
    transport->RunAfterStop([&] {
      ran_after = true;
      stopped_when_run = State() == media::kStateStopped && !transport->Stopping();
    });
    EXPECT_FALSE(ran_after);
  });
  PressPlay();
  EXPECT_TRUE(ran_after);
  EXPECT_TRUE(stopped_when_run);
}

TEST_F(TransportTest, FileEndingDuringADelayedStopIsLeftToThatStop) {
  Load(6);
  settings.DelaySec = 2;
  transport->SetPosition(4);
  Play();
  int mask_after_end = -1;
  QTimer::singleShot(50, [&] {
    // The file ends while the stop waits; the buttons stay disabled until the wait is over.
    ProcessUntil([&] {
      backend->card.Advance(kRate / 5);
      return State() == media::kStateStopped;
    });
    ProcessUntil([] { return false; }, std::chrono::milliseconds(100));  // deliver the notice
    mask_after_end = view.mask;
    PressPlay();  // a Play during the wait is ignored
  });
  PressPlay();
  EXPECT_EQ(mask_after_end, 0);
  EXPECT_FALSE(view.play_down);
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_EQ(view.mask, kMaskStopped);
  EXPECT_EQ(transport->Position(), 6 - 3) << "stepped back from the end of the file";
  EXPECT_TRUE(view.messages.isEmpty());
}

TEST_F(TransportTest, RepeatLoopsTheWindowAndPlayAdvancesIt) {
  Load(120);
  settings.DelimiterFileName = "/sounds/marker.wav";
  transport->SetPosition(60);
  view.repeat_down = true;
  transport->RepeatBtnClick();  // repeat on at 00:01:00
  ASSERT_TRUE(transport->RepeatMode());
  EXPECT_EQ(transport->RepeatEnd(), 70);
  Play();

  PlaySeconds(10);
  transport->IntTimerTimer();  // 00:01:10 reached: marker sound, back to 00:01:00
  ASSERT_TRUE(ProcessUntil([&] { return backend->Sounds().size() == 1; }));
  EXPECT_EQ(backend->Sounds(), std::vector<std::string>{"/sounds/marker.wav"});
  EXPECT_EQ(transport->Position(), 60);
  ASSERT_EQ(State(), media::kStatePlaying);
  EXPECT_EQ(transport->Input().GetPosition(), 60);

  // Play during the loop: jumps to RepeatEnd - RevSec and slides the window.
  PlaySeconds(2);
  transport->IntTimerTimer();
  PressPlay();
  EXPECT_TRUE(view.play_down) << "Play released with repeat on must not stop";
  EXPECT_EQ(State(), media::kStatePlaying);
  EXPECT_EQ(transport->Input().GetPosition(), 67);
  EXPECT_EQ(transport->RepeatEnd(), 77);

  // With a delayed stop the jump waits, and the poll goes on meanwhile.
  settings.DelaySec = 1;
  PlaySeconds(10);
  int32_t counter_during = -1;
  QTimer::singleShot(50, [&] {
    PlaySeconds(1);
    transport->IntTimerTimer();
    counter_during = view.counter;
  });
  transport->IntTimerTimer();  // 00:01:17: the jump runs from the event loop
  ASSERT_TRUE(ProcessUntil([&] { return backend->Sounds().size() == 2; }));
  EXPECT_EQ(counter_during, 78) << "the counter froze during the jump's delayed stop";
  EXPECT_EQ(transport->Position(), 67);
  settings.DelaySec = 0;

  view.repeat_down = false;
  transport->RepeatBtnClick();  // repeat off: playback runs past the old end
  EXPECT_FALSE(transport->RepeatMode());
  ASSERT_TRUE(ProcessUntil([&] { return State() == media::kStatePlaying; }));
  PlaySeconds(11);
  transport->IntTimerTimer();
  EXPECT_EQ(transport->Position(), 78);
  EXPECT_EQ(backend->Sounds().size(), 2u);
}

TEST_F(TransportTest, FastForwardAndRewindActOnlyWhilePlaying) {
  Load(60);
  transport->SetPosition(10);
  transport->FastForward();  // stopped
  transport->Rewind();
  EXPECT_EQ(transport->Position(), 10);

  Play();
  PlaySeconds(2);  // 00:00:12
  transport->FastForward();
  EXPECT_EQ(transport->Position(), 16);
  EXPECT_EQ(transport->Input().GetPosition(), 16);
  EXPECT_EQ(view.counter, 16);

  transport->PauseBtnClick();
  ASSERT_EQ(State(), media::kStatePaused);
  EXPECT_TRUE(view.pause_down);
  transport->FastForward();
  transport->Rewind();
  EXPECT_EQ(transport->Position(), 16);
  EXPECT_EQ(transport->Input().GetPosition(), 16);
  transport->PauseBtnClick();
  EXPECT_EQ(State(), media::kStatePlaying);
  EXPECT_FALSE(view.pause_down);

  transport->Input().RequestSeek(2);
  transport->Rewind();  // 00:00:02 - 4 s: the start, not before it
  EXPECT_EQ(transport->Position(), 0);
  EXPECT_EQ(transport->Input().GetPosition(), 0);
}

TEST_F(TransportTest, ResetWhileStoppedAndWhilePlaying) {
  Load(60);
  transport->SetPosition(30);
  transport->ResetPosition();
  EXPECT_EQ(transport->Position(), 0);
  EXPECT_EQ(view.counter, 0);
  EXPECT_NE(transport->CurrentItem(), nullptr);
  EXPECT_EQ(view.mask, kMaskStopped);

  transport->SetPosition(30);
  Play();
  PlaySeconds(1);
  transport->ResetPosition();
  EXPECT_EQ(State(), media::kStatePlaying);
  EXPECT_EQ(transport->Input().GetPosition(), 0);
  PlaySeconds(1);
  transport->IntTimerTimer();
  EXPECT_EQ(transport->Position(), 1);
}

TEST_F(TransportTest, SpeedStepsDriveTheDeviceRateAndStopAtBothEnds) {
  Load(120);
  transport->SetPosition(30);
  Play();
  EXPECT_EQ(DeviceRate(), kRate);
  PlaySeconds(5);
  transport->IntTimerTimer();  // 00:00:35

  // Faster while playing: stops without a step back and goes on where it stopped.
  transport->ChangeSpeed(true);
  ASSERT_EQ(State(), media::kStatePlaying);
  EXPECT_EQ(transport->SpeedStep(), 4);
  EXPECT_EQ(view.speed, " 2 ");
  EXPECT_EQ(transport->Input().GetPosition(), 35);
  EXPECT_EQ(DeviceRate(), kRate * 2);
  transport->ChangeSpeed(true);
  EXPECT_EQ(view.speed, " 4 ");
  EXPECT_EQ(DeviceRate(), kRate * 4);
  const size_t opened = backend->card.PlaybackCount();
  EXPECT_EQ(transport->ChangeSpeed(true), TransportController::SpeedChange::kRefused);
  EXPECT_EQ(backend->card.PlaybackCount(), opened);

  const uint32_t slower[] = {kRate * 2, kRate, kRate * 8 / 12, kRate / 2};
  const char* texts[] = {" 2 ", " 1 ", "2/3", "1/2"};
  for (int i = 0; i < 4; ++i) {
    transport->ChangeSpeed(false);
    EXPECT_EQ(view.speed, texts[i]);
    EXPECT_EQ(DeviceRate(), slower[i]) << texts[i];
    EXPECT_EQ(transport->Input().GetPosition(), 35);
  }
  EXPECT_EQ(transport->ChangeSpeed(false), TransportController::SpeedChange::kRefused);
  EXPECT_EQ(transport->SpeedStep(), 16);
  EXPECT_TRUE(view.messages.isEmpty());

  // The fastest step survives the options being accepted while stopped.
  PressPlay();
  for (int i = 0; i < 4; ++i) transport->ChangeSpeed(true);
  ASSERT_EQ(transport->SpeedStep(), 0);
  transport->ApplyOptions();
  Play();
  EXPECT_EQ(DeviceRate(), kRate * 4);
}

TEST_F(TransportTest, KeepingThePitchChangesTheTempoInPlace) {
  settings.KeepPitch = true;
  Load(60);
  transport->SetPosition(10);
  Play();
  PlaySeconds(2);
  transport->IntTimerTimer();
  ASSERT_EQ(transport->Position(), 12);
  const size_t opened = backend->card.PlaybackCount();
  for (bool up : {false, false, true, true, true, true}) {
    EXPECT_EQ(transport->ChangeSpeed(up), TransportController::SpeedChange::kChanged);
    EXPECT_EQ(State(), media::kStatePlaying);
    EXPECT_EQ(DeviceRate(), kRate) << "the device stays at the file's rate";
  }
  EXPECT_EQ(view.speed, " 4 ");
  EXPECT_EQ(backend->card.PlaybackCount(), opened) << "no stop and restart";
  EXPECT_NEAR(transport->Input().GetPosition(), 12, 1);

  // At x1/2 eight seconds heard are four of the file; the stop steps back RevSec seconds of
  // the file, and the repeat window spans RepeatSec seconds of the file (twenty heard).
  for (int i = 0; i < 4; ++i) transport->ChangeSpeed(false);
  ASSERT_EQ(transport->SpeedStep(), 16);
  PressPlay();
  transport->SetPosition(30);
  Play();
  PlaySeconds(8);
  transport->IntTimerTimer();
  const int32_t reached = transport->Position();
  EXPECT_NEAR(reached, 34, 1);
  PressPlay();
  EXPECT_EQ(transport->Position(), reached - 3);
  transport->SetPosition(30);
  view.repeat_down = true;
  transport->RepeatBtnClick();
  Play();
  PlaySeconds(19);  // 00:00:39.5 of the file
  transport->IntTimerTimer();
  ProcessUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_TRUE(backend->Sounds().empty()) << "the loop ended before RepeatSec of the file";
  EXPECT_EQ(transport->Position(), 39);
  PlaySeconds(2);  // 00:00:40.5: back to 00:00:30
  transport->IntTimerTimer();
  ASSERT_TRUE(ProcessUntil([&] { return backend->Sounds().size() == 1; }));
  EXPECT_EQ(transport->Position(), 30);
  EXPECT_EQ(transport->Input().GetPosition(), 30);
}

TEST_F(TransportTest, LoadingBringsEitherExtremeBackToNormalSpeed) {
  for (bool faster : {true, false}) {
    Load(10);
    for (int i = 0; i < 2; ++i) transport->ChangeSpeed(faster);
    ASSERT_EQ(transport->SpeedStep(), faster ? 0 : 16);
    settings.DspAlert = true;
    view.confirm_answers = {false};  // the first step back is declined and offered again
    view.warnings = 0;
    Load(10);
    settings.DspAlert = false;
    EXPECT_EQ(transport->SpeedStep(), 8);
    EXPECT_EQ(view.speed, " 1 ");
    EXPECT_EQ(transport->Output().SpeedDivisor(), 8);
    EXPECT_EQ(view.warnings, 3);
    EXPECT_EQ(view.messages, QStringList{"再生速度変更処理を中止しました"});
    view.messages.clear();
  }
}

TEST_F(TransportTest, EndOfFileRaisesPlayAndLeavesTheCounterAtTheEnd) {
  Load(6);
  transport->SetPosition(3);
  Play();
  ASSERT_TRUE(PlayToTheEnd()) << "the end of the file was not reported";
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_EQ(transport->Position(), 6);
  EXPECT_EQ(view.counter, 6);
  EXPECT_EQ(view.mask, kMaskStopped);
  EXPECT_TRUE(view.messages.isEmpty());

  // A jump past the end ends playback the same way, with the counter at the end.
  transport->SetPosition(4);
  Play();
  transport->FastForward();  // 00:00:08 of a six-second file
  ASSERT_TRUE(PlayToTheEnd()) << "the jump past the end did not end playback";
  EXPECT_TRUE(view.messages.isEmpty()) << view.messages.join(" / ").toStdString();
  EXPECT_EQ(transport->Position(), 6);
  EXPECT_EQ(view.slider, 6);
}

TEST_F(TransportTest, StartFailureLeavesTheWindowStoppedAndStaleEndsAreIgnored) {
  const std::string path = Load(6);
  transport->SetPosition(2);
  transport->IntTimerTimer();
  Play();
  PlaySeconds(1);
  transport->IntTimerTimer();
  ASSERT_EQ(transport->Position(), 3);
  // The file ends, but its notice is still on its way when Play is pressed again; that start
  // fails (the file is gone). The old notice must not be taken for the failed start's.
  for (int i = 0; i < 1000 && State() != media::kStateStopped; ++i) {
    backend->card.Advance(kRate / 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(State(), media::kStateStopped);
  std::filesystem::remove(path);
  view.play_down = true;
  EXPECT_ANY_THROW(transport->PlayBtnClick());
  ProcessUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_FALSE(view.play_down);
  EXPECT_EQ(view.mask, kMaskStopped);
  EXPECT_TRUE(view.settings_menu);
  EXPECT_EQ(transport->Position(), 3) << "the counter jumped to the end of the earlier playback";
}

// The sound server going away: a device lost during playback ends it with the message and the
// window stopped; a stalled one makes Stop give up waiting within about a second. Either way the
// next Play (once the server is back) plays.
TEST_F(TransportTest, ALostOrStalledDeviceStopsTheWindowAndPlayWorksAgain) {
  Load(60);
  transport->SetPosition(10);
  Play();
  PlaySeconds(2);
  transport->IntTimerTimer();
  ASSERT_EQ(transport->Position(), 12);

  // The server ends: the reader hears of it, the window stops and says why.
  backend->card.LoseDevices();
  ASSERT_TRUE(ProcessUntil([&] { return State() == media::kStateStopped && !view.play_down; }))
      << "playback went on after the device was lost";
  ASSERT_TRUE(ProcessUntil([&] { return !view.messages.isEmpty(); }));
  EXPECT_EQ(view.messages, QStringList{app::kDeviceLostMessage});
  EXPECT_EQ(view.mask, kMaskStopped);
  EXPECT_TRUE(view.settings_menu);
  EXPECT_EQ(transport->Position(), 12) << "the counter stays where playback was last heard";
  EXPECT_EQ(transport->Input().ReaderThreadId(), 0u);
  EXPECT_FALSE(transport->Output().IsOpen());

  // A new device plays again, from where the counter is.
  view.messages.clear();
  Play();
  PlaySeconds(1);
  transport->IntTimerTimer();
  EXPECT_EQ(transport->Position(), 13);
  EXPECT_FALSE(transport->Output().DeviceLost());

  // The server stalls: Stop does not wait for it beyond the device's answer time.
  backend->card.Stall(true);
  const auto pressed = std::chrono::steady_clock::now();
  PressPlay();
  const auto blocked = std::chrono::steady_clock::now() - pressed;
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_FALSE(view.play_down);
  EXPECT_EQ(view.mask, kMaskStopped);
  EXPECT_LT(blocked, std::chrono::milliseconds(3000)) << "Stop waited for the stalled server";
  std::printf("[ figures ] Stop with a stalled device returned after %lld ms\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(blocked).count()));
  // Play while still stalled fails with the device's message and leaves the window stopped.
  view.play_down = true;
  EXPECT_THROW(transport->PlayBtnClick(), media::MMException);
  EXPECT_FALSE(view.play_down);
  EXPECT_EQ(view.mask, kMaskStopped);

  backend->card.Stall(false);
  Play();
  PlaySeconds(1);
  transport->IntTimerTimer();
  EXPECT_EQ(State(), media::kStatePlaying);

  // Lost while paused: the reader writes nothing, yet playback ends as promptly, with the
  // message, both buttons up and the device released.
  view.messages.clear();
  view.pause_down = true;
  transport->PauseBtnClick();
  ASSERT_EQ(State(), media::kStatePaused);
  const auto lost = std::chrono::steady_clock::now();
  backend->card.LoseDevices();
  ASSERT_TRUE(ProcessUntil([&] { return !view.play_down && !view.messages.isEmpty(); },
                           std::chrono::milliseconds(4000)))
      << "a paused playback did not hear of the lost device";
  const auto heard = std::chrono::steady_clock::now() - lost;
  std::printf(
      "[ figures ] a device lost while paused stopped the window after %lld ms\n",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(heard).count()));
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_EQ(view.messages, QStringList{app::kDeviceLostMessage});
  EXPECT_FALSE(view.pause_down);
  EXPECT_EQ(view.mask, kMaskStopped);
  EXPECT_EQ(transport->Input().ReaderThreadId(), 0u);
  EXPECT_FALSE(transport->Output().IsOpen());
  EXPECT_TRUE(backend->card.LastPlayback().closed);

  // And Play plays again afterwards.
  Play();
  PlaySeconds(1);
  EXPECT_EQ(State(), media::kStatePlaying);
  PressPlay();
  EXPECT_EQ(State(), media::kStateStopped);
}

TEST_F(TransportTest, ASpeedBeyondTheDeviceIsRefusedBeforeAnythingStops) {
  WriteWav(dir + "/hi.wav", 96000, 2, 16, 10);  // x2 drives 192 kHz, x4 would need 384 kHz
  transport->Load(dir + "/hi.wav");
  settings.DspAlert = true;
  EXPECT_EQ(transport->ChangeSpeed(true), TransportController::SpeedChange::kChanged);
  const int warnings = view.warnings;
  EXPECT_EQ(transport->ChangeSpeed(true), TransportController::SpeedChange::kRefused);
  EXPECT_EQ(view.warnings, warnings) << "no warning for a change that cannot be made";
  EXPECT_EQ(transport->SpeedStep(), 4);
  EXPECT_EQ(view.speed, " 2 ");
  ASSERT_EQ(view.messages.size(), 1);
  EXPECT_TRUE(view.messages[0].contains("96000Hz")) << view.messages[0].toStdString();
  settings.DspAlert = false;
  Play();
  EXPECT_EQ(DeviceRate(), 192000u);

  // Keeping the pitch, x4 is allowed (the device stays at 96 kHz). Turning that off in the
  // options while stopped falls back to the fastest speed the device takes, and says so.
  PressPlay();
  settings.KeepPitch = true;
  transport->ApplyOptions();
  ASSERT_EQ(transport->ChangeSpeed(true), TransportController::SpeedChange::kChanged);
  ASSERT_EQ(transport->SpeedStep(), 0);
  view.messages.clear();
  settings.KeepPitch = false;
  transport->ApplyOptions();
  EXPECT_EQ(transport->SpeedStep(), 4);
  EXPECT_EQ(view.speed, " 2 ");
  EXPECT_EQ(transport->Output().SpeedDivisor(), 4);
  ASSERT_EQ(view.messages.size(), 1);
  EXPECT_TRUE(view.messages[0].contains("96000Hz") && view.messages[0].contains("2倍に変更"))
      << view.messages[0].toStdString();
  Play();
  EXPECT_EQ(DeviceRate(), 192000u) << view.messages.join(" / ").toStdString();
  EXPECT_EQ(view.messages.size(), 1);

  // The same towards the slow end: x1/2 of a 6 kHz file would need 3 kHz; x2/3 gives 4 kHz.
  PressPlay();
  WriteWav(dir + "/lo.wav", 6000, 1, 16, 10);
  transport->Load(dir + "/lo.wav");
  settings.KeepPitch = true;
  transport->ApplyOptions();
  transport->ChangeSpeed(false);
  transport->ChangeSpeed(false);
  ASSERT_EQ(transport->SpeedStep(), 16);
  settings.KeepPitch = false;
  transport->ApplyOptions();
  EXPECT_EQ(view.speed, "2/3");
  Play();
  EXPECT_EQ(DeviceRate(), 4000u);
}

TEST_F(TransportTest, AFileShortenedAfterLoadingEndsWhereItReallyEnds) {
  const std::string path = Load(40);
  Play();
  PlaySeconds(2);
  std::filesystem::resize_file(path, 44 + 7 * kRate * 2);  // another program cuts it to 7 s
  ASSERT_TRUE(PlayToTheEnd());
  EXPECT_EQ(transport->Position(), 7);
  EXPECT_EQ(view.counter, 7);
  EXPECT_EQ(view.slider_max, 7);
  EXPECT_EQ(transport->Length(), 7);
  EXPECT_TRUE(view.messages.isEmpty());

  transport->SetPosition(30);  // a position from before the cut
  PressPlay();
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_FALSE(view.play_down);
  EXPECT_EQ(view.mask, kMaskStopped);
  EXPECT_EQ(transport->Position(), 7);
  EXPECT_EQ(view.messages.size(), 1) << "a Play past the end says so";
}

TEST_F(TransportTest, NonLockModeSwitchesRepeatOffAndKeepsItDisabled) {
  transport->ApplyOptions();  // no file: Repeat stays disabled
  EXPECT_FALSE(view.mask & app::kMaskRepeat);
  Load(60);
  view.repeat_down = true;
  transport->RepeatBtnClick();
  ASSERT_TRUE(transport->RepeatMode());
  settings.NonLockMode = true;
  transport->ApplyOptions();
  EXPECT_FALSE(transport->RepeatMode());
  EXPECT_FALSE(view.repeat_down);
  EXPECT_FALSE(view.mask & app::kMaskRepeat);
  transport->ToggleRepeat();  // the hot key is ignored in this mode
  EXPECT_FALSE(transport->RepeatMode());
  Play();
  PressPlay();
  EXPECT_EQ(view.mask, app::kMaskStopped & ~app::kMaskRepeat) << "stopped, Repeat stays off";

  settings.NonLockMode = false;
  transport->ApplyOptions();
  EXPECT_TRUE(view.mask & app::kMaskRepeat);
  transport->ToggleRepeat();
  EXPECT_TRUE(transport->RepeatMode());
}

// The window's own part: real mouse and wheel events on its controls, its warning dialog and
// its panel.
class MainWindowTest : public MainFormTest {
 protected:
  // The point on the slider where the thumb's centre stands at `value`.
  QPoint ThumbCentre(int value) const {
    QSlider* slider = form->TrackBar();
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = slider->orientation();
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.sliderPosition = value;
    option.sliderValue = value;
    option.subControls = QStyle::SC_All;
    const QRect handle = slider->style()->subControlRect(QStyle::CC_Slider, &option,
                                                         QStyle::SC_SliderHandle, slider);
    return handle.center();
  }
  // A key reported by the keyboard watch, as the window receives it.
  void Key(int32_t modifier, int32_t key) {
    app::HookEvent report(form->Hook().HookMessage(),
                          (static_cast<uintptr_t>(modifier) << 16) | static_cast<uint32_t>(key), 0);
    QCoreApplication::sendEvent(form.get(), &report);
  }
  // Ctrl+Space plays and stops, Ctrl+7/8/9 speed up, slow down and switch the equalizer.
  void UseHotKeys() {
    form->HotKeys() = {};
    form->HotKeys()[0] = {8, 0x20, 1};
    for (int32_t function : {7, 8, 9})
      form->HotKeys()[function - 6] = {8, 0x30 + function, function};
  }
  void Wheel(int delta) {
    QSlider* slider = form->TrackBar();
    const QPointF at = slider->rect().center();
    QWheelEvent event(at, slider->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(slider, &event);
  }
};

TEST_F(MainWindowTest, DraggingTheThumbPreviewsAndSeeksWhereItIsLetGo) {
  LoadTestFile(120);
  ClickPlay();
  QSlider* slider = form->TrackBar();
  QTest::mousePress(slider, Qt::LeftButton, {}, ThumbCentre(0));
  QTest::mouseMove(slider, ThumbCentre(30));
  EXPECT_TRUE(form->Transport().Dragging());
  EXPECT_TRUE(form->Panel()->SeekPreviewText().isEmpty()) << "the first move only marks the drag";
  QTest::mouseMove(slider, ThumbCentre(45));
  const int held = slider->sliderPosition();
  ASSERT_NEAR(held, 45, 1);
  EXPECT_EQ(form->Panel()->SeekPreviewText(),
            QStringLiteral("検索→") + app::TInfoPanel::FormatHms(held) +
                QStringLiteral("/00:02:00") + QString(32, QLatin1Char(' ')));

  PlaySeconds(1);
  form->IntTimerTimer();  // the poll leaves the held thumb alone
  EXPECT_EQ(slider->sliderPosition(), held);
  QTest::mouseRelease(slider, Qt::LeftButton, {}, ThumbCentre(held));
  EXPECT_FALSE(form->Transport().Dragging());
  EXPECT_TRUE(form->Panel()->SeekPreviewText().isEmpty());
  EXPECT_EQ(form->Transport().Position(), held);
  EXPECT_EQ(form->Transport().Input().GetPosition(), held);
  EXPECT_EQ(slider->value(), held);
}

TEST_F(MainWindowTest, AWheelNotchIsALineStepAndLeavesNoDragBehind) {
  LoadTestFile(120);
  form->Transport().SetPosition(10);
  ClickPlay();
  Wheel(120);
  EXPECT_FALSE(form->Transport().Dragging());
  EXPECT_EQ(form->Transport().Position(), 11);
  EXPECT_EQ(form->Transport().Input().GetPosition(), 11);
  Wheel(60);  // half a notch does nothing until the other half comes
  EXPECT_EQ(form->Transport().Position(), 11);
  Wheel(-60);
  Wheel(-120);
  EXPECT_EQ(form->Transport().Position(), 10);
  EXPECT_TRUE(form->Panel()->SeekPreviewText().isEmpty());
  // The poll goes on moving the thumb.
  PlaySeconds(2);
  form->IntTimerTimer();
  EXPECT_EQ(form->TrackBar()->value(), 12);
}

TEST_F(MainWindowTest, DeclinedWarningKeepsTheSpeedAndTheCheckBoxTurnsItOff) {
  LoadTestFile(60);
  {
    ModalScript cancel([](QWidget* dialog) {
      QTest::mouseClick(static_cast<ui::TAlertForm*>(dialog)->Button2(), Qt::LeftButton);
    });
    QTest::mouseClick(form->UpBitBtn(), Qt::LeftButton);
    EXPECT_TRUE(cancel.Ran());
    EXPECT_FALSE(cancel.TimedOut());
  }
  EXPECT_EQ(form->Transport().SpeedStep(), 8);
  EXPECT_EQ(form->Speed()->text(), " 1");
  ASSERT_EQ(messages->Texts(), QStringList{"再生速度変更処理を中止しました"});

  {
    ModalScript tick_and_cancel([](QWidget* dialog) {
      auto* alert = static_cast<ui::TAlertForm*>(dialog);
      QTest::mouseClick(alert->CheckBox1(), Qt::LeftButton);
      QTest::mouseClick(alert->Button2(), Qt::LeftButton);
    });
    QTest::mouseClick(form->UpBitBtn(), Qt::LeftButton);
    EXPECT_TRUE(tick_and_cancel.Ran());
  }
  EXPECT_EQ(form->Transport().SpeedStep(), 8) << "this change is still cancelled";
  EXPECT_FALSE(form->Settings().DspAlert);
  QTest::mouseClick(form->UpBitBtn(), Qt::LeftButton);  // no dialog any more
  EXPECT_EQ(form->Transport().SpeedStep(), 4);
  EXPECT_EQ(form->Speed()->text(), " 2 ");
}

TEST_F(MainWindowTest, EqualizerFollowsItsButtonMenuAndHotKeys) {
  app::EqualizerStore store(form->SettingsStore());
  ui::TEqualizerPanelForm equalizer(store);
  form->SetEqualizerWindow(&equalizer);
  const auto detach = qScopeGuard([&] { form->SetEqualizerWindow(nullptr); });
  QAction* menu = form->MnuEqualizer();
  ASSERT_TRUE(form->EqBtn()->isEnabled());

  // The EQ button and the menu item each show the window and close it; the mark follows.
  const auto shown = [&](bool on) {
    return equalizer.isVisible() == on && menu->isChecked() == on;
  };
  QTest::mouseClick(form->EqBtn(), Qt::LeftButton);
  EXPECT_TRUE(shown(true));
  menu->trigger();
  EXPECT_TRUE(shown(false));
  menu->trigger();
  EXPECT_TRUE(shown(true));
  QTest::mouseClick(form->EqBtn(), Qt::LeftButton);
  EXPECT_TRUE(shown(false));
  // Closed by its own close image, the window clears the mark and the next click shows it.
  QTest::mouseClick(form->EqBtn(), Qt::LeftButton);
  QTest::mouseClick(equalizer.CloseImg(), Qt::LeftButton);
  EXPECT_TRUE(shown(false));
  QTest::mouseClick(form->EqBtn(), Qt::LeftButton);
  EXPECT_TRUE(shown(true));

  // Hot key 9 switches the equalizer at normal speed only; 7 and 8 do nothing while it is on.
  LoadTestFile(60);
  form->Settings().DspAlert = false;
  UseHotKeys();
  Key(8, 0x39);
  ASSERT_TRUE(equalizer.IsOn());
  Key(8, 0x37);
  Key(8, 0x38);
  EXPECT_EQ(form->Transport().SpeedStep(), 8);
  Key(8, 0x39);
  EXPECT_FALSE(equalizer.IsOn());
  Key(8, 0x37);
  EXPECT_EQ(form->Transport().SpeedStep(), 4);
  EXPECT_EQ(form->Speed()->text(), " 2 ");
  Key(8, 0x39);
  EXPECT_FALSE(equalizer.IsOn()) << "switched at x2";
  Key(8, 0x38);
  Key(8, 0x39);
  EXPECT_EQ(form->Transport().SpeedStep(), 8);
  EXPECT_TRUE(equalizer.IsOn());
}

// A delayed stop through the real buttons: the file ending during the wait leaves the buttons
// disabled and the stop to the wait; the repeat jump's wait keeps the poll and painting going.
TEST_F(MainWindowTest, DelayedStopsFinishTheirOwnStopAndKeepTheWindowLive) {
  LoadTestFile(6);
  UseHotKeys();
  form->Settings().DelaySec = 2;
  form->Transport().SetPosition(4);
  ClickPlay();
  int mask_after_end = -1;
  bool play_down_after_end = true;
  QTimer::singleShot(50, [&] {
    ProcessUntil([&] {
      backend->card.Advance(kRate / 5);
      return State() == media::kStateStopped;
    });
    ProcessUntil([] { return false; }, std::chrono::milliseconds(100));  // the end notice
    mask_after_end = EnabledMask();
    QTest::mouseClick(form->PlayBtn(), Qt::LeftButton);
    Key(8, 0x20);  // the play/stop hot key is ignored too
    play_down_after_end = form->PlayBtn()->isChecked();
  });
  QTest::mouseClick(form->PlayBtn(), Qt::LeftButton);  // returns once the delay has passed
  EXPECT_EQ(mask_after_end, 0);
  EXPECT_FALSE(play_down_after_end);
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_FALSE(form->PlayBtn()->isChecked());
  EXPECT_EQ(EnabledMask(), kMaskStopped);
  EXPECT_EQ(form->Transport().Position(), 6 - 3) << "stepped back from the end of the file";
  EXPECT_TRUE(messages->Texts().isEmpty()) << messages->Texts().join(" / ").toStdString();

  struct PaintCount : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) ++paints;
      return false;
    }
  } painted;
  form->Panel()->installEventFilter(&painted);
  LoadTestFile(120, "long.wav");
  QTest::mouseClick(form->RepeatBtn(), Qt::LeftButton);  // 00:00:00 to 00:00:10
  ASSERT_TRUE(form->Transport().RepeatMode());
  ClickPlay();
  QString counter_during;
  int paints_during = 0;
  QTimer watch;  // acts once, inside the jump's delayed stop
  watch.setInterval(10);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (!form->Transport().Stopping() || !counter_during.isNull()) return;
    PlaySeconds(1);
    // The window's own poll timer moves the counter on, and the panel paints it.
    ProcessUntil([&] { return form->Panel()->CounterText() == app::TInfoPanel::FormatHms(11); },
                 std::chrono::milliseconds(1000));
    counter_during = form->Panel()->CounterText();
    const int paints_before = painted.paints;
    ProcessUntil([&] { return painted.paints > paints_before; }, std::chrono::milliseconds(500));
    paints_during = painted.paints - paints_before;
  });
  watch.start();
  PlaySeconds(10);  // the poll finds 00:00:10 and the jump stops with the delay
  ASSERT_TRUE(ProcessUntil([&] { return backend->Sounds().size() == 1; }));
  EXPECT_EQ(counter_during.toStdString(), app::TInfoPanel::FormatHms(11).toStdString())
      << "the counter froze";
  EXPECT_GT(paints_during, 0) << "the panel was not painted during the wait";
  EXPECT_EQ(State(), media::kStatePlaying);
  form->Panel()->removeEventFilter(&painted);
}

TEST_F(MainWindowTest, MarqueeScrollsOnlyWhilePlaying) {
  const std::string long_dir = Path(std::string(60, 'n'));
  std::filesystem::create_directories(long_dir);
  WriteWav(long_dir + "/voice.wav", kRate, 1, 16, 30);
  form->LoadFile(QString::fromStdString(long_dir + "/voice.wav"));
  ASSERT_TRUE(form->Panel()->MarqueeScrolling());
  form->IntTimerTimer();
  EXPECT_EQ(form->Panel()->MarqueeOffset(), 0);
  ClickPlay();
  form->IntTimerTimer();
  form->IntTimerTimer();
  EXPECT_EQ(form->Panel()->MarqueeOffset(), 2);
  QTest::mouseClick(form->PauseBtn(), Qt::LeftButton);
  form->IntTimerTimer();
  EXPECT_EQ(form->Panel()->MarqueeOffset(), 2);
}

// The whole window under random commands from every source: its buttons, the slider's codes,
// counter entry, loading another file, the five speeds, hot keys as the keyboard watch reports
// them (through the window's own hot-key path), audio playing on the card, the delayed stop, and
// the sound device lost or stalled. The real window (offscreen) is driven rather than the
// controller with a fake view, so that the hot-key path and the buttons' own toggling take part.
// After each command the window must be consistent. VERBAT_STRESS_SEED picks another seed, and
// VERBAT_STRESS_COMMANDS another length (the seed is printed, so that a failure can be replayed).
TEST_F(MainWindowTest, RandomCommandsFromEverySourceKeepTheWindowConsistent) {
  uint32_t seed = 20240611;
  if (const char* s = std::getenv("VERBAT_STRESS_SEED")) {
    seed = static_cast<uint32_t>(std::strtoul(s, nullptr, 10));
  }
  int commands = 1000;
  if (const char* s = std::getenv("VERBAT_STRESS_COMMANDS")) commands = std::atoi(s);
  std::printf("[ seed ] VERBAT_STRESS_SEED=%u (%d commands)\n", seed, commands);
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };

  WriteWav(Path("long.wav"), kRate, 1, 16, 40);
  WriteWav(Path("short.wav"), kRate, 1, 16, 12);
  form->LoadFile(QString::fromStdString(Path("long.wav")));
  app::Settings& settings = form->Settings();
  settings.DspAlert = false;
  // Ctrl+A ... Ctrl+H: play/stop, pause, fast-forward, rewind, reset, repeat, faster, slower.
  for (int f = 1; f <= 8; ++f) form->HotKeys()[f - 1] = {app::kModifierCtrl, 0x40 + f, f};
  const auto key = [&](int f, bool released) {
    app::HookEvent report(
        form->Hook().HookMessage(),
        (static_cast<uintptr_t>(app::kModifierCtrl) << 16) | static_cast<uint32_t>(0x40 + f),
        released ? static_cast<intptr_t>(KBDWATCH_KEY_UP_FLAG) : 0);
    QCoreApplication::sendEvent(form.get(), &report);
  };
  app::TransportController& t = form->Transport();
  enum Kind {
    kPlayStop,
    kDelayedStop,
    kPause,
    kRepeat,
    kForward,
    kRewind,
    kReset,
    kSpeed,
    kSlider,
    kCounter,
    kLoad,
    kHotKey,
    kPlayAudio,
    kLose,
    kStall,
    kPoll,
    kKinds
  };
  int counts[kKinds] = {};
  int losses_heard = 0;
  std::string history;
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < commands; ++i) {
    // Playing audio comes twice as often as any other kind: without it nothing moves.
    uint32_t op = pick(kKinds + 1);
    if (op == kKinds) op = kPlayAudio;
    ++counts[op];
    // The last commands and the states they met, for the report of a failure.
    history += " " + std::to_string(op) + "@" + std::to_string(State());
    if (history.size() > 80) history.erase(0, history.size() - 80);
    SCOPED_TRACE(testing::Message() << "command " << i << " kind " << op << " seed " << seed
                                    << "; kind@state before, latest last:" << history);
    const int32_t state_before = State();
    const size_t messages_before = messages->Shown().size();
    bool lost = false;
    settings.DelaySec = 0;
    switch (op) {
      case kPlayStop:
        form->PlayBtn()->click();
        break;
      case kDelayedStop:
        // The delay waits a second, so only now and then; the card plays on and a fast-forward
        // comes in meanwhile (it acts on the playback still running).
        if (pick(12) == 0) {
          settings.DelaySec = 1;
          QTimer::singleShot(20, form.get(), [&] {
            t.FastForward();
            backend->card.Advance(kRate / 4);
          });
        }
        form->PlayBtn()->click();
        break;
      case kPause:
        form->PauseBtn()->click();
        break;
      case kRepeat:
        form->RepeatBtn()->click();
        break;
      case kForward:
        t.FastForward();
        break;
      case kRewind:
        t.Rewind();
        break;
      case kReset:
        form->ResetBtn()->click();
        break;
      case kSpeed:
        form->UpBitBtnClick(pick(2) == 0);
        break;
      case kSlider: {
        static const int codes[] = {app::kLineUp,   app::kLineDown,   app::kPageUp,
                                    app::kPageDown, app::kThumbTrack, app::kThumbPosition};
        form->SliderProc(codes[pick(6)],
                         static_cast<int>(pick(static_cast<uint32_t>(t.Length()) + 1)));
        break;
      }
      case kCounter:
        t.SetCounterTo(static_cast<int32_t>(pick(45)));
        break;
      case kLoad:
        form->LoadFile(QString::fromStdString(Path(pick(2) ? "long.wav" : "short.wav")));
        break;
      case kHotKey:
        key(1 + static_cast<int>(pick(8)), pick(3) == 0);
        break;
      case kPlayAudio:
        backend->card.Advance(pick(kRate * 2));
        break;
      case kLose:
        backend->card.LoseDevices();
        lost = state_before != media::kStateStopped;
        break;
      case kStall:
        // The server stalls while Play is clicked: a stop gives up on the device (the user
        // asked for the stop, so no message), a start fails with the device's message.
        // Not with repeat on: Play's click then seeks, and the seek waits for a reader that
        // waits for a block the stalled card never plays (the ALSA device's thread finds such a
        // stall by itself and ends the playback; the manual card has no clock to find it by).
        if (pick(2) == 0 && !form->RepeatBtn()->isChecked()) {
          backend->card.Stall(true);
          form->PlayBtn()->click();
          backend->card.Stall(false);
        }
        break;
      default:
        form->IntTimerTimer();
        break;
    }
    // What the reader reported reaches the window; the Play button then says what plays.
    const auto consistent = [&] {
      return (State() == media::kStateStopped) != form->PlayBtn()->isChecked();
    };
    ProcessUntil(consistent, std::chrono::seconds(5));
    if (lost) {
      // A lost device ends playback (paused playback too) with the message.
      ASSERT_TRUE(
          ProcessUntil([&] { return State() == media::kStateStopped; }, std::chrono::seconds(4)))
          << "playback went on after the device was lost";
      ProcessUntil([&] { return messages->Shown().size() > messages_before; },
                   std::chrono::seconds(4));
      ASSERT_GT(messages->Shown().size(), messages_before) << "the loss was not reported";
      ++losses_heard;
    }
    QCoreApplication::processEvents();
    ASSERT_FALSE(t.Stopping());
    int32_t state = State();
    if (state != media::kStatePlaying) {
      // A reader that ended just now (the end of the file, a lost device) has its notice on the
      // way; a pause asked of a reader that was already ending was dropped.
      ProcessUntil([&] { return consistent() && State() == state; }, std::chrono::seconds(5));
      state = State();
    } else if (form->PauseBtn()->isChecked()) {
      ProcessUntil([&] { return State() != media::kStatePlaying; }, std::chrono::seconds(5));
      ProcessUntil(consistent, std::chrono::seconds(5));
      state = State();
    }
    const int shown = EnabledMask() & ~app::kMaskRepeat;
    ASSERT_GE(t.Position(), 0);
    if (state == media::kStateStopped) {
      ASSERT_FALSE(form->PlayBtn()->isChecked()) << "stopped with Play down";
      ASSERT_FALSE(form->PauseBtn()->isChecked()) << "stopped with Pause down";
      ASSERT_EQ(shown, app::kMaskStopped & ~app::kMaskRepeat);
      ASSERT_EQ(t.Input().ReaderThreadId(), 0u) << "a reader was left after the stop";
      ASSERT_FALSE(t.Output().IsOpen()) << "the output was left open after the stop";
      ASSERT_LE(t.Position(), t.Length()) << "the counter beyond the file; messages: "
                                          << messages->Texts().join(" | ").toStdString();
    } else {
      ASSERT_TRUE(form->PlayBtn()->isChecked()) << "playing with Play up";
      ASSERT_EQ(form->PauseBtn()->isChecked(), state == media::kStatePaused);
      ASSERT_EQ(shown, app::kMaskPlaying & ~app::kMaskRepeat);
      ASSERT_TRUE(t.Output().IsOpen());
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("[ figures ] %d commands in %.1f s, %d losses heard; by kind:", commands, seconds,
              losses_heard);
  for (int c : counts) std::printf(" %d", c);
  std::printf("\n");
  EXPECT_GT(losses_heard, 0) << "no command lost a device during playback";
}

}  // namespace
}  // namespace apptest
