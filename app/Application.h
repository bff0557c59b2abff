// The application object. Its event delivery catches what a handler lets escape and shows it
// through the error report, so that one failing action never ends the program.
#pragma once

#include <QApplication>

namespace app {

class TApplication : public QApplication {
  Q_OBJECT
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace app
