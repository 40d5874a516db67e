#include "core/image/imagedecode.h"

#include "core/image/formatdecoders.h"
#include "core/image/memorybudget.h"
#include "core/image/pngdecode.h"

#include "core/parallel.h"

#include <QFile>
#include <QImageReader>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace Compose {

namespace {

// Qt's BMP reader accepts pixel data that is cut short and leaves the
// missing pixels as they were in the target image. A second decode into an
// image filled with other bytes shows whether every pixel was written.
bool decodesCompletely(QFile &file, const QImage &decoded)
{
    file.seek(0);
    QImageReader reader;
    prepareReader(reader, file);
    QImage check(decoded.size(), decoded.format());
    if (check.isNull())
        return false;
    std::memset(check.bits(), 0xff, size_t(check.sizeInBytes()));
    if (!reader.read(&check) || check.size() != decoded.size() ||
        check.format() != decoded.format())
        return false;
    const size_t rowBytes = (size_t(decoded.width()) * size_t(decoded.depth()) + 7) / 8;
    for (int y = 0; y < decoded.height(); ++y) {
        if (std::memcmp(check.constScanLine(y), decoded.constScanLine(y), rowBytes) != 0)
            return false;
    }
    return true;
}

// Memory that the decodes of one paintPlacements() hold beside the sheet.
class BufferBudget
{
public:
    // `keep`: what a worker keeps of each decode buffer for its next image.
    BufferBudget(qint64 limit, Progress *progress, size_t keep)
        : m_limit(limit), m_progress(progress), m_keep(keep)
    {
    }
    size_t keep() const { return m_keep; }

