// Handing a file or an address to the desktop's opener (the help page, the web page link).
// Tests replace the opener to see what would have been opened, and to make it fail.
#pragma once

#include <QUrl>
#include <functional>

namespace ui {

using DesktopOpener = std::function<bool(const QUrl&)>;

// True when the desktop accepted the request (its opener could be started).
bool OpenWithDesktop(const QUrl& url);

// Replaces the opener; an empty one restores the desktop's. Returns the previous one.
DesktopOpener SetDesktopOpener(DesktopOpener opener);

}  // namespace ui
