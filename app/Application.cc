#include "app/Application.h"

#include "app/ErrorReport.h"
#include "ui/Fonts.h"

namespace app {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Verbat"));
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

}  // namespace app
