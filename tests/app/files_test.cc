// Opening files, the information panel, the counter functions and help, on a real main window.
#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QFontDatabase>
#include <QImage>
#include <QPainter>
#include <QLineEdit>
#include <QSlider>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include "ui/Fonts.h"

#include "app_test_support.h"
#include "ui/Desktop.h"
#include "ui/Setcounter.h"
#include "ui/SpeedButton.h"

namespace apptest {
namespace {

class FilesTest : public MainFormTest {};

TEST(FormatTest, CounterAndRateTexts) {
  EXPECT_EQ(app::TInfoPanel::FormatHms(0), "00:00:00");
  EXPECT_EQ(app::TInfoPanel::FormatHms(75), "00:01:15");
  EXPECT_EQ(app::TInfoPanel::FormatHms(3723), "01:02:03");
  EXPECT_EQ(app::TInfoPanel::FormatHms(100 * 3600 + 59), "100:00:59");  // hours do not wrap
  EXPECT_EQ(app::TInfoPanel::RateText(44100), "44.1");
  EXPECT_EQ(app::TInfoPanel::RateText(22050), "22.05");
  EXPECT_EQ(app::TInfoPanel::RateText(11025), "11.025");
  EXPECT_EQ(app::TInfoPanel::RateText(8000), "8");
  EXPECT_EQ(app::TInfoPanel::RateText(0), "0");
}

TEST_F(FilesTest, PanelShowsNameLengthAndFormat) {
  WriteWav(Path("long.wav"), 8000, 1, 8, 3723);
  form->LoadFile(QString::fromStdString(Path("long.wav")));
  EXPECT_EQ(form->Panel()->MarqueeText(), QString::fromStdString(Path("long.wav")) + " (01:02:03)");
  EXPECT_EQ(form->Panel()->FormatLineText(), "8KHz  8Bits Mono         ");
  EXPECT_EQ(form->TrackBar()->maximum(), 3723);
  EXPECT_EQ(form->Panel()->CounterText(), "00:00:00");

  WriteWav(Path("cd.wav"), 44100, 2, 16, 1);
  form->LoadFile(QString::fromStdString(Path("cd.wav")));
  EXPECT_EQ(form->Panel()->FormatLineText(), "44.1KHz 16Bits Stereo       ");
  EXPECT_EQ(form->TrackBar()->maximum(), 1);
}

TEST_F(FilesTest, PanelIsPaintedInItsColours) {
  LoadTestFile(120);
  form->Panel()->DrawCounter(75);
  // Text is antialiased: a pixel counts for a colour when it is nearer to it than to the panel.
  const QColor fill(0xD3, 0xD7, 0xC4);
  auto distance = [](QColor a, QColor b) {
    return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
           std::abs(a.blue() - b.blue());
  };
  auto count_colour = [&](const QImage& image, QRect area, QColor colour) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
      for (int x = area.left(); x <= area.right(); ++x) {
        const QColor c = image.pixelColor(x, y);
        n += distance(c, fill) > 90 && distance(c, colour) < distance(c, fill) / 2;
      }
    }
    return n;
  };
  const QImage panel = form->Client()->grab().toImage();
  EXPECT_EQ(panel.pixelColor(200, 50), fill);
  EXPECT_GT(count_colour(panel, QRect(285, 15, 50, 14), QColor(0, 0, 0x80)), 10) << "counter";
  EXPECT_GT(count_colour(panel, QRect(15, 15, 248, 14), QColor(0x35, 0x4B, 0x30)), 10)
      << "file name";
  EXPECT_EQ(count_colour(panel, QRect(15, 15, 248, 14), QColor(0xFF, 0x80, 0)), 0);

