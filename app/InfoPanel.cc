#include "app/InfoPanel.h"

#include <QFontMetrics>
#include <QPainter>
#include <algorithm>

#include "ui/Fonts.h"

namespace app {
namespace {

const QColor kPanelColour(0xD3, 0xD7, 0xC4);
const QColor kFileNameColour(0x35, 0x4B, 0x30);
const QColor kCounterColour(0x00, 0x00, 0x80);
const QColor kSeekPreviewColour(0xFF, 0x80, 0x00);

constexpr int kCounterX = 285;
constexpr int kCounterY = 15;
constexpr int kCounterRight = 335;  // inside the box's right edge at 337
constexpr int kFormatX = 15;
constexpr int kFormatY = 40;

}  // namespace

TInfoPanel::TInfoPanel(QWidget* parent) : QWidget(parent) {
  setFont(ui::WindowFont());
  DrawCounter(0);
}

QString TInfoPanel::FormatHms(int32_t seconds) {
  const long s = seconds;
  return QString::asprintf("%02ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
}

QString TInfoPanel::RateText(uint32_t rate) {
  if (rate == 0) return QStringLiteral("0");
  QString text = QString::number(rate / 1000.0, 'f', 3);
  while (text.endsWith(QLatin1Char('0'))) text.chop(1);
  if (text.endsWith(QLatin1Char('.'))) text.chop(1);
  return text;
}

QString TInfoPanel::FormatLine(const media::InputFormat& format) {
  QString line =
      QString::asprintf("%sKHz %2dBits", RateText(format.sample_rate).toUtf8().constData(),
                        int{format.bits_per_sample});
  switch (format.channels) {
    case 0:
      line += QStringLiteral("              ");
      break;
    case 1:
      line += QStringLiteral(" Mono         ");
      break;
    case 2:
      line += QStringLiteral(" Stereo       ");
      break;
    default:
      break;
  }
  return line;
}

void TInfoPanel::SetFileText(const QString& text) {
  PrepareMarquee(text);
  update();
}

void TInfoPanel::SetFormat(const media::InputFormat& format) {
  format_line_ = FormatLine(format);
  update();
}

void TInfoPanel::ClearFile() {
  marquee_text_.clear();
  marquee_bitmap_ = QPixmap();
  marquee_offset_ = 0;
  marquee_scrolling_ = false;
  format_line_.clear();
  seek_preview_.clear();
  update();
}

void TInfoPanel::DrawCounter(int32_t seconds) {
  counter_text_ = FormatHms(seconds);
  update();
}

void TInfoPanel::DrawSeekPreview(int32_t seconds, int32_t length) {
  seek_preview_ = QStringLiteral("検索→") + FormatHms(seconds) + QStringLiteral("/") +
                  FormatHms(length) + QString(32, QLatin1Char(' '));
  update();
}

void TInfoPanel::HideSeekPreview() {
  seek_preview_.clear();
  update();
}

void TInfoPanel::PrepareMarquee(const QString& text) {
  marquee_text_ = text;
  marquee_offset_ = 0;
  if (text.isEmpty()) {
    marquee_bitmap_ = QPixmap();
    marquee_scrolling_ = false;
    return;
  }
  const QFont font = ui::FixedFont();
  const QFontMetrics metrics(font);
  QString bitmap_text;
  if (metrics.horizontalAdvance(text) > kMarqueeWidth) {
    marquee_scrolling_ = true;
    bitmap_text = text + QString(5, QLatin1Char(' '));
  } else {
    // Not scrolling: the trailing spaces make a short name cover a longer one drawn before it.
    marquee_scrolling_ = false;
    bitmap_text = text + QString(53, QLatin1Char(' '));
  }
  QPixmap bitmap(std::max(metrics.horizontalAdvance(bitmap_text), 1), metrics.height());
  bitmap.fill(kPanelColour);
  QPainter painter(&bitmap);
  painter.setFont(font);
  painter.setPen(kFileNameColour);
  painter.drawText(QRect(0, 0, bitmap.width(), bitmap.height()), Qt::AlignLeft | Qt::AlignTop,
                   bitmap_text);
  marquee_bitmap_ = bitmap;
}

void TInfoPanel::AdvanceMarquee() {
  if (!marquee_scrolling_ || marquee_bitmap_.isNull()) return;
  marquee_offset_ += 1;
  while (marquee_offset_ > marquee_bitmap_.width()) marquee_offset_ -= marquee_bitmap_.width();
  marquee_offset_ = std::max(marquee_offset_, 0);
  update();
}

void TInfoPanel::DrawMarquee(QPainter& painter) const {
  if (marquee_bitmap_.isNull()) return;
  // Only the bitmap's own rows are copied, so the format line below it stays visible.
  const int height = std::min(kMarqueeHeight, marquee_bitmap_.height());
  const int first = std::min(kMarqueeWidth, marquee_bitmap_.width() - marquee_offset_);
  if (first > 0) {
    painter.drawPixmap(QPoint(kMarqueeX, kMarqueeY), marquee_bitmap_,
                       QRect(marquee_offset_, 0, first, height));
  }
  if (marquee_scrolling_ && first < kMarqueeWidth) {
    const int rest = std::min(kMarqueeWidth - std::max(first, 0), marquee_bitmap_.width());
    painter.drawPixmap(QPoint(kMarqueeX + std::max(first, 0), kMarqueeY), marquee_bitmap_,
                       QRect(0, 0, rest, height));
  }
}

QRect TInfoPanel::CounterRect(const QFontMetrics& metrics) const {
  const int width = std::max(kCounterRight - kCounterX, metrics.horizontalAdvance(counter_text_));
  return QRect(kCounterRight - width, kCounterY, width, metrics.height());
}

void TInfoPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  // The panel as a sunken box.
  const QPolygon box({QPoint(3, 3), QPoint(3, 57), QPoint(337, 57), QPoint(337, 3)});
  painter.setPen(Qt::black);
  painter.setBrush(kPanelColour);
  painter.drawPolygon(box);
  painter.setPen(palette().color(QPalette::Light));
  painter.drawPolyline(QPolygon({QPoint(3, 57), QPoint(337, 57), QPoint(337, 3)}));
  painter.setPen(palette().color(QPalette::Dark));
  painter.drawPolyline(QPolygon({QPoint(3, 57), QPoint(3, 3), QPoint(337, 3)}));

  painter.setFont(ui::WindowFont());
  const QFontMetrics metrics(painter.font());
  painter.setPen(Qt::black);
  painter.drawText(QRect(kFormatX, kFormatY, 320, metrics.height()), Qt::AlignLeft | Qt::AlignTop,
                   format_line_);

  if (!seek_preview_.isEmpty()) {
    painter.setPen(kSeekPreviewColour);
    painter.drawText(QRect(kMarqueeX, kMarqueeY, kMarqueeWidth, metrics.height()),
                     Qt::AlignLeft | Qt::AlignTop, seek_preview_);
  } else {
    DrawMarquee(painter);
  }
  // The counter keeps its place but is drawn to fit: right-aligned against the box's inner edge,
  // and reaching left past its usual start when the face is wider than the layout assumed.
  painter.setPen(kCounterColour);
  painter.drawText(CounterRect(metrics), Qt::AlignRight | Qt::AlignTop, counter_text_);
}

}  // namespace app
