#include "core/image/imagedecode.h"

#include "core/image/pngdecode.h"

#include <QFile>
#include <QImageReader>
#include <QThread>

#include <cstring>
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
    const size_t rowBytes = size_t(decoded.width()) * size_t(decoded.depth()) / 8;
    for (int y = 0; y < decoded.height(); ++y) {
        if (std::memcmp(check.constScanLine(y), decoded.constScanLine(y), rowBytes) != 0)
            return false;
    }
    return true;
}

// The fast path for the common PNG kinds, straight into the sheet. False
// leaves the image to Qt's reader, with the file at its start again.
bool decodePngInto(QFile &file, const QSize &size, uchar *target, qsizetype bytesPerLine,
                   PngDecode::Scratch &scratch)
{
    static const QByteArray signature("\x89PNG\r\n\x1a\n", 8);
    if (file.peek(8) != signature)
        return false;
    // A file far larger than its pixels could need holds something else.
    const qint64 length = file.size();
    const qint64 raw = qint64(size.height()) * (qint64(size.width()) * 4 + 1);
    if (length > 2 * raw + (qint64(1) << 20))
        return false;
    bool decoded = false;
    try {
        scratch.file.resize(size_t(length));
        decoded = file.read(reinterpret_cast<char *>(scratch.file.data()), length) == length &&
                  PngDecode::decode(scratch.file.data(), size_t(length), size, target, bytesPerLine,
                                    &scratch);
    } catch (const std::bad_alloc &) {
        decoded = false;
    }
    if (!decoded)
        file.seek(0);
    return decoded;
}

// The decode of one placement straight into the sheet's memory. Readers that
// produce 8-bit ARGB write into the sheet in place; others decode beside it
// and are converted and copied row by row, which keeps the colour of fully
// transparent pixels.
Failure decodeInto(uchar *sheetBits, qsizetype bytesPerLine, const SheetLayout::Placement &p,
                   const Limits &limits, PngDecode::Scratch &scratch)
{
    Failure failure{p.path, ImageStatus::Ok, QString()};
    QFile file;
    if (!openRegularFile(p.path, file, &failure))
        return failure;
    uchar *target = sheetBits + qsizetype(p.position.y()) * bytesPerLine + p.position.x() * 4;
    if (withinLimits(p.size, limits) && decodePngInto(file, p.size, target, bytesPerLine, scratch))
        return failure;
    QImageReader reader;
    prepareReader(reader, file);
    const QSize headerSize = reader.format() == "gif" ? QSize() : reader.size();
    if (reader.format().isEmpty() || isVectorFormat(reader.format()))
        return failed(p.path, ImageStatus::NotImage,
                      QStringLiteral("no longer a readable image (%1)").arg(reader.errorString()));
    if (headerSize.isValid() && headerSize != p.size)
        return failed(p.path, ImageStatus::SizeChanged,
                      QStringLiteral("changed while packing: now %1").arg(sizeText(headerSize)));
    if (!withinLimits(p.size, limits))
        return failed(p.path, ImageStatus::TooLarge, sizeText(p.size));

    QImage image;
    const QImage::Format format = reader.imageFormat();
    if (format == QImage::Format_ARGB32 || format == QImage::Format_Invalid) {
        image = QImage(target, p.size.width(), p.size.height(), int(bytesPerLine),
                       QImage::Format_ARGB32);
    } else {
        // Readers reuse an image of their size and format: cleared first, so
        // that a reader that skips pixels leaves them transparent, not random.
        image = QImage(p.size, format);
        if (image.isNull())
            return failed(p.path, ImageStatus::OutOfMemory,
                          QStringLiteral("not enough memory to decode %1").arg(sizeText(p.size)));
        std::memset(image.bits(), 0, size_t(image.sizeInBytes()));
    }
    const bool checkCompleteness = reader.format() == "bmp";
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
    if (checkCompleteness && !decodesCompletely(file, image))
        return failed(p.path, ImageStatus::DecodeFailed,
                      QStringLiteral("the pixel data is cut short"));
    if (image.constBits() == target)
        return failure; // decoded in place

    const QImage source = image.format() == QImage::Format_ARGB32
                              ? image
                              : image.convertToFormat(QImage::Format_ARGB32);
    if (source.isNull())
        return failed(p.path, ImageStatus::OutOfMemory,
                      QStringLiteral("not enough memory to convert %1").arg(sizeText(p.size)));
    const size_t rowBytes = size_t(p.size.width()) * 4;
    for (int row = 0; row < p.size.height(); ++row)
        std::memcpy(target + row * bytesPerLine, source.constScanLine(row), rowBytes);
    return failure;
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

QVector<Failure> paintPlacements(QImage &sheet, const QVector<SheetLayout::Placement> &placements,
                                 const Limits &limits, int threads, Progress *progress)
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
    auto work = [&] {
        // Each worker's buffers live as long as the worker.
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
                results[size_t(i)] = decodeInto(bits, bytesPerLine, p, limits, scratch);
            if (progress)
                ++progress->done;
        }
    };
    if (progress) {
        progress->done = 0;
        progress->total = placements.size();
    }
    const int workers = qMin(threadCount(threads), int(placements.size()));
    std::vector<std::thread> pool;
    for (int w = 1; w < workers; ++w)
        pool.emplace_back(work);
    work();
    for (std::thread &t : pool)
        t.join();

    for (const Failure &f : results) {
        if (f.status != ImageStatus::Ok)
            failures.append(f);
    }
    return failures;
}

} // namespace Compose
