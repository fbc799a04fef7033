#include "app/gui/picture_decoder.h"

#include <QBuffer>
#include <QImageReader>
#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace torvane::gui {
namespace {

struct ClassOf {
  std::string_view extension;
  int pictureClass;
};

constexpr std::array kClasses = {
    ClassOf{"bmp", 0}, ClassOf{"gif", 0}, ClassOf{"png", 0}, ClassOf{"pcx", 0}, ClassOf{"tga", 0},  ClassOf{"emf", 0},
    ClassOf{"wmf", 0}, ClassOf{"ico", 0}, ClassOf{"cur", 0}, ClassOf{"jpg", 0}, ClassOf{"jpeg", 0}, ClassOf{"orf", 2},
    ClassOf{"dng", 2}, ClassOf{"arw", 2}, ClassOf{"cr2", 2}, ClassOf{"nrw", 2}, ClassOf{"srf", 2},  ClassOf{"rw2", 2},
    ClassOf{"sr2", 2}, ClassOf{"srw", 3}, ClassOf{"crw", 4}, ClassOf{"nef", 5}, ClassOf{"tif", 6},  ClassOf{"tiff", 6},
};

// The size the picture claims and, when it fits the limits, the picture decoded to fit `edge`.
DecodedPicture Decode(const QByteArray& bytes, int edge) {
  DecodedPicture out;
  QByteArray view = QByteArray::fromRawData(bytes.constData(), bytes.size());
  QBuffer buffer(&view);
  if (!buffer.open(QIODevice::ReadOnly)) {
    out.reason = QStringLiteral("cannot read the bytes");
    return out;
  }
  QImageReader reader(&buffer);
  reader.setAllocationLimit(kPictureAllocationMiB);
  reader.setAutoTransform(true);
  if (!reader.canRead()) {
    out.reason = QStringLiteral("not a picture format that can be read");
    return out;
  }
  out.fullSize = reader.size();
  if (out.fullSize.isValid()) {
    const qint64 pixels = static_cast<qint64>(out.fullSize.width()) * out.fullSize.height();
    if (out.fullSize.isEmpty() || pixels > kMaxPicturePixels) {
      out.reason =
          QStringLiteral("the picture claims %1 x %2 pixels").arg(out.fullSize.width()).arg(out.fullSize.height());
      return out;
    }
    const QSize target = out.fullSize.scaled(edge, edge, Qt::KeepAspectRatio);
    if (target.width() < out.fullSize.width() || target.height() < out.fullSize.height())
      reader.setScaledSize(target.expandedTo(QSize(1, 1)));
  }
  QImage image;
  if (!reader.read(&image) || image.isNull()) {
    out.reason = reader.errorString();
    return out;
  }
  // Formats that do not tell their size before decoding are scaled afterwards (their
  // allocation is capped by the limit above).
  if (image.width() > edge || image.height() > edge)
    image = image.scaled(edge, edge, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  out.image = std::move(image);
  return out;
}

}  // namespace

int PictureClass(std::string_view extension) {
  std::string lower(extension);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const auto& c : kClasses)
    if (c.extension == lower) return c.pictureClass;
  return -1;
}

QByteArray EmbeddedJpeg(const QByteArray& bytes) {
  QByteArray best;
  qint64 bestPixels = 0;
  int candidates = 0;
  for (qsizetype at = bytes.indexOf("\xFF\xD8\xFF", 1); at > 0 && candidates < 32;
       at = bytes.indexOf("\xFF\xD8\xFF", at + 3)) {
    ++candidates;
    const QByteArray rest = QByteArray::fromRawData(bytes.constData() + at, bytes.size() - at);
    QBuffer buffer;
    buffer.setData(rest);
    if (!buffer.open(QIODevice::ReadOnly)) continue;
    QImageReader reader(&buffer, "jpeg");
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty()) continue;
    const qint64 pixels = static_cast<qint64>(size.width()) * size.height();
    if (pixels > bestPixels && pixels <= kMaxPicturePixels) {
      bestPixels = pixels;
      best = QByteArray(bytes.constData() + at, bytes.size() - at);
    }
  }
  return best;
}

DecodedPicture DecodePicture(const QByteArray& bytes, int edge, int pictureClass) {
  if (edge <= 0) edge = kPreviewEdge;
  DecodedPicture out = Decode(bytes, edge);
  if (out.image.isNull() && pictureClass >= 2) {
    const QByteArray jpeg = EmbeddedJpeg(bytes);
    if (!jpeg.isEmpty()) {
      DecodedPicture embedded = Decode(jpeg, edge);
      if (!embedded.image.isNull()) return embedded;
    }
  }
  return out;
}

}  // namespace torvane::gui