    void acquire(qint64 bytes)
    {
        const qint64 held = m_memory.acquire(bytes, m_limit);
        if (m_progress) {
            qint64 peak = m_progress->peakBufferBytes;
            while (held > peak && !m_progress->peakBufferBytes.compare_exchange_weak(peak, held)) {
            }
        }
    }
    void release(qint64 bytes) { m_memory.release(bytes); }

private:
    const qint64 m_limit;
    Progress *const m_progress;
    const size_t m_keep;
    MemoryBudget m_memory;
};

// A share of the budget for as long as one decode runs. The decode's own
// buffers in `scratch` are given back first, so that the next decode never
// finds them still held.
class BufferHold
{
public:
    explicit BufferHold(BufferBudget &budget, PngDecode::Scratch *scratch = nullptr)
        : m_budget(budget), m_scratch(scratch)
    {
    }
    ~BufferHold()
    {
        if (m_scratch)
            m_scratch->releaseIfOver(m_budget.keep());
        m_budget.release(m_bytes);
    }
    void take(qint64 bytes)
    {
        m_budget.acquire(bytes);
        m_bytes += bytes;
    }

private:
    BufferBudget &m_budget;
    PngDecode::Scratch *const m_scratch;
    qint64 m_bytes = 0;
};

struct Target
{
    uchar *bits; // the placement's first pixel in the sheet
    qsizetype bytesPerLine;
};

Failure decodeJpegInto(QFile &file, const Target &target, const SheetLayout::Placement &p,
                       BufferHold &hold)
{
    // The file up to its end marker, room for a CMYK image's side buffer,
    // and what libjpeg keeps of the whole image for a progressive file.
    const qint64 sideBytes = qint64(p.size.width()) * 4 * p.size.height();
    qint64 wholeImageBytes = 0;
    const qint64 length = jpegDataLength(file, &wholeImageBytes);
    hold.take(length + sideBytes + wholeImageBytes);
    file.seek(0);
    const QByteArray data = file.read(length);
    const QSize headerSize = jpegSize(data);
    if (headerSize.isValid() && headerSize != p.size)
        return failed(p.path, ImageStatus::SizeChanged,
                      QStringLiteral("changed while packing: now %1").arg(sizeText(headerSize)));
    std::vector<uchar> side;
    const SideBuffer sideBuffer = [&](qint64 bytes) -> uchar * {
        if (bytes > sideBytes)
            return nullptr;
        try {
            side.resize(size_t(bytes));
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
        return side.data();
    };
    QString reason;
    if (!decodeJpeg(data, p.size, target.bits, target.bytesPerLine, sideBuffer, &reason))
        return failed(p.path, ImageStatus::DecodeFailed,
                      QStringLiteral("the image data cannot be decoded (%1)").arg(reason));
    return Failure{p.path, ImageStatus::Ok, QString()};
}

// Copies a decoded image into the sheet, converting a band of rows at a
// time so that no second copy of the whole image is made. False when a
// band cannot be had (no memory for it).
bool copyConverted(const QImage &image, const Target &target)
{
    constexpr int bandRows = 64;
    const size_t rowBytes = size_t(image.width()) * 4;
    for (int top = 0; top < image.height(); top += bandRows) {
        const int rows = qMin(bandRows, image.height() - top);
        const QImage band =
            image.format() == QImage::Format_ARGB32
                ? image
                : image.copy(0, top, image.width(), rows).convertToFormat(QImage::Format_ARGB32);
        if (band.isNull())
            return false;
        const int first = image.format() == QImage::Format_ARGB32 ? top : 0;
        for (int row = 0; row < rows; ++row)
            std::memcpy(target.bits + (top + row) * target.bytesPerLine,
                        band.constScanLine(first + row), rowBytes);
    }
    return true;
}

// Readers that produce 8-bit ARGB write into the sheet in place; others
// decode beside it, within the budget, and are converted and copied, which
// keeps the colour of fully transparent pixels.
Failure decodeWithReader(QFile &file, const QByteArray &format, const Target &target,
                         const SheetLayout::Placement &p, BufferHold &hold)
{
    // A fresh reader: the format check above read from the file.
    file.seek(0);
    QImageReader reader;
    prepareReader(reader, file);
    reader.setFormat(format);
    QImage image;
    const QImage::Format imageFormat = reader.imageFormat();
    const bool inPlace =
        imageFormat == QImage::Format_ARGB32 || imageFormat == QImage::Format_Invalid;
    const auto bytesOf = [&](QImage::Format f) {
        const qint64 bits = QImage::toPixelFormat(f).bitsPerPixel();
        return qint64(p.size.height()) * ((qint64(p.size.width()) * bits + 31) / 32 * 4);
    };
    // GIF's reader, which gives no format, and the icon's, which gives its
    // 8-bit ARGB premultiplied, make an image of their own beside the sheet.
    const bool ownImage =
        imageFormat == QImage::Format_Invalid || format == "ico" || format == "cur";
    // Taken at once: a second share asked for while holding one could wait
    // on another worker doing the same.
    hold.take((!inPlace   ? bytesOf(imageFormat)
               : ownImage ? bytesOf(QImage::Format_ARGB32)
                          : 0) +
              (format == "bmp" ? bytesOf(inPlace ? QImage::Format_ARGB32 : imageFormat) : 0));
    if (inPlace) {
        image = QImage(target.bits, p.size.width(), p.size.height(), int(target.bytesPerLine),
                       QImage::Format_ARGB32);
    } else {
        // Readers reuse an image of their size and format: cleared first, so
        // that a reader that skips pixels leaves them transparent, not random.
        image = QImage(p.size, imageFormat);
        if (image.isNull())
            return failed(p.path, ImageStatus::OutOfMemory,
                          QStringLiteral("not enough memory to decode %1").arg(sizeText(p.size)));
        std::memset(image.bits(), 0, size_t(image.sizeInBytes()));
    }
    if (!reader.read(&image)) {
        if (reader.error() == QImageReader::InvalidDataError ||
            reader.error() == QImageReader::UnknownError)
            return failed(
                p.path, ImageStatus::DecodeFailed,
                QStringLiteral("the image data cannot be decoded (%1)").arg(reader.errorString()));
        return failed(p.path, ImageStatus::NotImage,
                      QStringLiteral("cannot be read (%1)").arg(reader.errorString()));
    }
    if (image.size() != p.size)
        return failed(p.path, ImageStatus::SizeChanged,
                      QStringLiteral("changed while packing: now %1").arg(sizeText(image.size())));
    if (format == "bmp" && !decodesCompletely(file, image))
        return failed(p.path, ImageStatus::DecodeFailed,
                      QStringLiteral("the pixel data is cut short"));
    if (image.constBits() != target.bits && !copyConverted(image, target))
        return failed(p.path, ImageStatus::OutOfMemory,
                      QStringLiteral("not enough memory to convert %1").arg(sizeText(p.size)));
    return Failure{p.path, ImageStatus::Ok, QString()};
}

// The fast path for the common PNG kinds, straight into the sheet: the
// file is read whole (its first part alone when it is not a PNG) and
// decoded; false leaves the image to Qt's reader.
bool decodePngInto(RegularFile &file, const QSize &size, uchar *target, qsizetype bytesPerLine,
                   PngDecode::Scratch &scratch)
{
    // A file far larger than its pixels could need holds something else.
    const qint64 length = file.size();
    const qint64 raw = qint64(size.height()) * (qint64(size.width()) * 4 + 1);
    if (length < 8 || length > 2 * raw + (qint64(1) << 20))
        return false;
    static const char signature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};
    try {
        char *data = reinterpret_cast<char *>(scratch.file.reserve(size_t(length)));
        const qint64 first = std::min<qint64>(length, 64 * 1024);
        if (file.readAt(0, data, first) != first || std::memcmp(data, signature, 8) != 0)
            return false;
        if (first < length && file.readAt(first, data + first, length - first) != length - first)
            return false;
        return PngDecode::decode(scratch.file.data(), size_t(length), size, target, bytesPerLine,
                                 &scratch);
    } catch (const std::bad_alloc &) {
        return false;
    }
}

// Why Qt's reader must not read `file`, or nothing: the formats whose
// readers load damaged or unsupported data with made-up pixels.
QString readerRefusal(QFile &file, const QByteArray &format, const QSize &size)
{
    if (format == "bmp") {
        file.seek(0);
        const QByteArray head = file.read(34);
        if (!bmpPixelDataPresent(head, file.size()) || !bmpRunsComplete(file))
            return QStringLiteral("the pixel data is cut short");
        if (bmpChannelsTooWide(file))
            return QStringLiteral(
                "a BMP with channels of more than 8 bits, which is not supported");
    }
    QString reason = format == "png" ? pngColourKeyRefusal(file) : QString();
    if (!reason.isEmpty())
        return reason;
    if ((format == "pgm" || format == "ppm") && !pnmSamplesWithinMaxval(file))
        return QStringLiteral("a sample is above the largest value its header gives");
    if (format == "gif" && !gifFirstFrameComplete(file, &reason))
        return QStringLiteral("the image data cannot be decoded (%1)").arg(reason);
    if (format == "xbm" && xbmDataBeforeArray(file))
        return QStringLiteral("an XBM with \"0x\" before its array of bits (in the array's "
                              "name), which is not supported");
    if ((format == "xbm" && !xbmDataComplete(file, size)) ||
        (format == "xpm" && !xpmRowsComplete(file)))
        return QStringLiteral("the pixel data is cut short");
    return QString();
}

// The decode of one placement straight into the sheet's memory, from the
// probe's copy of the file when there is one.
Failure decodeIntoSheet(uchar *sheetBits, qsizetype bytesPerLine, const SheetLayout::Placement &p,
                        const Limits &limits, BufferBudget &budget, PngDecode::Scratch &scratch,
                        const QByteArray *kept)
{
    Failure failure{p.path, ImageStatus::Ok, QString()};
    const Target target{sheetBits + qsizetype(p.position.y()) * bytesPerLine + p.position.x() * 4,
                        bytesPerLine};
    const qint64 rowBytes = qint64(p.size.height()) * (qint64(p.size.width()) * 4 + 1);
    // The common PNG kinds go straight into the sheet, from the probe's copy
    // when there is one; anything unusual or damaged is left to Qt's reader
    // below, which decides. The file and the inflated rows are held beside
    // the sheet, and given back before the reader asks for its own share, so
    // that no worker waits while holding one.
    if (kept && withinLimits(p.size, limits)) {
        BufferHold hold(budget, &scratch);
        hold.take(kept->size() + rowBytes);
        if (PngDecode::decode(reinterpret_cast<const uint8_t *>(kept->constData()),
                              size_t(kept->size()), p.size, target.bits, bytesPerLine, &scratch))
            return failure;
    }
    RegularFile regular;
    if (!regular.open(p.path, &failure))
        return failure;
    // A copy the fast path declined is not read from the file to be declined again.
    if (!kept && withinLimits(p.size, limits)) {
        BufferHold pngHold(budget, &scratch);
        pngHold.take(regular.size() + rowBytes);
        if (decodePngInto(regular, p.size, target.bits, bytesPerLine, scratch))
            return failure;
    }
    QFile file;
    if (!regular.moveTo(file, &failure))
        return failure;
    // The format is asked once: a reader asked again after reading the
    // header can find nothing (ICO and CUR do).
    QImageReader reader;
    prepareReader(reader, file);
    const QByteArray format = reader.format();
    if (format.isEmpty() || isVectorFormat(format))
        return failed(p.path, ImageStatus::NotImage,
                      QStringLiteral("no longer a readable image (%1)").arg(reader.errorString()));
    // A GIF's screen and an icon's directory may give another size than the
    // image decodes to; the probe took the decoded size, checked below.
    const bool sizeFromDecode = format == "gif" || format == "ico" || format == "cur";
    const QSize headerSize = sizeFromDecode ? QSize() : reader.size();
    if (headerSize.isValid() && headerSize != p.size)
        return failed(p.path, ImageStatus::SizeChanged,
                      QStringLiteral("changed while packing: now %1").arg(sizeText(headerSize)));
    if (!withinLimits(p.size, limits))
        return failed(p.path, ImageStatus::TooLarge, sizeText(p.size));

    // JPEG files are read whole up to their end marker, within the limit;
    // each share is taken at once, as a second one asked for while holding
    // one could wait on another worker doing the same.
    if (format == "jpeg") {
        BufferHold hold(budget);
        return decodeJpegInto(file, target, p, hold);
    }
    const QString refusal = readerRefusal(file, format, p.size);
    if (!refusal.isEmpty())
        return failed(p.path, ImageStatus::DecodeFailed, refusal);
    if ((format == "ico" || format == "cur") &&
        decodeIconBitmap(file, p.size, target.bits, target.bytesPerLine))
        return failure;
    BufferHold hold(budget);
    return decodeWithReader(file, format, target, p, hold);
}

// What throws for want of memory (a JPEG read whole into a QByteArray, a
// reader's own buffers) fails this image as a null QImage does, rather
// than ending the process from a worker.
Failure decodeInto(uchar *sheetBits, qsizetype bytesPerLine, const SheetLayout::Placement &p,
                   const Limits &limits, BufferBudget &budget, PngDecode::Scratch &scratch,
                   const QByteArray *kept)
{
    try {
        return decodeIntoSheet(sheetBits, bytesPerLine, p, limits, budget, scratch, kept);
    } catch (const std::bad_alloc &) {
        return failed(p.path, ImageStatus::OutOfMemory,
                      QStringLiteral("not enough memory to decode %1").arg(sizeText(p.size)));
    }
}

const QByteArray *keptBytes(const KeptContents *kept, const QString &path)
{
    if (!kept)
        return nullptr;
    const auto it = kept->constFind(path);
    return it == kept->constEnd() ? nullptr : &it.value();
}

bool insideSheet(const QImage &sheet, const SheetLayout::Placement &p)
{
    return p.position.x() >= 0 && p.position.y() >= 0 &&
           qint64(p.position.x()) + p.size.width() <= sheet.width() &&
           qint64(p.position.y()) + p.size.height() <= sheet.height();
}

} // namespace

