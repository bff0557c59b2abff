#include "ui/Audioprop.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QStandardPaths>
#include <QTabWidget>

#include "ui/Fonts.h"
#include "ui/KeyCapture.h"
#include "ui/MessageBox.h"
#include "ui/ModalResult.h"

namespace ui {
namespace {

constexpr int kClientWidth = 380;
constexpr int kClientHeight = 237;

constexpr int32_t kRates[] = {8000, 11025, 22050, 44100};

// The quality note of each format the dialog offers: [mono/stereo][8/16 bit][rate item].
const char* const kQualityNotes[2][2][4] = {
    {{"Stamina", "電話の音質", "ラジオの音質", ""}, {"", "", "", ""}},
    {{"", "", "", ""}, {"", "", "", "CDの音質"}},
};

const QString kHintAssigned = QStringLiteral("新しいｷｰ設定をするにはまず現在のｷｰを解除して下さい");
const QString kHintFree = QStringLiteral("登録するｷｰを押してから設定ボタンを押して下さい");
const QString kKeyTaken = QStringLiteral("このｷｰは既に他の機能に割り当てれれています");
const QString kWorkDirTitle =
    QStringLiteral("作業フォルダを選択して下さい。\nドライブのルート(\\)でもＯＫです。");
const QString kWaveFilter = QStringLiteral("Wave Files (*.WAV)");

QString FromBytes(const std::string& text) {
  return QString::fromStdString(text);
}

QLabel* SunkenText(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  label->setTextFormat(Qt::PlainText);  // a path is shown as it is, whatever it holds
  label->setIndent(2);
  return label;
}

QGroupBox* Group(const QString& title, QWidget* parent, int x, int y, int w, int h) {
  auto* group = new QGroupBox(title, parent);
  group->setGeometry(x, y, w, h);
  return group;
}

QLabel* Label(const QString& text, QWidget* parent, int x, int y) {
  auto* label = new QLabel(text, parent);
  label->move(x, y);
  label->adjustSize();
  return label;
}

QPushButton* Button(const QString& text, QWidget* parent, int x, int y, int w, int h) {
  auto* button = new QPushButton(text, parent);
  button->setGeometry(x, y, w, h);
  return button;
}

QString DefaultFileChooser(QWidget* owner, const QString& folder, const QString& name,
                           const QString& filter) {
  QFileDialog dialog(owner, QString(), folder, filter);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (!name.isEmpty()) dialog.selectFile(name);
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
    return dialog.selectedFiles().first();
  }
  return {};
}

QString DefaultFolderChooser(QWidget* owner, const QString& title, const QString& start) {
  // The title is the chooser's caption, which holds one line.
  QString caption = title;
  caption.replace(QLatin1Char('\n'), QLatin1Char(' '));
  return QFileDialog::getExistingDirectory(owner, caption, start, QFileDialog::ShowDirsOnly);
}

}  // namespace

TUpDownBox::TUpDownBox(QWidget* parent, int minimum, int maximum, int step, bool read_only)
    : QSpinBox(parent) {
  setRange(minimum, maximum);
  setSingleStep(step);
  setWrapping(false);
  setAlignment(Qt::AlignRight);
  lineEdit()->setReadOnly(read_only);
}

int EntryForNewKey(const app::PendingHotKeyTable& table, int32_t function) {
  const int own = function - 1;
  if (table[own].function == 0 || table[own].function == function) return own;
  for (int i = 0; i < app::kHotKeyCount; ++i) {
    if (table[i].function == 0 || table[i].function == function) return i;
  }
  return own;
}

TAudioPropForm::TAudioPropForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      file_chooser_(DefaultFileChooser),
      folder_chooser_(DefaultFolderChooser) {
  setWindowTitle(QStringLiteral("設定"));
  setFont(WindowFont());
  setFixedSize(kClientWidth, kClientHeight);

  page_control1_ = new QTabWidget(this);
  page_control1_->setGeometry(4, 4, 372, 204);
  BuildPlayPage();
  BuildRecordingPage();
  BuildWorkFolderPage();
  BuildKeyPage();

  btn_wave_prop_ok_ = Button(QStringLiteral("保存"), this, 216, 211, 75, 23);
  btn_wave_prop_ok_->setDefault(true);
  btn_wave_prop_cancel_ = Button(QStringLiteral("ｷｬﾝｾﾙ"), this, 299, 211, 75, 23);
  connect(btn_wave_prop_ok_, &QPushButton::clicked, this, [this] { done(kModalOk); });
  connect(btn_wave_prop_cancel_, &QPushButton::clicked, this, [this] { done(kModalCancel); });

  FillFunctionList();
  edit_key_def_->installEventFilter(this);  // FormCreate: the key box's own handling
}

