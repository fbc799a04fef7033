// Pictures for the miniatures and the preview: which found files are pictures (by
// extension), and the decoding of a picture's bytes into a small image. The bytes come from
// the scanned disk and are hostile: the size the header claims is checked before any pixel
// is decoded, the decoder's allocation is capped, and the picture is decoded straight to the
// requested size where the format allows it.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <string_view>

namespace torvane::gui {

// The picture class of a file extension (without the dot, any case): 0 for the plain picture
// formats, 2 to 5 for camera RAW files (their embedded JPEG is shown), 6 for TIFF; -1 when
// the file is not shown as a picture.
int PictureClass(std::string_view extension);

// Pictures whose header claims more pixels than this are not decoded.
inline constexpr qint64 kMaxPicturePixels = 100'000'000;
// What the decoder may allocate for one picture, in MiB.
inline constexpr int kPictureAllocationMiB = 128;
// The edge of the preview when none is asked for.
inline constexpr int kPreviewEdge = 320;

struct DecodedPicture {
  QImage image;    // null when the picture could not be decoded
  QSize fullSize;  // what the header claims
  QString reason;  // why it could not be decoded
};

// Decodes `bytes` into an image that fits in an `edge` × `edge` square (kPreviewEdge when
// `edge` is 0), keeping the aspect ratio and never enlarging. `pictureClass` 2 to 6 looks for
// an embedded JPEG when the bytes themselves cannot be decoded.
DecodedPicture DecodePicture(const QByteArray& bytes, int edge, int pictureClass = 0);

// The largest JPEG embedded in `bytes` (a camera RAW file's preview), or an empty array.
// At most 32 candidates are looked at.
QByteArray EmbeddedJpeg(const QByteArray& bytes);

}  // namespace torvane::gui
