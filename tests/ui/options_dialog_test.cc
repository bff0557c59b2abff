// The options dialog on the offscreen platform: its pages loaded from the settings at each
// showing, the format figures, the device list, the choosers and the mixer, and the key page
// driven with key events.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <fstream>

#include "ui/Audioprop.h"
#include "ui/ModalResult.h"
#include "ui_test_support.h"

namespace {

class OptionsDialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { uitest::EnsureApplication(); }
  void SetUp() override {
    dialog.SetMainWindowFields(&settings, &hot_keys, [this] { return devices; });
  }
  void Show() {
    dialog.hide();
    dialog.show();
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
  }
  // Shows the dialog with the key page in front and the function at `row` selected.
  void ShowKeyPage(int row = 0) {
    dialog.PageControl1()->setCurrentWidget(dialog.TabSheet6());
    Show();
    dialog.ListBoxFunc()->setCurrentRow(row);
  }
  // A press and release in the key box (with no text: the keys typed into it never give any).
  void Press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    for (QTest::KeyAction action : {QTest::Press, QTest::Release}) {
      QTest::sendKeyEvent(action, dialog.EditKeyDef(), static_cast<Qt::Key>(key), QString(),
                          modifiers);
    }
  }

  app::Settings settings;
  app::HotKeyTable hot_keys{};
  std::vector<std::string> devices = {"Built-in Audio", "USB Microphone", "Line In"};
  uitest::RecordedMessages messages;
  ui::TAudioPropForm dialog;
};

TEST_F(OptionsDialogTest, PlayPageBoxesShowTheSecondsAndStepWithoutWrapping) {
  struct Case {
    int32_t app::Settings::*field;
    ui::TUpDownBox* box;
    int minimum, maximum, step;
  } cases[] = {
      {&app::Settings::RevSec, dialog.RevSecUpDown(), 0, 20, 1},
      {&app::Settings::RepeatSec, dialog.RepeatSecUpDown(), 1, 120, 1},
      {&app::Settings::FfRwSec, dialog.UpDownFfRw(), 0, 50, 2},
      {&app::Settings::DelaySec, dialog.UpDownDelay(), 0, 120, 1},
  };
  for (const Case& c : cases) {
    settings.*c.field = 4;
    Show();
    EXPECT_EQ(c.box->Edit()->text(), "4");
    EXPECT_TRUE(c.box->Edit()->isReadOnly());
    QTest::keyClicks(c.box, "9");  // typing changes nothing
    QTest::keyClick(c.box, Qt::Key_Up);
    EXPECT_EQ(c.box->value(), 4 + c.step);
    for (int i = 0; i < 200; ++i) QTest::keyClick(c.box, Qt::Key_Up);
    EXPECT_EQ(c.box->value(), c.maximum) << "no wrap past the top";
    for (int i = 0; i < 200; ++i) QTest::keyClick(c.box, Qt::Key_Down);
    EXPECT_EQ(c.box->value(), c.minimum) << "no wrap past the bottom";
  }
}

TEST_F(OptionsDialogTest, DataSizePerHourAndQualityNoteForEveryFormat) {
  struct Row {
    int channels, bits, rate, megabytes;
    QString note;
  };
  // clang-format off
  const Row rows[] = {
      {1, 8, 8000, 27, "Stamina"},  {1, 8, 11025, 37, "電話の音質"}, {1, 8, 22050, 75, "ラジオの音質"},
      {1, 8, 44100, 151, ""},       {1, 16, 8000, 54, ""},         {1, 16, 11025, 75, ""},
      {1, 16, 22050, 151, ""},      {1, 16, 44100, 302, ""},       {2, 8, 8000, 54, ""},
      {2, 8, 11025, 75, ""},        {2, 8, 22050, 151, ""},        {2, 8, 44100, 302, ""},
      {2, 16, 8000, 109, ""},       {2, 16, 11025, 151, ""},       {2, 16, 22050, 302, ""},
      {2, 16, 44100, 605, "CDの音質"},
  };
  // clang-format on
  Show();
  for (const Row& r : rows) {
    // Clicked as the user would; each click updates the figures.
    QTest::mouseClick(dialog.RadioGroup3Item(r.channels - 1), Qt::LeftButton);
    QTest::mouseClick(r.bits == 8 ? dialog.RadioBtnSample8() : dialog.RadioBtnSample16(),
                      Qt::LeftButton);
    const int item = r.rate == 8000 ? 0 : r.rate == 11025 ? 1 : r.rate == 22050 ? 2 : 3;
    QTest::mouseClick(dialog.RadioGroup2Item(item), Qt::LeftButton);
    EXPECT_EQ(dialog.DataSizeTxt()->text(), QStringLiteral("1時間当り  %1Mﾊﾞｲﾄ").arg(r.megabytes))
        << r.channels << " " << r.bits << " " << r.rate;
    EXPECT_EQ(dialog.CommentOfQuorityTxt()->text(), r.note);
    EXPECT_EQ(dialog.SampleBitsIndex(), r.bits == 8 ? 0 : 1);
    EXPECT_EQ(ui::TAudioPropForm::RateOfItem(dialog.RadioGroup2ItemIndex()), r.rate);
  }
}

