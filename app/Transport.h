// The transport controller: turns the buttons, the slider, the menus and (later) the hot keys into
// commands for the current input and its audio output, and keeps the counter, the slider and the
// button states in step with playback. It owns the input, the output and the loaded file's item,
// and reaches the window only through TransportView.
//
// Threads: everything runs on the main thread except OnInputNotify, which the input calls on its
// reader thread; that only queues the notice for the main thread.
//
// Commands during a delayed stop. A stop with DelaySec set keeps serving the event loop until the
// delay has passed (playback, the position poll and painting go on). What arrives meanwhile is
// handled by one rule, written beside each command as its DuringDelayedStop value:
//   kActs      acts on the playback that is still running: pause and resume, fast-forward,
//              rewind, repeat on and off, slider steps, drags and releases;
//   kIgnored   would start, stop or restart playback, or open a dialog inside the wait: play/stop,
//              reset, the speed change, the repeat jump, counter entry;
//   kAfterStop must not be lost and runs once the stop has finished (the recorder's stop request).
// The end of the data arriving during the wait is only recorded: the waiting stop finishes the
// stop, counting its step back from the end of the file.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/MainThreadQueue.h"
#include "app/Settings.h"
#include "media/InputInfo.h"
#include "media/InputMedia.h"
#include "media/OutputAudio.h"
#include "platform/wave_device.h"

class QTimer;

namespace app {

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

// Shown when playback ended because the sound device went away.
inline const QString kDeviceLostMessage = QStringLiteral(
    "サウンドデバイスが使えなくなったため、再生を停止しました。\n"
    "サウンドの設定（サウンドサーバ）を確認してから、もう一度再生して下さい。");

// The speed steps: SpeedStep 0, 4, 8, 12, 16 (8 is normal speed).
QString SpeedText(int32_t speed_step);
int32_t SpeedDivisor(int32_t speed_step);

// What the controller needs of the window. Every call comes on the main thread.
class TransportView {
 public:
  virtual ~TransportView() = default;

  // Enables the five transport buttons by mask (bit 4 Rec, 3 Reset, 2 Play, 1 Pause, 0 Repeat).
  virtual void EnableButtons(int mask) = 0;
  virtual void EnableRepeatButton(bool on) = 0;
  virtual bool PlayDown() const = 0;
  virtual void SetPlayDown(bool down) = 0;
  virtual bool PauseDown() const = 0;
  virtual void SetPauseDown(bool down) = 0;
  virtual bool RepeatDown() const = 0;
  virtual void SetRepeatDown(bool down) = 0;
  virtual void EnableSettingsMenu(bool on) = 0;

  virtual void ShowCounter(int32_t seconds) = 0;
  virtual void SetSliderMaximum(int32_t maximum) = 0;
  virtual void SetSliderPosition(int32_t position) = 0;
  virtual void ShowSeekPreview(int32_t seconds) = 0;
  virtual void HideSeekPreview() = 0;
  virtual void ShowSpeed(const QString& text) = 0;
  // The loaded file's name, length and format (nothing loaded: a blank panel).
  virtual void ShowFile(const media::PlayListItem* item, const media::InputFormat& format) = 0;
  virtual void AdvanceMarquee() = 0;

  // The warning before a speed change: true when the user goes on.
  virtual bool ConfirmSpeedChange() = 0;
  virtual void ShowMessage(const QString& text) = 0;
  virtual void ReportError(const QString& text) = 0;
};

class TransportController : public QObject {
  Q_OBJECT
 public:
  enum class DuringDelayedStop { kActs, kIgnored, kAfterStop };
  enum class SpeedChange { kChanged, kDeclined, kRefused };

  // The sound devices come from `backend`; the settings are the window's, read when used. All
  // three must outlive the controller.
  TransportController(platform::AudioBackend& backend, TransportView& view, Settings& settings,
                      QObject* parent = nullptr);
  ~TransportController() override;

  // The equalizer every output asks before each block (null for none); kept for the outputs of
  // files loaded later. Not owned.
  void SetEqualizer(media::EqualizerHook* equalizer);
  // After the options dialog was accepted: the speed divisor is applied again (a speed the device
  // cannot take without pitch keeping falls back to the nearest it takes) and repeat follows the
  // non-lock mode.
  void ApplyOptions();

