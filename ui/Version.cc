#include "ui/Version.h"

#ifndef VERBAT_VERSION_STRING
#error "VERBAT_VERSION_STRING is set by the build"
#endif

namespace ui {

QString ProgramVersion() { return QStringLiteral(VERBAT_VERSION_STRING); }

}  // namespace ui
