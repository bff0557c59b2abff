// The main window: its layout, menus and controls, file opening, and the wiring of the buttons,
// the slider and the timers to the transport controller (app/Transport), which owns playback.
// The information panel draws itself (app/InfoPanel).
//
// Threads: everything here runs on the main (GUI) thread.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "app/InfoPanel.h"
#include "app/Transport.h"
#include "platform/wave_device.h"

class QAction;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QTimer;

namespace ui {
class TAlertForm;
class TSetCounterForm;
class TSpeedButton;
}  // namespace ui

namespace app {

class TMainForm : public QMainWindow, private TransportView {
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

  TransportController& Transport() { return *transport_; }
  const TransportController& Transport() const { return *transport_; }
  TransportSettings& Settings() { return transport_->Settings(); }

  // --- the handlers of the window's controls, each a thin call into the transport ---
  void PlayBtnClick() { transport_->PlayBtnClick(); }
  void PauseBtnClick() { transport_->PauseBtnClick(); }
  void ResetBtnClick() { transport_->ResetPosition(); }
  void RepeatBtnClick() { transport_->RepeatBtnClick(); }
  void UpBitBtnClick(bool up) { transport_->ChangeSpeed(up); }  // UpBitBtn (up), DownBitBtn
  void IntTimerTimer() { transport_->IntTimerTimer(); }
  void SliderProc(int code, int thumb_position = 0) {
    transport_->SliderProc(code, thumb_position);
  }

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
  QAction* SaveAs1() const { return save_as1_; }
  QTimer* IntTimer() const { return int_timer_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

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
  // Runs a handler entered from the user interface; an exception is shown by the program's
  // error report and the window goes on.
  template <class F>
  void Guarded(F&& handler);

  platform::AudioBackend& backend_;
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