  // The widest counter fits inside the box: every pixel of its text is drawn.
  form->Panel()->DrawCounter(88 * 3600 + 58 * 60 + 58);
  const QImage widest = form->Client()->grab().toImage();
  const QString text = form->Panel()->CounterText();
  QPixmap alone(200, 30);
  alone.fill(fill);
  {
    QPainter painter(&alone);
    painter.setFont(form->Panel()->font());
    painter.setPen(QColor(0, 0, 0x80));
    painter.drawText(QRect(0, 0, 200, 30), Qt::AlignLeft | Qt::AlignTop, text);
  }
  const int ink = count_colour(alone.toImage(), QRect(0, 0, 200, 30), QColor(0, 0, 0x80));
  EXPECT_NEAR(count_colour(widest, QRect(264, 15, 72, 14), QColor(0, 0, 0x80)), ink, ink / 20)
      << text.toStdString() << " is clipped";
  EXPECT_EQ(count_colour(widest, QRect(336, 3, 2, 54), QColor(0, 0, 0x80)), 0);

  form->Panel()->DrawSeekPreview(20, 120);
  const QImage dragging = form->Client()->grab().toImage();
  EXPECT_GT(count_colour(dragging, QRect(15, 15, 248, 14), QColor(0xFF, 0x80, 0)), 10)
      << "seek preview";
}

TEST_F(FilesTest, JapaneseTextUsesAnInstalledGothicFace) {
  const QFontInfo info(form->font());
  if (!QFontDatabase::families().contains("IPAPGothic")) {
    GTEST_SKIP() << "IPAPGothic is not installed (fonts-ipafont-gothic)";
  }
  EXPECT_EQ(info.family(), "IPAPGothic");
  EXPECT_TRUE(QFontMetrics(form->font()).inFontUcs4(U'再'));
  EXPECT_EQ(QFontInfo(ui::FixedFont()).family(), "IPAGothic");
}

TEST_F(FilesTest, CanLoadFileRefusesWhilePlayingRecordingOrUnsaved) {
  LoadTestFile(60);
  form->PlayBtn()->click();
  ASSERT_TRUE(ProcessUntil([&] { return State() == media::kStatePlaying; }));
  EXPECT_FALSE(form->CanLoadFile());
  form->PauseBtn()->click();
  ASSERT_EQ(State(), media::kStatePaused);
  EXPECT_TRUE(form->CanLoadFile()) << "paused is allowed";
  form->PlayBtn()->click();

  form->RecBtn()->setChecked(true);
  EXPECT_FALSE(form->CanLoadFile());
  form->RecBtn()->setChecked(false);

  form->SetUnsaved(true);
  EXPECT_TRUE(form->SaveAs1()->isEnabled());
  messages->Answer(ui::MsgResult::kCancel);
  EXPECT_FALSE(form->CanLoadFile());
  messages->Answer(ui::MsgResult::kOk);
  EXPECT_TRUE(form->CanLoadFile());
  EXPECT_EQ(messages->Texts(),
            (QStringList{"再生を停止してから再度実行して下さい",
                         "録音を停止してから再度実行して下さい",
                         "録音した内容が保存されていません\n\n読み込みを実行しますか？",
                         "録音した内容が保存されていません\n\n読み込みを実行しますか？"}));
  EXPECT_EQ(messages->Shown()[2].buttons, ui::MsgButtons::kOkCancel);
  EXPECT_EQ(messages->Shown()[0].caption, "Verbat");
}

TEST_F(FilesTest, DropLoadsTheFirstFileOnlyAndRefusesOtherExtensions) {
  for (const char* name : {"a.WAV", "b.wav", "c.wav"}) WriteWav(Path(name), 8000, 1, 16, 5);
  form->SetUnsaved(true);
  form->DropFiles({QString::fromStdString(Path("a.WAV")), QString::fromStdString(Path("b.wav")),
                   QString::fromStdString(Path("c.wav"))});
  ASSERT_NE(form->Transport().CurrentItem(), nullptr);
  EXPECT_EQ(form->Transport().CurrentItem()->path, Path("a.WAV"));
  EXPECT_FALSE(form->Unsaved());
  EXPECT_FALSE(form->SaveAs1()->isEnabled());
  EXPECT_EQ(EnabledMask(), app::kMaskStopped);

  messages->Clear();
  std::ofstream(Path("notes.txt")) << "text";
  form->DropFiles({QString::fromStdString(Path("notes.txt"))});
  EXPECT_EQ(messages->Texts(), QStringList{"対象外の拡張子"});
  EXPECT_EQ(form->Transport().CurrentItem()->path, Path("a.WAV")) << "nothing else was loaded";
}

