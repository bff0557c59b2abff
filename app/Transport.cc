#include "app/Transport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdlib>

#include <QFileInfo>

#include "media/InputMP3.h"
#include "media/InputVorbis.h"
#include "media/InputWav.h"

namespace app {
namespace {

// How long a speed change waits for the reader to leave the playing state before it gives up
// restarting (the stop itself waits for the reader already; this only guards a reader that
// never ends).
constexpr int kSpeedChangeStopWaitMs = 3000;

}  // namespace

QString SpeedText(int32_t speed_step) {
  switch (speed_step) {
    case 0:
      return QStringLiteral(" 4 ");
    case 4:
      return QStringLiteral(" 2 ");
    case 8:
      return QStringLiteral(" 1 ");
    case 12:
      return QStringLiteral("2/3");
    case 16:
      return QStringLiteral("1/2");
    default:
      return QStringLiteral(" 1 ");
  }
}

int32_t SpeedDivisor(int32_t speed_step) {
  // Step 0 (four times) is driven with divisor 2: the step itself would divide by zero.
  switch (speed_step) {
    case 0:
      return 2;
    case 4:
      return 4;
    case 12:
      return 12;
    case 16:
      return 16;
    default:
      return 8;
  }
}

TransportController::TransportController(platform::AudioBackend& backend, TransportView& view,
                                         Settings& settings, QObject* parent)
    : QObject(parent), backend_(backend), view_(view), settings_(settings) {
  // No file: an empty WAV input and its output.
  input_ = std::make_unique<media::InputWav>();
  AttachOutput();
  timer_delay_ = new QTimer(this);
  timer_delay_->setInterval(1000);
  connect(timer_delay_, &QTimer::timeout, this, [this] { TimerDelayTimer(); });
}

TransportController::~TransportController() {
  // The reader must be gone before the output it writes to and this controller it notifies.
  input_->RequestStop();
  input_->Close();
  input_.reset();
  output_.reset();
}

bool TransportController::Admit(DuringDelayedStop rule, const std::function<void()>& action) {
  if (stopping_) {
    if (rule == DuringDelayedStop::kIgnored) return false;
    if (rule == DuringDelayedStop::kAfterStop) {
      after_stop_.push_back(action);
      return false;
    }
  }
  action();
  return true;
}

void TransportController::RunAfterStop(std::function<void()> action) {
  Admit(DuringDelayedStop::kAfterStop, action);
}

void TransportController::SetEqualizer(media::EqualizerHook* equalizer) {
  equalizer_ = equalizer;
  output_->SetEqualizer(equalizer_);
}

void TransportController::AttachOutput() {
  output_ = std::make_unique<media::OutputAudio>(backend_);
  output_->SetSpeedDivisor(8);
  output_->SetKeepPitch(settings_.KeepPitch);
  output_->SetEqualizer(equalizer_);
  input_->SetOutput(output_.get());
}

void TransportController::ApplyOptions() {
  output_->SetKeepPitch(settings_.KeepPitch);  // from the next start
  FitSpeedToDevice();
  output_->SetSpeedDivisor(SpeedDivisor(speed_step_));
  EnableRepeat(!settings_.NonLockMode);
}

void TransportController::FitSpeedToDevice() {
  // Keeping the pitch lets every speed through, as the device stays at the file's rate; with
  // pitch keeping turned off the speed drives the device rate again, and x4 on a 96 kHz file
  // would ask for 384 kHz at the next Play. The speed steps back towards normal speed to the
  // nearest one the device takes: the closest to what the user chose, and a speed the speed
  // buttons could have reached without pitch keeping.
  const int32_t chosen = speed_step_;
  while (speed_step_ != 8 && !DeviceTakes(speed_step_)) speed_step_ += speed_step_ < 8 ? 4 : -4;
  if (speed_step_ == chosen) return;
  view_.ShowSpeed(SpeedText(speed_step_));
  view_.ShowMessage(QStringLiteral("再生速度%1倍は、このファイルのサンプリング周波数（%2Hz）では\n"
                                   "サウンドデバイスの対応範囲を超えるため、%3倍に変更しました")
                        .arg(SpeedText(chosen).trimmed())
                        .arg(current_item_ ? current_item_->sample_rate : 0)
                        .arg(SpeedText(speed_step_).trimmed()));
}

// ---------------------------------------------------------------------------------------------
// Files

void TransportController::Load(const std::string& path) {
  StopPlay(true);
  view_.SetPlayDown(false);
  position_ = 0;

  if (current_item_) input_->Close();
  current_item_.reset();
  input_.reset();
  output_.reset();

  current_item_ = std::make_unique<media::PlayListItem>(path);
  try {
    input_ = CreateInputFor();
    input_->Open(current_item_->path, *current_item_);
    input_->Close();
    AttachOutput();
  } catch (...) {
    // No file is loaded afterwards: the controller goes back to its empty input.
    current_item_.reset();
    input_ = std::make_unique<media::InputWav>();
    AttachOutput();
    ShowNoFile();
    throw;
  }
  ShowLength();
  view_.SetSliderPosition(position_);
  view_.ShowCounter(position_);
  ResetSpeed();
  SetButtonStates(kMaskStopped);
}

std::unique_ptr<media::InputMedia> TransportController::CreateInputFor() const {
  const std::string path = current_item_ ? current_item_->path : std::string();
  const QString suffix = QFileInfo(QString::fromStdString(path)).suffix().toUpper();
  if (path.empty() || suffix == QLatin1String("WAV")) return std::make_unique<media::InputWav>();
  if (suffix == QLatin1String("MP3")) return std::make_unique<media::InputMP3>();
  // Every other extension is read as Ogg Vorbis, whatever the name says.
  return std::make_unique<media::InputVorbis>();
}

int32_t TransportController::EndOfFile() {
  if (!current_item_) return 0;
  try {
    const int32_t loaded_length = current_item_->length;
    input_->Open(current_item_->path, *current_item_);
    input_->Close();
    if (current_item_->length != loaded_length) ShowLength();
  } catch (const std::exception&) {
    // Unreadable now: the next Play reports why; the end stays where it was known.
  }
  return std::max(current_item_->length, 0);
}

void TransportController::ShowLength() {
  media::InputFormat format;
  input_->GetFormat(format);
  view_.ShowFile(current_item_.get(), format);
  view_.SetSliderMaximum(std::max(current_item_->length, 0));
}

void TransportController::ShowNoFile() {
  view_.ShowFile(nullptr, media::InputFormat{});
  view_.SetSliderMaximum(0);
  view_.ShowCounter(position_);
  speed_step_ = 8;
  view_.ShowSpeed(SpeedText(speed_step_));
  SetButtonStates(kMaskRec);
}

// ---------------------------------------------------------------------------------------------
// Play, stop, pause

void TransportController::PlayBtnClick() {
  // The button toggled itself before it asked; an ignored click puts it back.
  if (!Admit(DuringDelayedStop::kIgnored, [this] { PlayOrStop(); })) {
    view_.SetPlayDown(!view_.PlayDown());
  }
}

void TransportController::PlayOrStop() {
  if (view_.PlayDown()) {
    StartPlay();
  } else if (repeat_mode_) {
    // Playback cannot be stopped while repeat is on; the click advances the window instead.
    view_.SetPlayDown(true);
    StartPlay();
  } else {
    StopPlay(true);
  }
}

void TransportController::PlayStopKey(bool pressed) {
  Admit(DuringDelayedStop::kIgnored, [this, pressed] {
    if (!settings_.NonLockMode) {
      if (!pressed) return;
      view_.SetPlayDown(!view_.PlayDown());
    } else if (pressed) {
      // The key's auto-repeat while it is held finds Play down already and does nothing.
      if (view_.PlayDown()) return;
      view_.SetPlayDown(true);
    } else {
      view_.SetPlayDown(false);
    }
    PlayOrStop();
  });
}

void TransportController::StartPlay() {
  switch (input_->GetState()) {
    case media::kStateStopped: {
      SetButtonStates(kMaskPlaying);
      view_.EnableSettingsMenu(false);
      if (!current_item_) return;
      // Every start, even one that fails, makes the notices of earlier playbacks stale.
      const uint64_t playback = ++playback_serial_;
      try {
        const int32_t loaded_length = current_item_->length;
        input_->Open(current_item_->path, *current_item_);
        if (current_item_->length != loaded_length) ShowLength();
        if (position_ > current_item_->length) {
          // The file was shortened by another program after it was loaded.
          input_->Close();
          position_ = std::max(current_item_->length, 0);
          view_.SetPlayDown(false);
          SetButtonStates(kMaskStopped);
          view_.EnableSettingsMenu(true);
          view_.SetSliderPosition(position_);
          view_.ShowCounter(position_);
          view_.ShowMessage(
              QStringLiteral("ファイルが読み込んだ時より短くなっているため、再生できません。\n"
                             "再生位置をファイルの終わりに移しました。"));
          return;
        }
        // Open has waited for any earlier reader to end, so the callback can be replaced: the
        // new one carries this playback's number.
        input_->SetNotify([this, playback](int32_t code) { OnInputNotify(code, playback); }, this);
        input_->Start(position_);
      } catch (...) {
        // Nothing plays: put the window back into the stopped state before the error is shown,
        // so that it does not look as if playback were running.
        input_->Close();
        view_.SetPlayDown(false);
        view_.SetPauseDown(false);
        SetButtonStates(kMaskStopped);
        view_.EnableSettingsMenu(true);
        throw;
      }
      break;
    }
    case media::kStatePlaying:
      if (repeat_mode_) {
        const int32_t rev = settings_.RevSec;
        input_->RequestSeek(std::max(repeat_end_ - rev, 0));
        repeat_end_ += settings_.RepeatSec - rev;
      } else {
        StopPlay(true);
      }
      break;
    default:  // paused
      break;
  }
}

void TransportController::WaitOutDelay() {
  const int32_t delay = settings_.DelaySec;
  if (delay <= 0 || stopping_) return;
  // Playback, the position poll and painting go on while the stop is delayed; commands that
  // arrive meanwhile follow the rule written beside each.
  SetButtonStates(kMaskNone);
  stopping_ = true;
  ended_while_stopping_ = false;
  delay_ticks_ = 0;
  timer_delay_->start();
  while (delay_ticks_ < delay) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  timer_delay_->stop();
  stopping_ = false;
  // The data ran out during the wait: playback reached the end of the file.
  if (ended_while_stopping_) position_ = EndOfFile();
}

void TransportController::StopPlay(bool step_back) {
  WaitOutDelay();
  view_.SetPauseDown(false);
  SetButtonStates(kMaskStopped);
  view_.EnableSettingsMenu(true);
  input_->RequestStop();
  input_->Close();
  if (step_back) position_ = std::max(position_ - settings_.RevSec, 0);
  view_.SetSliderPosition(position_);
  view_.ShowCounter(position_);

  // What waited for the stop runs now, in the order it came.
  std::vector<std::function<void()>> waiting;
  waiting.swap(after_stop_);
  for (auto& action : waiting) action();
}

void TransportController::PauseBtnClick() {
  if (view_.PlayDown()) {
    TogglePause();
  } else {
    view_.SetPauseDown(false);
  }
}

void TransportController::TogglePause() {
  Admit(DuringDelayedStop::kActs, [this] {
    switch (input_->GetState()) {
      case media::kStatePlaying:
        view_.SetPauseDown(true);
        input_->RequestPause();
        // A reader already ending (the last block playing out) drops the pause: the button
        // shows what happened, not what was asked.
        if (input_->GetState() != media::kStatePaused) view_.SetPauseDown(false);
        break;
      case media::kStatePaused:
        view_.SetPauseDown(false);
        input_->RequestResume();
        break;
      default:
        view_.SetPauseDown(false);
        break;
    }
  });
}

void TransportController::FastForward() {
  Admit(DuringDelayedStop::kActs, [this] {
    if (input_->GetState() != media::kStatePlaying) return;
    position_ = input_->GetPosition() + settings_.FfRwSec;
    input_->RequestSeek(position_);
    view_.SetSliderPosition(position_);
    view_.ShowCounter(position_);
  });
}

void TransportController::Rewind() {
  Admit(DuringDelayedStop::kActs, [this] {
    if (input_->GetState() != media::kStatePlaying) return;
    position_ = std::max(input_->GetPosition() - settings_.FfRwSec, 0);
    input_->RequestSeek(position_);
    view_.SetSliderPosition(position_);
    view_.ShowCounter(position_);
  });
}

void TransportController::ResetPosition() {
  Admit(DuringDelayedStop::kIgnored, [this] {
    if (view_.PlayDown()) {
      input_->RequestSeek(0);  // the counter follows at the next poll
      return;
    }
    StopPlay(false);
    position_ = 0;
    view_.SetSliderPosition(0);
    view_.ShowCounter(0);
  });
}

// ---------------------------------------------------------------------------------------------
// Repeat

void TransportController::RepeatBtnClick() {
  Admit(DuringDelayedStop::kActs, [this] {
    if (view_.RepeatDown()) {
      repeat_mode_ = true;
      repeat_end_ = position_ + settings_.RepeatSec;
    } else {
      repeat_mode_ = false;
    }
  });
}

void TransportController::ToggleRepeat() {
  if (settings_.NonLockMode) return;
  view_.SetRepeatDown(!view_.RepeatDown());
  RepeatBtnClick();
}

void TransportController::EnableRepeat(bool on) {
  if (on) {
    // Back to what the buttons' state allows: with no file loaded Repeat stays disabled.
    view_.EnableRepeatButton((button_mask_ & kMaskRepeat) != 0);
    return;
  }
  view_.SetRepeatDown(false);
  RepeatBtnClick();
  view_.EnableRepeatButton(false);
}

void TransportController::RepeatJump() {
  // Runs from the event loop, not inside the poll, so that the poll and painting go on while a
  // delayed stop waits here. The condition is checked again: the jump may have been overtaken.
  if (stopping_ || !repeat_mode_ || input_->GetState() != media::kStatePlaying) return;
  const int32_t p = input_->GetPosition();
  if (p < repeat_end_) return;
  StopPlay(false);
  backend_.PlaySoundFile(settings_.DelimiterFileName);
  position_ = std::max(p - settings_.RepeatSec, 0);
  StartPlay();
}

// ---------------------------------------------------------------------------------------------
// Speed

TransportController::SpeedChange TransportController::ChangeSpeed(bool up) {
  if ((up && speed_step_ == 0) || (!up && speed_step_ == 16)) return SpeedChange::kRefused;
  // Not during a delayed stop (the change would stop inside the stop), and not twice while its
  // warning is showing (a speed key pressed again behind the dialog).
  if (stopping_ || confirming_speed_) return SpeedChange::kRefused;
  // A step away from normal speed that would drive the device beyond the rates it opens at is
  // refused before anything stops; steps towards normal speed are always taken.
  const int32_t next = speed_step_ + (up ? -4 : 4);
  if (std::abs(next - 8) > std::abs(speed_step_ - 8) && !DeviceTakes(next)) {
    view_.ShowMessage(
        QStringLiteral("この再生速度は、このファイルのサンプリング周波数（%1Hz）では\n"
                       "サウンドデバイスの対応範囲を超えるため選べません")
            .arg(current_item_ ? current_item_->sample_rate : 0));
    return SpeedChange::kRefused;
  }
  if (settings_.DspAlert) {
    confirming_speed_ = true;
    const bool go_on = view_.ConfirmSpeedChange();
    confirming_speed_ = false;
    if (!go_on) {
      view_.ShowMessage(QStringLiteral("再生速度変更処理を中止しました"));
      return SpeedChange::kDeclined;
    }
    // A stop may have begun while the warning was showing.
    if (stopping_) return SpeedChange::kRefused;
  }
  if (output_->Stretching()) {
    // Keeping the pitch, the stretcher takes the new tempo in place: playback goes on (or
    // resumes) at the new speed without stopping, and is heard within a block.
    speed_step_ += up ? -4 : 4;
    view_.ShowSpeed(SpeedText(speed_step_));
    output_->SetSpeedDivisor(SpeedDivisor(speed_step_));
    return SpeedChange::kChanged;
  }
  const bool was_playing = input_->GetState() == media::kStatePlaying;
  if (was_playing) StopPlay(false);
  speed_step_ += up ? -4 : 4;
  view_.ShowSpeed(SpeedText(speed_step_));
  output_->SetSpeedDivisor(SpeedDivisor(speed_step_));
  if (!was_playing) return SpeedChange::kChanged;
  QElapsedTimer waited;
  waited.start();
  while (input_->GetState() == media::kStatePlaying) {
    if (waited.elapsed() > kSpeedChangeStopWaitMs) {
      view_.ReportError(QStringLiteral("再生を停止できなかったため、再生を再開しませんでした"));
      return SpeedChange::kChanged;
    }
    QThread::msleep(5);
  }
  StartPlay();
  return SpeedChange::kChanged;
}

bool TransportController::DeviceTakes(int32_t speed_step) const {
  // Keeping the pitch, the device always runs at the file's own rate.
  if (settings_.KeepPitch || !current_item_ || current_item_->sample_rate <= 0) return true;
  const int64_t rate = int64_t{current_item_->sample_rate} * 8 / SpeedDivisor(speed_step);
  return rate >= platform::kMinDeviceRate && rate <= platform::kMaxDeviceRate;
}

void TransportController::ResetSpeed() {
  // One step at a time towards normal speed; a declined step is offered again. A step that
  // cannot be taken now ends the walk rather than trying for ever.
  while (speed_step_ != 8) {
    if (ChangeSpeed(speed_step_ > 8) == SpeedChange::kRefused) break;
  }
}

// ---------------------------------------------------------------------------------------------
// Slider and counter

void TransportController::SliderProc(int code, int thumb_position) {
  Admit(DuringDelayedStop::kActs, [&] {
    const int32_t length = Length();
    const bool playing = input_->GetState() == media::kStatePlaying;
    switch (code) {
      case kLineDown:
      case kPageDown:
      case kLineUp:
      case kPageUp: {
        // Kept within the file: a seek before its start would be a negative sample index.
        const int32_t step = (code == kLineDown || code == kPageDown) ? 1 : -1;
        position_ = std::clamp(position_ + step, 0, std::max(length, 0));
        if (playing) input_->RequestSeek(position_);
        view_.SetSliderPosition(position_);
        view_.ShowCounter(position_);
        break;
      }
      case kThumbPosition: {
        const int32_t state = input_->GetState();
        if (state == media::kStateStopped) {
          position_ = thumb_position;
          view_.ShowCounter(position_);
        } else if (state == media::kStatePlaying) {
          input_->RequestSeek(thumb_position);
          position_ = thumb_position;
        }
        dragging_ = false;
        view_.HideSeekPreview();
        view_.SetSliderPosition(position_);
        view_.ShowCounter(position_);
        break;
      }
      case kThumbTrack:
        if (!dragging_) {
          dragging_ = true;
        } else {
          view_.ShowSeekPreview(thumb_position);
        }
        break;
      default:
        break;  // top, bottom, end of tracking: the slider's own handling
    }
  });
}

void TransportController::SetCounterTo(int32_t seconds) {
  Admit(DuringDelayedStop::kIgnored, [this, seconds] {
    if (seconds < 0 || seconds > Length()) return;
    switch (input_->GetState()) {
      case media::kStateStopped:
        position_ = seconds;
        view_.ShowCounter(position_);
        view_.SetSliderPosition(position_);
        break;
      case media::kStatePlaying:
        input_->RequestSeek(seconds);
        position_ = seconds;
        break;
      default:
        break;  // paused: nothing moves
    }
  });
}

void TransportController::SetButtonStates(int mask) {
  button_mask_ = mask;
  view_.EnableButtons(settings_.NonLockMode ? (mask & ~kMaskRepeat) : mask);
}

// ---------------------------------------------------------------------------------------------
// Timers and the end of playback

void TransportController::IntTimerTimer() {
  if (input_->GetState() != media::kStatePlaying) return;
  const int32_t p = input_->GetPosition();
  // The repeat jump stops and restarts playback, possibly with a delayed stop: it runs from the
  // event loop after this tick, so that the poll goes on during that stop. During a delayed stop
  // the jump does not run at all (it would start a second stop).
  if (repeat_mode_ && p >= repeat_end_ && !stopping_) {
    QMetaObject::invokeMethod(this, "RepeatJump", Qt::QueuedConnection);
    return;
  }
  position_ = p;
  view_.ShowCounter(position_);
  if (!dragging_) view_.SetSliderPosition(position_);
  view_.AdvanceMarquee();
}

void TransportController::DeviceLost() {
  // The reader has ended and the output is closed. A delayed stop that is waiting finishes by
  // itself; otherwise the window goes to the stopped state here. The counter stays where
  // playback was last heard, so that Play goes on from there once the device is back.
  // A fast-forward or seek past the end may have moved the counter beyond the file before the
  // device went: it is kept within the file, where Play can go on from.
  position_ = std::clamp(position_, 0, std::max(Length(), 0));
  if (!stopping_) {
    StopPlay(false);
    view_.SetPlayDown(false);
    SetButtonStates(kMaskStopped);
  }
  view_.ReportError(kDeviceLostMessage);
}

void TransportController::TimerDelayTimer() {
  ++delay_ticks_;
}

void TransportController::OnInputNotify(int32_t code, uint64_t playback) {
  // Reader thread: only the hand-over; the main thread handles the notice.
  main_thread_.Post([this, code, playback] { DeliverInputNotification(code, playback); });
}

void TransportController::DeliverInputNotification(int32_t code, uint64_t playback) {
  try {
    HandleInputNotify(code, playback);
  } catch (const std::exception& e) {
    view_.ReportError(QString::fromStdString(e.what()));
  }
}

void TransportController::HandleInputNotify(int32_t code, uint64_t playback) {
  if (code != media::NOTIFY_END && code != media::NOTIFY_DEVICE_LOST) return;
  // The end of an earlier playback, arriving after a new one was started, is not this one's.
  if (playback != playback_serial_ || input_->GetState() != media::kStateStopped) return;
  if (code == media::NOTIFY_DEVICE_LOST) {
    DeviceLost();
    return;
  }
  if (stopping_) {
    // The stop that is waiting finishes the stop; the end only tells it where playback got to.
    ended_while_stopping_ = true;
    return;
  }
  StopPlay(false);
  view_.SetPlayDown(false);
  SetButtonStates(kMaskStopped);
  const std::string error = input_->LastReaderError();
  if (!error.empty()) {
    // The reader gave up on an error: the counter stays where playback was last seen (within
    // the file).
    position_ = std::clamp(position_, 0, std::max(Length(), 0));
    view_.SetSliderPosition(position_);
    view_.ShowCounter(position_);
    view_.ReportError(QString::fromStdString(error));
    return;
  }
  // Playback ran to the end of the data (also after a jump past it): the counter shows the end,
  // not the last poll, which may be up to a poll short of it or beyond the file. The length is
  // read again first: the file may have been shortened since it was loaded.
  if (current_item_) {
    position_ = EndOfFile();
    view_.SetSliderPosition(position_);
    view_.ShowCounter(position_);
  }
}

}  // namespace app
