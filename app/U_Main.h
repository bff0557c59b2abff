// The main window: its layout, menus and controls, file opening, and the wiring of the buttons,
// the slider and the timers to the transport controller (app/Transport), which owns playback.
// The information panel draws itself (app/InfoPanel).
//
// Threads: everything here runs on the main (GUI) thread.
#pragma once

#include <QEvent>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "app/HookLibrary.h"
#include "app/HotKeys.h"
#include "app/InfoPanel.h"
#include "app/MainThreadQueue.h"
#include "app/Settings.h"
#include "app/Transport.h"
#include "platform/wave_device.h"
#include "record/RecAudio.h"

class QAction;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QTimer;

namespace ui {
class TAlertForm;
class TAudioPropForm;
class TEqualizerPanelForm;
class TSetCounterForm;
class TSpeedButton;
}  // namespace ui

namespace app {

// What start-up takes from outside the window: the keyboard-watch library and the settings
// file. The program uses the defaults; tests give their own.
struct StartupOptions {
  // Loaded by name through the program's run path; empty runs without the keyboard watch.
  std::string hook_library = KBDWATCH_LIBRARY_FILE;
  // Empty: "Verbat.ini" beside the program, or in the user's configuration folder.
  std::filesystem::path settings_file;
  // The free space of the work folder's file system, asked before every second recorded.
  record::FreeSpaceQuery free_space = record::GetFreeBytes;
};

// A key event as the keyboard watch reports it, sent to the window (tests use it; the library's
// reports arrive through the window's hand-over queue).
class HookEvent : public QEvent {
 public:
  static const QEvent::Type kType;
  HookEvent(uint32_t message, uintptr_t wparam, intptr_t lparam)
      : QEvent(kType), message(message), wparam(wparam), lparam(lparam) {}
  const uint32_t message;
  const uintptr_t wparam;
  const intptr_t lparam;
};

class TMainForm : public QMainWindow, private TransportView, private record::RecorderOwner {
  Q_OBJECT
 public:
  // Loads the keyboard-watch library and sets the hook, then checks for a recording device; a
  // failure shows its message and asks the event loop to end with exit code 1 as soon as it
  // runs. The sound devices come from `backend`, which must outlive the window.
  explicit TMainForm(platform::AudioBackend& backend, StartupOptions options = {},
                     QWidget* parent = nullptr);
  // Frees the hook and unloads the library.
  ~TMainForm() override;

  // The creation handler: settings, hot keys, the last file, the timers. Runs once, after the
  // dialogs are attached.
  void FormCreate();
  // The close request: asks about a running or unsaved recording (false: the window stays),
  // and in any case stops playback and writes the settings.
  bool FormCloseQuery();
  // At the end of the program: writes the settings once more unless a close already did (a
  // failed start-up ends without one).
  void FormDestroy();

  // The dialogs the application creates once at start-up; the window creates its own when none
  // were given. Not owned.
  void AttachDialogs(ui::TAlertForm* alert, ui::TSetCounterForm* counter);
  // The equalizer window, once there is one; EqBtn and its menu item stay disabled until then.
  // Its switch and engine filter every output from then on.
  void SetEqualizerWindow(ui::TEqualizerPanelForm* equalizer);
  // The options dialog the application creates once at start-up (the window creates its own
  // when none was given). It reads this window's settings and hot keys each time it is shown.
  // Not owned.
  void AttachOptionsDialog(ui::TAudioPropForm* options);

  TransportController& Transport() { return *transport_; }
  const TransportController& Transport() const { return *transport_; }
  app::Settings& Settings() { return settings_; }
  HotKeyTable& HotKeys() { return hot_keys_; }
  const SettingsFile& SettingsStore() const { return *settings_file_; }
  const HookLibrary& Hook() const { return hook_; }

  // A key event reported by the keyboard watch (the registered hook message): matched against
  // the hot-key table and run.
  void HookMessageReceived(uint32_t message, uintptr_t wparam, intptr_t lparam);

  // --- the handlers of the window's controls, each a thin call into the transport ---
  void PlayBtnClick() { transport_->PlayBtnClick(); }
  void PauseBtnClick() { transport_->PauseBtnClick(); }
  void ResetBtnClick() { transport_->ResetPosition(); }
  void RepeatBtnClick() { transport_->RepeatBtnClick(); }
  // EqBtn: shows or closes the equalizer window, as its menu item does.
  void EqBtnClick() { mnuEqualizerClick(); }
  void UpBitBtnClick(bool up) { transport_->ChangeSpeed(up); }  // UpBitBtn (up), DownBitBtn
  void IntTimerTimer() { transport_->IntTimerTimer(); }
  void SliderProc(int code, int thumb_position = 0) {
    transport_->SliderProc(code, thumb_position);
  }

  // --- recording ---
  void RecBtnClick() { ToggleRecording(); }
  void ToggleRecording();
  void RecTimerTimer();
  void SaveAs1Click();
  record::RecAudio& Recorder() { return *recorder_; }
  int32_t RecordSeconds() const { return record_seconds_; }
  // The Save As dialog's chooser: starting folder, filter; the chosen path or empty. Tests
  // replace it.
  using SaveChooser = std::function<QString(QWidget* owner, const QString& folder,
                                            const QString& filter)>;
  void SetSaveChooser(SaveChooser chooser) { save_chooser_ = std::move(chooser); }

