// What the desktop provides: its opener for files and addresses (the help page, the web page
// link) and the dialog that chooses a file to open.
// Tests replace the opener program (or the whole opener) to see what would have been opened,
// and to make it fail.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>

class QFileDialog;
class QWidget;

namespace ui {

using DesktopOpener = std::function<bool(const QUrl&)>;

// True when the desktop's opener took the request: it ended with exit status 0, or it is still
// running after a few seconds (an opener that runs the viewer itself). A missing opener, a
// non-zero status or a crash is false. Events are processed meanwhile (the windows repaint;
// what the user types waits until the opener has answered).
bool OpenWithDesktop(const QUrl& url);

// Replaces the opener; an empty one restores the desktop's. Returns the previous one.
DesktopOpener SetDesktopOpener(DesktopOpener opener);

// The program the desktop's opener runs, "xdg-open" unless replaced. Returns the previous one.
QString SetOpenerProgram(const QString& program);

// Asks the user for an existing file; the path chosen, or empty when cancelled. Where the
// desktop offers its own file dialog (a platform theme or the desktop portal) that one is used;
// otherwise Qt's, fitted by FitFileDialogColumns.
QString ChooseFileToOpen(QWidget* owner, const QString& caption, const QString& folder,
                         const QString& name, const QString& filter);

// Widens the size, type and date columns of Qt's own file dialog so that their texts show
// whole, and the dialog so that all its columns fit (within the screen). A dialog that the
// desktop draws itself is left alone.
void FitFileDialogColumns(QFileDialog& dialog);

}  // namespace ui
