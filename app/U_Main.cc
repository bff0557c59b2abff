#include "app/U_Main.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <algorithm>

#include "app/ErrorReport.h"
#include "media/InputMP3.h"
#include "media/InputVorbis.h"
#include "media/InputWav.h"
#include "media/MMException.h"
#include "ui/Alert.h"
#include "ui/Desktop.h"
#include "ui/Fonts.h"
#include "ui/MessageBox.h"
#include "ui/ModalResult.h"
#include "ui/Setcounter.h"
#include "ui/SpeedButton.h"
#include "ui/VerbatAbout.h"

namespace app {
namespace {

const QColor kPanelColour(0xD3, 0xD7, 0xC4);
const QColor kFileNameColour(0x35, 0x4B, 0x30);
const QColor kCounterColour(0x00, 0x00, 0x80);
const QColor kSeekPreviewColour(0xFF, 0x80, 0x00);

constexpr int kClientWidth = 339;
constexpr int kClientHeight = 118;
constexpr int kCounterX = 285;
constexpr int kCounterY = 15;
constexpr int kFormatX = 15;
constexpr int kFormatY = 40;

// How long a speed change waits for the reader to leave the playing state before it gives up
// restarting (the stop itself waits for the reader already; this only guards a reader that
// never ends).
constexpr int kSpeedChangeStopWaitMs = 3000;

const QString kOpenFilter = QStringLiteral("Wave,MP3,OggVorbis Files (*.wav *.mp3 *.ogg)");

bool KnownDropExtension(const QString& path) {
  const QString suffix = QFileInfo(path).suffix().toUpper();
  return suffix == QLatin1String("WAV") || suffix == QLatin1String("MP3") ||
         suffix == QLatin1String("OGG");
}

// Transport settings read from a hand-edited file are not range-checked there; values that
// would make the transport misbehave (a delayed stop that never ends, a repeat window of no
// length, a step back that moves forward) are taken at the nearest sensible value.
int32_t AtLeast(int32_t value, int32_t minimum) { return std::max(value, minimum); }

QPixmap GlyphStrip(const char* name) {
  return QPixmap(QStringLiteral(":/glyphs/%1.xpm").arg(QLatin1String(name)));
}

}  // namespace

QString SpeedText(int32_t speed_step) {
  switch (speed_step) {
    case 0: return QStringLiteral(" 4 ");
    case 4: return QStringLiteral(" 2 ");
    case 8: return QStringLiteral(" 1 ");
    case 12: return QStringLiteral("2/3");
    case 16: return QStringLiteral("1/2");
    default: return QStringLiteral(" 1 ");
  }
}

int32_t SpeedDivisor(int32_t speed_step) {
  // Step 0 (four times) is driven with divisor 2: the step itself would divide by zero.
  switch (speed_step) {
    case 0: return 2;
    case 4: return 4;
    case 12: return 12;
    case 16: return 16;
    default: return 8;
  }
}

// The client area: paints the information panel and holds the controls at their places.
class TMainForm::ClientArea : public QWidget {
 public:
  ClientArea(TMainForm* form) : QWidget(form), form_(form) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    form_->FormPaint(painter);
  }

 private:
  TMainForm* form_;
};

QWidget* TMainForm::Client() const { return client_; }

template <class F>
void TMainForm::Guarded(F&& handler) {
  try {
    handler();
  } catch (...) {
    ReportCurrentException(this);
  }
}

