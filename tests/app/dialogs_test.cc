// The dialogs on their own: counter entry, warning, version, message boxes, the Open dialog.
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeDatabase>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTranslator>
#include <QTreeView>
#include <algorithm>
#include <memory>

#include "app/Application.h"
#include "app_test_support.h"
#include "ui/Alert.h"
#include "ui/ModalResult.h"
#include "ui/Setcounter.h"
#include "ui/VerbatAbout.h"
#include "ui/Version.h"

namespace apptest {
namespace {

class DialogsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { EnsureApplication(); }
};

TEST_F(DialogsTest, CounterEntryClosesItselfOnceComplete) {
  ui::TSetCounterForm dialog;
  struct Case {
    QString keys;
    bool closes;
  };
  for (const Case& c : {Case{"013005", true}, Case{"01:30:05", true}, Case{"01:300", false},
                        Case{"01:30", false}, Case{"12345", false}}) {
    bool open_after = true;
    QString text;
    ModalScript type([&](QWidget*) {
      QTest::keyClicks(dialog.Edit1(), c.keys);
      open_after = dialog.isVisible();
      if (open_after) dialog.close();
    });
    const int result = dialog.exec();
    EXPECT_TRUE(type.Ran());
    EXPECT_EQ(!open_after, c.closes) << c.keys.toStdString();
    EXPECT_EQ(dialog.Text(), c.keys);
    EXPECT_EQ(result, ui::kModalCancel);
  }
  // A colon third at six characters goes on to eight, then closes.
  bool open_at_six = false, open_at_eight = true;
  ModalScript type([&](QWidget*) {
    QTest::keyClicks(dialog.Edit1(), "01:300");
    open_at_six = dialog.isVisible();
    QTest::keyClicks(dialog.Edit1(), "55");
    open_at_eight = dialog.isVisible();
  });
  dialog.exec();
  EXPECT_TRUE(open_at_six);
  EXPECT_FALSE(open_at_eight);
  EXPECT_EQ(dialog.Text(), "01:30055");
  EXPECT_EQ(dialog.Edit1()->maxLength(), 9);
}

TEST_F(DialogsTest, CounterEntryIsEmptiedAndPlacedAtTheMainWindowEachTime) {
  QWidget main_window;
  main_window.move(120, 80);
  main_window.show();
  ui::TSetCounterForm dialog;
  dialog.SetMainWindow(&main_window);
  dialog.Edit1()->setText("99");
  for (int showing = 1; showing <= 3; ++showing) {
    QString text_when_shown, text_after_undo;
    QPoint where;
    ModalScript look([&](QWidget*) {
      text_when_shown = dialog.Edit1()->text();
      where = dialog.frameGeometry().topLeft();
      // What the user typed in an earlier showing must not come back with Undo.
      QTest::keyClick(dialog.Edit1(), Qt::Key_Z, Qt::ControlModifier);
      text_after_undo = dialog.Edit1()->text();
      QTest::keyClicks(dialog.Edit1(), "01:3");
      dialog.close();
    });
    dialog.exec();
    EXPECT_TRUE(look.Ran());
    EXPECT_TRUE(text_when_shown.isEmpty()) << "showing " << showing;
    EXPECT_TRUE(text_after_undo.isEmpty())
        << "showing " << showing << ": " << text_after_undo.toStdString();
    EXPECT_EQ(where, main_window.frameGeometry().topLeft()) << "showing " << showing;
    EXPECT_EQ(dialog.Text(), "01:3");
    if (showing == 2) main_window.move(200, 150);  // the dialog follows the window
  }
}

// Qt's own texts: the edit boxes' context menu and Qt's file dialog.
TEST_F(DialogsTest, QtTextsAreJapaneseWhateverTheSystemLanguage) {
  QTranslator* translator = app::InstallQtTranslations(*QCoreApplication::instance());
  if (translator == nullptr) {
    if (qgetenv("CI") == "true") FAIL() << "Qt's Japanese catalogue is not installed";
    GTEST_SKIP() << "Qt's Japanese catalogue (qtbase_ja.qm, qt6-translations-l10n) is missing";
  }
  // A text is Japanese when it holds a character beyond ASCII (mnemonics and shortcuts stay
  // Latin).
  QStringList shown;  // the line edit's menu, the file dialog's labels and buttons, file types
  QLineEdit edit("text");
  std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
  for (QAction* action : menu->actions()) {
    if (!action->isSeparator()) shown << action->text();
  }
  QFileDialog dialog(nullptr, "開く", QDir::tempPath(), "Wave (*.wav)");
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  for (QLabel* label : dialog.findChildren<QLabel*>()) {
    if (!label->text().isEmpty()) shown << label->text();
  }
  for (QPushButton* button : dialog.findChildren<QPushButton*>()) shown << button->text();
  // Folders' type is missing from Qt's catalogue; files' types follow the default locale.
  shown << QFileIconProvider().type(QFileInfo(QDir::tempPath()))
        << QMimeDatabase().mimeTypeForFile("x.wav", QMimeDatabase::MatchExtension).comment();
  EXPECT_GE(shown.size(), 7 + 5 + 2);
  const QStringList english = shown.filter(QRegularExpression("^[\\x00-\\x7F]*$"));
  EXPECT_TRUE(english.isEmpty()) << english.join(" | ").toStdString();
  QCoreApplication::removeTranslator(translator);
  delete translator;
}

// What the box's label draws in its own width: lines of text, counted by the font's spacing.
int DrawnLines(const QLabel& label) {
  const QFontMetrics metrics(label.font());
  const int flags = Qt::AlignLeft | (label.wordWrap() ? Qt::TextWordWrap : 0);
  const QRect drawn = metrics.boundingRect(label.contentsRect(), flags, label.text());
  return (drawn.height() + metrics.lineSpacing() / 2) / metrics.lineSpacing();
}

TEST_F(DialogsTest, MessageBoxKeepsEachLineWholeAndGrowsToTheLongest) {
  const QString long_line = QString("長い説明の行が続きます。").repeated(4);
  struct Case {
    QString text;
    ui::MsgIcon icon;
    ui::MsgButtons buttons;
    bool wider_than_the_screen = false;  // the one thing that wraps
  };
  for (const Case& c :
       {Case{"再生を停止してから再度実行して下さい", ui::MsgIcon::kNone, ui::MsgButtons::kOk},
        Case{"録音した内容が保存されていません\n\n読み込みを実行しますか？", ui::MsgIcon::kQuestion,
             ui::MsgButtons::kOkCancel},
        Case{"HTMLヘルプが起動出来ませんでした\n", ui::MsgIcon::kNone, ui::MsgButtons::kOk},
        Case{"RIFF フォーマットではありません。", ui::MsgIcon::kError, ui::MsgButtons::kOk},
        Case{long_line + "\n" + long_line.left(20) + "\n<b>" + long_line + "</b>",
             ui::MsgIcon::kWarning, ui::MsgButtons::kOk},
        Case{QString("画面に収まらない長さの一行です。").repeated(12), ui::MsgIcon::kNone,
             ui::MsgButtons::kOk, true}}) {
    const QStringList lines = c.text.split('\n');
    int drawn = 0, room = 0, widest = 0, box_width = 0, screen_width = 0;
    ModalScript look([&](QWidget* box) {
      auto* label = box->findChild<QLabel*>("qt_msgbox_label");
      ASSERT_NE(label, nullptr);
      drawn = DrawnLines(*label);
      room = label->contentsRect().width();
      for (const QString& line : lines) {
        widest = std::max(widest, label->fontMetrics().horizontalAdvance(line));
      }
      // Drawn as it is: as markup, "<b>" would be neither shown nor measured.
      if (!c.wider_than_the_screen) {
        EXPECT_GE(label->sizeHint().width(), widest);
      }
      box_width = box->width();
      screen_width = box->screen()->availableGeometry().width();
      box->close();
    });
    ui::ShowQtMessageBox(nullptr, {c.text, "Verbat", c.buttons, c.icon});
    ASSERT_TRUE(look.Ran()) << c.text.toStdString();
    EXPECT_LE(box_width, screen_width) << c.text.toStdString();
    if (c.wider_than_the_screen) {
      EXPECT_GT(drawn, 1);
    } else {
      EXPECT_EQ(drawn, lines.size()) << c.text.toStdString();
      EXPECT_GE(room, widest) << c.text.toStdString();
    }
  }
}

// The Open dialog itself (Qt's own here: the offscreen platform offers no dialog of its own):
// it lists the loaded file's folder with every column whole, and what is chosen is loaded. Kept
// out of the thread-sanitizer runs: the dialog lists folders on a thread of Qt's, whose locks
// the sanitizer cannot see.
class OpenDialogTest : public MainFormTest {};

TEST_F(OpenDialogTest, ShowsItsColumnsWholeAndLoadsTheChoice) {
  // Qt's file dialog keeps its state in the user's settings: these go to the test's folder.
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(Path("config")));
  WriteWav(Path("面談の録音.wav"), 22050, 2, 16, 6);  // 516.84 KiB
  WriteWav(Path("2.wav"), 8000, 1, 8, 1);
  WriteWav(Path("長時間の会議の録音.wav"), 44100, 2, 16, 3 * 3600);  // 1.78 GiB
  LoadTestFile(5, "first.wav");
  const QString chosen = QString::fromStdString(Path("面談の録音.wav"));