void TAudioPropForm::BuildPlayPage() {
  tab_sheet1_ = new QWidget;
  page_control1_->addTab(tab_sheet1_, QStringLiteral("再生"));
  struct Row {
    const char* label;
    TUpDownBox** box;
    int minimum, maximum, step;
  };
  const Row rows[] = {
      {"自動巻き戻し秒数", &rev_sec_up_down_, 0, 20, 1},
      {"リピート秒数", &repeat_sec_up_down_, 1, 120, 1},
      {"早送・巻戻秒数", &up_down_ff_rw_, 0, 50, 2},
      {"遅延停止秒数", &up_down_delay_, 0, 120, 1},
  };
  int y = 10;
  for (const Row& row : rows) {
    Label(QString::fromUtf8(row.label), tab_sheet1_, 24, y + 4);
    *row.box = new TUpDownBox(tab_sheet1_, row.minimum, row.maximum, row.step, true);
    (*row.box)->setGeometry(128, y, 60, 22);
    y += 27;
  }
  // Speed changes keep the voice's pitch (a time-stretcher instead of another device rate).
  chk_box_keep_pitch_ = new QCheckBox(QStringLiteral("速度を変えても音程を保つ"), tab_sheet1_);
  chk_box_keep_pitch_->setGeometry(200, 12, 164, 20);
  QGroupBox* sound = Group(QStringLiteral("リピート開始音"), tab_sheet1_, 8, 118, 350, 56);
  static_text1_ = SunkenText(sound);
  static_text1_->setGeometry(10, 22, 268, 22);
  button1_ = Button(QStringLiteral("参照"), sound, 284, 21, 56, 24);
  connect(button1_, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void TAudioPropForm::BuildRecordingPage() {
  tab_sheet2_ = new QWidget;
  page_control1_->addTab(tab_sheet2_, QStringLiteral("録音1"));

  QGroupBox* channels = Group(QStringLiteral("ﾁｬﾈﾙ数"), tab_sheet2_, 8, 4, 84, 56);
  radio_group3_ = new QButtonGroup(this);
  const char* const channel_items[] = {"ﾓﾉﾗﾙ", "ｽﾃﾚｵ"};
  for (int i = 0; i < 2; ++i) {
    auto* item = new QRadioButton(QString::fromUtf8(channel_items[i]), channels);
    item->setGeometry(10, 18 + 17 * i, 70, 17);
    radio_group3_->addButton(item, i);
  }

  QGroupBox* bits = Group(QStringLiteral("ｻﾝﾌﾟﾙ数"), tab_sheet2_, 8, 64, 84, 56);
  radio_btn_sample8_ = new QRadioButton(QStringLiteral("8ﾋﾞｯﾄ"), bits);
  radio_btn_sample8_->setGeometry(10, 18, 70, 17);
  radio_btn_sample16_ = new QRadioButton(QStringLiteral("16ﾋﾞｯﾄ"), bits);
  radio_btn_sample16_->setGeometry(10, 35, 70, 17);

  QGroupBox* rates = Group(QStringLiteral("ｻﾝﾌﾟﾘﾝｸﾞﾚｰﾄ"), tab_sheet2_, 98, 4, 104, 116);
  radio_group2_ = new QButtonGroup(this);
  const char* const rate_items[] = {"8KHz", "11.025KHz", "22.05KHz", "44.1KHz"};
  for (int i = 0; i < 4; ++i) {
    auto* item = new QRadioButton(QString::fromUtf8(rate_items[i]), rates);
    item->setGeometry(10, 20 + 22 * i, 90, 17);
    radio_group2_->addButton(item, i);
  }

  QGroupBox* size = Group(QStringLiteral("ﾃﾞｰﾀ量"), tab_sheet2_, 208, 4, 150, 56);
  size->setEnabled(false);
  data_size_txt_ = new QLabel(size);
  data_size_txt_->setGeometry(10, 24, 134, 16);
  QGroupBox* quality = Group(QStringLiteral("音質"), tab_sheet2_, 208, 64, 150, 56);
  quality->setEnabled(false);
  comment_of_quority_txt_ = new QLabel(quality);
  comment_of_quority_txt_->setGeometry(10, 24, 134, 16);

  QGroupBox* device = Group(QStringLiteral("使用する入力ﾃﾞｨﾊﾞｲｽ"), tab_sheet2_, 8, 124, 350, 52);
  combo_box_wave_in_dev_ = new QComboBox(device);
  combo_box_wave_in_dev_->setGeometry(10, 20, 330, 22);

  // The format as it stands in the controls; the initial choice is the settings' defaults
  // (stereo, 16 bits, 22.05 kHz), which a stored value the dialog does not offer leaves in place.
  radio_group3_->button(1)->setChecked(true);
  radio_btn_sample16_->setChecked(true);
  radio_group2_->button(2)->setChecked(true);
  connect(radio_group3_, &QButtonGroup::idToggled, this, [this](int, bool on) {
    if (on) UpdateFormatInfo();  // RadioGroup3Click
  });
  connect(radio_group2_, &QButtonGroup::idToggled, this, [this](int, bool on) {
    if (on) UpdateFormatInfo();  // RadioGroup2Click
  });
  // RadioBtnSample8Click, shared by both bit-size buttons.
  for (QRadioButton* button : {radio_btn_sample8_, radio_btn_sample16_}) {
    connect(button, &QRadioButton::toggled, this, [this, button](bool on) {
      if (!on) return;
      sample_bits_index_ = button == radio_btn_sample8_ ? 0 : 1;
      UpdateFormatInfo();
    });
  }
  // A choice by the user only (mouse or keys), not the list being filled.
  connect(combo_box_wave_in_dev_, &QComboBox::activated, this,
          [this] { ComboBoxWaveInDevChange(); });
  UpdateFormatInfo();
}

void TAudioPropForm::BuildWorkFolderPage() {
  tab_sheet4_ = new QWidget;
  page_control1_->addTab(tab_sheet4_, QStringLiteral("録音2"));

  QGroupBox* folder = Group(QStringLiteral("作業用フォルダ"), tab_sheet4_, 8, 4, 350, 56);
  static_text_work_dir_ = SunkenText(folder);
  static_text_work_dir_->setGeometry(10, 22, 268, 22);
  button4_ = Button(QStringLiteral("参照"), folder, 284, 21, 56, 24);
  connect(button4_, &QPushButton::clicked, this, [this] { Button4Click(); });

  QGroupBox* space = Group(QStringLiteral("ハードディスク残容量"), tab_sheet4_, 8, 64, 350, 64);
  Label(QStringLiteral("残容量（ＭByte)"), space, 10, 28);
  up_down_free_space_ = new TUpDownBox(space, 0, 990, 10, false);
  up_down_free_space_->setGeometry(100, 24, 64, 22);
  auto* note = new QLabel(
      QStringLiteral(
          "ハードディスクの残容量が\n指定した容量以下になると\n自動的に録音を停止します．"),
      space);
  note->setGeometry(182, 14, 164, 46);
  QPalette blue = note->palette();
  blue.setColor(QPalette::WindowText, Qt::blue);
  note->setPalette(blue);

  QGroupBox* volume = Group(QStringLiteral("ﾎﾞﾘｭｰﾑ設定"), tab_sheet4_, 8, 132, 350, 44);
  button2_ = Button(QStringLiteral("設定"), volume, 10, 16, 75, 22);
  connect(button2_, &QPushButton::clicked, this, [this] { Button2Click(); });
}

void TAudioPropForm::BuildKeyPage() {
  tab_sheet6_ = new QWidget;
  page_control1_->addTab(tab_sheet6_, QStringLiteral("ｷｰ設定"));

  Label(QStringLiteral("機能："), tab_sheet6_, 8, 6);
  list_box_func_ = new QListWidget(tab_sheet6_);
  list_box_func_->setGeometry(8, 22, 105, 81);
  list_box_func_->setUniformItemSizes(true);
  list_box_func_->setStyleSheet(QStringLiteral("QListWidget::item { height: 12px; }"));
  connect(list_box_func_, &QListWidget::currentRowChanged, this, [this](int row) {
    if (row >= 0) ShowFunctionKey(row);  // ListBoxFuncClick
  });

  Label(QStringLiteral("新しいｷｰ設定："), tab_sheet6_, 126, 6);
  edit_key_def_ = new QLineEdit(tab_sheet6_);
  edit_key_def_->setGeometry(126, 22, 128, 22);
  // Nothing is ever typed, pasted or dropped into the box: its text is the captured key's.
  edit_key_def_->setReadOnly(true);
  edit_key_def_->setContextMenuPolicy(Qt::NoContextMenu);
  edit_key_def_->setAcceptDrops(false);
  edit_key_def_->setAttribute(Qt::WA_InputMethodEnabled, false);
  // While a key is assigned the box is disabled and takes the frame colour.
  QPalette colours = edit_key_def_->palette();
  colours.setColor(QPalette::Disabled, QPalette::Base,
                   colours.color(QPalette::Active, QPalette::Window));
  edit_key_def_->setPalette(colours);

  btn_key_set_ = Button(QStringLiteral("設定"), tab_sheet6_, 260, 21, 46, 24);
  btn_key_set_->setEnabled(false);
  btn_relise_ = Button(QStringLiteral("解除"), tab_sheet6_, 310, 21, 46, 24);
  btn_relise_->setEnabled(false);
  connect(btn_key_set_, &QPushButton::clicked, this, [this] { BtnKeySetClick(); });
  connect(btn_relise_, &QPushButton::clicked, this, [this] { BtnReliseClick(); });

  Label(QStringLiteral("現在のｷｰ設定："), tab_sheet6_, 126, 58);
  static_text_current_key_def_ = SunkenText(tab_sheet6_);
  static_text_current_key_def_->setGeometry(126, 74, 128, 22);
  static_text_current_key_def_->setAutoFillBackground(true);
  QPalette white = static_text_current_key_def_->palette();
  white.setColor(QPalette::Window, Qt::white);
  static_text_current_key_def_->setPalette(white);

  chk_box_non_lock_mode_ = new QCheckBox(
      QStringLiteral("ノンロックモードを有効にする（再生・停止キーのみ）"), tab_sheet6_);
  chk_box_non_lock_mode_->setGeometry(8, 124, 350, 20);
}

void TAudioPropForm::SetMainWindowFields(app::Settings* settings, const app::HotKeyTable* hot_keys,
                                         DeviceNames device_names) {
  settings_ = settings;
  hot_keys_ = hot_keys;
  device_names_ = std::move(device_names);
}

int TAudioPropForm::RadioGroup3ItemIndex() const {
  return radio_group3_->checkedId();
}
int TAudioPropForm::RadioGroup2ItemIndex() const {
  return radio_group2_->checkedId();
}
QRadioButton* TAudioPropForm::RadioGroup3Item(int index) const {
  return static_cast<QRadioButton*>(radio_group3_->button(index));
}
QRadioButton* TAudioPropForm::RadioGroup2Item(int index) const {
  return static_cast<QRadioButton*>(radio_group2_->button(index));
}

int32_t TAudioPropForm::RateOfItem(int index) {
  return index >= 0 && index < 4 ? kRates[index] : kRates[2];
}

// ---------------------------------------------------------------------------------------------
// Showing

void TAudioPropForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Each showing, not a window restored by the window system.
  if (!event->spontaneous()) FormActivate();
}

void TAudioPropForm::FormActivate() {
  ShowCurrentSettings();
  UpdateFormatInfo();
  if (hot_keys_ != nullptr) pending_ = *hot_keys_;
  list_box_func_->setCurrentRow(0);
  ShowFunctionKey(0);
}

void TAudioPropForm::ShowCurrentSettings() {
  if (settings_ == nullptr) return;
  // Stored values outside a box's range are shown (and so stored on OK) at the nearest end.
  rev_sec_up_down_->setValue(settings_->RevSec);
  repeat_sec_up_down_->setValue(settings_->RepeatSec);
  up_down_ff_rw_->setValue(settings_->FfRwSec);
  up_down_delay_->setValue(settings_->DelaySec);
  SetDelimiterText(settings_->DelimiterFileName);
  ShowRecordingSettings();
  SetWorkDirText(settings_->WorkDir);
  chk_box_non_lock_mode_->setChecked(settings_->NonLockMode);
  chk_box_keep_pitch_->setChecked(settings_->KeepPitch);
}

void TAudioPropForm::ShowRecordingSettings() {
  if (settings_->Channels == 1 || settings_->Channels == 2) {
    radio_group3_->button(settings_->Channels - 1)->setChecked(true);
  }
  if (settings_->BitsPerSample == 8) {
    radio_btn_sample8_->setChecked(true);
    sample_bits_index_ = 0;
  } else if (settings_->BitsPerSample == 16) {
    radio_btn_sample16_->setChecked(true);
    sample_bits_index_ = 1;
  }
  for (int i = 0; i < 4; ++i) {
    if (settings_->Rate == kRates[i]) radio_group2_->button(i)->setChecked(true);
  }
  FillDeviceList();
  up_down_free_space_->setValue(settings_->FreeSpace);
}

void TAudioPropForm::FillDeviceList() {
  combo_box_wave_in_dev_->clear();
  const std::vector<std::string> names =
      device_names_ ? device_names_() : std::vector<std::string>{};
  int selected = -1;
  for (size_t i = 0; i < names.size(); ++i) {
    combo_box_wave_in_dev_->addItem(FromBytes(names[i]));
    if (settings_ != nullptr && static_cast<int64_t>(i) == settings_->PreferredDeviceID) {
      selected = static_cast<int>(i);
    }
  }
  // Nothing stored that names a device: the first one. No device at all: nothing selected.
  if (selected < 0 && !names.empty()) selected = 0;
  combo_box_wave_in_dev_->setCurrentIndex(selected);
}

void TAudioPropForm::UpdateFormatInfo() {
  const int channel_item = RadioGroup3ItemIndex() == 0 ? 0 : 1;
  const int rate_item = RadioGroup2ItemIndex() < 0 ? 2 : RadioGroup2ItemIndex();
  const int bits_item = sample_bits_index_ == 0 ? 0 : 1;
  comment_of_quority_txt_->setText(
      QString::fromUtf8(kQualityNotes[channel_item][bits_item][rate_item]));
  int64_t bytes_per_second = channel_item + 1;
  if (bits_item == 1) bytes_per_second *= 2;
  bytes_per_second *= kRates[rate_item];
  const int64_t megabytes_per_hour = bytes_per_second * 3600 / 1048576;
  data_size_txt_->setText(QStringLiteral("1時間当り  %1Mﾊﾞｲﾄ").arg(megabytes_per_hour));
}

void TAudioPropForm::SetDelimiterText(const std::string& path) {
  delimiter_file_name_ = path;
  static_text1_->setText(FromBytes(path));
}

void TAudioPropForm::SetWorkDirText(const std::string& path) {
  work_dir_ = path;
  static_text_work_dir_->setText(FromBytes(path));
}

// ---------------------------------------------------------------------------------------------
// Recording pages

void TAudioPropForm::ComboBoxWaveInDevChange() {
  if (settings_ != nullptr) settings_->PreferredDeviceID = combo_box_wave_in_dev_->currentIndex();
}

void TAudioPropForm::Button1Click() {
  QString folder = QCoreApplication::applicationDirPath();
  QString name;
  if (!delimiter_file_name_.empty()) {
    const QFileInfo current(FromBytes(delimiter_file_name_));
    folder = current.absolutePath();
    name = current.fileName();
  }
  const QString chosen = file_chooser_(this, folder, name, kWaveFilter);
  if (!chosen.isEmpty()) SetDelimiterText(chosen.toStdString());
}

void TAudioPropForm::Button4Click() {
  const QString current = FromBytes(work_dir_);
  const QString start = QFileInfo(current).isDir() ? current : QDir::homePath();
  const QString chosen = folder_chooser_(this, kWorkDirTitle, start);
  if (!chosen.isEmpty()) SetWorkDirText(chosen.toStdString());
}

void TAudioPropForm::Button2Click() {
  // The desktop's recording mixer: the sound server's volume control on its input devices.
  const QString mixer = QStandardPaths::findExecutable(QStringLiteral("pavucontrol"));
  if (mixer.isEmpty()) {
    MessageRequest request;
    request.text = QStringLiteral("ﾎﾞﾘｭｰﾑｺﾝﾄﾛｰﾙが見つかりません\n");
    request.caption = QStringLiteral("Verbat");
    ShowMessage(this, request);
    return;
  }
  QProcess::startDetached(mixer, {QStringLiteral("--tab=4")});
}

// ---------------------------------------------------------------------------------------------
// Key page

void TAudioPropForm::FillFunctionList() {
  for (std::string_view name : app::HotKeyFunction) {
    list_box_func_->addItem(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
  }
}

void TAudioPropForm::ShowKeyPageState(bool assigned) {
  // A key assigned: the box takes no keys (and the frame colour) until the key is released.
  edit_key_def_->setEnabled(!assigned);
  if (assigned) btn_key_set_->setEnabled(false);
  btn_relise_->setEnabled(assigned);
  // The page's hint shows over its controls too, which have none of their own.
  tab_sheet6_->setToolTip(assigned ? kHintAssigned : kHintFree);
}

void TAudioPropForm::ShowFunctionKey(int position) {
  edit_key_def_->clear();
  static_text_current_key_def_->clear();
  bool found = false;
  for (const app::HotKeyEntry& entry : pending_) {
    if (entry.function != position + 1 || app::KeyDisplayName(entry.key).empty()) continue;
    static_text_current_key_def_->setText(
        QString::fromStdString(app::CombinationText(entry.modifier, entry.key)));
    found = true;
  }
  ShowKeyPageState(found);
  // Moving the focus does nothing while the page is not in front.
  if (found) {
    btn_relise_->setFocus();
  } else {
    edit_key_def_->setFocus();
  }
}

bool TAudioPropForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edit_key_def_ && KeyEditWndProc(event)) return true;
  return QDialog::eventFilter(watched, event);
}

