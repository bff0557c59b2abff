// The options dialog "設定": the transport seconds and the repeat sound (page "再生"), the
// recording format and device (page "録音1"), the work folder, the free-space limit and the
// recording mixer (page "録音2"), and the hot-key assignments with the non-lock mode (page
// "ｷｰ設定").
//
// The dialog neither reads nor writes the settings file. Each time it is shown it loads its
// controls from the main window's settings fields and hot-key table; when it closes with OK
// (modal result 1) the main window copies the controls back. The one exception is the device
// choice, which is stored in the main window's settings the moment it changes. Key assignments
// are made in a working copy (PendingHotKeys) that replaces the main window's table only on OK.
//
// Threads: everything here runs on the main (GUI) thread.
#pragma once

#include <QDialog>
#include <QSpinBox>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/HotKeys.h"
#include "app/Settings.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace ui {

// A number box with its up-down arrows: no wrap; read-only boxes change only through the
// arrows (and the arrow keys and the wheel, which act as the arrows do).
class TUpDownBox : public QSpinBox {
  Q_OBJECT
 public:
  TUpDownBox(QWidget* parent, int minimum, int maximum, int step, bool read_only);
  QLineEdit* Edit() const { return lineEdit(); }
};

class TAudioPropForm : public QDialog {
  Q_OBJECT
 public:
  using DeviceNames = std::function<std::vector<std::string>()>;
  // The repeat sound's file chooser: starting folder, file name and filter; the chosen path or
  // an empty string. Tests replace it.
  using FileChooser = std::function<QString(QWidget* owner, const QString& folder,
                                            const QString& name, const QString& filter)>;
  // The work folder's chooser: its title text and starting folder; the chosen folder or an
  // empty string. Tests replace it.
  using FolderChooser =
      std::function<QString(QWidget* owner, const QString& title, const QString& start)>;

  explicit TAudioPropForm(QWidget* parent = nullptr);

  // The main window's settings fields and hot-key table, read each time the dialog is shown,
  // and the names of the recording devices. The device choice is written into `settings` at
  // once. All must outlive the dialog.
  void SetMainWindowFields(app::Settings* settings, const app::HotKeyTable* hot_keys,
                           DeviceNames device_names);
  void SetFileChooser(FileChooser chooser) { file_chooser_ = std::move(chooser); }
  void SetFolderChooser(FolderChooser chooser) { folder_chooser_ = std::move(chooser); }

  // --- what the main window copies back on OK ---
  TUpDownBox* RevSecUpDown() const { return rev_sec_up_down_; }
  TUpDownBox* RepeatSecUpDown() const { return repeat_sec_up_down_; }
  TUpDownBox* UpDownFfRw() const { return up_down_ff_rw_; }
  TUpDownBox* UpDownDelay() const { return up_down_delay_; }
  // The repeat sound and the work folder as the settings hold them (byte for byte, whatever
  // the file system's names are), or as chosen in the dialog.
  const std::string& DelimiterFileName() const { return delimiter_file_name_; }
  const std::string& WorkDir() const { return work_dir_; }
  int RadioGroup3ItemIndex() const;                           // 0 mono, 1 stereo
  int SampleBitsIndex() const { return sample_bits_index_; }  // 0 8-bit, 1 16-bit
  int RadioGroup2ItemIndex() const;                           // 0..3: 8000, 11025, 22050, 44100 Hz
  static int32_t RateOfItem(int index);
  QComboBox* ComboBoxWaveInDev() const { return combo_box_wave_in_dev_; }
  TUpDownBox* UpDown_FreeSpace() const { return up_down_free_space_; }
  QCheckBox* ChkBoxNonLockMode() const { return chk_box_non_lock_mode_; }
  QCheckBox* ChkBoxKeepPitch() const { return chk_box_keep_pitch_; }
  const app::PendingHotKeyTable& PendingHotKeys() const { return pending_; }

  // --- the key page's capture ---
  int32_t CapturedModifiers() const { return captured_modifiers_; }
  uint16_t CapturedKey() const { return captured_key_; }

