// The main window: the transport controller (buttons, slider, timers, speed steps, repeat and
// the delayed stop), file opening, and the information panel with the scrolling file name, the
// counter, the format line and the seek preview.
//
// Threads: every member runs on the main (GUI) thread. The one exception is the input's
// notification callback, which runs on the input's reader thread; it only queues the code and
// asks for a queued call (OnInputNotify), and the handling happens on the main thread.
#pragma once

#include <QMainWindow>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "media/InputInfo.h"
#include "media/InputMedia.h"
#include "media/OutputAudio.h"
#include "platform/wave_device.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPainter;
class QPushButton;
class QSlider;
class QTimer;

namespace ui {
class TAlertForm;
class TSetCounterForm;
class TSpeedButton;
}  // namespace ui

namespace app {

// The transport's settings (the "WaveFile" and "Other" keys of the settings file), with the
// defaults a first start uses.
struct TransportSettings {
  int32_t RevSec = 3;      // step back on stop
  int32_t RepeatSec = 10;  // length of the repeat window
  int32_t FfRwSec = 4;     // fast-forward and rewind jump
  int32_t DelaySec = 0;    // delay before a stop takes effect
  std::string DelimiterFileName;  // sound played at each repeat jump
  bool NonLockMode = false;       // the play/stop hot key plays only while held
  bool DspAlert = true;           // warn before each speed change
};

// Button mask bits of SetButtonStates.
inline constexpr int kMaskRepeat = 1 << 0;
inline constexpr int kMaskPause = 1 << 1;
inline constexpr int kMaskPlay = 1 << 2;
inline constexpr int kMaskReset = 1 << 3;
inline constexpr int kMaskRec = 1 << 4;
inline constexpr int kMaskNone = 0;
inline constexpr int kMaskPlaying = 15;
inline constexpr int kMaskRecording = 16;
inline constexpr int kMaskStopped = 29;
inline constexpr int kMaskAll = 31;

// Scroll codes of the slider, as SliderProc takes them.
enum SliderCode {
  kLineUp = 0,
  kLineDown = 1,
  kPageUp = 2,
  kPageDown = 3,
  kThumbPosition = 4,  // the thumb was released
  kThumbTrack = 5,     // the thumb is being dragged
  kTop = 6,
  kBottom = 7,
  kEndScroll = 8,
};

// The speed steps: SpeedStep 0, 4, 8, 12, 16 (8 is normal speed).
QString SpeedText(int32_t speed_step);
int32_t SpeedDivisor(int32_t speed_step);

class TMainForm : public QMainWindow {
  Q_OBJECT
 public:
  // The sound devices come from `backend`, which must outlive the window.
  explicit TMainForm(platform::AudioBackend& backend, QWidget* parent = nullptr);
  ~TMainForm() override;

  // The dialogs the application creates once at start-up; the window creates its own when none
  // were given. Not owned.
  void AttachDialogs(ui::TAlertForm* alert, ui::TSetCounterForm* counter);
  // The equalizer window, once there is one; EqBtn and its menu item stay disabled until then.
  void SetEqualizerWindow(QWidget* equalizer);

  TransportSettings& Settings() { return settings_; }
  // Takes over values accepted in the options dialog.
  void ApplyOptions(const TransportSettings& settings);

  // --- transport ---
  void PlayBtnClick();
  void StartPlay();
  void StopPlay(bool step_back);
  void PauseBtnClick();
  void TogglePause();
  void FastForward();
  void Rewind();
  void ResetPosition();
  void RepeatBtnClick();
  void ToggleRepeat();
  void EnableRepeat(bool on);
  void UpBitBtnClick(bool up);  // UpBitBtn (up) and DownBitBtn (down)
  void ChangeSpeed(bool up);
  void ResetSpeed();
  // Called on the reader thread: carries the code over to the main thread.
  void OnInputNotify(int32_t code);
  // Main thread: hands the codes that came from the reader to HandleInputNotify, in order.
  Q_INVOKABLE void DeliverInputNotifications();
  // The handling of a notification, on the main thread.
  void HandleInputNotify(int32_t code, uint64_t playback);
  void IntTimerTimer();
  void TimerDelayTimer();
  void SliderProc(int code, int thumb_position = 0);
  void SetButtonStates(int mask);

  // --- files and display ---
  bool CanLoadFile();
  void Open1Click();
  void DropFiles(const QStringList& paths);
  void LoadFile(const QString& path);
  std::unique_ptr<media::InputMedia> CreateInputFor() const;
  void RefreshDisplay();
  void DrawCounter(int32_t seconds);
  void DrawSeekPreview(int32_t seconds);
  static QString FormatHms(int32_t seconds);
  static QString RateText(uint32_t rate);
  void CopyCounter();
  void SetCounter();
  void SetUnsaved(bool unsaved);
  void mnuEqualizerClick();
  void HelpIndex1Click();
  void mnuHelpAboutClick();
  void FormPaint(QPainter& painter);

  // The file chooser of the Open dialog: given the starting folder, name and filter, the chosen
  // path or an empty string. Tests replace it.
  using FileChooser = std::function<QString(QWidget* owner, const QString& folder,
                                            const QString& name, const QString& filter)>;
  void SetFileChooser(FileChooser chooser) { file_chooser_ = std::move(chooser); }