TEST_F(OptionsDialogTest, StoredValuesTheDialogDoesNotOfferLeaveTheGroupsAsTheyWere) {
  settings.Channels = 1;
  settings.BitsPerSample = 8;
  settings.Rate = 44100;
  Show();
  settings.Channels = 3;
  settings.BitsPerSample = 12;
  settings.Rate = 32000;
  Show();
  EXPECT_EQ(dialog.RadioGroup3ItemIndex(), 0);
  EXPECT_EQ(dialog.SampleBitsIndex(), 0);
  EXPECT_TRUE(dialog.RadioBtnSample8()->isChecked());
  EXPECT_EQ(dialog.RadioGroup2ItemIndex(), 3);
  EXPECT_EQ(dialog.DataSizeTxt()->text(), QStringLiteral("1時間当り  151Mﾊﾞｲﾄ"));
}

TEST_F(OptionsDialogTest, DeviceListFollowsTheDevicesAndAChoiceIsStoredAtOnce) {
  QComboBox* list = dialog.ComboBoxWaveInDev();
  struct Case {
    int32_t preferred;
    size_t devices;
    int selected;
  } cases[] = {{2, 3, 2}, {7, 3, 0}, {-1, 3, 0}, {0, 0, -1}};
  for (const Case& c : cases) {
    devices.resize(c.devices);
    settings.PreferredDeviceID = c.preferred;
    Show();
    EXPECT_EQ(list->count(), static_cast<int>(c.devices));
    EXPECT_EQ(list->currentIndex(), c.selected) << c.preferred;
    EXPECT_EQ(settings.PreferredDeviceID, c.preferred) << "filling the list stores nothing";
  }
  devices = {"Built-in Audio", "USB Microphone", "Line In"};
  settings.PreferredDeviceID = 0;
  Show();
  EXPECT_EQ(list->itemText(1), "USB Microphone");
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Down);  // the user picks the next device
  EXPECT_EQ(settings.PreferredDeviceID, 1);
  dialog.BtnWavePropCancel()->click();
  EXPECT_EQ(dialog.result(), ui::kModalCancel);
  EXPECT_EQ(settings.PreferredDeviceID, 1) << "the choice survives Cancel";
}

TEST_F(OptionsDialogTest, ChosenFoldersAndFilesAreShownAndCancellingKeepsThem) {
  QString title, start, folder_answer = "/";
  dialog.SetFolderChooser([&](QWidget*, const QString& t, const QString& s) {
    title = t;
    start = s;
    return folder_answer;
  });
  dialog.SetFileChooser([](QWidget*, const QString& f, const QString& n, const QString&) {
    return f + "|" + n;  // where the chooser started
  });
  settings.WorkDir = "/tmp";
  settings.DelimiterFileName = "/tmp/sounds/bell.wav";
  Show();
  dialog.Button4()->click();
  EXPECT_EQ(title, "作業フォルダを選択して下さい。\nドライブのルート(\\)でもＯＫです。");
  EXPECT_EQ(start, "/tmp");
  EXPECT_EQ(dialog.StaticTextWorkDir()->text(), "/") << "a root keeps its separator";
  folder_answer.clear();
  dialog.Button4()->click();
  EXPECT_EQ(dialog.WorkDir(), "/") << "cancelled: unchanged";
  dialog.Button1()->click();
  EXPECT_EQ(dialog.StaticText1()->text(), "/tmp/sounds|bell.wav");

  // Names that are not UTF-8 are handed back byte for byte.
  settings.WorkDir = "/tmp/caf\xE9";
  Show();
  EXPECT_EQ(dialog.WorkDir(), settings.WorkDir);
}

