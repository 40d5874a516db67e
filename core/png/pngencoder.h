#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

#include <atomic>
#include <memory>

namespace PngEncoder {

// How much time to spend for a smaller file. Default is what the window
// writes; Fast is for previews; Small takes a few times longer.
enum class Level { Fast, Default, Small };

// Encodes `image` (converted to ARGB32 first if it is in another format) as
// an 8-bit RGBA, non-interlaced PNG into `png`, with a pHYs chunk from the
// image's dots per metre when both are positive. At Small, an image of at
// most 256 different pixels (the colour under transparent ones counted) is
// written with a palette (PLTE, tRNS) instead where that file is smaller;
// every pixel reads back the same. The filter of each row is
// chosen by libpng's rule and the data deflated on `threads` threads (0: one
// per core): by SheetDeflate for Fast and for large images at Default,
// otherwise by libdeflate at a compression level that `level` picks. The
// bytes depend only on the image and `level`, never on `threads`. False with `error` set when the
// image is null or memory runs out. `pieceBytes` sets how many filtered bytes each thread deflates
// as one piece, at least a row (0: the encoder's own choice); tests set it small to join many
// pieces.
//
// Given `storage`, the file is made in memory that `storage` owns and `png`
// only views (QByteArray::fromRawData): keep `storage` for as long as `png`
// or a copy of it is used. The memory is the spent sheet's where that holds
// the file, as pages touched already cost no fault; its pages past the file
// are given back at once.
//
// A `cancel` set while the rows are deflated stops the encode, which then
// fails with "cancelled".
bool encode(const QImage &image, QByteArray *png, QString *error = nullptr, int threads = 0,
            Level level = Level::Default, size_t pieceBytes = 0,
            std::shared_ptr<const void> *storage = nullptr,
            const std::atomic<bool> *cancel = nullptr);

// The same for an image that is spent once encoded: given `storage`, and
// when nothing else shares its pixels, the file is made in their memory,
// which spares a buffer as large as the file that would be fresh memory.
bool encode(QImage &&image, QByteArray *png, QString *error = nullptr, int threads = 0,
            Level level = Level::Default, size_t pieceBytes = 0,
            std::shared_ptr<const void> *storage = nullptr,
            const std::atomic<bool> *cancel = nullptr);

} // namespace PngEncoder
