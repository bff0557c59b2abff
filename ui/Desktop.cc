#include "ui/Desktop.h"

#include <QAbstractItemModel>
#include <QDateTime>
#include <QEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QHeaderView>
#include <QLocale>
#include <QMimeDatabase>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QTreeView>
#include <algorithm>

namespace ui {
namespace {

// An opener that has neither failed nor ended by then is taken to have started the viewer
// itself (a browser it runs in the foreground) and is left running.
constexpr int kOpenerAnswerMs = 3000;

DesktopOpener& Opener() {
  static DesktopOpener opener;
  return opener;
}

QString& OpenerProgram() {
  static QString program = QStringLiteral("xdg-open");
  return program;
}

bool RunOpenerProgram(const QUrl& url) {
  enum class Outcome { kWaiting, kOpened, kFailed };
  Outcome outcome = Outcome::kWaiting;
  // The process outlives this call when the opener is still running at the time-out: deleting
  // it would kill the viewer it runs. It deletes itself once it ends.
  auto* process = new QProcess;
  process->setProgram(OpenerProgram());
  process->setArguments({url.isLocalFile() ? url.toLocalFile() : url.toString(QUrl::FullyEncoded)});
  process->setStandardInputFile(QProcess::nullDevice());
  process->setProcessChannelMode(QProcess::ForwardedChannels);  // its complaints go to stderr
  QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
  QObject::connect(process, &QProcess::errorOccurred, process, [process](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) process->deleteLater();  // no finished() follows
  });

  QEventLoop loop;
  QObject::connect(process, &QProcess::finished, &loop, [&](int code, QProcess::ExitStatus status) {
    outcome = status == QProcess::NormalExit && code == 0 ? Outcome::kOpened : Outcome::kFailed;
    loop.quit();
  });
  QObject::connect(process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError e) {
    if (e != QProcess::FailedToStart) return;  // a crash is reported by finished()
    outcome = Outcome::kFailed;
    loop.quit();
  });
  QTimer::singleShot(kOpenerAnswerMs, &loop, &QEventLoop::quit);
  process->start();
  // The user's clicks wait meanwhile, so the same action cannot start a second opener.
  if (outcome == Outcome::kWaiting) loop.exec(QEventLoop::ExcludeUserInputEvents);
  return outcome != Outcome::kFailed;
}

// ------------------------------------------------------------------------------------------
// Qt's own file dialog: its columns are sized for Western texts of a fixed shape ("128.88 GB",
// "10/29/81 02:02PM") in the dialog's font, so sizes such as "516.31 KiB", the types' names
// and the dates in the system's format come out cut short.

QStringList SizeSamples() {
  const QLocale locale = QLocale::system();
  QStringList samples;
  for (int power = 0; power <= 4; ++power) {
    const qint64 unit = qint64{1} << (10 * power);
    samples << locale.formattedDataSize(unit * 1023 + unit * 88 / 100);
  }
  return samples;
}

QStringList DateSamples() {
  const QLocale locale = QLocale::system();
  QStringList samples;
  for (int month = 1; month <= 12; ++month) {
    samples << locale.toString(QDateTime(QDate(2000, month, 28), QTime(20, 58, 58)),
                               QLocale::ShortFormat);
  }
  return samples;
}

// The type names of a folder and of the files the dialog's filters let through.
QStringList TypeSamples(const QFileDialog& dialog) {
  QFileIconProvider icons;
  QStringList samples{icons.type(QFileInfo(dialog.directory().absolutePath()))};
  const QMimeDatabase mime;
  static const QRegularExpression kSuffix(QStringLiteral("\\*\\.([^ ;,)]+)"));
  for (const QString& filter : dialog.nameFilters()) {
    for (auto it = kSuffix.globalMatch(filter); it.hasNext();) {
      const QMimeType type = mime.mimeTypeForFile(QStringLiteral("x.") + it.next().captured(1),
                                                  QMimeDatabase::MatchExtension);
      samples << (type.comment().isEmpty() ? type.name() : type.comment());
    }
  }
  return samples;
}

const QString kFitterName = QStringLiteral("verbat_column_fitter");

