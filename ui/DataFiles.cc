#include "ui/DataFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace ui {

QStringList DataFolders() {
  return QStringList{QDir::currentPath()} + ProgramDataFolders();
}

QStringList ProgramDataFolders() {
  if (QCoreApplication::instance() == nullptr) return {};
  const QString program = QCoreApplication::applicationDirPath();
  return {program, QDir::cleanPath(program + QStringLiteral("/../share/verbat"))};
}

QString FindDataFile(const QString& name, const QStringList& folders) {
  // A name with a folder part (or "..") would reach outside the data folders.
  if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".") ||
      name == QLatin1String("..")) {
    return {};
  }
  for (const QString& folder : folders) {
    const QFileInfo candidate(QDir(folder), name);
    if (candidate.isFile()) return candidate.absoluteFilePath();
  }
  return {};
}

QString FindDataFile(const QString& name) {
  return FindDataFile(name, DataFolders());
}

}  // namespace ui
