// Where the equalizer window's pictures come from, and what happens when they cannot be had:
// the data-file lookup order, the JPEG decoder on good, damaged and hostile bytes, the messages
// for missing pictures, and a user's own picture in the current folder. This program has no
// pictures beside it.
#include <QCursor>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>
#include <vector>

#include "tests/ui/ui_test_support.h"
#include "ui/DataFiles.h"
#include "ui/JpegImage.h"
#include "ui/SpeedButton.h"

namespace {

using ui::DecodeJpeg;
using ui::FindDataFile;

const QString kSkinDir = QStringLiteral(VERBAT_SKIN_DIR);

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
  return file.readAll();
}

void WriteFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
  file.write(bytes);
}

TEST(DataFiles, TheCurrentFolderComesFirstThenTheProgramsThenShare) {
  uitest::EnsureApplication();
  QTemporaryDir root;
  const QString current = root.filePath(QStringLiteral("current"));
  const QString program = root.filePath(QStringLiteral("program"));
  const QString share = root.filePath(QStringLiteral("share"));
  for (const QString& dir : {current, program, share}) QDir().mkpath(dir);
  const QStringList folders{current, program, share};

  const struct {
    const char* name;
    std::vector<QString> holders;
    QString want;  // the folder whose copy is found; empty: none
  } cases[] = {
      {"a.jpg", {current, program, share}, current},  // the user's own copy wins
      {"b.jpg", {program, share}, program},
      {"c.jpg", {share}, share},
      {"d.jpg", {}, QString()},
  };
  for (const auto& c : cases) {
    const QString name = QLatin1String(c.name);
    for (const QString& dir : c.holders) WriteFile(dir + u'/' + name, "x");
    const QString found = FindDataFile(name, folders);
    EXPECT_EQ(found, c.want.isEmpty() ? QString() : QDir(c.want).absoluteFilePath(name)) << c.name;
  }
  // A folder of that name is not the file; names with a folder part are not looked up at all.
  QDir(current).mkdir(QStringLiteral("e.jpg"));
  WriteFile(program + QStringLiteral("/e.jpg"), "x");
  EXPECT_EQ(FindDataFile(QStringLiteral("e.jpg"), folders), program + QStringLiteral("/e.jpg"));
  for (const char* bad : {"../program/b.jpg", "sub/a.jpg", "..", ""}) {
    EXPECT_TRUE(FindDataFile(QLatin1String(bad), folders).isEmpty()) << bad;
  }

  const QString app_dir = QCoreApplication::applicationDirPath();
  EXPECT_EQ(ui::DataFolders(),
            (QStringList{QDir::currentPath(), app_dir,
                         QDir::cleanPath(app_dir + QStringLiteral("/../share/verbat"))}));
}

TEST(JpegImage, DecodesRealPicturesAndRefusesDamagedOnes) {
  const QByteArray good = ReadAll(kSkinDir + QStringLiteral("/EqPanel.jpg"));
  const ui::JpegPicture panel = DecodeJpeg(good);
  ASSERT_TRUE(panel.Ok()) << panel.error.toStdString();
  EXPECT_EQ(panel.image.size(), QSize(413, 152));
  const QRgb close_box =
      DecodeJpeg(ReadAll(kSkinDir + QStringLiteral("/close2.jpg"))).image.pixel(1, 6);
  EXPECT_GT(qRed(close_box), qGreen(close_box) + 60) << "the hover picture is red";

  // A picture cut short in its data still shows what it has; cut in its headers it fails.
  const ui::JpegPicture cut = DecodeJpeg(good.left(good.size() * 3 / 4));
  EXPECT_TRUE(cut.Ok()) << cut.error.toStdString();
  EXPECT_EQ(cut.image.size(), QSize(413, 152));
  // A header that claims a picture of 16384 x 16384 is refused before any memory is taken.
  QByteArray huge = good;
  const qsizetype sof = huge.indexOf(QByteArray("\xFF\xC0", 2));
  ASSERT_GT(sof, 0);
  for (int i : {5, 7}) {  // height and width, big-endian
    huge[sof + i] = '\x40';
    huge[sof + i + 1] = '\x00';
  }
  const struct {
    const char* what;
    QByteArray bytes;
  } bad[] = {
      {"empty", QByteArray()},
      {"not a picture", QByteArray("GIF89a, or anything else at all")},
      {"headers cut", good.left(120)},
      {"huge", huge},
  };
  for (const auto& b : bad) {
    const ui::JpegPicture p = DecodeJpeg(b.bytes);
    EXPECT_FALSE(p.Ok()) << b.what;
    EXPECT_FALSE(p.error.isEmpty()) << b.what;
  }
  EXPECT_TRUE(DecodeJpeg(huge).error.contains(QStringLiteral("too large")));

  const ui::JpegPicture missing = ui::LoadJpegFile(QStringLiteral("/nonexistent/EqPanel.jpg"));
  EXPECT_FALSE(missing.Ok());
  EXPECT_TRUE(missing.error.startsWith(QStringLiteral("/nonexistent/EqPanel.jpg: ")));
}

class PicturesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { uitest::EnsureApplication(); }
  QPoint CentreOf(QWidget* control) const {
    return control->mapTo(form.get(), control->rect().center());
  }

  uitest::FreshFolder folder;
  uitest::RecordedMessages messages;
  uitest::MemoryStore store;
  std::unique_ptr<ui::TEqualizerPanelForm> form = std::make_unique<ui::TEqualizerPanelForm>(store);
};

TEST_F(PicturesTest, MissingPicturesAreReportedOnceEachAndTheWindowKeepsWorking) {
  for (const char* name : {"EqPanel.jpg", "close1.jpg", "close2.jpg", "close3.jpg"}) {
    ASSERT_TRUE(FindDataFile(QLatin1String(name)).isEmpty())
        << name << " lies in " << FindDataFile(QLatin1String(name)).toStdString()
        << ": this test needs a program without pictures";
  }
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  QWindow* window = form->windowHandle();
  EXPECT_EQ(messages.Texts(), (QStringList{QStringLiteral("EqPanel.jpgを読み込めませんでした..."),
                                           QStringLiteral("close1.jpgを読み込めませんでした...")}));
  for (size_t i = 0; i < messages.shown.size(); ++i) {
    EXPECT_TRUE(messages.shown[i].caption.isEmpty());  // the desktop's default caption
    EXPECT_EQ(messages.shown[i].buttons, ui::MsgButtons::kOk);
    EXPECT_TRUE(messages.shown[i].system_modal);
    EXPECT_EQ(messages.owners[i], nullptr);
  }
  messages.shown.clear();

  QTest::mouseClick(window, Qt::LeftButton, {}, CentreOf(form->EqSwBtn()));
  EXPECT_TRUE(form->IsOn());

  // Hovering reports the hover picture once, however often the mouse moves on.
  const QPoint on_close = CentreOf(form->CloseImg());
  QCursor::setPos(form->mapToGlobal(on_close));
  QTest::mouseMove(window, on_close);
  QTest::mouseMove(window, on_close + QPoint(1, 1));
  uitest::RunUntilIdle();
  EXPECT_EQ(messages.Texts(), QStringList{QStringLiteral("close2.jpgを読み込めませんでした...")});
  // Leaving: the idle check reports the normal picture once, not at every idle moment.
  QCursor::setPos(form->mapToGlobal(QPoint(200, 80)));
  uitest::RunUntilIdle(5);
  EXPECT_EQ(messages.Texts().count(QStringLiteral("close1.jpgを読み込めませんでした...")), 1);
  EXPECT_FALSE(form->Hovering());
  messages.shown.clear();

  QSignalSpy closed(form.get(), &ui::TEqualizerPanelForm::Closed);
  QCursor::setPos(form->mapToGlobal(on_close));
  QTest::mousePress(window, Qt::LeftButton, {}, on_close);
  QTest::mouseRelease(window, Qt::LeftButton, {}, on_close);
  // The mouse comes back first (hover), then presses and lets go.
  EXPECT_EQ(messages.Texts(), (QStringList{QStringLiteral("close2.jpgを読み込めませんでした..."),
                                           QStringLiteral("close3.jpgを読み込めませんでした..."),
                                           QStringLiteral("close1.jpgを読み込めませんでした...")}));
  EXPECT_EQ(closed.count(), 1);
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(form->Image1()->Picture().isNull());
}

TEST_F(PicturesTest, AUsersOwnPictureInTheCurrentFolderIsUsed) {
  // The user's background (here the small hover picture under the background's name) and a
  // damaged close picture: the first is shown, the second reported.
  WriteFile(folder.Path() + QStringLiteral("/EqPanel.jpg"),
            ReadAll(kSkinDir + QStringLiteral("/close2.jpg")));
  WriteFile(folder.Path() + QStringLiteral("/close1.jpg"), QByteArray("not a picture"));
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  EXPECT_EQ(form->Image1()->PictureName(), QStringLiteral("EqPanel.jpg"));
  EXPECT_EQ(form->Image1()->Picture().size(), QSize(13, 13));
  EXPECT_EQ(messages.Texts(), QStringList{QStringLiteral("close1.jpgを読み込めませんでした...")});
}

}  // namespace
