// The program's version, compiled in from the build's project version. The version dialog shows
// it and the settings file stores it under "Common"/"Version".
#pragma once

#include <QString>

namespace ui {

QString ProgramVersion();

}  // namespace ui