  // --- controls ---
  QTabWidget* PageControl1() const { return page_control1_; }
  QWidget* TabSheet1() const { return tab_sheet1_; }
  QWidget* TabSheet2() const { return tab_sheet2_; }
  QWidget* TabSheet4() const { return tab_sheet4_; }
  QWidget* TabSheet6() const { return tab_sheet6_; }
  QLabel* StaticText1() const { return static_text1_; }
  QPushButton* Button1() const { return button1_; }
  QRadioButton* RadioGroup3Item(int index) const;
  QRadioButton* RadioBtnSample8() const { return radio_btn_sample8_; }
  QRadioButton* RadioBtnSample16() const { return radio_btn_sample16_; }
  QRadioButton* RadioGroup2Item(int index) const;
  QLabel* DataSizeTxt() const { return data_size_txt_; }
  QLabel* CommentOfQuorityTxt() const { return comment_of_quority_txt_; }
  QLabel* StaticTextWorkDir() const { return static_text_work_dir_; }
  QPushButton* Button4() const { return button4_; }
  QPushButton* Button2() const { return button2_; }
  QListWidget* ListBoxFunc() const { return list_box_func_; }
  QLineEdit* EditKeyDef() const { return edit_key_def_; }
  QPushButton* BtnKeySet() const { return btn_key_set_; }
  QPushButton* BtnRelise() const { return btn_relise_; }
  QLabel* StaticTextCurrentKeyDef() const { return static_text_current_key_def_; }
  QPushButton* BtnWavePropOK() const { return btn_wave_prop_ok_; }
  QPushButton* BtnWavePropCancel() const { return btn_wave_prop_cancel_; }

  // --- handlers and the operations behind them ---
  void FormActivate();
  void ShowCurrentSettings();
  void ShowRecordingSettings();
  void FillDeviceList();
  void UpdateFormatInfo();
  void ComboBoxWaveInDevChange();
  void Button1Click();
  void Button4Click();
  void Button2Click();
  void FillFunctionList();
  void ShowFunctionKey(int position);
  void ShowCapturedKey(uint16_t key, int32_t modifier);
  void BtnKeySetClick();
  void BtnReliseClick();

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void reject() override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildPlayPage();
  void BuildRecordingPage();
  void BuildWorkFolderPage();
  void BuildKeyPage();
  // The key box's event handling: presses are captured, never typed.
  bool KeyEditWndProc(QEvent* event);
  // The key page's two states for the selected function: a key assigned (the box disabled,
  // Release enabled) or free (the box takes keys; Set as it was).
  void ShowKeyPageState(bool assigned);
  void SetWorkDirText(const std::string& path);
  void SetDelimiterText(const std::string& path);

  app::Settings* settings_ = nullptr;
  const app::HotKeyTable* hot_keys_ = nullptr;
  DeviceNames device_names_;
  FileChooser file_chooser_;
  FolderChooser folder_chooser_;

  std::string delimiter_file_name_;
  std::string work_dir_;
  int sample_bits_index_ = 1;
  app::PendingHotKeyTable pending_{};
  int32_t captured_modifiers_ = 0;
  uint16_t captured_key_ = 0;

  QTabWidget* page_control1_ = nullptr;
  QWidget* tab_sheet1_ = nullptr;
  QWidget* tab_sheet2_ = nullptr;
  QWidget* tab_sheet4_ = nullptr;
  QWidget* tab_sheet6_ = nullptr;
  TUpDownBox* rev_sec_up_down_ = nullptr;
  TUpDownBox* repeat_sec_up_down_ = nullptr;
  TUpDownBox* up_down_ff_rw_ = nullptr;
  TUpDownBox* up_down_delay_ = nullptr;
  QLabel* static_text1_ = nullptr;
  QPushButton* button1_ = nullptr;
  QButtonGroup* radio_group3_ = nullptr;
  QRadioButton* radio_btn_sample8_ = nullptr;
  QRadioButton* radio_btn_sample16_ = nullptr;
  QButtonGroup* radio_group2_ = nullptr;
  QLabel* data_size_txt_ = nullptr;
  QLabel* comment_of_quority_txt_ = nullptr;
  QComboBox* combo_box_wave_in_dev_ = nullptr;
  QLabel* static_text_work_dir_ = nullptr;
  QPushButton* button4_ = nullptr;
  TUpDownBox* up_down_free_space_ = nullptr;
  QPushButton* button2_ = nullptr;
  QListWidget* list_box_func_ = nullptr;
  QLineEdit* edit_key_def_ = nullptr;
  QPushButton* btn_key_set_ = nullptr;
  QPushButton* btn_relise_ = nullptr;
  QLabel* static_text_current_key_def_ = nullptr;
  QCheckBox* chk_box_non_lock_mode_ = nullptr;
  QCheckBox* chk_box_keep_pitch_ = nullptr;
  QPushButton* btn_wave_prop_ok_ = nullptr;
  QPushButton* btn_wave_prop_cancel_ = nullptr;
};

// The entry of a pending table that a new key for `function` (1..11) goes into: the function's
// own entry, unless that holds another function's key (a hand-edited settings file may place
// any function in any entry); then the first entry that is unassigned or holds the function.
int EntryForNewKey(const app::PendingHotKeyTable& table, int32_t function);

}  // namespace ui
