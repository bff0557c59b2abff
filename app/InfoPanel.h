// The information panel at the top of the main window: the scrolling file name with its length,
// the counter, the format line and, while the slider's thumb is dragged, the seek preview. It
// only draws what it is given; the transport decides what that is.
#pragma once

#include <QFontMetrics>
#include <QPixmap>
#include <QString>
#include <QWidget>
#include <cstdint>

#include "media/InputMedia.h"

namespace app {

class TInfoPanel : public QWidget {
  Q_OBJECT
 public:
  explicit TInfoPanel(QWidget* parent = nullptr);

  // The file's path and length in the marquee; an empty text blanks the panel's file lines.
  void SetFileText(const QString& text);
  void SetFormat(const media::InputFormat& format);
  void ClearFile();
  // One step of the marquee (each position poll while playing).
  void AdvanceMarquee();
  void DrawCounter(int32_t seconds);
  void DrawSeekPreview(int32_t seconds, int32_t length);
  void HideSeekPreview();

  static QString FormatHms(int32_t seconds);
  static QString RateText(uint32_t rate);
  static QString FormatLine(const media::InputFormat& format);

  QString CounterText() const { return counter_text_; }
  QString FormatLineText() const { return format_line_; }
  QString SeekPreviewText() const { return seek_preview_; }
  QString MarqueeText() const { return marquee_text_; }
  int MarqueeOffset() const { return marquee_offset_; }
  bool MarqueeScrolling() const { return marquee_scrolling_; }
  const QPixmap& MarqueeBitmap() const { return marquee_bitmap_; }

  // Marquee geometry: the view on the panel.
  static constexpr int kMarqueeX = 15;
  static constexpr int kMarqueeY = 15;
  static constexpr int kMarqueeWidth = 248;
  static constexpr int kMarqueeHeight = 40;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void PrepareMarquee(const QString& text);
  QRect CounterRect(const QFontMetrics& metrics) const;
  void DrawMarquee(QPainter& painter) const;

  QString counter_text_;
  QString format_line_;
  QString seek_preview_;
  QString marquee_text_;
  QPixmap marquee_bitmap_;
  int marquee_offset_ = 0;
  bool marquee_scrolling_ = false;
};

}  // namespace app
