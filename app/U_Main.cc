#include "app/U_Main.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QWheelEvent>
#include <optional>

#include "app/ErrorReport.h"
#include "app/Foreground.h"
#include "app/WaveSaveThread.h"
#include "ui/Alert.h"
#include "ui/Audioprop.h"
#include "ui/DataFiles.h"
#include "ui/Desktop.h"
#include "ui/Fonts.h"
#include "ui/MessageBox.h"
#include "ui/ModalResult.h"
#include "ui/Setcounter.h"
#include "ui/SpeedButton.h"
#include "ui/EqualizerPanel.h"
#include "ui/VerbatAbout.h"
#include "ui/Version.h"

namespace app {
namespace {

constexpr int kClientWidth = 339;
constexpr int kClientHeight = 118;
constexpr int kPanelHeight = 60;  // the panel's box runs from (3,3) to (337,57)

const QString kOpenFilter = QStringLiteral("Wave,MP3,OggVorbis Files (*.wav *.mp3 *.ogg)");

bool KnownDropExtension(const QString& path) {
  const QString suffix = QFileInfo(path).suffix().toUpper();
  return suffix == QLatin1String("WAV") || suffix == QLatin1String("MP3") ||
         suffix == QLatin1String("OGG");
}

QPixmap GlyphStrip(const char* name) {
  return QPixmap(QStringLiteral(":/glyphs/%1.xpm").arg(QLatin1String(name)));
}

}  // namespace

template <class F>
void TMainForm::Guarded(F&& handler) {
  try {
    handler();
  } catch (...) {
    ReportCurrentException(this);
  }
}

const QEvent::Type HookEvent::kType = static_cast<QEvent::Type>(QEvent::registerEventType());

TMainForm::TMainForm(platform::AudioBackend& backend, StartupOptions options, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      backend_(backend),
      options_(std::move(options)) {
  setWindowTitle(QStringLiteral("Verbat"));
  setWindowIcon(QIcon(QPixmap(QStringLiteral(":/glyphs/verbat.xpm"))));
  setFont(ui::WindowFont());
  BuildMenus();
  BuildControls();

  // The keyboard watch reports from its own thread; the report is handed to the main thread and
  // handled there, in the order the keys were pressed and released.
  if (!options_.hook_library.empty()) {
    static const KbdWatchPostFn post = [](void* context, uint32_t message, uintptr_t wparam,
                                          intptr_t lparam) {
      auto* form = static_cast<TMainForm*>(context);
      form->main_thread_.Post([form, message, wparam, lparam] {
        form->Guarded([&] { form->HookMessageReceived(message, wparam, lparam); });
      });
    };
    const HookLibrary::Failure failure = hook_.Load(options_.hook_library, {post, this});
    if (failure != HookLibrary::Failure::kNone) StartUpFailed(HookLibrary::MessageFor(failure));
  }
  // A computer without a recording device cannot run the program.
  if (backend_.WaveInDeviceNames().empty()) {
    StartUpFailed(
        QStringLiteral("使用可能なｻｳﾝﾄﾞﾃﾞｨﾊﾞｲｽが見つかりません\n先にｻｳﾝﾄﾞﾃﾞｨﾊﾞｲｽの設定を確認して"
                       "下さい\n\nVerbatを終了します"));
  }
  SetUnsaved(false);

  settings_file_ = std::make_unique<SettingsFile>(
      options_.settings_file.empty()
          ? SettingsFilePath(QCoreApplication::applicationDirPath().toStdString())
          : options_.settings_file);
  transport_ = std::make_unique<TransportController>(backend_, static_cast<TransportView&>(*this),
                                                     settings_);
  int_timer_ = new QTimer(this);
  int_timer_->setInterval(250);
  connect(int_timer_, &QTimer::timeout, this, [this] { Guarded([this] { IntTimerTimer(); }); });
  rec_timer_ = new QTimer(this);
  rec_timer_->setInterval(1000);
  connect(rec_timer_, &QTimer::timeout, this, [this] { Guarded([this] { RecTimerTimer(); }); });
  recorder_ = std::make_unique<record::RecAudio>(
      backend_, static_cast<record::RecorderOwner&>(*this), options_.free_space);
}

TMainForm::~TMainForm() {
  // No report may arrive for a window that is going; a recording still running is finished;
  // then playback ends before the controls the transport reports to.
  hook_.Unload();
  recorder_.reset();
  transport_.reset();
}

void TMainForm::StartUpFailed(const QString& message) {
  ui::MessageRequest request;
  request.text = message;
  request.caption = QStringLiteral("Verbat");
  request.icon = ui::MsgIcon::kError;
  request.system_modal = true;
  ui::ShowMessage(this, request);
  // The event loop ends as soon as it runs; start-up goes on to its end meanwhile.
  QMetaObject::invokeMethod(
      qApp, [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
}

void TMainForm::FormCreate() {
  if (created_) return;
  created_ = true;
  std::optional<SettingsError> error;
  settings_ = settings_file_->LoadSettings(&error);
  if (!error) hot_keys_ = settings_file_->LoadKeyMap(&error);
  if (error) ui::ShowMessage(this, QString::fromStdString(error->Text()), ui::MsgIcon::kWarning);
  loaded_file_name_ = settings_.AudioFileName;

  RestoreLastFile();
  transport_->SetPosition(settings_.Counter);
  ShowCounter(transport_->Position());
  SetSliderPosition(transport_->Position());
  move(settings_.Left, settings_.Top);
  setAcceptDrops(true);
  int_timer_->start();
  transport_->EnableRepeat(!settings_.NonLockMode);
}

void TMainForm::RestoreLastFile() {
  const std::string path = settings_.AudioFileName;
  if (path.empty()) return;
  if (!std::filesystem::exists(path)) {
    settings_.AudioFileName.clear();
    ui::MessageRequest request;
    request.text = QStringLiteral(
        "前回開いたファイルを見つけることが出来ませんでした\nファイル名を初期化します");
    request.caption = QStringLiteral("Verbat");
    request.system_modal = true;
    ui::ShowMessage(nullptr, request);
    return;
  }
  try {
    transport_->Load(path);
  } catch (...) {
    // The name saved at exit becomes empty, so the next start restores nothing.
    settings_.AudioFileName.clear();
    StartUpFailed(QStringLiteral("エラーが発生しました\n\nVerbatを終了します"));
  }
}

bool TMainForm::FormCloseQuery() {
  bool may_close = true;
  if (recorder_->IsRecording()) {
    may_close = ui::ShowMessage(this, QStringLiteral("録音中です。\n終了してよろしいですか？"),
                                ui::MsgIcon::kQuestion,
                                ui::MsgButtons::kOkCancel) == ui::MsgResult::kOk;
    if (!may_close) return false;  // the recording goes on
    // The recording ends properly: the work file is finished, a complete WAV file.
    rec_timer_->stop();
    try {
      recorder_->StopRecording();
    } catch (const std::exception& e) {
      app::ReportError(this, QString::fromStdString(e.what()));
    }
    rec_btn_->setChecked(false);
  }
  if (may_close && unsaved_) {
    may_close = ui::ShowMessage(this,
                                QStringLiteral("録音した内容が保存されていません。\n"
                                               "このまま終了してよろしいですか？"),
                                ui::MsgIcon::kQuestion,
                                ui::MsgButtons::kOkCancel) == ui::MsgResult::kOk;
  }
  // Whatever the answers: playback stops and the settings are written.
  media::InputMedia& input = transport_->Input();
  const int32_t state = input.GetState();
  if (state == media::kStatePlaying || state == media::kStatePaused) {
    input.RequestStop();
    input.Close();
    SetPlayDown(false);
    SetPauseDown(false);
    transport_->SetButtonStates(transport_->CurrentItem() ? kMaskStopped : kMaskRec);
    EnableSettingsMenu(true);
  }
  SaveSettings();
  if (may_close) closed_ = true;
  return may_close;
}

void TMainForm::FormDestroy() {
  if (!closed_) SaveSettings();
}

void TMainForm::SaveSettings() {
  if (!created_) return;  // nothing was read, so nothing is written over the file
  const media::PlayListItem* item = transport_->CurrentItem();
  settings_.AudioFileName = item ? item->path : std::string();
  settings_.Counter = transport_->Position();
  settings_.Top = geometry().top();
  settings_.Left = geometry().left();
  std::optional<SettingsError> error = settings_file_->SaveSettings(settings_, ui::ProgramVersion().toStdString());
  if (!error) error = settings_file_->SaveKeyMap(hot_keys_);
  if (error) ui::ShowMessage(this, QString::fromStdString(error->Text()), ui::MsgIcon::kError);
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
  connect(save_as1_, &QAction::triggered, this, [this] { Guarded([this] { SaveAs1Click(); }); });
  connect(exit1_, &QAction::triggered, this, [this] { close(); });
  connect(n4_, &QAction::triggered, this, [this] { Guarded([this] { CopyCounter(); }); });
  connect(n5_, &QAction::triggered, this, [this] { Guarded([this] { SetCounter(); }); });
  connect(mnu_prop_, &QAction::triggered, this, [this] { Guarded([this] { mnuPropClick(); }); });
  connect(mnu_equalizer_, &QAction::triggered, this,
          [this] { Guarded([this] { mnuEqualizerClick(); }); });
  connect(help_index1_, &QAction::triggered, this,
          [this] { Guarded([this] { HelpIndex1Click(); }); });
  connect(mnu_help_about_, &QAction::triggered, this,
          [this] { Guarded([this] { mnuHelpAboutClick(); }); });
}

void TMainForm::BuildControls() {
  client_ = new QWidget(this);
  client_->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client_);
  panel_ = new TInfoPanel(client_);
  panel_->setGeometry(0, 0, kClientWidth, kPanelHeight);

  track_bar_ = new QSlider(Qt::Horizontal, client_);
  track_bar_->setGeometry(1, 65, 337, 23);
  track_bar_->setRange(0, 0);
  track_bar_->setSingleStep(1);
  track_bar_->setPageStep(1);
  track_bar_->setTickPosition(QSlider::NoTicks);
  track_bar_->setTracking(false);
  // Steps (keys, clicks on the groove) arrive as actions; the thumb held with the mouse as moves
  // and a release, which with tracking off never come as actions. The wheel is taken by the
  // event filter, a notch at a time.
  connect(track_bar_, &QSlider::actionTriggered, this,
          [this](int action) { Guarded([this, action] { SliderAction(action); }); });
  connect(track_bar_, &QSlider::sliderMoved, this, [this](int position) {
    Guarded([this, position] { SliderProc(kThumbTrack, position); });
  });
  connect(track_bar_, &QSlider::sliderReleased, this, [this] {
    Guarded([this] { SliderProc(kThumbPosition, track_bar_->sliderPosition()); });
  });
  track_bar_->installEventFilter(this);

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

  connect(rec_btn_, &QAbstractButton::clicked, this, [this] { Guarded([this] { RecBtnClick(); }); });
  connect(reset_btn_, &QAbstractButton::clicked, this,
          [this] { Guarded([this] { ResetBtnClick(); }); });
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
  connect(eq_btn_, &QPushButton::clicked, this, [this] { Guarded([this] { EqBtnClick(); }); });

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
  EnableButtons(kMaskRec);

  // The client area is fixed; the window is as large as it and the menu bar together.
  setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
}

void TMainForm::AttachDialogs(ui::TAlertForm* alert, ui::TSetCounterForm* counter) {
  if (alert != alert_form_) {
    disconnect(alert_connection_);
    alert_form_ = alert;
    if (alert_form_ != nullptr) {
      alert_connection_ = connect(alert_form_, &ui::TAlertForm::DspAlertChanged, this,
                                  [this](bool on) { Settings().DspAlert = on; });
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

void TMainForm::SetEqualizerWindow(ui::TEqualizerPanelForm* equalizer) {
  equalizer_ = equalizer;
  eq_btn_->setEnabled(equalizer_ != nullptr);
  mnu_equalizer_->setEnabled(equalizer_ != nullptr);
  transport_->SetEqualizer(equalizer_ ? &equalizer_->Hook() : nullptr);
  if (equalizer_ != nullptr) {
    connect(equalizer_, &ui::TEqualizerPanelForm::Closed, this, [this] {
      equalizer_checked_ = false;
      mnu_equalizer_->setChecked(false);
    });
  }
}

// ---------------------------------------------------------------------------------------------
// Hot keys

bool TMainForm::event(QEvent* event) {
  if (event->type() == HookEvent::kType) {
    const auto* report = static_cast<const HookEvent*>(event);
    Guarded([&] { HookMessageReceived(report->message, report->wparam, report->lparam); });
    return true;
  }
  return QMainWindow::event(event);
}

void TMainForm::HookMessageReceived(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (message != hook_.HookMessage() || !created_) return;
  // Keys pressed while the options dialog is up are meant for it (its key page captures them).
  if (prop_form_ != nullptr && prop_form_->isVisible()) return;
  const auto modifier = static_cast<int32_t>((wparam >> 16) & 0xFFFF);
  const auto key = static_cast<int32_t>(wparam & 0xFFFF);
  const bool released = (static_cast<uint32_t>(lparam) & KBDWATCH_KEY_UP_FLAG) != 0;
  RunHotKey(MatchHotKey(hot_keys_, modifier, key), released);
}

void TMainForm::RunHotKey(HotKeyAction function, bool released) {
  // A release matters only to play/stop in non-lock mode.
  if (released) {
    if (function == HotKeyAction::kPlayStop && settings_.NonLockMode) {
      transport_->PlayStopKey(false);
    }
    return;
  }
  const bool equalizer_on = equalizer_ != nullptr && equalizer_->IsOn();
  switch (function) {
    case HotKeyAction::kPlayStop: transport_->PlayStopKey(true); break;
    case HotKeyAction::kPause: transport_->TogglePause(); break;
    case HotKeyAction::kFastForward: transport_->FastForward(); break;
    case HotKeyAction::kRewind: transport_->Rewind(); break;
    case HotKeyAction::kReset: transport_->ResetPosition(); break;
    case HotKeyAction::kRepeat: transport_->ToggleRepeat(); break;
    case HotKeyAction::kSpeedUp:
      if (!equalizer_on) transport_->ChangeSpeed(true);
      break;
    case HotKeyAction::kSpeedDown:
      if (!equalizer_on) transport_->ChangeSpeed(false);
      break;
    case HotKeyAction::kEqualizer:
      if (equalizer_ != nullptr && transport_->SpeedStep() == 8) equalizer_->Toggle();
      break;
    case HotKeyAction::kCopyCounter: CopyCounter(); break;
    case HotKeyAction::kSetCounter: SetCounter(); break;
    case HotKeyAction::kNone: break;
  }
}

// ---------------------------------------------------------------------------------------------
// What the transport shows through the window

void TMainForm::EnableButtons(int mask) {
  rec_btn_->setEnabled(mask & kMaskRec);
  reset_btn_->setEnabled(mask & kMaskReset);
  play_btn_->setEnabled(mask & kMaskPlay);
  pause_btn_->setEnabled(mask & kMaskPause);
  repeat_btn_->setEnabled(mask & kMaskRepeat);
}

void TMainForm::EnableRepeatButton(bool on) {
  repeat_btn_->setEnabled(on);
}
bool TMainForm::PlayDown() const {
  return play_btn_->isChecked();
}
void TMainForm::SetPlayDown(bool down) {
  play_btn_->setChecked(down);
}
bool TMainForm::PauseDown() const {
  return pause_btn_->isChecked();
}
void TMainForm::SetPauseDown(bool down) {
  pause_btn_->setChecked(down);
}
bool TMainForm::RepeatDown() const {
  return repeat_btn_->isChecked();
}
void TMainForm::SetRepeatDown(bool down) {
  repeat_btn_->setChecked(down);
}
void TMainForm::EnableSettingsMenu(bool on) {
  mnu_prop_->setEnabled(on);
}
void TMainForm::ShowCounter(int32_t seconds) {
  panel_->DrawCounter(seconds);
}
void TMainForm::SetSliderMaximum(int32_t maximum) {
  track_bar_->setMaximum(maximum);
}

void TMainForm::SetSliderPosition(int32_t position) {
  // setValue would also move a thumb the user is holding; the transport leaves the slider alone
  // while it is dragged, but a release moves it to where it was let go.
  track_bar_->setValue(position);
}

void TMainForm::ShowSeekPreview(int32_t seconds) {
  if (transport_->CurrentItem() == nullptr) return;
  panel_->DrawSeekPreview(seconds, transport_->Length());
}

void TMainForm::HideSeekPreview() {
  panel_->HideSeekPreview();
}
void TMainForm::ShowSpeed(const QString& text) {
  speed_->setText(text);
}

void TMainForm::ShowFile(const media::PlayListItem* item, const media::InputFormat& format) {
  if (item == nullptr) {
    panel_->ClearFile();
    return;
  }
  panel_->SetFileText(QString::fromStdString(item->path) + QStringLiteral(" (") +
                      TInfoPanel::FormatHms(item->length) + QStringLiteral(")"));
  panel_->SetFormat(format);
}

void TMainForm::AdvanceMarquee() {
  panel_->AdvanceMarquee();
}

bool TMainForm::ConfirmSpeedChange() {
  return AlertForm().exec() != ui::kModalCancel;
}

void TMainForm::ShowMessage(const QString& text) {
  ui::ShowMessage(this, text);
}
void TMainForm::ReportError(const QString& text) {
  app::ReportError(this, text);
}

// ---------------------------------------------------------------------------------------------
// Slider input

void TMainForm::SliderAction(int action) {
  switch (action) {
    case QAbstractSlider::SliderSingleStepAdd:
      SliderProc(kLineDown);
      break;
    case QAbstractSlider::SliderSingleStepSub:
      SliderProc(kLineUp);
      break;
    case QAbstractSlider::SliderPageStepAdd:
      SliderProc(kPageDown);
      break;
    case QAbstractSlider::SliderPageStepSub:
      SliderProc(kPageUp);
      break;
    case QAbstractSlider::SliderToMinimum:
      SliderProc(kTop);
      break;
    case QAbstractSlider::SliderToMaximum:
      SliderProc(kBottom);
      break;
    default:
      break;  // SliderMove: the thumb's moves come as sliderMoved, the wheel as events
  }
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == track_bar_ && event->type() == QEvent::Wheel) {
    // A wheel notch is one line step; the slider's own handling would jump several seconds at
    // once and report it as a thumb move, which is not one.
    auto* wheel = static_cast<QWheelEvent*>(event);
    const QPoint delta = wheel->angleDelta();
    wheel_remainder_ += delta.y() != 0 ? delta.y() : delta.x();
    if (track_bar_->isEnabled()) {
      while (wheel_remainder_ >= QWheelEvent::DefaultDeltasPerStep) {
        wheel_remainder_ -= QWheelEvent::DefaultDeltasPerStep;
        Guarded([this] { SliderProc(kLineDown); });
      }
      while (wheel_remainder_ <= -QWheelEvent::DefaultDeltasPerStep) {
        wheel_remainder_ += QWheelEvent::DefaultDeltasPerStep;
        Guarded([this] { SliderProc(kLineUp); });
      }
    }
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------------
// Recording and Save As

record::RecordingSettings TMainForm::RecordingSettingsNow() const {
  record::RecordingSettings recording;
  recording.Channels = settings_.Channels;
  recording.Rate = settings_.Rate;
  recording.BitsPerSample = settings_.BitsPerSample;
  recording.PreferredDeviceID = settings_.PreferredDeviceID;
  recording.WorkDir = settings_.WorkDir;
  recording.FreeSpace = settings_.FreeSpace;
  return recording;
}

void TMainForm::ShowRecorderMessage(const std::string& text, record::MessageStyle style) {
  ui::MessageRequest request;
  request.text = QString::fromStdString(text);
  if (style == record::MessageStyle::kApplication) {
    request.caption = QStringLiteral("Verbat");
  } else {
    request.system_modal = true;  // the desktop's default caption, no owner
  }
  ui::ShowMessage(style == record::MessageStyle::kApplication ? this : nullptr, request);
}

void TMainForm::PostRecorderStop(const std::string& message) {
  // Recorder thread (WM_RECORDER_STOP): only the hand-over; the main thread shows the message
  // and stops.
  main_thread_.Post([this, message] { RecorderStopRequested(message); });
}

void TMainForm::RecorderStopRequested(const std::string& message) {
  // The stop waits for a delayed stop of playback to finish, and is never lost.
  transport_->RunAfterStop([this, message] {
    Guarded([&] {
      if (!message.empty()) ShowRecorderMessage(message, record::MessageStyle::kSystemModal);
      if (!recorder_->IsRecording()) return;
      rec_btn_->setChecked(false);
      ToggleRecording();
    });
  });
}

void TMainForm::ToggleRecording() {
  // A moment for the device that was just used to settle.
  QThread::msleep(500);
  if (!recorder_->IsRecording()) {
    bool started =
        ui::ShowMessage(this, QStringLiteral("録音を開始しますか？"), ui::MsgIcon::kQuestion,
                        ui::MsgButtons::kOkCancel) == ui::MsgResult::kOk;
    if (started && unsaved_) {
      started = ui::ShowMessage(this,
                                QStringLiteral("以前に録音された内容が保存されていません。\n"
                                               "録音をすると上書きされます。\n\n上書きしますか？"),
                                ui::MsgIcon::kQuestion,
                                ui::MsgButtons::kOkCancel) == ui::MsgResult::kOk;
    }
    if (started) started = recorder_->StartRecording(RecordingSettingsNow());
    if (!started) {
      rec_btn_->setChecked(false);
      return;
    }
    rec_btn_->setChecked(true);
    SetUnsaved(false);
    record_seconds_ = 0;
    SetSliderPosition(0);
    ShowCounter(0);
    transport_->SetButtonStates(kMaskRecording);
    rec_timer_->start();
    return;
  }
  rec_btn_->setEnabled(false);
  rec_timer_->stop();
  std::optional<QString> device_error;
  try {
    recorder_->StopRecording();
  } catch (const std::exception& e) {
    device_error = QString::fromStdString(e.what());  // the file is finished all the same
  }
  rec_btn_->setChecked(false);
  SetUnsaved(true);
  transport_->SetButtonStates(kMaskAll);
  LoadFile(QString::fromStdString(recorder_->GetWorkFileName()));
  rec_btn_->setEnabled(true);
  if (device_error) app::ReportError(this, *device_error);
}

void TMainForm::RecTimerTimer() {
  ++record_seconds_;
  ShowCounter(record_seconds_);
}

void TMainForm::SaveAs1Click() {
  if (!unsaved_) return;
  QString folder = QCoreApplication::applicationDirPath();
  if (!loaded_file_name_.empty()) {
    folder = QFileInfo(QString::fromStdString(loaded_file_name_)).absolutePath();
  } else if (!save_as_name_.isEmpty()) {
    folder = QFileInfo(save_as_name_).absolutePath();
  }
  const QString filter = QStringLiteral("Waveﾌｧｲﾙ (*.wav)");
  QString chosen;
  if (save_chooser_) {
    chosen = save_chooser_(this, folder, filter);
  } else {
    QFileDialog dialog(this, QStringLiteral("名前をつけて保存"), folder, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("wav"));
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
      chosen = dialog.selectedFiles().first();
    }
  }
  if (chosen.isEmpty()) return;
  // A name typed without an extension gets ".wav", whichever dialog took it.
  if (QFileInfo(chosen).suffix().isEmpty()) chosen += QStringLiteral(".wav");
  save_as_name_ = chosen;
  const std::string work_file = recorder_->GetWorkFileName();
  if (QFileInfo(chosen).absoluteFilePath() == QFileInfo(QString::fromStdString(work_file))
                                                  .absoluteFilePath()) {
    // Saved there, the next recording would overwrite it.
    ui::ShowMessage(this, QStringLiteral("作業用ファイルと同じ名前では保存できません。\n"
                                         "別の名前を指定して下さい。"));
    return;
  }

  QApplication::setOverrideCursor(Qt::WaitCursor);
  transport_->StopPlay(false);  // also closes the work file that was loaded for playback
  std::optional<record::MoveError> error;
  {
    TWaveSaveThread save(work_file, chosen.toStdString());
    save.Start();
    save.WaitFor();
    error = save.Error();
  }
  if (error && !error->destination_complete) {
    QApplication::restoreOverrideCursor();
    // The recording stays in the work file, still unsaved, and still the current file.
    ui::ShowMessage(this,
                    QStringLiteral("録音した内容を保存できませんでした。\n録音は作業用ファイルに"
                                   "残っています。\n\n%1")
                        .arg(QString::fromStdString(error->Describe())),
                    ui::MsgIcon::kError);
    return;
  }
  LoadFile(chosen);
  QApplication::restoreOverrideCursor();
  SetUnsaved(false);
  if (error) {
    // Saved; only the work file could not be removed.
    ui::ShowMessage(this, QString::fromStdString(error->Describe()), ui::MsgIcon::kWarning);
  }
}

// ---------------------------------------------------------------------------------------------
// Files

bool TMainForm::CanLoadFile() {
  // A delayed stop still counts as playing: the load would stop inside the stop.
  if (transport_->State() == media::kStatePlaying || transport_->Stopping()) {
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
  if (const media::PlayListItem* item = transport_->CurrentItem()) {
    const QFileInfo loaded(QString::fromStdString(item->path));
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

void TMainForm::LoadFile(const QString& path) {
  try {
    transport_->Load(path.toStdString());
  } catch (...) {
    ReportCurrentException(this);
  }
}

void TMainForm::RefreshDisplay() {
  const media::PlayListItem* item = transport_->CurrentItem();
  if (item == nullptr) return;
  media::InputFormat format;
  transport_->Input().GetFormat(format);
  ShowFile(item, format);
  ShowCounter(transport_->Position());
  SetSliderMaximum(std::max(item->length, 0));
  SetSliderPosition(transport_->Position());
}

void TMainForm::SetUnsaved(bool unsaved) {
  unsaved_ = unsaved;
  save_as1_->setEnabled(unsaved);
}

// ---------------------------------------------------------------------------------------------
// Player, options and help menus

void TMainForm::CopyCounter() {
  QGuiApplication::clipboard()->setText(TInfoPanel::FormatHms(transport_->Position()));
}

void TMainForm::SetCounter() {
  ui::TSetCounterForm& dialog = CounterForm();
  if (dialog.isVisible() || transport_->Stopping()) return;
  // The user may be typing in another program: the window comes forward for the entry, and
  // afterwards the focus goes back to where it was.
  const ForegroundWindow previous = ForegroundWindow::Active();
  BringForward(this);
  dialog.exec();
  if (!previous.BelongsToThisProgram()) previous.Activate();
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
      app::ReportError(this, QStringLiteral("'%1' は正しい数値ではありません").arg(*fields[i]));
      return;
    }
  }
  const int h = values[0], m = values[1], s = values[2];
  if (m < 0 || m > 59 || s < 0 || s > 59 || h < 0) return;
  const int32_t t = h * 3600 + m * 60 + s;
  transport_->SetCounterTo(t);
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

void TMainForm::AttachOptionsDialog(ui::TAudioPropForm* options) {
  prop_form_ = options;
  if (prop_form_ != nullptr) {
    prop_form_->SetMainWindowFields(&settings_, &hot_keys_,
                                    [this] { return backend_.WaveInDeviceNames(); });
  }
}

ui::TAudioPropForm& TMainForm::PropForm() {
  if (prop_form_ == nullptr) {
    own_prop_form_ = std::make_unique<ui::TAudioPropForm>(this);
    AttachOptionsDialog(own_prop_form_.get());
  }
  return *prop_form_;
}

void TMainForm::mnuPropClick() {
  ui::TAudioPropForm& dialog = PropForm();
  if (dialog.exec() != ui::kModalOk) return;  // only the device choice is kept, already stored
  settings_.RevSec = dialog.RevSecUpDown()->value();
  settings_.RepeatSec = dialog.RepeatSecUpDown()->value();
  settings_.FfRwSec = dialog.UpDownFfRw()->value();
  settings_.DelaySec = dialog.UpDownDelay()->value();
  settings_.DelimiterFileName = dialog.DelimiterFileName();
  settings_.Channels = dialog.RadioGroup3ItemIndex() == 0 ? 1 : 2;
  settings_.BitsPerSample = dialog.SampleBitsIndex() == 0 ? 8 : 16;
  settings_.Rate = ui::TAudioPropForm::RateOfItem(dialog.RadioGroup2ItemIndex());
  settings_.PreferredDeviceID = dialog.ComboBoxWaveInDev()->currentIndex();
  settings_.WorkDir = dialog.WorkDir();
  settings_.FreeSpace = dialog.UpDown_FreeSpace()->value();
  hot_keys_ = dialog.PendingHotKeys();
  settings_.NonLockMode = dialog.ChkBoxNonLockMode()->isChecked();
  settings_.KeepPitch = dialog.ChkBoxKeepPitch()->isChecked();
  // The speed divisor is applied again, and repeat is enabled unless in non-lock mode.
  transport_->ApplyOptions();
}

void TMainForm::HelpIndex1Click() {
  // Beside the program in the build, in ../share/verbat when installed; never the current
  // folder, whose file of that name would be opened in the browser instead.
  const QString page =
      ui::FindDataFile(QStringLiteral("VerbatHelp.html"), ui::ProgramDataFolders());
  if (page.isEmpty() || !ui::OpenWithDesktop(QUrl::fromLocalFile(page))) {
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
  bool may_close = true;
  Guarded([&] { may_close = FormCloseQuery(); });
  if (may_close) {
    event->accept();
  } else {
    event->ignore();
  }
}

}  // namespace app