  // --- the loaded file ---
  // Stops playback (with the step back, waiting out a delayed stop), then replaces the item, the
  // input and the output. Raises the input's error when the file cannot be opened; no file is
  // loaded then.
  void Load(const std::string& path);
  const media::PlayListItem* CurrentItem() const { return current_item_.get(); }
  // The input for the loaded file's extension: WAV, MP3, and Ogg Vorbis for every other one.
  std::unique_ptr<media::InputMedia> CreateInputFor() const;
  int32_t Length() const { return current_item_ ? current_item_->length : 0; }
  media::InputMedia& Input() const { return *input_; }
  media::OutputAudio& Output() const { return *output_; }
  int32_t State() const { return input_->GetState(); }

  // --- commands ---
  void PlayBtnClick();  // PlayBtn has toggled its own down state already
  // The play/stop hot key pressed or released. Without the non-lock mode a press acts as a click
  // on Play and a release does nothing; with it, playback lasts as long as the key is held.
  void PlayStopKey(bool pressed);
  void StartPlay();
  void StopPlay(bool step_back);
  void PauseBtnClick();
  void TogglePause();
  void FastForward();
  void Rewind();
  void ResetPosition();
  void RepeatBtnClick();  // RepeatBtn has toggled its own down state already
  void ToggleRepeat();
  void EnableRepeat(bool on);
  SpeedChange ChangeSpeed(bool up);
  void ResetSpeed();
  void SliderProc(int code, int thumb_position = 0);
  // Moves the counter to a time entered by the user; nothing happens beyond the file's length,
  // while paused, or during a delayed stop.
  void SetCounterTo(int32_t seconds);
  // Runs `action` now, or once the delayed stop has finished when one is waiting.
  void RunAfterStop(std::function<void()> action);
  void SetButtonStates(int mask);

  // --- timers ---
  void IntTimerTimer();
  void TimerDelayTimer();

  // Reader thread: queues the notice of the playback numbered `playback` for the main thread.
  void OnInputNotify(int32_t code, uint64_t playback);

  // --- state ---
  int32_t Position() const { return position_; }
  void SetPosition(int32_t seconds) { position_ = seconds; }
  bool RepeatMode() const { return repeat_mode_; }
  int32_t RepeatEnd() const { return repeat_end_; }
  int32_t SpeedStep() const { return speed_step_; }
  bool Stopping() const { return stopping_; }
  int32_t DelayTicks() const { return delay_ticks_; }
  bool Dragging() const { return dragging_; }

 private:
  void DeliverInputNotification(int32_t code, uint64_t playback);
  void PlayOrStop();  // PlayBtnClick's work, once admitted
  Q_INVOKABLE void RepeatJump();
  void HandleInputNotify(int32_t code, uint64_t playback);
  // Playback ended because the device was lost: the window stops and says why.
  void DeviceLost();
  void WaitOutDelay();
  void AttachOutput();
  void ShowNoFile();
  // Where playback ends: the file's length read anew (another program may have shortened it
  // since it was loaded), shown when it changed.
  int32_t EndOfFile();
  // The loaded file's name, length and format again, after its length was read anew.
  void ShowLength();
  // Whether the device opens at the loaded file's rate driven at this speed step.
  bool DeviceTakes(int32_t speed_step) const;
  // Moves a speed the device cannot be driven at (pitch keeping was turned off) to the nearest
  // one it takes, and says so.
  void FitSpeedToDevice();
  // Runs a command by its rule while a delayed stop waits; returns whether it ran now.
  bool Admit(DuringDelayedStop rule, const std::function<void()>& action);

  platform::AudioBackend& backend_;
  TransportView& view_;
  Settings& settings_;

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
  int button_mask_ = kMaskRec;     // the last mask set (before the non-lock mode's Repeat rule)
  bool confirming_speed_ = false;  // the warning of a speed change is showing
  bool ended_while_stopping_ = false;
  std::vector<std::function<void()>> after_stop_;

  // Counts the starts of playback. Each start hands the reader a notification callback stamped
  // with its own number, so that a late notice of an earlier playback cannot stop a newer one.
  uint64_t playback_serial_ = 0;
  MainThreadQueue main_thread_;  // the reader thread's hand-over of its notices
  QTimer* timer_delay_ = nullptr;
  media::EqualizerHook* equalizer_ = nullptr;
};

}  // namespace app
