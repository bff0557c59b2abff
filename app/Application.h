// The application object. Its event delivery catches what a handler lets escape and shows it
// through the error report, so that one failing action never ends the program.
#pragma once

#include <QApplication>

class QTranslator;

namespace app {

class TApplication : public QApplication {
  Q_OBJECT
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

// Installs Qt's own Japanese texts (the file dialog, the edit boxes' context menus, ...) in the
// application, whatever the system language: the program's own texts are Japanese only, and
// Qt's must match them. The default locale becomes Japanese (file type descriptions); dates and
// sizes in the file dialog keep the system's format. The catalogue comes from Qt's
// translations folder; when it is missing (the package is not installed) this is said once on
// standard error, nullptr is returned and most of Qt's texts stay English. The translator
// belongs to the application.
QTranslator* InstallQtTranslations(QCoreApplication& application);

// Ends the event loop when the process is asked to end (SIGTERM, SIGINT, SIGHUP: a logout, a
// Ctrl-C in the terminal it was started from), so that the program ends as after a close: the
// settings are written and a running recording is finished. The signal handler only writes to
// a pipe; the event loop reads it.
void QuitOnTerminationSignals(QCoreApplication& application);

}  // namespace app
