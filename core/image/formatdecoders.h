#pragma once

// Decoders for the formats whose Qt readers accept data that is cut short
// and fill the missing pixels: JPEG through TurboJPEG, which reports
// libjpeg's warnings, and a completeness check of GIF data through giflib.

#include <QByteArray>
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

} // namespace Compose
