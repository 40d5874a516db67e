#pragma once

// Decoders for the formats whose Qt readers accept data that is cut short
// and fill the missing pixels: JPEG through TurboJPEG, which reports
// libjpeg's warnings, a completeness check of GIF data through giflib, and
// checks for kinds of BMP, XBM, XPM and PNG that Qt's readers get wrong.

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

// How much of the JPEG `file` its decode reads: up to and with the end
// marker, as libjpeg finds it. A file without one is cut short, whatever
// follows, and the decode fails on its first part as on the whole: then up
// to the end of the first scan's header, or its first MiB without one.
// `wholeImageBytes`, when given, gets what libjpeg holds for the whole image
// besides: the coefficients of every block, which it keeps when the scans
// cannot be decoded one at a time (a progressive file, or a first scan with
// fewer components than the frame); 0 otherwise.
qint64 jpegDataLength(QIODevice &file, qint64 *wholeImageBytes = nullptr);

// The size a JPEG's header gives, or an invalid size.
QSize jpegSize(const QByteArray &data);

// Whether the first frame of the GIF `file`, the one Qt's reader shows, is
// complete: all its image data present and decodable. Reads the file from
// its start up to that frame's end.
bool gifFirstFrameComplete(QIODevice &file, QString *reason);

// Whether an uncompressed BMP file of `fileSize` bytes, `head` its first 34
// or more, holds every row its header claims (the last one's padding
// aside); true for any other file, which its reader checks. Qt's reader
// leaves a 4-bit image's missing rows in colour 0.
bool bmpPixelDataPresent(const QByteArray &head, qint64 fileSize);

// Whether a BMP's bit fields give a channel more than 8 bits (10 bits a
// channel, as in A2R10G10B10): Qt's reader scales such a channel by
// 256 / (its largest value + 1), which is 0, and reads it black.
bool bmpChannelsTooWide(QIODevice &file);

// 8 or 4 when the BMP whose first 34 bytes are `head` has RLE8 or RLE4
// pixel data, 0 otherwise.
int bmpRunLength(const QByteArray &head);

// Whether the RLE pixel data of the BMP `file` has the colour of its last
// run; true for any other file. Qt's reader paints a run whose colour is
// missing with the last byte it read. Reads up to the end of the image.
bool bmpRunsComplete(QIODevice &file);

// Whether every sample of the PGM or PPM `file` is within the maxval its
// header gives; true for any other file. Qt's reader scales a sample above
// it to a value that wraps around (11 of maxval 10 reads as 24).
bool pnmSamplesWithinMaxval(QIODevice &file);

// Whether the XBM text `file` holds a byte for every 8 pixels of each of the
// rows of an image of `size`; Qt's reader leaves missing ones white. Reads
// up to the last of those bytes.
bool xbmDataComplete(QIODevice &file, const QSize &size);

// Whether Qt's reader would take a byte of the XBM text `file` from before
// the brace that opens its array of bits, as it does with "0x41" in
// `static char glyph_0x41_bits[] = {`: every pixel would then be shifted.
bool xbmDataBeforeArray(QIODevice &file);

// Whether each row of the XPM text `file` holds as many characters as its
// header's width takes; true for a file whose header does not read, which
// its reader refuses. Qt's reader fills in a short row's missing pixels
// (with the first colour, or transparent black). Reads up to the end of the
// last row.
bool xpmRowsComplete(QIODevice &file);

// Why Qt's reader would misplace the channels of an RGB PNG with a
// transparent colour (a tRNS that libpng keeps) before its image data: it is
// 16-bit, or a palette follows the key. Empty for any other file.
QString pngColourKeyRefusal(QIODevice &file);

// Decodes the first image of the icon or cursor `file` into `target` when
// it is a 32- or 24-bit bitmap of `size` pixels. A 32-bit one has the
// pixels Qt's reader reads from it (its AND mask aside, as there), where
// that reader premultiplies them, which loses the colour of every pixel
// that is not opaque. A 24-bit one (of a 40-byte header, the usual one) is
// transparent where its AND mask says so, which Qt's reader ignores, with
// the colour its pixel holds. False
// for any other first image, and when the pixels (and a 24-bit one's mask)
// are not all in the file, which are left to Qt's reader.
bool decodeIconBitmap(QIODevice &file, const QSize &size, uchar *target, qsizetype bytesPerLine);

} // namespace Compose