  // --- state, for the program's other parts and for tests ---
  int32_t Position() const { return position_; }
  void SetPosition(int32_t seconds) { position_ = seconds; }
  bool RepeatMode() const { return repeat_mode_; }
  int32_t RepeatEnd() const { return repeat_end_; }
  int32_t SpeedStep() const { return speed_step_; }
  bool Stopping() const { return stopping_; }
  int32_t DelayTicks() const { return delay_ticks_; }
  bool Dragging() const { return dragging_; }
  bool Unsaved() const { return unsaved_; }
  media::InputMedia& Input() const { return *input_; }
  media::OutputAudio& Output() const { return *output_; }
  const media::PlayListItem* CurrentItem() const { return current_item_.get(); }

  QString CounterText() const { return counter_text_; }
  QString FormatLineText() const { return format_line_; }
  QString SeekPreviewText() const { return seek_preview_; }
  QString MarqueeText() const { return marquee_text_; }
  int MarqueeOffset() const { return marquee_offset_; }
  bool MarqueeScrolling() const { return marquee_scrolling_; }
  const QPixmap& MarqueeBitmap() const { return marquee_bitmap_; }

  ui::TSpeedButton* RecBtn() const { return rec_btn_; }
  ui::TSpeedButton* ResetBtn() const { return reset_btn_; }
  ui::TSpeedButton* PlayBtn() const { return play_btn_; }
  ui::TSpeedButton* PauseBtn() const { return pause_btn_; }
  ui::TSpeedButton* RepeatBtn() const { return repeat_btn_; }
  ui::TSpeedButton* UpBitBtn() const { return up_bit_btn_; }
  ui::TSpeedButton* DownBitBtn() const { return down_bit_btn_; }
  QPushButton* EqBtn() const { return eq_btn_; }
  QLineEdit* Speed() const { return speed_; }
  QSlider* TrackBar() const { return track_bar_; }
  QWidget* Client() const;
  QAction* MnuProp() const { return mnu_prop_; }
  QAction* SaveAs1() const { return save_as1_; }
  QTimer* IntTimer() const { return int_timer_; }

  // Marquee geometry: the view on the panel.
  static constexpr int kMarqueeX = 15;
  static constexpr int kMarqueeY = 15;
  static constexpr int kMarqueeWidth = 248;
  static constexpr int kMarqueeHeight = 40;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  class ClientArea;

  void BuildMenus();
  void BuildControls();
  void AttachOutput();
  void PrepareMarquee(const QString& text);
  void AdvanceMarquee();
  void DrawMarquee(QPainter& painter) const;
  void UpdateFormatLine();
  void ClearDisplay();
  void SliderAction(int action);
  ui::TAlertForm& AlertForm();
  ui::TSetCounterForm& CounterForm();
  // Runs a handler entered from the user interface; an exception is shown by the program's
  // error report and the window goes on.
  template <class F>
  void Guarded(F&& handler);

  platform::AudioBackend& backend_;
  TransportSettings settings_;

  std::unique_ptr<media::PlayListItem> current_item_;
  std::unique_ptr<media::OutputAudio> output_;
  std::unique_ptr<media::InputMedia> input_;

  int32_t position_ = 0;
  bool repeat_mode_ = false;
  int32_t repeat_end_ = 0;
  int32_t speed_step_ = 8;
  bool stopping_ = false;
  int32_t delay_ticks_ = 0;
  bool dragging_ = false;
  bool unsaved_ = false;
  bool in_tick_ = false;
  // Counts the starts of playback; a notification carries the count of the playback it
  // belongs to, so that a late one cannot stop a newer playback.
  std::atomic<uint64_t> playback_serial_{0};
  struct PendingNotification {
    int32_t code;
    uint64_t playback;
  };
  std::mutex notify_mutex_;  // the reader thread's hand-over to the main thread
  std::deque<PendingNotification> pending_notifications_;

  // Information panel.
  QString counter_text_;
  QString format_line_;
  QString seek_preview_;
  QString marquee_text_;
  QPixmap marquee_bitmap_;
  int marquee_offset_ = 0;
  bool marquee_scrolling_ = false;

  // Controls.
  ClientArea* client_ = nullptr;
  QSlider* track_bar_ = nullptr;
  ui::TSpeedButton* rec_btn_ = nullptr;
  ui::TSpeedButton* reset_btn_ = nullptr;
  ui::TSpeedButton* play_btn_ = nullptr;
  ui::TSpeedButton* pause_btn_ = nullptr;
  ui::TSpeedButton* repeat_btn_ = nullptr;
  QPushButton* eq_btn_ = nullptr;
  QLabel* speed_label_ = nullptr;
  QLineEdit* speed_ = nullptr;
  ui::TSpeedButton* up_bit_btn_ = nullptr;
  ui::TSpeedButton* down_bit_btn_ = nullptr;

  QAction* open1_ = nullptr;
  QAction* save_as1_ = nullptr;
  QAction* exit1_ = nullptr;
  QAction* n4_ = nullptr;
  QAction* n5_ = nullptr;
  QAction* mnu_prop_ = nullptr;
  QAction* mnu_equalizer_ = nullptr;
  QAction* help_index1_ = nullptr;
  QAction* mnu_help_about_ = nullptr;

  QTimer* int_timer_ = nullptr;
  QTimer* timer_delay_ = nullptr;

  ui::TAlertForm* alert_form_ = nullptr;
  QMetaObject::Connection alert_connection_;
  ui::TSetCounterForm* counter_form_ = nullptr;
  std::unique_ptr<ui::TAlertForm> own_alert_form_;
  std::unique_ptr<ui::TSetCounterForm> own_counter_form_;
  QWidget* equalizer_ = nullptr;
  bool equalizer_checked_ = false;
  FileChooser file_chooser_;
};

}  // namespace app