class FileDialogFitter : public QObject {
 public:
  FileDialogFitter(QFileDialog& dialog, QTreeView& tree)
      : QObject(&dialog), dialog_(dialog), tree_(tree) {
    setObjectName(kFitterName);
    samples_[1] = SizeSamples();
    samples_[2] = TypeSamples(dialog);
    samples_[3] = DateSamples();
    dialog.installEventFilter(this);
    // The folder's entries arrive after the dialog shows, and again on every change of
    // folder: the columns then grow to what is actually listed.
    later_.setSingleShot(true);
    later_.setInterval(0);
    connect(&later_, &QTimer::timeout, this, [this] { Fit(false); });
    if (QAbstractItemModel* model = tree.model()) {
      connect(model, &QAbstractItemModel::rowsInserted, &later_, qOverload<>(&QTimer::start));
      connect(model, &QAbstractItemModel::layoutChanged, &later_, qOverload<>(&QTimer::start));
    }
  }

  // Widens the columns that are too narrow for their texts (never narrows one the user or an
  // earlier session made wider), then the dialog if the columns no longer fit its list.
  void Fit(bool from_samples) {
    if (!tree_.isVisibleTo(&dialog_)) return;  // the list view: no columns to fit
    QHeaderView* header = tree_.header();
    const QFontMetrics metrics(tree_.font());
    // An item's text is inset by the focus frame's margin and one pixel on each side.
    const int inset =
        2 * (tree_.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &tree_) + 1) + 2;
    for (int column = 1; column < header->count() && column <= 3; ++column) {
      if (header->isSectionHidden(column)) continue;
      int wanted = std::max(header->sectionSizeHint(column),
                            static_cast<QAbstractItemView&>(tree_).sizeHintForColumn(column));
      if (from_samples) {
        for (const QString& text : samples_[column]) {
          wanted = std::max(wanted, metrics.horizontalAdvance(text) + inset);
        }
      }
      if (wanted > header->sectionSize(column)) header->resizeSection(column, wanted);
    }
    const int room =
        tree_.viewport()->width() -
        (tree_.verticalScrollBar()->isVisible()
             ? 0
             : tree_.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &tree_));
    const int missing = header->length() - room;
    if (missing <= 0) return;
    int width = dialog_.width() + missing;
    if (const QScreen* screen = dialog_.screen()) {
      width = std::min(width, screen->availableGeometry().width() * 9 / 10);
    }
    if (width > dialog_.width()) dialog_.resize(width, dialog_.height());
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    // Sent once the dialog is laid out and before its window appears.
    if (watched == &dialog_ && event->type() == QEvent::Show) Fit(true);
    return false;
  }

 private:
  QFileDialog& dialog_;
  QTreeView& tree_;
  QStringList samples_[4];
  QTimer later_;
};

}  // namespace

bool OpenWithDesktop(const QUrl& url) {
  DesktopOpener opener = Opener();
  if (opener) return opener(url);
  return RunOpenerProgram(url);
}

DesktopOpener SetDesktopOpener(DesktopOpener opener) {
  DesktopOpener previous = std::move(Opener());
  Opener() = std::move(opener);
  return previous;
}

QString SetOpenerProgram(const QString& program) {
  QString previous = OpenerProgram();
  OpenerProgram() = program.isEmpty() ? QStringLiteral("xdg-open") : program;
  return previous;
}

void FitFileDialogColumns(QFileDialog& dialog) {
  // Only Qt's own dialog has the list; the desktop's dialog sizes itself.
  auto* tree = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
  if (tree == nullptr ||
      dialog.findChild<QObject*>(kFitterName, Qt::FindDirectChildrenOnly) != nullptr) {
    return;
  }
  new FileDialogFitter(dialog, *tree);
}

QString ChooseFileToOpen(QWidget* owner, const QString& caption, const QString& folder,
                         const QString& name, const QString& filter) {
  QFileDialog dialog(owner, caption, folder, filter);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (!name.isEmpty()) dialog.selectFile(name);
  FitFileDialogColumns(dialog);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().first();
}

}  // namespace ui
