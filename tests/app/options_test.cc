// The options dialog from the main window's Settings menu: what OK copies back into the window's
// settings and hot keys, what Cancel leaves, and hot keys held back while the dialog is up.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>

#include "app_test_support.h"
#include "kbdwatch/KbdWatch.h"
#include "ui/Audioprop.h"
#include "ui/SpeedButton.h"

namespace apptest {
namespace {

class OptionsTest : public MainFormTest {
 protected:
  void SetUp() override {
    MainFormTest::SetUp();
    dialog = std::make_unique<ui::TAudioPropForm>(form.get());
    form->AttachOptionsDialog(dialog.get());
    dialog->SetFolderChooser([](QWidget*, const QString&, const QString&) { return "/"; });
  }
  void TearDown() override {
    dialog.reset();
    MainFormTest::TearDown();
  }
  // Runs the Settings menu item with `act` done in the dialog.
  void Options(const std::function<void()>& act) {
    ModalScript script([&](QWidget*) { act(); });
    form->MnuProp()->trigger();
    EXPECT_TRUE(script.Ran());
    EXPECT_FALSE(script.TimedOut());
  }
  void Key(int32_t modifier, int32_t key, bool released = false) {
    app::HookEvent report(form->Hook().HookMessage(),
                          (static_cast<uintptr_t>(modifier) << 16) | static_cast<uint32_t>(key),
                          released ? static_cast<intptr_t>(KBDWATCH_KEY_UP_FLAG) : 0);
    QCoreApplication::sendEvent(form.get(), &report);
  }
  void PressInKeyBox(Qt::Key key) {
    for (QTest::KeyAction action : {QTest::Press, QTest::Release}) {
      QTest::sendKeyEvent(action, dialog->EditKeyDef(), key, QString(), Qt::NoModifier);
    }
  }

  std::unique_ptr<ui::TAudioPropForm> dialog;
};

TEST_F(OptionsTest, OkCopiesTheDialogBackAndCancelCopiesNothing) {
  LoadTestFile(30);
  app::Settings& settings = form->Settings();
  settings.Rate = 32000;  // stored by hand: the dialog does not offer it
  settings.WorkDir = "/tmp";
  form->HotKeys()[0] = {8, 0x20, 1};  // Ctrl+Space plays
  const app::Settings before = settings;
  const app::HotKeyTable keys_before = form->HotKeys();

  auto edit = [&] {
    QTest::keyClick(dialog->UpDownFfRw(), Qt::Key_Up);
    QTest::keyClick(dialog->RevSecUpDown(), Qt::Key_Down);
    dialog->RadioGroup3Item(0)->click();
    dialog->RadioBtnSample8()->click();
    dialog->Button4()->click();
    dialog->ChkBoxNonLockMode()->setChecked(true);
    dialog->ChkBoxKeepPitch()->click();
    dialog->PageControl1()->setCurrentWidget(dialog->TabSheet6());
    dialog->ListBoxFunc()->setCurrentRow(0);
    dialog->BtnRelise()->click();
    PressInKeyBox(Qt::Key_F2);
    dialog->BtnKeySet()->click();
  };
  Options([&] {
    edit();
    // Hot keys reported meanwhile are the dialog's: Ctrl+Space does not play (no playback, and
    // so no thread, starts unless that is broken).
    Key(8, 0x20);
    Key(8, 0x20, true);
    EXPECT_FALSE(form->PlayBtn()->isChecked());
    dialog->BtnWavePropCancel()->click();
  });
  EXPECT_EQ(settings, before);
  EXPECT_EQ(form->HotKeys(), keys_before);

  Options([&] {
    edit();
    dialog->BtnWavePropOK()->click();
  });
  app::Settings expected = before;
  expected.FfRwSec = 6;
  expected.RevSec = 2;
  expected.Channels = 1;
  expected.BitsPerSample = 8;
  expected.Rate = 22050;  // the rate group's choice, which 32000 left as it was
  expected.WorkDir = "/";
  expected.NonLockMode = true;
  expected.KeepPitch = true;
  EXPECT_EQ(settings, expected);
  EXPECT_TRUE(form->Transport().Output().KeepPitch()) << "the output keeps the pitch from now on";
  EXPECT_EQ(form->HotKeys()[0], (app::HotKeyEntry{0, 0x71, 1}));
  EXPECT_FALSE(form->RepeatBtn()->isEnabled()) << "non-lock mode disables repeat";
  // (That the new key plays from another window is checked end to end on X11.)
}

}  // namespace
}  // namespace apptest
