// The program's fonts. Its windows ask for the Japanese faces they were designed with
// ("ＭＳ Ｐゴシック" proportional, "ＭＳ ゴシック" fixed pitch); on Linux these are mapped, by family
// name, to the installed Japanese Gothic faces, so that fontconfig finds the files.
#pragma once

#include <QFont>
#include <QString>

namespace ui {

inline const QString kWindowFace = QStringLiteral("ＭＳ Ｐゴシック");
inline const QString kFixedFace = QStringLiteral("ＭＳ ゴシック");

// Registers the substitutes for both faces. Call once after the application object exists.
void InstallFontSubstitutes();

// The windows' font: the proportional Gothic at the given pixel size.
QFont WindowFont(int pixel_size = 12);
// The fixed-pitch Gothic used for the scrolling file name.
QFont FixedFont(int pixel_size = 12);

}  // namespace ui
