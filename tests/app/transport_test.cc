// The transport on a real main window: playback runs on the input's reader thread against the
// virtual card with manual pacing, so positions move only when a test lets audio play.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <filesystem>

#include "app_test_support.h"
#include "ui/Alert.h"
#include "ui/SpeedButton.h"

namespace apptest {
namespace {

using app::kMaskPlaying;
using app::kMaskStopped;

class TransportTest : public MainFormTest {};

TEST_F(TransportTest, StopStepsBackButNeverBelowZero) {
  LoadTestFile(60);
  EXPECT_EQ(EnabledMask(), kMaskStopped);
  ClickPlay();
  EXPECT_EQ(EnabledMask(), kMaskPlaying);
  EXPECT_FALSE(form->MnuProp()->isEnabled());
  PlaySeconds(2);
  form->IntTimerTimer();
  EXPECT_EQ(form->Position(), 2);
  form->PlayBtn()->click();  // stop, RevSec 3
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_EQ(form->Position(), 0);
  EXPECT_EQ(form->CounterText(), "00:00:00");

  // The next start plays from the stepped-back position: 0 + 10 - 3.
  ClickPlay();
  PlaySeconds(10);
  form->IntTimerTimer();
  form->PlayBtn()->click();
  EXPECT_EQ(form->Position(), 7);
  EXPECT_EQ(form->TrackBar()->value(), 7);
  EXPECT_EQ(EnabledMask(), kMaskStopped);
  EXPECT_TRUE(form->MnuProp()->isEnabled());
  ClickPlay();
  EXPECT_EQ(form->Input().GetPosition(), 7);
}

TEST_F(TransportTest, DelayedStopPlaysOnWithButtonsDisabledThenStepsBackFromThere) {
  LoadTestFile(60);
  form->Settings().DelaySec = 1;
  form->SetPosition(20);
  ClickPlay();
  PlaySeconds(5);
  form->IntTimerTimer();
  ASSERT_EQ(form->Position(), 25);

  int mask_during = -1;
  bool stopping_during = false;
  int32_t state_during = -1;
  QTimer::singleShot(50, [&] {
    mask_during = EnabledMask();
    stopping_during = form->Stopping();
    state_during = State();
    PlaySeconds(3);  // playback goes on while the stop waits
    form->IntTimerTimer();
  });
  form->PlayBtn()->click();  // returns once the delay has passed

  EXPECT_EQ(mask_during, 0);
  EXPECT_TRUE(stopping_during);
  EXPECT_EQ(state_during, media::kStatePlaying);
  EXPECT_FALSE(form->Stopping());
  EXPECT_EQ(form->DelayTicks(), 1);
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_EQ(form->Position(), 28 - 3);
  EXPECT_EQ(EnabledMask(), kMaskStopped);
}

TEST_F(TransportTest, RepeatLoopsTheWindowAndPlayAdvancesIt) {
  LoadTestFile(120);
  form->Settings().DelimiterFileName = "/sounds/marker.wav";
  form->SetPosition(60);
  form->RepeatBtn()->click();  // repeat on at 00:01:00
  ASSERT_TRUE(form->RepeatMode());
  EXPECT_EQ(form->RepeatEnd(), 70);
  ClickPlay();

  PlaySeconds(10);
  form->IntTimerTimer();  // 00:01:10 reached: marker sound, back to 00:01:00
  EXPECT_EQ(backend->Sounds(), std::vector<std::string>{"/sounds/marker.wav"});
  EXPECT_EQ(form->Position(), 60);
  ASSERT_EQ(State(), media::kStatePlaying);
  EXPECT_EQ(form->Input().GetPosition(), 60);

  // Play during the loop: jumps to RepeatEnd - RevSec and slides the window.
  PlaySeconds(2);
  form->IntTimerTimer();
  form->PlayBtn()->click();
  EXPECT_TRUE(form->PlayBtn()->isChecked()) << "Play released with repeat on must not stop";
  EXPECT_EQ(State(), media::kStatePlaying);
  EXPECT_EQ(form->Input().GetPosition(), 67);
  EXPECT_EQ(form->RepeatEnd(), 77);

  PlaySeconds(10);
  form->IntTimerTimer();  // 00:01:17: back to 00:01:07
  EXPECT_EQ(backend->Sounds().size(), 2u);
  EXPECT_EQ(form->Position(), 67);

  form->RepeatBtn()->click();  // repeat off: playback runs past the old end
  EXPECT_FALSE(form->RepeatMode());
  PlaySeconds(11);
  form->IntTimerTimer();
  EXPECT_EQ(form->Position(), 78);
  EXPECT_EQ(backend->Sounds().size(), 2u);
}

TEST_F(TransportTest, FastForwardAndRewindActOnlyWhilePlaying) {
  LoadTestFile(60);
  form->SetPosition(10);
  form->FastForward();  // stopped
  form->Rewind();
  EXPECT_EQ(form->Position(), 10);

  ClickPlay();
  PlaySeconds(2);  // 00:00:12
  form->FastForward();
  EXPECT_EQ(form->Position(), 16);
  EXPECT_EQ(form->Input().GetPosition(), 16);
  EXPECT_EQ(form->CounterText(), "00:00:16");

  form->PauseBtn()->click();
  ASSERT_EQ(State(), media::kStatePaused);
  EXPECT_TRUE(form->PauseBtn()->isChecked());
  form->FastForward();
  form->Rewind();
  EXPECT_EQ(form->Position(), 16);
  EXPECT_EQ(form->Input().GetPosition(), 16);
  form->PauseBtn()->click();
  EXPECT_EQ(State(), media::kStatePlaying);
  EXPECT_FALSE(form->PauseBtn()->isChecked());

  form->Input().RequestSeek(2);
  form->Rewind();  // 00:00:02 - 4 s: the start, not before it
  EXPECT_EQ(form->Position(), 0);
  EXPECT_EQ(form->Input().GetPosition(), 0);
}

TEST_F(TransportTest, ResetWhileStoppedAndWhilePlaying) {
  LoadTestFile(60);
  form->SetPosition(30);
  form->ResetBtn()->click();
  EXPECT_EQ(form->Position(), 0);
  EXPECT_EQ(form->CounterText(), "00:00:00");
  EXPECT_NE(form->CurrentItem(), nullptr);
  EXPECT_EQ(EnabledMask(), kMaskStopped);

  form->SetPosition(30);
  ClickPlay();
  PlaySeconds(1);
  form->ResetBtn()->click();
  EXPECT_EQ(State(), media::kStatePlaying);
  EXPECT_EQ(form->Input().GetPosition(), 0);
  PlaySeconds(1);
  form->IntTimerTimer();
  EXPECT_EQ(form->Position(), 1);
}

TEST_F(TransportTest, SpeedStepsDriveTheDeviceRateAndStopAtBothEnds) {
  form->Settings().DspAlert = false;
  LoadTestFile(120);
  form->SetPosition(30);
  ClickPlay();
  EXPECT_EQ(backend->card.LastPlayback().format.samples_per_sec, kRate);
  PlaySeconds(5);
  form->IntTimerTimer();  // 00:00:35

  // Faster while playing: stops without a step back and goes on where it stopped.
  form->UpBitBtn()->click();
  ASSERT_EQ(State(), media::kStatePlaying);
  EXPECT_EQ(form->SpeedStep(), 4);
  EXPECT_EQ(form->Speed()->text(), " 2 ");
  EXPECT_EQ(form->Position(), 35);
  EXPECT_EQ(form->Input().GetPosition(), 35);
  EXPECT_EQ(backend->card.LastPlayback().format.samples_per_sec, kRate * 2);

  form->UpBitBtn()->click();
  EXPECT_EQ(form->Speed()->text(), " 4 ");
  EXPECT_EQ(backend->card.LastPlayback().format.samples_per_sec, kRate * 4);
  const size_t opened = backend->card.PlaybackCount();
  form->UpBitBtn()->click();  // already the fastest
  EXPECT_EQ(form->SpeedStep(), 0);
  EXPECT_EQ(backend->card.PlaybackCount(), opened);

  const uint32_t slower[] = {kRate * 2, kRate, kRate * 8 / 12, kRate / 2};
  const char* texts[] = {" 2 ", " 1 ", "2/3", "1/2"};
  for (int i = 0; i < 4; ++i) {
    form->DownBitBtn()->click();
    EXPECT_EQ(form->Speed()->text(), texts[i]);
    EXPECT_EQ(backend->card.LastPlayback().format.samples_per_sec, slower[i]) << texts[i];
    EXPECT_EQ(form->Input().GetPosition(), 35);
  }
  form->DownBitBtn()->click();  // already the slowest
  EXPECT_EQ(form->SpeedStep(), 16);
  EXPECT_TRUE(messages->Shown().empty());
}

TEST_F(TransportTest, FastestStepSurvivesTheOptionsBeingAccepted) {
  form->Settings().DspAlert = false;
  LoadTestFile(60);
  form->UpBitBtn()->click();
  form->UpBitBtn()->click();  // stopped: the divisor waits for the next start
  ASSERT_EQ(form->SpeedStep(), 0);
  form->ApplyOptions(form->Settings());
  ClickPlay();
  EXPECT_EQ(backend->card.LastPlayback().format.samples_per_sec, kRate * 4);
}

TEST_F(TransportTest, DeclinedWarningKeepsTheSpeedAndTheCheckBoxTurnsItOff) {
  LoadTestFile(60);
  {
    ModalScript cancel([](QWidget* dialog) {
      static_cast<ui::TAlertForm*>(dialog)->Button2()->click();
    });
    form->UpBitBtn()->click();
    EXPECT_TRUE(cancel.Ran());
    EXPECT_FALSE(cancel.TimedOut());
  }
  EXPECT_EQ(form->SpeedStep(), 8);
  EXPECT_EQ(form->Speed()->text(), " 1");
  ASSERT_EQ(messages->Texts(), QStringList{"再生速度変更処理を中止しました"});

  {
    ModalScript tick_and_cancel([](QWidget* dialog) {
      auto* alert = static_cast<ui::TAlertForm*>(dialog);
      alert->CheckBox1()->click();
      alert->Button2()->click();
    });
    form->UpBitBtn()->click();
    EXPECT_TRUE(tick_and_cancel.Ran());
  }
  EXPECT_EQ(form->SpeedStep(), 8) << "this change is still cancelled";
  EXPECT_FALSE(form->Settings().DspAlert);
  form->UpBitBtn()->click();  // no dialog any more
  EXPECT_EQ(form->SpeedStep(), 4);
}

TEST_F(TransportTest, EndOfFileRaisesPlayAndLeavesTheCounterAtTheEnd) {
  LoadTestFile(6);
  form->SetPosition(3);
  ClickPlay();
  // Let everything play out; the end arrives from the reader thread as a posted event.
  const bool ended = ProcessUntil([&] {
    backend->card.Advance(kRate / 5);
    return !form->PlayBtn()->isChecked();
  });
  ASSERT_TRUE(ended) << "the end of the file was not reported";
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_EQ(form->Position(), 6);
  EXPECT_EQ(form->CounterText(), "00:00:06");
  EXPECT_EQ(EnabledMask(), kMaskStopped);
  EXPECT_TRUE(messages->Shown().empty());

  // A jump past the end ends playback the same way, with the counter at the end.
  form->SetPosition(4);
  ClickPlay();
  form->FastForward();  // 00:00:08 of a six-second file
  ASSERT_TRUE(ProcessUntil([&] {
    backend->card.Advance(kRate / 5);
    return !form->PlayBtn()->isChecked();
  })) << "the jump past the end did not end playback";
  EXPECT_TRUE(messages->Shown().empty()) << messages->Texts().join(" / ").toStdString();
  EXPECT_EQ(form->Position(), 6);
  EXPECT_EQ(form->TrackBar()->value(), 6);
}

TEST_F(TransportTest, SliderStepsTrackingAndRelease) {
  LoadTestFile(120);
  form->SliderProc(app::kLineUp);  // at the start: stays there
  EXPECT_EQ(form->Position(), 0);
  form->SliderProc(app::kPageDown);
  form->SliderProc(app::kLineDown);
  EXPECT_EQ(form->Position(), 2);
  EXPECT_EQ(form->CounterText(), "00:00:02");

  ClickPlay();
  form->SliderProc(app::kThumbTrack, 30);  // the first only marks the drag
  EXPECT_TRUE(form->Dragging());
  EXPECT_TRUE(form->SeekPreviewText().isEmpty());
  form->SliderProc(app::kThumbTrack, 45);
  EXPECT_EQ(form->SeekPreviewText(),
            QStringLiteral("検索→00:00:45/00:02:00") + QString(32, QLatin1Char(' ')));
  PlaySeconds(1);
  form->TrackBar()->setSliderPosition(45);
  form->IntTimerTimer();  // the poll leaves the thumb alone while it is dragged
  EXPECT_EQ(form->TrackBar()->sliderPosition(), 45);
  form->SliderProc(app::kThumbPosition, 45);
  EXPECT_FALSE(form->Dragging());
  EXPECT_EQ(form->Position(), 45);
  EXPECT_EQ(form->Input().GetPosition(), 45);

  form->PauseBtn()->click();
  form->SliderProc(app::kThumbPosition, 90);  // paused: neither moves
  EXPECT_EQ(form->Position(), 45);
  EXPECT_EQ(form->Input().GetPosition(), 45);
}

TEST_F(TransportTest, StartFailureIsReportedAndLeavesTheWindowStopped) {
  LoadTestFile(10);
  std::filesystem::remove(Path("voice.wav"));
  form->PlayBtn()->click();
  EXPECT_EQ(messages->Shown().size(), 1u);
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_FALSE(form->PlayBtn()->isChecked());
  EXPECT_EQ(EnabledMask(), kMaskStopped);
  EXPECT_TRUE(form->MnuProp()->isEnabled());
}

TEST_F(TransportTest, MarqueeScrollsOnlyWhilePlaying) {
  const std::string long_dir = Path(std::string(60, 'n'));
  std::filesystem::create_directories(long_dir);
  WriteWav(long_dir + "/voice.wav", kRate, 1, 16, 30);
  form->LoadFile(QString::fromStdString(long_dir + "/voice.wav"));
  ASSERT_TRUE(form->MarqueeScrolling());
  form->IntTimerTimer();
  EXPECT_EQ(form->MarqueeOffset(), 0);
  ClickPlay();
  form->IntTimerTimer();
  form->IntTimerTimer();
  EXPECT_EQ(form->MarqueeOffset(), 2);
  form->PauseBtn()->click();
  form->IntTimerTimer();
  EXPECT_EQ(form->MarqueeOffset(), 2);
}

}  // namespace
}  // namespace apptest

namespace apptest {
namespace {

TEST_F(TransportTest, NonLockModeSwitchesRepeatOffAndKeepsItDisabled) {
  LoadTestFile(60);
  form->RepeatBtn()->click();
  ASSERT_TRUE(form->RepeatMode());
  app::TransportSettings options = form->Settings();
  options.NonLockMode = true;
  form->ApplyOptions(options);
  EXPECT_FALSE(form->RepeatMode());
  EXPECT_FALSE(form->RepeatBtn()->isChecked());
  EXPECT_FALSE(form->RepeatBtn()->isEnabled());
  form->ToggleRepeat();  // the hot key is ignored in this mode
  EXPECT_FALSE(form->RepeatMode());
  ClickPlay();
  form->PlayBtn()->click();
  EXPECT_EQ(EnabledMask(), app::kMaskStopped & ~app::kMaskRepeat) << "stopped, Repeat stays off";

  options.NonLockMode = false;
  form->ApplyOptions(options);
  EXPECT_TRUE(form->RepeatBtn()->isEnabled());
  form->ToggleRepeat();
  EXPECT_TRUE(form->RepeatMode());
}

}  // namespace
}  // namespace apptest
