#include "ui/SpeedButton.h"

#include <QPainter>
#include <QPolygon>
#include <QStyleOptionButton>

namespace ui {

TSpeedButton::TSpeedButton(QWidget* parent) : QAbstractButton(parent) {
  // Clicking must not take the focus away from the slider or the window.
  setFocusPolicy(Qt::NoFocus);
}

void TSpeedButton::SetGlyph(const QPixmap& strip) {
  glyph_ = strip;
  update();
}

int TSpeedButton::GlyphIndex() const {
  if (!isEnabled()) return 1;
  if (isChecked()) return 3;
  if (isDown()) return 2;
  return 0;
}

QSize TSpeedButton::sizeHint() const {
  if (glyph_.isNull()) return {33, 19};
  return {glyph_.width() / 4 + 8, glyph_.height() + 3};
}

void TSpeedButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QStyleOptionButton option;
  option.initFrom(this);
  option.features = QStyleOptionButton::None;
  if (isDown() || isChecked()) option.state |= QStyle::State_Sunken;
  else option.state |= QStyle::State_Raised;
  if (isChecked()) option.state |= QStyle::State_On;
  style()->drawPrimitive(QStyle::PE_PanelButtonCommand, &option, &painter, this);

  if (glyph_.isNull()) {
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                   QPalette::ButtonText));
    painter.drawText(rect(), Qt::AlignCenter, text());
    return;
  }
  const int w = glyph_.width() / 4;
  const int h = glyph_.height();
  const QRect source(GlyphIndex() * w, 0, w, h);
  const QPoint at((width() - w) / 2, (height() - h) / 2);
  painter.drawPixmap(at, glyph_, source);
}

QPixmap ArrowGlyph(bool up, int width, int height) {
  QPixmap strip(width * 4, height);
  strip.fill(Qt::transparent);
  QPainter painter(&strip);
  const QColor colours[4] = {QColor(0x20, 0x20, 0x20), QColor(0x8c, 0x8c, 0x8c),
                             QColor(0x20, 0x20, 0x20), QColor(0, 0, 0)};
  for (int i = 0; i < 4; ++i) {
    const int shift = (i >= 2) ? 1 : 0;
    const int left = i * width + 1 + shift;
    const int right = i * width + width - 2 + shift;
    const int top = 1 + shift;
    const int bottom = height - 2 + shift;
    const int mid = (left + right) / 2;
    QPolygon triangle;
    if (up) triangle << QPoint(mid, top) << QPoint(right, bottom) << QPoint(left, bottom);
    else triangle << QPoint(left, top) << QPoint(right, top) << QPoint(mid, bottom);
    painter.setPen(colours[i]);
    painter.setBrush(colours[i]);
    painter.drawPolygon(triangle);
  }
  return strip;
}

}  // namespace ui
