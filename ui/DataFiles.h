// Finding the program's data files (the equalizer's skin pictures, the help page) by bare name. A program started from the desktop's menu runs in the user's home folder, so the
// current folder alone would never find them: it is asked first, so that a user's own copy
// there wins, then the program's own folder (where the build puts them beside the program),
// then <program folder>/../share/verbat (where an installed program keeps them).
#pragma once

#include <QString>
#include <QStringList>

namespace ui {

// The folders searched, in order, as absolute paths: the current folder, the program's folder,
// and <program folder>/../share/verbat. Needs the application object for the program's folder;
// without one only the current folder is returned.
QStringList DataFolders();
// The program's own folders only, without the current folder: for a file that no folder the
// user happens to start from may replace (the help page, which is opened in a browser).
QStringList ProgramDataFolders();

// The absolute path of the first regular file called `name` in `folders`; empty when none of
// them has it. `name` must be a bare file name: one with a folder part is not looked up.
QString FindDataFile(const QString& name, const QStringList& folders);
// The same over DataFolders().
QString FindDataFile(const QString& name);

}  // namespace ui
