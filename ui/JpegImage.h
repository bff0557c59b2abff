// JPEG pictures decoded with libjpeg (the skin pictures of the equalizer window). The decoder is
// fed bytes; reading the file is a separate step, so that damaged or hostile bytes can be tested
// without files.
#pragma once

#include <QByteArrayView>
#include <QImage>
#include <QString>

namespace ui {

// The larger side a picture may have. The skin pictures are a few hundred pixels; a file beyond
// this is refused rather than made into an image of gigabytes.
inline constexpr int kMaxJpegSide = 8192;

struct JpegPicture {
  QImage image;   // RGB, 8 bits a channel; null when decoding failed
  QString error;  // why decoding failed (libjpeg's own message, or the reading error)
  bool Ok() const { return !image.isNull(); }
};

// Decodes a baseline or progressive JPEG (grey or colour) from memory.
JpegPicture DecodeJpeg(QByteArrayView bytes);

// Reads the file and decodes it.
JpegPicture LoadJpegFile(const QString& path);

}  // namespace ui