TEST_F(FilesTest, UnreadableFileIsReportedAndLeavesNoFileLoaded) {
  LoadTestFile(10);
  std::ofstream(Path("broken.wav")) << "this is not a sound file at all";
  form->DropFiles({QString::fromStdString(Path("broken.wav"))});
  EXPECT_EQ(messages->Texts(), QStringList{"RIFF フォーマットではありません。"});
  EXPECT_EQ(form->Transport().CurrentItem(), nullptr);
  EXPECT_FALSE(form->PlayBtn()->isEnabled());
  EXPECT_TRUE(form->Panel()->MarqueeText().isEmpty());
  // The program goes on: a good file loads and plays.
  LoadTestFile(10, "good.wav");
  ClickPlay();
}

TEST_F(FilesTest, OpenDialogStartsAtTheLoadedFileAndTheExtensionChoosesTheInput) {
  LoadTestFile(10, "first.wav");
  QString folder, name, filter, chosen;
  form->SetFileChooser([&](QWidget*, const QString& f, const QString& n, const QString& flt) {
    folder = f;
    name = n;
    filter = flt;
    return chosen;
  });
  // A WAV file under another name is read by the Ogg Vorbis input, which refuses it.
  WriteWav(Path("speech.flac"), 8000, 1, 16, 5);
  chosen = QString::fromStdString(Path("speech.flac"));
  form->Open1Click();
  EXPECT_EQ(QFileInfo(folder).canonicalFilePath(),
            QFileInfo(QString::fromStdString(dir)).canonicalFilePath());
  EXPECT_EQ(name, "first.wav");
  EXPECT_TRUE(filter.contains("*.wav") && filter.contains("*.mp3") && filter.contains("*.ogg"));
  ASSERT_EQ(messages->Shown().size(), 1u);
  EXPECT_NE(messages->Texts()[0], "RIFF フォーマットではありません。");
  EXPECT_EQ(messages->Shown()[0].icon, ui::MsgIcon::kError);
  EXPECT_EQ(form->Transport().CurrentItem(), nullptr);

  // The letter case of ".wav" does not matter.
  messages->Clear();
  WriteWav(Path("upper.WaV"), 8000, 1, 16, 5);
  chosen = QString::fromStdString(Path("upper.WaV"));
  form->Open1Click();
  ASSERT_NE(form->Transport().CurrentItem(), nullptr) << messages->Texts().join(" / ").toStdString();
  EXPECT_EQ(form->Transport().CurrentItem()->length, 5);

  chosen.clear();  // cancelled: the loaded file stays
  form->Open1Click();
  EXPECT_EQ(form->Transport().CurrentItem()->path, Path("upper.WaV"));
}

TEST_F(FilesTest, CopyCounterPutsTheTimeOnTheClipboard) {
  LoadTestFile(120);
  form->Transport().SetPosition(75);
  form->CopyCounter();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "00:01:15");
}

class SetCounterTest : public FilesTest {
 protected:
  // Runs the counter entry, typing `keys` into the dialog.
  void Enter(const QString& keys) {
    ModalScript type([keys](QWidget* dialog) {
      QTest::keyClicks(static_cast<ui::TSetCounterForm*>(dialog)->Edit1(), keys);
      if (dialog->isVisible()) dialog->close();  // an incomplete entry: the close box
    });
    form->SetCounter();
    EXPECT_TRUE(type.Ran());
  }
};