TMainForm::TMainForm(platform::AudioBackend& backend, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      backend_(backend) {
  setWindowTitle(QStringLiteral("Verbat"));
  setWindowIcon(QIcon(QPixmap(QStringLiteral(":/glyphs/verbat.xpm"))));
  setFont(ui::WindowFont());
  BuildMenus();
  BuildControls();
  setAcceptDrops(true);

  // The window starts with an empty WAV input and its output: no file loaded.
  input_ = std::make_unique<media::InputWav>();
  AttachOutput();
  ClearDisplay();
  DrawCounter(position_);

  int_timer_ = new QTimer(this);
  int_timer_->setInterval(250);
  connect(int_timer_, &QTimer::timeout, this, [this] { Guarded([this] { IntTimerTimer(); }); });
  timer_delay_ = new QTimer(this);
  timer_delay_->setInterval(1000);
  connect(timer_delay_, &QTimer::timeout, this, [this] { TimerDelayTimer(); });
  int_timer_->start();

  EnableRepeat(!settings_.NonLockMode);
}

TMainForm::~TMainForm() {
  // The reader must be gone before the output it writes to and this window it notifies.
  if (input_) {
    input_->RequestStop();
    input_->Close();
    input_.reset();
  }
  output_.reset();
}

void TMainForm::BuildMenus() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("ファイル(&F)"));
  open1_ = file->addAction(QStringLiteral("開く(&O)..."));
  save_as1_ = file->addAction(QStringLiteral("名前をつけて保存(&A)..."));
  save_as1_->setEnabled(false);
  file->addSeparator();
  exit1_ = file->addAction(QStringLiteral("終了(&X)"));

  QMenu* player = menuBar()->addMenu(QStringLiteral("プレーヤ(&P)"));
  n4_ = player->addAction(QStringLiteral("カウンタコピー(&C)"));
  n5_ = player->addAction(QStringLiteral("カウンタ指定(&P)..."));

  QMenu* options = menuBar()->addMenu(QStringLiteral("オプション(&O)"));
  mnu_prop_ = options->addAction(QStringLiteral("設定(&S)..."));
  mnu_equalizer_ = options->addAction(QStringLiteral("ｲｺﾗｲｻﾞ(&E)..."));
  mnu_equalizer_->setCheckable(true);
  mnu_equalizer_->setEnabled(false);

  QMenu* help = menuBar()->addMenu(QStringLiteral("ヘルプ(&H)"));
  help_index1_ = help->addAction(QStringLiteral("目次とキーワード(&C)"));
  mnu_help_about_ = help->addAction(QStringLiteral("バージョン情報(&A)..."));

  connect(open1_, &QAction::triggered, this, [this] { Guarded([this] { Open1Click(); }); });
  connect(save_as1_, &QAction::triggered, this, [this] {
    ui::ShowMessage(this, QStringLiteral("名前をつけて保存はこの版ではまだ使用できません"),
                    ui::MsgIcon::kInformation);
  });
  connect(exit1_, &QAction::triggered, this, [this] { close(); });
  connect(n4_, &QAction::triggered, this, [this] { Guarded([this] { CopyCounter(); }); });
  connect(n5_, &QAction::triggered, this, [this] { Guarded([this] { SetCounter(); }); });
  connect(mnu_prop_, &QAction::triggered, this, [this] {
    ui::ShowMessage(this, QStringLiteral("設定画面はこの版ではまだ使用できません"),
                    ui::MsgIcon::kInformation);
  });
  connect(mnu_equalizer_, &QAction::triggered, this,
          [this] { Guarded([this] { mnuEqualizerClick(); }); });
  connect(help_index1_, &QAction::triggered, this,
          [this] { Guarded([this] { HelpIndex1Click(); }); });
  connect(mnu_help_about_, &QAction::triggered, this,
          [this] { Guarded([this] { mnuHelpAboutClick(); }); });
}

