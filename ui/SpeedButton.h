// A flat-faced push button that shows one of four glyph images by its state, taken from a strip
// of four images side by side: up, disabled, pressed (mouse held on it), held down (toggled on).
// Toggle buttons stay down until clicked again; all of them may be up at the same time.
#pragma once

#include <QAbstractButton>
#include <QPixmap>

namespace ui {

class TSpeedButton : public QAbstractButton {
  Q_OBJECT
 public:
  explicit TSpeedButton(QWidget* parent = nullptr);

  // The strip is four equally wide images; an empty pixmap shows the button's text instead.
  void SetGlyph(const QPixmap& strip);
  const QPixmap& Glyph() const { return glyph_; }
  // 0 up, 1 disabled, 2 pressed, 3 held down: the image the button shows now.
  int GlyphIndex() const;

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap glyph_;
};

// A small triangle strip for the speed buttons (pointing up or down), in the same four states.
QPixmap ArrowGlyph(bool up, int width, int height);

}  // namespace ui