  // --- files and display ---
  bool CanLoadFile();
  void Open1Click();
  void DropFiles(const QStringList& paths);
  void LoadFile(const QString& path);
  void RefreshDisplay();
  void CopyCounter();
  void SetCounter();
  void SetUnsaved(bool unsaved);
  void mnuEqualizerClick();
  // The options dialog; on OK its values replace the settings and the hot-key table.
  void mnuPropClick();
  void HelpIndex1Click();
  void mnuHelpAboutClick();

  // The file chooser of the Open dialog: given the starting folder, name and filter, the chosen
  // path or an empty string. Tests replace it.
  using FileChooser = std::function<QString(QWidget* owner, const QString& folder,
                                            const QString& name, const QString& filter)>;
  void SetFileChooser(FileChooser chooser) { file_chooser_ = std::move(chooser); }

  // --- state and controls, for the program's other parts and for tests ---
  bool Unsaved() const { return unsaved_; }
  TInfoPanel* Panel() const { return panel_; }
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
  QWidget* Client() const { return client_; }
  QAction* MnuProp() const { return mnu_prop_; }
  QAction* MnuEqualizer() const { return mnu_equalizer_; }
  QAction* SaveAs1() const { return save_as1_; }
  QTimer* IntTimer() const { return int_timer_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool event(QEvent* event) override;

 private:
  // TransportView
  void EnableButtons(int mask) override;
  void EnableRepeatButton(bool on) override;
  bool PlayDown() const override;
  void SetPlayDown(bool down) override;
  bool PauseDown() const override;
  void SetPauseDown(bool down) override;
  bool RepeatDown() const override;
  void SetRepeatDown(bool down) override;
  void EnableSettingsMenu(bool on) override;
  void ShowCounter(int32_t seconds) override;
  void SetSliderMaximum(int32_t maximum) override;
  void SetSliderPosition(int32_t position) override;
  void ShowSeekPreview(int32_t seconds) override;
  void HideSeekPreview() override;
  void ShowSpeed(const QString& text) override;
  void ShowFile(const media::PlayListItem* item, const media::InputFormat& format) override;
  void AdvanceMarquee() override;
  bool ConfirmSpeedChange() override;
  void ShowMessage(const QString& text) override;
  void ReportError(const QString& text) override;

  void BuildMenus();
  void BuildControls();
  void SliderAction(int action);
  ui::TAlertForm& AlertForm();
  ui::TSetCounterForm& CounterForm();
  ui::TAudioPropForm& PropForm();
  // Runs a handler entered from the user interface; an exception is shown by the program's
  // error report and the window goes on.
  template <class F>
  void Guarded(F&& handler);

  // RecorderOwner
  void ShowRecorderMessage(const std::string& text, record::MessageStyle style) override;
  void PostRecorderStop(const std::string& message) override;
  record::RecordingSettings RecordingSettingsNow() const;
  void RecorderStopRequested(const std::string& message);

  void StartUpFailed(const QString& message);
  void RestoreLastFile();
  void SaveSettings();
  // The function of a matched hot key, pressed (or, for play/stop, released).
  void RunHotKey(HotKeyAction function, bool released);

  platform::AudioBackend& backend_;
  StartupOptions options_;
  // Work handed over by the keyboard watch's and the recorder's threads; it outlives both.
  MainThreadQueue main_thread_;
  app::Settings settings_;
  HotKeyTable hot_keys_;
  std::unique_ptr<SettingsFile> settings_file_;
  std::string loaded_file_name_;  // "AudioFileName" as read at start-up
  HookLibrary hook_;
  bool created_ = false;
  bool closed_ = false;  // a close request was granted: the settings are written
  std::unique_ptr<TransportController> transport_;
  bool unsaved_ = false;
  int wheel_remainder_ = 0;  // wheel movement short of a whole notch

  QWidget* client_ = nullptr;
  TInfoPanel* panel_ = nullptr;
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
  QTimer* rec_timer_ = nullptr;
  std::unique_ptr<record::RecAudio> recorder_;
  int32_t record_seconds_ = 0;
  QString save_as_name_;  // the name chosen at the last Save As
  SaveChooser save_chooser_;

  ui::TAlertForm* alert_form_ = nullptr;
  QMetaObject::Connection alert_connection_;
  ui::TSetCounterForm* counter_form_ = nullptr;
  std::unique_ptr<ui::TAlertForm> own_alert_form_;
  std::unique_ptr<ui::TSetCounterForm> own_counter_form_;
  ui::TEqualizerPanelForm* equalizer_ = nullptr;
  ui::TAudioPropForm* prop_form_ = nullptr;
  std::unique_ptr<ui::TAudioPropForm> own_prop_form_;
  bool equalizer_checked_ = false;
  FileChooser file_chooser_;
};

}  // namespace app