void TMainForm::BuildControls() {
  client_ = new ClientArea(this);
  client_->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client_);

  track_bar_ = new QSlider(Qt::Horizontal, client_);
  track_bar_->setGeometry(1, 65, 337, 23);
  track_bar_->setRange(0, 0);
  track_bar_->setSingleStep(1);
  track_bar_->setPageStep(1);
  track_bar_->setTickPosition(QSlider::NoTicks);
  track_bar_->setTracking(false);
  connect(track_bar_, &QSlider::actionTriggered, this,
          [this](int action) { Guarded([this, action] { SliderAction(action); }); });
  connect(track_bar_, &QSlider::sliderReleased, this, [this] {
    Guarded([this] { SliderProc(kThumbPosition, track_bar_->sliderPosition()); });
  });

  auto make_button = [this](const char* glyph, int x, int w, bool checkable) {
    auto* button = new ui::TSpeedButton(client_);
    button->setGeometry(x, 95, w, 19);
    button->SetGlyph(GlyphStrip(glyph));
    button->setCheckable(checkable);
    return button;
  };
  rec_btn_ = make_button("REC", 11, 30, true);
  reset_btn_ = make_button("RST", 50, 33, false);
  play_btn_ = make_button("PLAY", 83, 33, true);
  pause_btn_ = make_button("PAUSE", 127, 22, true);
  repeat_btn_ = make_button("REPEAT", 155, 42, true);
  repeat_btn_->setToolTip(QStringLiteral("リピート指定中は再生を停止出来ません"));

  connect(rec_btn_, &QAbstractButton::clicked, this, [this] {
    // Recording arrives with the recorder; until then the button only says so.
    rec_btn_->setChecked(false);
    ui::ShowMessage(this, QStringLiteral("録音はこの版ではまだ使用できません"),
                    ui::MsgIcon::kInformation);
  });
  connect(reset_btn_, &QAbstractButton::clicked, this,
          [this] { Guarded([this] { ResetPosition(); }); });
  connect(play_btn_, &QAbstractButton::clicked, this,
          [this] { Guarded([this] { PlayBtnClick(); }); });
  connect(pause_btn_, &QAbstractButton::clicked, this,
          [this] { Guarded([this] { PauseBtnClick(); }); });
  connect(repeat_btn_, &QAbstractButton::clicked, this,
          [this] { Guarded([this] { RepeatBtnClick(); }); });

  eq_btn_ = new QPushButton(QStringLiteral("EQ"), client_);
  eq_btn_->setGeometry(238, 95, 33, 19);
  eq_btn_->setFocusPolicy(Qt::NoFocus);
  eq_btn_->setEnabled(false);
  connect(eq_btn_, &QPushButton::clicked, this,
          [this] { Guarded([this] { mnuEqualizerClick(); }); });

  speed_label_ = new QLabel(QStringLiteral("速度"), client_);
  speed_label_->setFont(ui::WindowFont(11));
  speed_label_->setGeometry(278, 99, 26, 13);

  speed_ = new QLineEdit(QStringLiteral(" 1"), client_);
  speed_->setGeometry(301, 95, 26, 18);
  speed_->setReadOnly(true);
  speed_->setFocusPolicy(Qt::NoFocus);
  speed_->setTextMargins(0, 0, 0, 0);
  speed_->setStyleSheet(QStringLiteral("QLineEdit { padding: 0px; }"));

  up_bit_btn_ = new ui::TSpeedButton(client_);
  up_bit_btn_->setGeometry(327, 95, 10, 9);
  up_bit_btn_->SetGlyph(ui::ArrowGlyph(true, 8, 7));
  down_bit_btn_ = new ui::TSpeedButton(client_);
  down_bit_btn_->setGeometry(327, 105, 10, 9);
  down_bit_btn_->SetGlyph(ui::ArrowGlyph(false, 8, 7));
  connect(up_bit_btn_, &QAbstractButton::clicked, this,
          [this] { Guarded([this] { UpBitBtnClick(true); }); });
  connect(down_bit_btn_, &QAbstractButton::clicked, this,
          [this] { Guarded([this] { UpBitBtnClick(false); }); });

  // At start: Rec enabled, the other four disabled until a file is loaded.
  SetButtonStates(kMaskRec);

  // The client area is fixed; the window is as large as it and the menu bar together.
  setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
}

void TMainForm::AttachDialogs(ui::TAlertForm* alert, ui::TSetCounterForm* counter) {
  if (alert != alert_form_) {
    disconnect(alert_connection_);
    alert_form_ = alert;
    if (alert_form_ != nullptr) {
      alert_connection_ = connect(alert_form_, &ui::TAlertForm::DspAlertChanged, this,
                                  [this](bool on) { settings_.DspAlert = on; });
    }
  }
  counter_form_ = counter;
  if (counter_form_ != nullptr) counter_form_->SetMainWindow(this);
}

ui::TAlertForm& TMainForm::AlertForm() {
  if (alert_form_ == nullptr) {
    own_alert_form_ = std::make_unique<ui::TAlertForm>(this);
    AttachDialogs(own_alert_form_.get(), counter_form_);
  }
  return *alert_form_;
}

ui::TSetCounterForm& TMainForm::CounterForm() {
  if (counter_form_ == nullptr) {
    own_counter_form_ = std::make_unique<ui::TSetCounterForm>(this);
    AttachDialogs(alert_form_, own_counter_form_.get());
  }
  return *counter_form_;
}

void TMainForm::SetEqualizerWindow(QWidget* equalizer) {
  equalizer_ = equalizer;
  eq_btn_->setEnabled(equalizer_ != nullptr);
  mnu_equalizer_->setEnabled(equalizer_ != nullptr);
}

void TMainForm::ApplyOptions(const TransportSettings& settings) {
  settings_ = settings;
  output_->SetSpeedDivisor(SpeedDivisor(speed_step_));
  EnableRepeat(!settings_.NonLockMode);
}

void TMainForm::AttachOutput() {
  output_ = std::make_unique<media::OutputAudio>(backend_);
  output_->SetSpeedDivisor(8);
  input_->SetOutput(output_.get());
  // The reader thread must not touch the window: OnInputNotify only queues the code, stamped
  // with the playback it belongs to, for the main thread.
  input_->SetNotify([this](int32_t code) { OnInputNotify(code); }, this);
}

// ---------------------------------------------------------------------------------------------
// Transport

void TMainForm::PlayBtnClick() {
  if (play_btn_->isChecked()) {
    StartPlay();
  } else if (repeat_mode_) {
    // Playback cannot be stopped while repeat is on; the click advances the window instead.
    play_btn_->setChecked(true);
    StartPlay();
  } else {
    StopPlay(true);
  }
}