int threadCount(int requested)
{
    if (requested > 0)
        return requested;
    return qMax(1, QThread::idealThreadCount());
}

size_t scratchToKeep(const Limits &limits, int workers)
{
    // Three buffers a worker; no more than sprites commonly need.
    return size_t(std::clamp<qint64>(limits.maxBufferBytes / (4 * qMax(1, workers)), 0, 16 << 20));
}

QVector<Failure> paintPlacements(QImage &sheet, const QVector<SheetLayout::Placement> &placements,
                                 const Limits &limits, int threads, Progress *progress,
                                 const KeptContents *kept)
{
    QVector<Failure> failures;
    if (sheet.isNull() || sheet.format() != QImage::Format_ARGB32) {
        failures.append(failed(QString(), ImageStatus::OutOfMemory, QStringLiteral("no sheet")));
        return failures;
    }
    // bits() detaches; take it once here, never in a worker.
    uchar *bits = sheet.bits();
    const qsizetype bytesPerLine = sheet.bytesPerLine();

    std::vector<Failure> results(size_t(placements.size()));
    std::atomic<int> next{0};
    const int workers = qMin(threadCount(threads), int(placements.size()));
    BufferBudget budget(limits.maxBufferBytes, progress, scratchToKeep(limits, workers));
    auto work = [&] {
        PngDecode::Scratch scratch;
        for (int i = next++; i < placements.size(); i = next++) {
            const SheetLayout::Placement &p = placements[i];
            if (progress && progress->cancelRequested) {
                results[size_t(i)] =
                    failed(p.path, ImageStatus::Cancelled, QStringLiteral("cancelled"));
                continue;
            }
            if (!insideSheet(sheet, p))
                results[size_t(i)] = failed(p.path, ImageStatus::OutsideSheet,
                                            QStringLiteral("does not fit in the sheet"));
            else
                results[size_t(i)] = decodeInto(bits, bytesPerLine, p, limits, budget, scratch,
                                                keptBytes(kept, p.path));
            if (progress)
                ++progress->done;
        }
    };
    if (progress) {
        progress->peakBufferBytes = 0;
        progress->done = 0;
        progress->total = placements.size();
    }
    Parallel::run(workers, work);

    for (const Failure &f : results) {
        if (f.status != ImageStatus::Ok)
            failures.append(f);
    }
    return failures;
}

Failure decodeImage(const QString &path, const QSize &size, const Limits &limits, QImage *image,
                    PngDecode::Scratch &scratch)
{
    if (!withinLimits(size, limits))
        return failed(path, ImageStatus::TooLarge, sizeText(size));
    QImage target(size, QImage::Format_ARGB32);
    if (target.isNull())
        return failed(path, ImageStatus::OutOfMemory,
                      QStringLiteral("not enough memory to decode %1").arg(sizeText(size)));
    target.fill(0); // as a new sheet is: a reader that skips pixels leaves them transparent
    BufferBudget budget(limits.maxBufferBytes, nullptr, scratchToKeep(limits, 1));
    const Failure failure =
        decodeInto(target.bits(), target.bytesPerLine(), {path, size, QPoint(), 0, 0}, limits,
                   budget, scratch, nullptr);
    if (failure.status == ImageStatus::Ok)
        *image = target;
    return failure;
}

} // namespace Compose
