#include "ui/Desktop.h"

#include <QDesktopServices>

namespace ui {
namespace {

DesktopOpener& Opener() {
  static DesktopOpener opener;
  return opener;
}

}  // namespace

bool OpenWithDesktop(const QUrl& url) {
  DesktopOpener opener = Opener();
  if (opener) return opener(url);
  return QDesktopServices::openUrl(url);
}

DesktopOpener SetDesktopOpener(DesktopOpener opener) {
  DesktopOpener previous = std::move(Opener());
  Opener() = std::move(opener);
  return previous;
}

}  // namespace ui