void TMainForm::StartPlay() {
  switch (input_->GetState()) {
    case media::kStateStopped: {
      SetButtonStates(kMaskPlaying);
      mnu_prop_->setEnabled(false);
      if (!current_item_) return;
      try {
        input_->Open(current_item_->path, *current_item_);
        playback_serial_.fetch_add(1);
        input_->Start(position_);
      } catch (...) {
        // Nothing plays: put the window back into the stopped state before the error is shown,
        // so that it does not look as if playback were running.
        input_->Close();
        play_btn_->setChecked(false);
        pause_btn_->setChecked(false);
        SetButtonStates(kMaskStopped);
        mnu_prop_->setEnabled(true);
        throw;
      }
      break;
    }
    case media::kStatePlaying:
      if (repeat_mode_) {
        const int32_t rev = AtLeast(settings_.RevSec, 0);
        input_->RequestSeek(std::max(repeat_end_ - rev, 0));
        repeat_end_ += AtLeast(settings_.RepeatSec, 1) - rev;
      } else {
        StopPlay(true);
      }
      break;
    default:  // paused
      break;
  }
}

void TMainForm::StopPlay(bool step_back) {
  const int32_t delay = AtLeast(settings_.DelaySec, 0);
  if (delay > 0 && !stopping_) {
    // Playback, the poll and painting go on while the stop is delayed.
    SetButtonStates(kMaskNone);
    stopping_ = true;
    delay_ticks_ = 0;
    timer_delay_->start();
    while (delay_ticks_ < delay) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    timer_delay_->stop();
    stopping_ = false;
  }
  pause_btn_->setChecked(false);
  SetButtonStates(kMaskStopped);
  mnu_prop_->setEnabled(true);
  input_->RequestStop();
  input_->Close();
  if (step_back) position_ = std::max(position_ - AtLeast(settings_.RevSec, 0), 0);
  track_bar_->setValue(position_);
  DrawCounter(position_);
}

void TMainForm::PauseBtnClick() {
  if (play_btn_->isChecked()) {
    TogglePause();
  } else {
    pause_btn_->setChecked(false);
  }
}

void TMainForm::TogglePause() {
  switch (input_->GetState()) {
    case media::kStatePlaying:
      pause_btn_->setChecked(true);
      input_->RequestPause();
      break;
    case media::kStatePaused:
      pause_btn_->setChecked(false);
      input_->RequestResume();
      break;
    default:
      pause_btn_->setChecked(false);
      break;
  }
}

void TMainForm::FastForward() {
  if (input_->GetState() != media::kStatePlaying) return;
  position_ = input_->GetPosition() + AtLeast(settings_.FfRwSec, 0);
  input_->RequestSeek(position_);
  RefreshDisplay();
}

void TMainForm::Rewind() {
  if (input_->GetState() != media::kStatePlaying) return;
  position_ = std::max(input_->GetPosition() - AtLeast(settings_.FfRwSec, 0), 0);
  input_->RequestSeek(position_);
  RefreshDisplay();
}

void TMainForm::ResetPosition() {
  if (play_btn_->isChecked()) {
    input_->RequestSeek(0);  // the counter follows at the next poll
    return;
  }
  StopPlay(false);
  position_ = 0;
  track_bar_->setValue(0);
  DrawCounter(0);
}

void TMainForm::RepeatBtnClick() {
  if (repeat_btn_->isChecked()) {
    repeat_mode_ = true;
    repeat_end_ = position_ + AtLeast(settings_.RepeatSec, 1);
  } else {
    repeat_mode_ = false;
  }
}

void TMainForm::ToggleRepeat() {
  if (settings_.NonLockMode) return;
  repeat_btn_->setChecked(!repeat_btn_->isChecked());
  RepeatBtnClick();
}

void TMainForm::EnableRepeat(bool on) {
  if (on) {
    repeat_btn_->setEnabled(true);
    return;
  }
  repeat_btn_->setChecked(false);
  RepeatBtnClick();
  repeat_btn_->setEnabled(false);
}

void TMainForm::UpBitBtnClick(bool up) { ChangeSpeed(up); }

