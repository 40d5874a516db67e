#pragma once

#include "core/png/pngencoder.h"

#include <QImage>
#include <QMap>
#include <QPoint>
#include <QSize>
#include <QString>

namespace SheetRender {

enum class Status {
    Ok,
    InvalidSize, // no sheet (invalid size or not allocated), or an image outside it
    LoadFailed,  // a source image no longer loads
    SizeChanged, // a source image loads with another size than laid out
    SaveFailed,  // no writer for the suffix, or the file could not be written
};

// A fully transparent ARGB32 (non-premultiplied) sheet, or a null image when
// `size` is invalid or cannot be allocated.
QImage newSheet(const QSize &size);

// Copies `image`, converted to 8-bit non-premultiplied ARGB, into `sheet` at
// `position` row by row: no blending, so fully transparent pixels keep their
// colour. The image must lie inside the sheet.
bool copyInto(QImage &sheet, const QImage &image, const QPoint &position);

// Decodes each image of `positions` once into the sheet, on `threads`
// workers (0: one per core). Fails with LoadFailed or SizeChanged when an
// image no longer loads or its size differs from `expectedSizes`, with
// InvalidSize when it lies outside the sheet; `failedPath` names the first
// such image in path order.
Status paint(QImage &sheet, const QMap<QString, QPoint> &positions,
             const QMap<QString, QSize> &expectedSizes, QString *failedPath = nullptr,
             int threads = 0);

// The image format named by the path's suffix (lower case), or an empty
// array when no image writer knows it.
QByteArray writerFormatFor(const QString &path);

// Encodes the sheet in `format` into `data`: PNG with PngEncoder at
// `pngLevel`, XPM as Qt's writer does it (but stopped by a cancel at any
// row), other formats with QImageWriter. False with `error` set if
// encoding fails. Given `storage`, a PNG's `data` may only view memory that
// `storage` owns (see PngEncoder::encode). The encode stops, failing with
// "cancelled", once `cancel` is set.
bool encode(const QImage &sheet, const QByteArray &format, QByteArray *data, QString *error,
            int threads = 0, PngEncoder::Level pngLevel = PngEncoder::Level::Default,
            std::shared_ptr<const void> *storage = nullptr,
            const std::atomic<bool> *cancel = nullptr);

// The same for a sheet that is spent once encoded: a PNG may then be made in
// the sheet's own memory (see PngEncoder::encode).
bool encode(QImage &&sheet, const QByteArray &format, QByteArray *data, QString *error,
            int threads = 0, PngEncoder::Level pngLevel = PngEncoder::Level::Default,
            std::shared_ptr<const void> *storage = nullptr,
            const std::atomic<bool> *cancel = nullptr);

// Saves in the format named by the path's suffix, through a temporary file,
// so an existing sheet is only replaced by a complete one.
Status save(const QImage &sheet, const QString &path, QString *error = nullptr);

} // namespace SheetRender
