#include "app/Application.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdio>
#include <memory>

#include "app/ErrorReport.h"
#include "ui/Fonts.h"

namespace app {
namespace {

// Texts Qt shows in the file dialog that its Japanese catalogue lacks (the type column's
// names for folders, drives, links and the unknown).
class MissingQtTexts : public QTranslator {
 public:
  using QTranslator::QTranslator;
  bool isEmpty() const override { return false; }
  QString translate(const char* context, const char* source, const char* /*disambiguation*/,
                    int /*n*/) const override {
    if (qstrcmp(context, "QAbstractFileIconProvider") != 0) return {};
    static const struct {
      const char* source;
      const char16_t* text;
    } kTexts[] = {{"Folder", u"フォルダ"},
                  {"Drive", u"ドライブ"},
                  {"Shortcut", u"ショートカット"},
                  {"Unknown", u"不明"}};
    for (const auto& entry : kTexts) {
      if (qstrcmp(source, entry.source) == 0) return QString::fromUtf16(entry.text);
    }
    return {};
  }
};

}  // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Verbat"));
  InstallQtTranslations(*this);
  ui::InstallFontSubstitutes();
  setFont(ui::WindowFont());
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ReportCurrentException(activeWindow());
    return true;
  }
}

QTranslator* InstallQtTranslations(QCoreApplication& application) {
  // Descriptions of file types (the file dialog's type column) follow the default locale.
  QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
  // Installed first, so searched last: Qt's own catalogue wins where it has the text.
  static bool supplemented = false;
  if (!supplemented) {
    supplemented = true;
    application.installTranslator(new MissingQtTexts(&application));
  }
  // Every text of the widgets the program uses (QFileDialog, QLineEdit, QMessageBox, ...) is
  // in qtbase's catalogue.
  const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  auto translator = std::make_unique<QTranslator>(&application);
  if (!translator->load(QStringLiteral("qtbase_ja"), folder)) {
    static bool told = false;
    if (!told) {
      told = true;
      std::fprintf(stderr,
                   "Verbat: Qt's Japanese texts (qtbase_ja.qm) are not in %s; the file dialog "
                   "and the edit menus stay English (install qt6-translations-l10n)\n",
                   folder.toLocal8Bit().constData());
    }
    return nullptr;
  }
  application.installTranslator(translator.get());
  return translator.release();
}

namespace {
int termination_pipe[2] = {-1, -1};

extern "C" void WriteTerminationByte(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(termination_pipe[1], &byte, 1);
  errno = saved;
}
}  // namespace

void QuitOnTerminationSignals(QCoreApplication& application) {
  if (termination_pipe[0] >= 0) return;
  if (::pipe2(termination_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(termination_pipe[0], QSocketNotifier::Read, &application);
  QObject::connect(notifier, &QSocketNotifier::activated, &application, [] {
    char bytes[16];
    while (::read(termination_pipe[0], bytes, sizeof bytes) > 0) {
    }
    QCoreApplication::quit();
  });
  struct sigaction action {};
  action.sa_handler = WriteTerminationByte;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal_number, &action, nullptr);
}

}  // namespace app