void TMainForm::ChangeSpeed(bool up) {
  if ((up && speed_step_ == 0) || (!up && speed_step_ == 16)) return;
  // The speed buttons stay enabled during a delayed stop; a change then would start a second
  // stop inside the first.
  if (stopping_) return;
  if (settings_.DspAlert) {
    if (AlertForm().exec() == ui::kModalCancel) {
      ui::ShowMessage(this, QStringLiteral("再生速度変更処理を中止しました"));
      return;
    }
  }
  const bool was_playing = input_->GetState() == media::kStatePlaying;
  if (was_playing) StopPlay(false);
  speed_step_ += up ? -4 : 4;
  speed_->setText(SpeedText(speed_step_));
  output_->SetSpeedDivisor(SpeedDivisor(speed_step_));
  if (!was_playing) return;
  QElapsedTimer waited;
  waited.start();
  while (input_->GetState() == media::kStatePlaying) {
    if (waited.elapsed() > kSpeedChangeStopWaitMs) {
      ReportError(this, QStringLiteral("再生を停止できなかったため、再生を再開しませんでした"));
      return;
    }
    QThread::msleep(5);
  }
  StartPlay();
}

void TMainForm::ResetSpeed() {
  // A declined step is offered again, until the speed is back to normal.
  while (speed_step_ != 8 && !stopping_) ChangeSpeed(speed_step_ > 8);
}

void TMainForm::OnInputNotify(int32_t code) {
  // Reader thread: queue the code and ask the main thread, by a queued call, to deliver it.
  {
    std::lock_guard lock(notify_mutex_);
    pending_notifications_.push_back({code, playback_serial_.load()});
  }
  QMetaObject::invokeMethod(this, "DeliverInputNotifications", Qt::QueuedConnection);
}

void TMainForm::DeliverInputNotifications() {
  std::deque<PendingNotification> pending;
  {
    std::lock_guard lock(notify_mutex_);
    pending.swap(pending_notifications_);
  }
  for (const PendingNotification& notification : pending) {
    Guarded([&] { HandleInputNotify(notification.code, notification.playback); });
  }
}

void TMainForm::HandleInputNotify(int32_t code, uint64_t playback) {
  if (code != media::NOTIFY_END) return;
  // The end of an earlier playback, arriving after a new one was started, is not this one's.
  if (playback != playback_serial_.load() || input_->GetState() != media::kStateStopped) return;
  StopPlay(false);
  play_btn_->setChecked(false);
  SetButtonStates(kMaskStopped);
  const std::string error = input_->LastReaderError();
  if (!error.empty()) {
    // The reader gave up on an error: the counter stays where playback was last seen.
    ReportError(this, QString::fromStdString(error));
    return;
  }
  // Playback ran to the end of the data (also after a jump past it): the counter shows the end,
  // not the last poll, which may be up to a poll short of it or beyond the file.
  if (current_item_) {
    position_ = current_item_->length;
    track_bar_->setValue(position_);
    DrawCounter(position_);
  }
}

void TMainForm::IntTimerTimer() {
  if (in_tick_ || input_->GetState() != media::kStatePlaying) return;
  in_tick_ = true;
  struct TickGuard {
    bool& flag;
    ~TickGuard() { flag = false; }
  } guard{in_tick_};

  const int32_t p = input_->GetPosition();
  // During a delayed stop the poll goes on, but the repeat jump would start a second stop.
  if (repeat_mode_ && p >= repeat_end_ && !stopping_) {
    StopPlay(false);
    backend_.PlaySoundFile(settings_.DelimiterFileName);
    position_ = std::max(p - AtLeast(settings_.RepeatSec, 1), 0);
    StartPlay();
    return;
  }
  position_ = p;
  DrawCounter(position_);
  if (!dragging_) track_bar_->setValue(position_);
  AdvanceMarquee();
  client_->update();
}

void TMainForm::TimerDelayTimer() { ++delay_ticks_; }

void TMainForm::SliderAction(int action) {
  switch (action) {
    case QAbstractSlider::SliderSingleStepAdd: SliderProc(kLineDown); break;
    case QAbstractSlider::SliderSingleStepSub: SliderProc(kLineUp); break;
    case QAbstractSlider::SliderPageStepAdd: SliderProc(kPageDown); break;
    case QAbstractSlider::SliderPageStepSub: SliderProc(kPageUp); break;
    case QAbstractSlider::SliderMove: SliderProc(kThumbTrack, track_bar_->sliderPosition()); break;
    case QAbstractSlider::SliderToMinimum: SliderProc(kTop); break;
    case QAbstractSlider::SliderToMaximum: SliderProc(kBottom); break;
    default: break;
  }
}

void TMainForm::SliderProc(int code, int thumb_position) {
  const int32_t length = current_item_ ? current_item_->length : 0;
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
      track_bar_->setSliderPosition(position_);
      DrawCounter(position_);
      break;
    }
    case kThumbPosition: {
      const int32_t state = input_->GetState();
      if (state == media::kStateStopped) {
        position_ = thumb_position;
        DrawCounter(position_);
      } else if (state == media::kStatePlaying) {
        input_->RequestSeek(thumb_position);
        position_ = thumb_position;
      }
      dragging_ = false;
      seek_preview_.clear();
      RefreshDisplay();
      break;
    }
    case kThumbTrack:
      if (!dragging_) {
        dragging_ = true;
      } else {
        DrawSeekPreview(thumb_position);
      }
      break;
    default:
      break;  // top, bottom, end of tracking: the slider's own handling
  }
}

