#include "ui/JpegImage.h"

#include <QFile>
#include <csetjmp>
#include <cstdio>
#include <cstring>

// libjpeg's header needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace ui {
namespace {

// libjpeg reports a fatal error by calling error_exit, which must not return: it jumps back to
// the decoder's set-up point with the message kept here.
struct ErrorManager {
  jpeg_error_mgr pub;  // first, so that libjpeg's pointer to it is a pointer to the whole
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
  auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, manager->message);
  std::longjmp(manager->jump, 1);
}

// Warnings (a damaged but still decodable stream) would otherwise be printed on stderr.
void IgnoreMessage(j_common_ptr) {}

// Decodes into *image. Between setjmp and a possible longjmp this frame holds no object with a
// destructor (the image lives in the caller), so the jump skips nothing that must be cleaned up.
bool DecodeInto(const unsigned char* data, unsigned long size, QImage* image, char* message,
                size_t message_size) {
  jpeg_decompress_struct cinfo;
  std::memset(&cinfo, 0, sizeof cinfo);  // destroying a never-created object is then harmless
  ErrorManager manager;
  cinfo.err = jpeg_std_error(&manager.pub);
  manager.pub.error_exit = ErrorExit;
  manager.pub.output_message = IgnoreMessage;
  manager.message[0] = '\0';

  if (setjmp(manager.jump) != 0) {
    std::snprintf(message, message_size, "%s", manager.message);
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, size);
  jpeg_read_header(&cinfo, TRUE);
  if (cinfo.image_width > static_cast<JDIMENSION>(kMaxJpegSide) ||
      cinfo.image_height > static_cast<JDIMENSION>(kMaxJpegSide)) {
    std::snprintf(message, message_size, "picture too large (%u x %u)", cinfo.image_width,
                  cinfo.image_height);
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  cinfo.out_color_space = JCS_RGB;  // grey pictures are widened to RGB by libjpeg
  jpeg_start_decompress(&cinfo);
  *image = QImage(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height),
                  QImage::Format_RGB888);
  if (image->isNull() || cinfo.output_components != 3) {
    std::snprintf(message, message_size, "no memory for a %u x %u picture", cinfo.output_width,
                  cinfo.output_height);
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = image->scanLine(static_cast<int>(cinfo.output_scanline));
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace

JpegPicture DecodeJpeg(QByteArrayView bytes) {
  JpegPicture picture;
  char message[JMSG_LENGTH_MAX + 64];
  QImage image;
  if (DecodeInto(reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<unsigned long>(bytes.size()), &image, message, sizeof message)) {
    picture.image = std::move(image);
  } else {
    picture.error = QString::fromLocal8Bit(message);
  }
  return picture;
}

JpegPicture LoadJpegFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    JpegPicture picture;
    picture.error = path + QStringLiteral(": ") + file.errorString();
    return picture;
  }
  // A skin picture is small; anything larger than the largest picture could be is not one.
  constexpr qint64 kMaxFileBytes = qint64{kMaxJpegSide} * kMaxJpegSide * 3;
  if (file.size() > kMaxFileBytes) {
    JpegPicture picture;
    picture.error = path + QStringLiteral(": file too large");
    return picture;
  }
  const QByteArray bytes = file.readAll();
  JpegPicture picture = DecodeJpeg(bytes);
  if (!picture.Ok()) picture.error = path + QStringLiteral(": ") + picture.error;
  return picture;
}

}  // namespace ui