TEST_F(OptionsDialogTest, MixerButtonStartsTheVolumeControlOrSaysThereIsNone) {
  uitest::FreshFolder folder;
  const QByteArray path = qgetenv("PATH");
  const QString log = folder.Path() + "/mixer.log";
  qputenv("PATH", folder.Path().toUtf8());
  Show();
  dialog.Button2()->click();
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0].text, "ﾎﾞﾘｭｰﾑｺﾝﾄﾛｰﾙが見つかりません\n");
  EXPECT_EQ(messages.shown[0].caption, "Verbat");
  EXPECT_EQ(messages.shown[0].buttons, ui::MsgButtons::kOk);

  const QString mixer = folder.Path() + "/pavucontrol";
  {
    std::ofstream script(mixer.toStdString());
    script << "#!/bin/sh\necho \"$@\" > '" << log.toStdString() << ".part'\n/bin/mv '"
           << log.toStdString() << ".part' '" << log.toStdString() << "'\n";
  }
  QFile::setPermissions(mixer, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  dialog.Button2()->click();
  qputenv("PATH", path);
  for (int i = 0; i < 500 && !QFile::exists(log); ++i) QTest::qWait(10);
  QFile started(log);
  ASSERT_TRUE(started.open(QIODevice::ReadOnly)) << "the mixer did not start";
  EXPECT_EQ(started.readAll().trimmed(), "--tab=4");
  EXPECT_EQ(messages.shown.size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Key page

TEST_F(OptionsDialogTest, KeyPressesBecomeTheCodesTheKeyboardWatchReports) {
  struct Case {
    int key;
    Qt::KeyboardModifiers modifiers;
    QString text;
    int32_t modifier, code;
  } cases[] = {
      {Qt::Key_F5, Qt::ControlModifier | Qt::ShiftModifier, "Shift+Ctrl+F5", 12, 0x74},
      {Qt::Key_Alt, Qt::NoModifier, "Alt", 16, 0x12},
      {Qt::Key_Control, Qt::NoModifier, "Ctrl", 8, 0x11},
      {Qt::Key_F10, Qt::NoModifier, "Alt+F10", 16, 0x79},  // F10 is stored with Alt
      {Qt::Key_1, Qt::ShiftModifier, "Shift+1", 4, 0x31},
      {Qt::Key_Semicolon, Qt::AltModifier, "Alt+;", 16, 0xBB},
      {Qt::Key_Space, Qt::ControlModifier, "Ctrl+Space", 8, 0x20},
      {Qt::Key_Escape, Qt::NoModifier, "ESC", 0, 0x1B},
      {Qt::Key_Backspace, Qt::NoModifier, "Bksp", 0, 0x08},
      {Qt::Key_Muhenkan, Qt::NoModifier, "無変換", 0, 0x1D},
      {Qt::Key_Return, Qt::NoModifier, "", 0, 0x0D},  // captured, but cannot be assigned
      // No key carries "!" unshifted: no code, and no clash with the unassigned entries' 0.
      {Qt::Key_Exclam, Qt::NoModifier, "", 0, 0},
  };
  ShowKeyPage();
  for (const Case& c : cases) {
    Press(c.key, c.modifiers);
    EXPECT_EQ(dialog.EditKeyDef()->text(), c.text) << c.text.toStdString();
    EXPECT_EQ(dialog.CapturedModifiers(), c.modifier) << c.text.toStdString();
    EXPECT_EQ(dialog.CapturedKey(), c.code) << c.text.toStdString();
  }
  EXPECT_TRUE(dialog.isVisible()) << "neither Esc nor Enter closed the dialog";
  EXPECT_TRUE(messages.shown.empty());
  // Tab leaves the box.
  dialog.EditKeyDef()->setFocus();
  Press(Qt::Key_Tab);
  EXPECT_FALSE(dialog.EditKeyDef()->hasFocus());
}

TEST_F(OptionsDialogTest, SetReleaseAndTheTwoStatesOfTheKeyPage) {
  hot_keys[0] = {8, 0x20, 1};  // Ctrl+Space plays
  ShowKeyPage(0);
  auto expect_assigned = [&](bool assigned, const QString& current) {
    EXPECT_EQ(dialog.StaticTextCurrentKeyDef()->text(), current);
    EXPECT_EQ(dialog.EditKeyDef()->isEnabled(), !assigned);
    EXPECT_EQ(dialog.BtnRelise()->isEnabled(), assigned);
    if (assigned) {
      EXPECT_FALSE(dialog.BtnKeySet()->isEnabled());
    }
    EXPECT_EQ(dialog.TabSheet6()->toolTip(),
              assigned ? "新しいｷｰ設定をするにはまず現在のｷｰを解除して下さい"
                       : "登録するｷｰを押してから設定ボタンを押して下さい");
  };
  expect_assigned(true, "Ctrl+Space");
  EXPECT_TRUE(dialog.BtnRelise()->hasFocus());

  // Another function: free. A combination that play/stop holds is refused.
  dialog.ListBoxFunc()->setCurrentRow(2);
  expect_assigned(false, "");
  EXPECT_TRUE(dialog.EditKeyDef()->hasFocus());
  Press(Qt::Key_F3);
  EXPECT_TRUE(dialog.BtnKeySet()->isEnabled());
  Press(Qt::Key_Space, Qt::ControlModifier);
  EXPECT_EQ(messages.Texts(), QStringList{"このｷｰは既に他の機能に割り当てれれています"});
  EXPECT_EQ(messages.shown[0].caption, "Verbat");
  EXPECT_TRUE(dialog.EditKeyDef()->text().isEmpty());
  // Ctrl's own press came first and was captured (as on a keyboard); Space with it was not.
  EXPECT_EQ(dialog.CapturedKey(), 0x11);
  EXPECT_TRUE(dialog.BtnKeySet()->isEnabled());
  dialog.BtnKeySet()->click();
  EXPECT_EQ(dialog.PendingHotKeys()[2], app::HotKeyEntry{}) << "Set with an empty box does nothing";

  Press(Qt::Key_F3);
  dialog.BtnKeySet()->click();
  EXPECT_EQ(dialog.PendingHotKeys()[2], (app::HotKeyEntry{0, 0x72, 3}));
  expect_assigned(true, "F3");
  EXPECT_TRUE(dialog.EditKeyDef()->text().isEmpty());

  // Play/stop released and its own combination captured again: accepted.
  dialog.ListBoxFunc()->setCurrentRow(0);
  dialog.BtnRelise()->click();
  expect_assigned(false, "");
  EXPECT_TRUE(dialog.EditKeyDef()->hasFocus());
  EXPECT_EQ(dialog.PendingHotKeys()[0], app::HotKeyEntry{});
  Press(Qt::Key_Space, Qt::ControlModifier);
  EXPECT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(dialog.EditKeyDef()->text(), "Ctrl+Space");

  // Released and cancelled: the window's table is as it was, and the next showing starts
  // from it again.
  dialog.BtnWavePropCancel()->click();
  EXPECT_EQ(hot_keys[0], (app::HotKeyEntry{8, 0x20, 1}));
  ShowKeyPage(0);
  EXPECT_EQ(dialog.PendingHotKeys(), hot_keys);
  expect_assigned(true, "Ctrl+Space");
}

TEST_F(OptionsDialogTest, EntriesAHandEditedFileSwappedAreReleasedAndSetByFunction) {
  hot_keys[0] = {8, 0x20, 2};  // entry 1 holds the pause key
  hot_keys[1] = {0, 0x70, 1};  // entry 2 holds play/stop's F1
  ShowKeyPage(0);
  EXPECT_EQ(dialog.StaticTextCurrentKeyDef()->text(), "F1");
  dialog.BtnRelise()->click();
  EXPECT_EQ(dialog.PendingHotKeys()[0], hot_keys[0]) << "pause keeps its key";
  EXPECT_EQ(dialog.PendingHotKeys()[1], app::HotKeyEntry{});
  Press(Qt::Key_F2);
  dialog.BtnKeySet()->click();
  EXPECT_EQ(dialog.PendingHotKeys()[0], hot_keys[0]);
  EXPECT_EQ(dialog.PendingHotKeys()[1], (app::HotKeyEntry{0, 0x71, 1}));
  dialog.ListBoxFunc()->setCurrentRow(1);
  EXPECT_EQ(dialog.StaticTextCurrentKeyDef()->text(), "Ctrl+Space");
}

}  // namespace