void TMainForm::SetButtonStates(int mask) {
  rec_btn_->setEnabled(mask & kMaskRec);
  reset_btn_->setEnabled(mask & kMaskReset);
  play_btn_->setEnabled(mask & kMaskPlay);
  pause_btn_->setEnabled(mask & kMaskPause);
  repeat_btn_->setEnabled((mask & kMaskRepeat) && !settings_.NonLockMode);
}

// ---------------------------------------------------------------------------------------------
// Files

bool TMainForm::CanLoadFile() {
  if (input_->GetState() == media::kStatePlaying) {
    ui::ShowMessage(this, QStringLiteral("再生を停止してから再度実行して下さい"));
    return false;
  }
  if (rec_btn_->isChecked()) {
    ui::ShowMessage(this, QStringLiteral("録音を停止してから再度実行して下さい"));
    return false;
  }
  if (unsaved_) {
    const ui::MsgResult answer = ui::ShowMessage(
        this, QStringLiteral("録音した内容が保存されていません\n\n読み込みを実行しますか？"),
        ui::MsgIcon::kQuestion, ui::MsgButtons::kOkCancel);
    return answer == ui::MsgResult::kOk;
  }
  return true;
}

void TMainForm::Open1Click() {
  if (!CanLoadFile()) return;
  QString folder = QCoreApplication::applicationDirPath();
  QString name;
  if (current_item_) {
    const QFileInfo loaded(QString::fromStdString(current_item_->path));
    folder = loaded.absolutePath();
    name = loaded.fileName();
  }
  QString chosen;
  if (file_chooser_) {
    chosen = file_chooser_(this, folder, name, kOpenFilter);
  } else {
    chosen = ui::ChooseFileToOpen(this, QStringLiteral("開く"), folder, name, kOpenFilter);
  }
  if (chosen.isEmpty()) return;
  LoadFile(chosen);
  SetUnsaved(false);
}

void TMainForm::DropFiles(const QStringList& paths) {
  if (paths.isEmpty() || !CanLoadFile()) return;
  const QString& first = paths.first();  // the others are ignored
  if (!KnownDropExtension(first)) {
    ui::ShowMessage(this, QStringLiteral("対象外の拡張子"));
    return;
  }
  LoadFile(first);
  SetUnsaved(false);
}

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* event) {
  QStringList paths;
  for (const QUrl& url : event->mimeData()->urls()) {
    if (url.isLocalFile()) paths << url.toLocalFile();
  }
  event->acceptProposedAction();
  // The drop is released before the load, so the dragging program is not held up by it.
  QTimer::singleShot(0, this, [this, paths] { Guarded([this, paths] { DropFiles(paths); }); });
}

std::unique_ptr<media::InputMedia> TMainForm::CreateInputFor() const {
  const std::string path = current_item_ ? current_item_->path : std::string();
  const QString suffix = QFileInfo(QString::fromStdString(path)).suffix().toUpper();
  if (path.empty() || suffix == QLatin1String("WAV")) return std::make_unique<media::InputWav>();
  if (suffix == QLatin1String("MP3")) return std::make_unique<media::InputMP3>();
  // Every other extension is read as Ogg Vorbis, whatever the name says.
  return std::make_unique<media::InputVorbis>();
}

void TMainForm::LoadFile(const QString& path) {
  StopPlay(true);
  play_btn_->setChecked(false);
  position_ = 0;

  if (current_item_) input_->Close();
  current_item_.reset();
  input_.reset();
  output_.reset();

  current_item_ = std::make_unique<media::PlayListItem>(path.toStdString());
  try {
    input_ = CreateInputFor();
    input_->Open(current_item_->path, *current_item_);
    input_->Close();
    AttachOutput();
  } catch (...) {
    // No file is loaded afterwards: the window goes back to its empty input.
    current_item_.reset();
    input_ = std::make_unique<media::InputWav>();
    AttachOutput();
    ClearDisplay();
    speed_step_ = 8;
    speed_->setText(SpeedText(speed_step_));
    SetButtonStates(kMaskRec);
    ReportCurrentException(this);
    return;
  }
  RefreshDisplay();
  ResetSpeed();
  SetButtonStates(kMaskStopped);
}

void TMainForm::SetUnsaved(bool unsaved) {
  unsaved_ = unsaved;
  save_as1_->setEnabled(unsaved);
}

