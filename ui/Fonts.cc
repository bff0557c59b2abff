#include "ui/Fonts.h"

#include <QStringList>

namespace ui {

void InstallFontSubstitutes() {
  // IPA's faces first (the project installs them); the others are common Japanese Gothics that
  // serve as well where a desktop has them instead.
  QFont::insertSubstitutions(kWindowFace, {QStringLiteral("IPAPGothic"),
                                           QStringLiteral("IPA Pゴシック"),
                                           QStringLiteral("Noto Sans CJK JP"),
                                           QStringLiteral("VL PGothic"),
                                           QStringLiteral("TakaoPGothic")});
  QFont::insertSubstitutions(kFixedFace, {QStringLiteral("IPAGothic"),
                                          QStringLiteral("IPAゴシック"),
                                          QStringLiteral("Noto Sans Mono CJK JP"),
                                          QStringLiteral("VL Gothic"),
                                          QStringLiteral("TakaoGothic")});
}

QFont WindowFont(int pixel_size) {
  QFont font(kWindowFace);
  font.setPixelSize(pixel_size);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

QFont FixedFont(int pixel_size) {
  QFont font(kFixedFace);
  font.setPixelSize(pixel_size);
  font.setStyleHint(QFont::Monospace);
  font.setFixedPitch(true);
  return font;
}

}  // namespace ui