bool TAudioPropForm::KeyEditWndProc(QEvent* event) {
  switch (event->type()) {
    case QEvent::ShortcutOverride:
      // Every key comes to the box as a press; no shortcut of any window takes it first.
      event->accept();
      return true;
    case QEvent::KeyPress: {
      const auto* key = static_cast<const QKeyEvent*>(event);
      // Tab and Shift+Tab move the focus on, as everywhere in the dialog, so that the box can
      // be left with the keyboard; neither can be assigned.
      const bool tab = key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab;
      if (tab && (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) == 0) return false;
      edit_key_def_->clear();
      const KeyCombination pressed = CaptureKeyPress(*key);
      ShowCapturedKey(static_cast<uint16_t>(pressed.key), pressed.modifier);
      return true;
    }
    case QEvent::KeyRelease:
    case QEvent::InputMethod:
      return true;
    default:
      return false;
  }
}

void TAudioPropForm::ShowCapturedKey(uint16_t key, int32_t modifier) {
  // A key without a code cannot collide: code 0 is what every unassigned entry holds.
  if (key != 0 && !app::IsKeyFree(pending_, modifier, key)) {
    MessageRequest request;
    request.text = kKeyTaken;
    request.caption = QStringLiteral("Verbat");
    ShowMessage(this, request);
  } else {
    edit_key_def_->setText(QString::fromStdString(app::CombinationText(modifier, key)));
    captured_modifiers_ = modifier;
    captured_key_ = key;
  }
  if (!edit_key_def_->text().isEmpty()) btn_key_set_->setEnabled(true);
}

void TAudioPropForm::BtnKeySetClick() {
  const int position = list_box_func_->currentRow();
  if (edit_key_def_->text().isEmpty() || position < 0) return;
  const int32_t function = position + 1;
  pending_[EntryForNewKey(pending_, function)] = {captured_modifiers_, captured_key_, function};
  static_text_current_key_def_->setText(edit_key_def_->text());
  edit_key_def_->clear();
  ShowKeyPageState(true);
}

void TAudioPropForm::BtnReliseClick() {
  const int position = list_box_func_->currentRow();
  if (position < 0) return;
  // Every entry that holds the function, so that none of its keys stays behind unseen, and no
  // other function's entry.
  for (app::HotKeyEntry& entry : pending_) {
    if (entry.function == position + 1) entry = {};
  }
  static_text_current_key_def_->clear();
  ShowKeyPageState(false);
  edit_key_def_->setFocus();
}

// ---------------------------------------------------------------------------------------------
// Closing

void TAudioPropForm::keyPressEvent(QKeyEvent* event) {
  // Esc does not cancel the dialog (it can be assigned as a key); Enter presses "保存".
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TAudioPropForm::reject() {
  done(kModalCancel);
}

}  // namespace ui