TEST_F(SetCounterTest, BothFormsMoveTheCounterAndBadEntriesDoNothing) {
  WriteWav(Path("two-hours.wav"), 8000, 1, 8, 2 * 3600);
  form->LoadFile(QString::fromStdString(Path("two-hours.wav")));
  Enter("012345");
  EXPECT_EQ(form->Transport().Position(), 5025);
  EXPECT_EQ(form->Panel()->CounterText(), "01:23:45");
  EXPECT_EQ(form->TrackBar()->value(), 5025);
  Enter("00:00:10");
  EXPECT_EQ(form->Transport().Position(), 10);
  Enter("016000");  // 60 minutes
  Enter("03:00:00");  // beyond the file
  Enter("00:01");  // incomplete, closed
  EXPECT_EQ(form->Transport().Position(), 10);
  EXPECT_TRUE(messages->Shown().empty());
  Enter("ab:cd:ef");
  EXPECT_EQ(messages->Shown().size(), 1u) << "a field that is not a number is reported";
  EXPECT_EQ(form->Transport().Position(), 10);
}

TEST_F(SetCounterTest, PlayingSeeksAndPausedDoesNotMove) {
  LoadTestFile(120);
  ClickPlay();
  Enter("000130");
  EXPECT_EQ(form->Transport().Position(), 90);
  EXPECT_EQ(form->Transport().Input().GetPosition(), 90);
  form->PauseBtn()->click();
  ASSERT_EQ(State(), media::kStatePaused);
  Enter("000010");
  EXPECT_EQ(form->Transport().Position(), 90);
  EXPECT_EQ(form->Transport().Input().GetPosition(), 90);
}

// The desktop's opener is a program; here scripts stand in for it, and the real path (start,
// exit status, crash, time-out) runs.
TEST_F(FilesTest, HelpOpensThePageOrSaysItCouldNot) {
  const QString page = QCoreApplication::applicationDirPath() + "/VerbatHelp.html";
  if (!QFileInfo::exists(page)) {
    GTEST_SKIP() << "the help page was not copied beside the test program";
  }
  const std::string opened = Path("opened.txt");
  auto script = [&](const std::string& name, const std::string& body) {
    const std::string path = Path(name);
    std::ofstream(path) << "#!/bin/sh\nprintf '%s' \"$1\" > '" << opened << "'\n" << body << "\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return QString::fromStdString(path);
  };
  struct Case {
    QString program;
    bool says_it_could_not;
    const char* what;
  };
  const Case cases[] = {
      {script("opens.sh", "exit 0"), false, "the opener took the page"},
      {script("fails.sh", "exit 3"), true, "no program to show the page"},
      {script("crashes.sh", "kill -SEGV $$"), true, "the opener crashed"},
      {QString::fromStdString(Path("not-installed")), true, "no opener at all"},
      // Still running when the program stops waiting: it shows the page itself.
      {script("stays.sh", "sleep 8; touch '" + Path("stayed") + "'; exit 3"), false,
       "the opener runs the viewer"},
  };
  const QString previous = ui::SetOpenerProgram(QString());
  for (const Case& c : cases) {
    messages->Clear();
    std::filesystem::remove(opened);
    ui::SetOpenerProgram(c.program);
    form->HelpIndex1Click();
    EXPECT_EQ(messages->Texts(), c.says_it_could_not
                                     ? QStringList{"HTMLヘルプが起動出来ませんでした\n"}
                                     : QStringList{})
        << c.what;
    if (std::filesystem::exists(c.program.toStdString())) {
      std::ifstream in(opened);
      std::string argument((std::istreambuf_iterator<char>(in)), {});
      EXPECT_EQ(QFileInfo(QString::fromStdString(argument)).canonicalFilePath(),
                QFileInfo(page).canonicalFilePath())
          << c.what;
    }
  }
  ui::SetOpenerProgram(previous);
  // The opener left running ends by itself; nothing waits for it but this test.
  EXPECT_TRUE(ProcessUntil([&] { return std::filesystem::exists(Path("stayed")); },
                           std::chrono::seconds(30)));
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace
}  // namespace apptest
