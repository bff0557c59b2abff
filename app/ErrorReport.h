// The program's standard error report: an error that a handler does not deal with itself is
// shown with its message in a box captioned "Verbat", and the program goes on.
#pragma once

#include <QString>
#include <exception>

class QWidget;

namespace app {

void ReportError(QWidget* owner, const QString& message);
// Shows the message of the exception being handled (call from a catch block).
void ReportCurrentException(QWidget* owner);

}  // namespace app
