#include "ui/picture.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <algorithm>
#include <limits>

namespace textrill::ui {

QImage DecodePicture(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return QImage();
  }
  // The bytes are only read, never modified, while the reader runs.
  const QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                                  static_cast<qsizetype>(bytes.size()));
  QBuffer buffer;
  buffer.setData(data);
  if (!buffer.open(QIODevice::ReadOnly)) return QImage();
  QImageReader reader(&buffer);
  reader.setDecideFormatFromContent(true);
  QImage image = reader.read();
  // Detach from the caller's bytes before they can go away.
  if (!image.isNull()) image = image.copy();
  return image;
}

QSize FitInto(QSize picture, QSize box) {
  if (picture.isEmpty() || box.isEmpty()) return QSize();
  if (picture.width() <= box.width() && picture.height() <= box.height()) return picture;
  // Compare the two scale factors exactly in 64-bit integers: the width
  // limits the size when box.w / pic.w <= box.h / pic.h.
  const qint64 pw = picture.width(), ph = picture.height();
  const qint64 bw = box.width(), bh = box.height();
  qint64 w, h;
  if (bw * ph <= bh * pw) {
    w = bw;
    h = (ph * bw) / pw;
  } else {
    h = bh;
    w = (pw * bh) / ph;
  }
  return QSize(static_cast<int>(std::max<qint64>(w, 1)), static_cast<int>(std::max<qint64>(h, 1)));
}

QImage FitPicture(const QImage& picture, QSize box) {
  if (picture.isNull()) return QImage();
  const QSize size = FitInto(picture.size(), box);
  if (size.isEmpty()) return QImage();
  if (size == picture.size()) return picture;
  return picture.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

}  // namespace textrill::ui