  QStringList cut;
  int listed = 0, columns_width = 0, list_width = 0;
  ModalScript choose([&](QWidget* modal) {
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    ASSERT_NE(dialog, nullptr);
    auto* tree = dialog->findChild<QTreeView*>();
    auto* model = dialog->findChild<QFileSystemModel*>();
    ASSERT_TRUE(tree != nullptr && model != nullptr);
    const QModelIndex folder = model->index(QString::fromStdString(dir));
    ASSERT_TRUE(ProcessUntil([&] { return model->rowCount(folder) >= 4; }));
    QCoreApplication::processEvents();  // the columns follow what is listed
    listed = model->rowCount(folder);
    const QFontMetrics metrics(tree->font());
    for (int row = 0; row < listed; ++row) {
      for (int column = 1; column <= 3; ++column) {
        const QString text = model->index(row, column, folder).data().toString();
        // A text is whole when its column holds it beside the item's margins.
        if (metrics.horizontalAdvance(text) + 6 > tree->header()->sectionSize(column)) cut << text;
      }
    }
    columns_width = tree->header()->length();
    list_width = tree->viewport()->width();
    // As the user would: the name typed into the dialog's name box, then Open.
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText(QFileInfo(chosen).fileName());
    static_cast<QDialog*>(dialog)->accept();
  });
  form->Open1Click();
  ASSERT_TRUE(choose.Ran());
  EXPECT_FALSE(choose.TimedOut());
  EXPECT_EQ(listed, 4);
  EXPECT_TRUE(cut.isEmpty()) << cut.join(" | ").toStdString();
  EXPECT_LE(columns_width, list_width) << "the columns fit the list";
  ASSERT_NE(form->Transport().CurrentItem(), nullptr);
  EXPECT_EQ(form->Transport().CurrentItem()->path, chosen.toStdString());
}

