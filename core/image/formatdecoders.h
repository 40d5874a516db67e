#pragma once

// Decoders for the formats whose Qt readers accept data that is cut short
// and fill the missing pixels: JPEG through TurboJPEG, which reports
// libjpeg's warnings, a completeness check of GIF data through giflib, and
// checks for kinds of BMP, XBM and PNG that Qt's readers get wrong.

#include <QByteArray>
#include <QIODevice>
#include <QSize>
#include <QString>

#include <functional>

namespace Compose {

// Where a decode may put pixels it cannot write straight into the sheet:
// returns memory for `bytes` that stays valid until the decode returns, or
// nullptr when it cannot be had.
using SideBuffer = std::function<uchar *(qint64 bytes)>;

// Decodes the JPEG `data` of `size` pixels into `target`, 8-bit ARGB rows
// `bytesPerLine` apart, with the pixels Qt's reader gives. Any warning, such
// as data that ends early, is a failure; `reason` says why.
bool decodeJpeg(const QByteArray &data, const QSize &size, uchar *target, qsizetype bytesPerLine,
                const SideBuffer &sideBuffer, QString *reason);

// The size a JPEG's header gives, or an invalid size.
QSize jpegSize(const QByteArray &data);

// Whether the first frame of the GIF `data`, the one Qt's reader shows, is
// complete: all its image data present and decodable.
bool gifFirstFrameComplete(const QByteArray &data, QString *reason);

// Whether an uncompressed BMP file of `fileSize` bytes, `head` its first 34
// or more, holds every row its header claims (the last one's padding
// aside); true for any other file, which its reader checks. Qt's reader
// leaves a 4-bit image's missing rows in colour 0.
bool bmpPixelDataPresent(const QByteArray &head, qint64 fileSize);

// 8 or 4 when the BMP whose first 34 bytes are `head` has RLE8 or RLE4
// pixel data, 0 otherwise.
int bmpRunLength(const QByteArray &head);

// Whether the RLE pixel data of the BMP `file` has the colour of its last
// run; true for any other file. Qt's reader paints a run whose colour is
// missing with the last byte it read.
bool bmpRunsComplete(const QByteArray &file);

// Whether the XBM text `data` holds a byte for every 8 pixels of each of the
// rows of an image of `size`; Qt's reader leaves missing ones white.
bool xbmDataComplete(const QByteArray &data, const QSize &size);

// Whether a PNG is 16-bit RGB with a transparent colour (a tRNS that libpng
// keeps) before its image data: Qt's reader misplaces such an image's channels.
bool pngIsRgb16WithColourKey(QIODevice &file);

} // namespace Compose