// ---------------------------------------------------------------------------------------------
// Display

QString TMainForm::FormatHms(int32_t seconds) {
  const long s = seconds;
  return QString::asprintf("%02ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
}

QString TMainForm::RateText(uint32_t rate) {
  if (rate == 0) return QStringLiteral("0");
  QString text = QString::number(rate / 1000.0, 'f', 3);
  while (text.endsWith(QLatin1Char('0'))) text.chop(1);
  if (text.endsWith(QLatin1Char('.'))) text.chop(1);
  return text;
}

void TMainForm::RefreshDisplay() {
  if (!current_item_) return;
  const QString text = QString::fromStdString(current_item_->path) + QStringLiteral(" (") +
                       FormatHms(current_item_->length) + QStringLiteral(")");
  PrepareMarquee(text);
  DrawCounter(position_);
  track_bar_->setMaximum(std::max(current_item_->length, 0));
  track_bar_->setValue(position_);
  UpdateFormatLine();
  client_->update();
}

void TMainForm::ClearDisplay() {
  marquee_text_.clear();
  marquee_bitmap_ = QPixmap();
  marquee_offset_ = 0;
  marquee_scrolling_ = false;
  format_line_.clear();
  seek_preview_.clear();
  track_bar_->setRange(0, 0);
  DrawCounter(position_);
  client_->update();
}

void TMainForm::DrawCounter(int32_t seconds) {
  counter_text_ = FormatHms(seconds);
  client_->update();
}

void TMainForm::DrawSeekPreview(int32_t seconds) {
  if (!current_item_) return;
  seek_preview_ = QStringLiteral("検索→") + FormatHms(seconds) + QStringLiteral("/") +
                  FormatHms(current_item_->length) + QString(32, QLatin1Char(' '));
  client_->update();
}

void TMainForm::UpdateFormatLine() {
  media::InputFormat format;
  input_->GetFormat(format);
  QString line = QString::asprintf("%sKHz %2dBits", RateText(format.sample_rate).toUtf8().constData(),
                                   int{format.bits_per_sample});
  switch (format.channels) {
    case 0: line += QStringLiteral("              "); break;
    case 1: line += QStringLiteral(" Mono         "); break;
    case 2: line += QStringLiteral(" Stereo       "); break;
    default: break;
  }
  format_line_ = line;
}

void TMainForm::PrepareMarquee(const QString& text) {
  const QFont font = ui::FixedFont();
  const QFontMetrics metrics(font);
  marquee_text_ = text;
  QString bitmap_text;
  if (metrics.horizontalAdvance(text) > kMarqueeWidth) {
    marquee_scrolling_ = true;
    marquee_offset_ = 0;
    bitmap_text = text + QString(5, QLatin1Char(' '));
  } else {
    // Not scrolling: the trailing spaces make a short name cover a longer one drawn before it.
    marquee_scrolling_ = false;
    marquee_offset_ = 0;
    bitmap_text = text + QString(53, QLatin1Char(' '));
  }
  QPixmap bitmap(std::max(metrics.horizontalAdvance(bitmap_text), 1), metrics.height());
  bitmap.fill(kPanelColour);
  QPainter painter(&bitmap);
  painter.setFont(font);
  painter.setPen(kFileNameColour);
  painter.drawText(QRect(0, 0, bitmap.width(), bitmap.height()), Qt::AlignLeft | Qt::AlignTop,
                   bitmap_text);
  marquee_bitmap_ = bitmap;
}

void TMainForm::AdvanceMarquee() {
  if (!marquee_scrolling_ || marquee_bitmap_.isNull()) return;
  marquee_offset_ += 1;
  while (marquee_offset_ > marquee_bitmap_.width()) marquee_offset_ -= marquee_bitmap_.width();
  marquee_offset_ = std::max(marquee_offset_, 0);
}

void TMainForm::DrawMarquee(QPainter& painter) const {
  if (marquee_bitmap_.isNull()) return;
  // Only the bitmap's own rows are copied, so the format line below it stays visible.
  const int height = std::min(kMarqueeHeight, marquee_bitmap_.height());
  const int first = std::min(kMarqueeWidth, marquee_bitmap_.width() - marquee_offset_);
  if (first > 0) {
    painter.drawPixmap(QPoint(kMarqueeX, kMarqueeY), marquee_bitmap_,
                       QRect(marquee_offset_, 0, first, height));
  }
  if (marquee_scrolling_ && first < kMarqueeWidth) {
    const int rest = std::min(kMarqueeWidth - std::max(first, 0), marquee_bitmap_.width());
    painter.drawPixmap(QPoint(kMarqueeX + std::max(first, 0), kMarqueeY), marquee_bitmap_,
                       QRect(0, 0, rest, height));
  }
}

void TMainForm::FormPaint(QPainter& painter) {
  // The panel as a sunken box.
  const QPolygon box({QPoint(3, 3), QPoint(3, 57), QPoint(337, 57), QPoint(337, 3)});
  painter.setPen(Qt::black);
  painter.setBrush(kPanelColour);
  painter.drawPolygon(box);
  painter.setPen(palette().color(QPalette::Light));
  painter.drawPolyline(QPolygon({QPoint(3, 57), QPoint(337, 57), QPoint(337, 3)}));
  painter.setPen(palette().color(QPalette::Dark));
  painter.drawPolyline(QPolygon({QPoint(3, 57), QPoint(3, 3), QPoint(337, 3)}));

  painter.setFont(ui::WindowFont());
  const QFontMetrics metrics(painter.font());
  painter.setPen(Qt::black);
  painter.drawText(QRect(kFormatX, kFormatY, 320, metrics.height()), Qt::AlignLeft | Qt::AlignTop,
                   format_line_);

  if (dragging_ && !seek_preview_.isEmpty()) {
    painter.setPen(kSeekPreviewColour);
    painter.drawText(QRect(kMarqueeX, kMarqueeY, kMarqueeWidth, metrics.height()),
                     Qt::AlignLeft | Qt::AlignTop, seek_preview_);
  } else {
    DrawMarquee(painter);
  }
  painter.setPen(kCounterColour);
  painter.drawText(QRect(kCounterX, kCounterY, 337 - kCounterX, metrics.height()),
                   Qt::AlignLeft | Qt::AlignTop, counter_text_);
}

// ---------------------------------------------------------------------------------------------
// Player, options and help menus

void TMainForm::CopyCounter() { QGuiApplication::clipboard()->setText(FormatHms(position_)); }

void TMainForm::SetCounter() {
  ui::TSetCounterForm& dialog = CounterForm();
  if (dialog.isVisible()) return;
  raise();
  activateWindow();
  dialog.exec();
  const QString text = dialog.Text();

  QString hours, minutes, seconds;
  if (text.size() == 6) {
    hours = text.mid(0, 2);
    minutes = text.mid(2, 2);
    seconds = text.mid(4, 2);
  } else if (text.size() == 8) {
    hours = text.mid(0, 2);
    minutes = text.mid(3, 2);
    seconds = text.mid(6, 2);
  } else {
    return;
  }
  int values[3] = {0, 0, 0};
  const QString* fields[3] = {&hours, &minutes, &seconds};
  for (int i = 0; i < 3; ++i) {
    bool ok = false;
    values[i] = fields[i]->toInt(&ok);
    if (!ok) {
      ReportError(this, QStringLiteral("'%1' は正しい数値ではありません").arg(*fields[i]));
      return;
    }
  }
  const int h = values[0], m = values[1], s = values[2];
  if (m < 0 || m > 59 || s < 0 || s > 59 || h < 0) return;
  const int32_t t = h * 3600 + m * 60 + s;
  if (t > track_bar_->maximum()) return;
  switch (input_->GetState()) {
    case media::kStateStopped:
      position_ = t;
      DrawCounter(position_);
      track_bar_->setValue(position_);
      break;
    case media::kStatePlaying:
      input_->RequestSeek(t);
      position_ = t;
      break;
    default:
      break;  // paused: nothing moves
  }
}

void TMainForm::mnuEqualizerClick() {
  if (equalizer_ == nullptr) return;
  if (equalizer_checked_) {
    equalizer_->close();
    equalizer_checked_ = false;
  } else {
    equalizer_->show();
    equalizer_checked_ = true;
  }
  // The menu item toggles itself when chosen; its mark follows the window, not the click.
  mnu_equalizer_->setChecked(equalizer_checked_);
}

void TMainForm::HelpIndex1Click() {
  const QString page = QDir(QCoreApplication::applicationDirPath())
                           .filePath(QStringLiteral("VerbatHelp.html"));
  if (!QFileInfo::exists(page) || !ui::OpenWithDesktop(QUrl::fromLocalFile(page))) {
    ui::ShowMessage(this, QStringLiteral("HTMLヘルプが起動出来ませんでした\n"));
  }
}

void TMainForm::mnuHelpAboutClick() {
  ui::TVerbatAboutForm about(this);
  about.exec();
}

// ---------------------------------------------------------------------------------------------
// Window events

void TMainForm::closeEvent(QCloseEvent* event) {
  const int32_t state = input_->GetState();
  if (state == media::kStatePlaying || state == media::kStatePaused) {
    input_->RequestStop();
    input_->Close();
  }
  event->accept();
}

}  // namespace app