TEST_F(DialogsTest, WarningAnswersAndItsCheckBoxActsAtOnce) {
  ui::TAlertForm alert;
  EXPECT_EQ(alert.windowTitle(), "警告！");
  EXPECT_TRUE(alert.MemoText().startsWith("この操作を行うとPCによっては致命的エラーが\n"));
  EXPECT_FALSE(alert.Button1()->isDefault());
  EXPECT_FALSE(alert.Button2()->isDefault());
  QSignalSpy changed(&alert, &ui::TAlertForm::DspAlertChanged);

  int result = 0;
  {
    ModalScript ok([&](QWidget*) { alert.Button1()->click(); });
    result = alert.exec();
  }
  EXPECT_EQ(result, ui::kModalOk);
  {
    ModalScript cancel([&](QWidget*) {
      alert.CheckBox1()->click();
      EXPECT_EQ(changed.count(), 1) << "the setting changes before the dialog closes";
      alert.Button2()->click();
    });
    result = alert.exec();
  }
  EXPECT_EQ(result, ui::kModalCancel);
  ASSERT_EQ(changed.count(), 1);
  EXPECT_EQ(changed.at(0).at(0).toBool(), false);
  {
    ModalScript close_box([&](QWidget*) { alert.close(); });
    result = alert.exec();
  }
  EXPECT_EQ(result, ui::kModalCancel);
  EXPECT_TRUE(alert.CheckBox1()->isChecked()) << "the check box keeps its state";
}

TEST_F(DialogsTest, VersionDialogShowsTheCompiledInVersion) {
  ui::TVerbatAboutForm about;
  // The version the build was given, shown as it was given.
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$"))
                  .match(ui::ProgramVersion())
                  .hasMatch())
      << ui::ProgramVersion().toStdString();
  EXPECT_EQ(about.LabelVersion()->text(), QStringLiteral("Ver ") + ui::ProgramVersion());
  EXPECT_EQ(about.windowTitle(), "ﾊﾞｰｼﾞｮﾝ情報");
  int result = 0;
  {
    ModalScript ok([&](QWidget*) { about.OKButton()->click(); });
    result = about.exec();
  }
  EXPECT_EQ(result, ui::kModalCancel);
}

}  // namespace
}  // namespace apptest
