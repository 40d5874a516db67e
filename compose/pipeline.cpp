#include "compose/pipeline.h"

#include "compose/sheetrender.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QThread>

#include <cstring>
#include <thread>
#include <vector>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Compose {

namespace {

Failure failed(const QString &path, ImageStatus status, const QString &reason)
{
    return Failure{path, status, reason};
}

// Opens `path` for reading only if it is a regular file. The type is checked
// before opening, so a FIFO or a device is never opened, and again on the
// open descriptor, in case the file was swapped in between.
bool openRegularFile(const QString &path, QFile &file, Failure *failure)
{
#ifdef Q_OS_UNIX
    const QByteArray native = QFile::encodeName(path);
    struct stat info;
    if (::stat(native.constData(), &info) != 0) {
        const int error = errno;
        *failure = failed(path, error == ENOENT ? ImageStatus::Missing : ImageStatus::NotImage,
                          error == ENOENT ? QStringLiteral("no such file")
                                          : QString::fromLocal8Bit(strerror(error)));
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *failure = failed(path, ImageStatus::NotRegular, QStringLiteral("not a regular file"));
        return false;
    }
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *failure = failed(path, ImageStatus::NotImage, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        *failure = failed(path, ImageStatus::NotRegular, QStringLiteral("not a regular file"));
        return false;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *failure = failed(path, ImageStatus::NotImage, file.errorString());
        return false;
    }
    return true;
#else
    const QFileInfo info(path);
    if (!info.exists()) {
        *failure = failed(path, ImageStatus::Missing, QStringLiteral("no such file"));
        return false;
    }
    if (!info.isFile()) {
        *failure = failed(path, ImageStatus::NotRegular, QStringLiteral("not a regular file"));
        return false;
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *failure = failed(path, ImageStatus::NotImage, file.errorString());
        return false;
    }
    return true;
#endif
}

bool withinLimits(const QSize &size, const Limits &limits)
{
    return size.width() <= limits.maxSide && size.height() <= limits.maxSide &&
           qint64(size.width()) * size.height() <= limits.maxPixels;
}

QString sizeText(const QSize &size)
{
    return QStringLiteral("%1 x %2 pixels").arg(size.width()).arg(size.height());
}

// A reader that decides the format from the content alone: a file's suffix
// says nothing about what it holds.
void prepareReader(QImageReader &reader, QFile &file)
{
    reader.setDevice(&file);
    reader.setAutoTransform(false); // sizes are the stored ones, as the header gives them
}

bool isVectorFormat(const QByteArray &format)
{
    return format == "svg" || format == "svgz";
}

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

// The canvas a GIF decodes to. Qt's reader reports the first frame's size but
// decodes onto the logical screen, grown to fit every frame, so all frame
// descriptors are scanned, as far as the data goes.
QSize gifCanvas(const QByteArray &bytes)
{
    const auto at = [&](int i) { return i < bytes.size() ? uchar(bytes.at(i)) : 0; };
    const auto word = [&](int i) { return at(i) | at(i + 1) << 8; };
    const auto skipSubBlocks = [&](int i) {
        while (i < bytes.size() && at(i) != 0)
            i += 1 + at(i);
        return i + 1;
    };
    QSize canvas(word(6), word(8)); // the logical screen
    int i = 13;
    if (at(10) & 0x80)
        i += 3 << ((at(10) & 7) + 1);
    while (i < bytes.size()) {
        if (at(i) == 0x21) {
            i = skipSubBlocks(i + 2);
        } else if (at(i) == 0x2c) {
            canvas = canvas.expandedTo(QSize(word(i + 1) + word(i + 5), word(i + 3) + word(i + 7)));
            const int flags = at(i + 9);
            i += 10;
            if (flags & 0x80)
                i += 3 << ((flags & 7) + 1);
            i = skipSubBlocks(i + 1);
        } else {
            break;
        }
    }
    return canvas;
}

// The decode of one placement straight into the sheet's memory. Readers that
// produce 8-bit ARGB write into the sheet in place; others decode beside it
// and are converted and copied row by row, which keeps the colour of fully
// transparent pixels.
Failure decodeInto(uchar *sheetBits, qsizetype bytesPerLine, const SheetLayout::Placement &p,
                   const Limits &limits)
{
    Failure failure{p.path, ImageStatus::Ok, QString()};
    QFile file;
    if (!openRegularFile(p.path, file, &failure))
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

    uchar *target = sheetBits + qsizetype(p.position.y()) * bytesPerLine + p.position.x() * 4;
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

// A decode failure that leaves the rest of the run sound: the image is
// simply one that does not load.
bool isSkippable(ImageStatus status)
{
    return status == ImageStatus::DecodeFailed || status == ImageStatus::OutOfMemory;
}

// A GIF decodes onto a canvas that may be larger than the size its reader
// reports; the canvas is what must stay within the limits.
bool gifCanvasWithinLimits(const QString &path, QFile &file, const Limits &limits, Failure *failure)
{
    const qint64 pos = file.pos();
    file.seek(0);
    const QSize canvas = gifCanvas(file.readAll());
    file.seek(pos);
    if (withinLimits(canvas, limits))
        return true;
    *failure = failed(path, ImageStatus::TooLarge,
                      QStringLiteral("a GIF of %1, beyond the limit of %2 pixels and %3 pixels "
                                     "a side")
                          .arg(sizeText(canvas))
                          .arg(limits.maxPixels)
                          .arg(limits.maxSide));
    return false;
}

} // namespace

QString Failure::message() const
{
    return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), reason);
}

bool probeImage(const QString &path, const Limits &limits, QSize *size, Failure *failure)
{
    if (path.contains(QLatin1Char('\r')) || path.contains(QLatin1Char('\n'))) {
        *failure = failed(path, ImageStatus::BadPath,
                          QStringLiteral("the path holds a line break, which the placement "
                                         "file cannot carry"));
        return false;
    }
    QFile file;
    if (!openRegularFile(path, file, failure))
        return false;
    QImageReader reader;
    prepareReader(reader, file);
    const QByteArray format = reader.format();
    if (format.isEmpty()) {
        *failure = failed(path, ImageStatus::NotImage,
                          QStringLiteral("not a readable image (%1)").arg(reader.errorString()));
        return false;
    }
    if (isVectorFormat(format)) {
        *failure = failed(path, ImageStatus::NotRaster,
                          QStringLiteral("an %1 drawing, not a raster image")
                              .arg(QString::fromLatin1(format.toUpper())));
        return false;
    }
    QSize found = reader.size();
    if (format == "gif") {
        if (!gifCanvasWithinLimits(path, file, limits, failure))
            return false;
        found = QSize(); // the decode below gives the real size
    }
    if (!found.isValid()) {
        // Rare: a reader that cannot tell the size without decoding.
        const QImage image = reader.read();
        if (image.isNull()) {
            *failure =
                failed(path, ImageStatus::NotImage,
                       QStringLiteral("not a readable image (%1)").arg(reader.errorString()));
            return false;
        }
        found = image.size();
    }
    if (found.isEmpty()) {
        *failure = failed(path, ImageStatus::NotImage, QStringLiteral("an image without pixels"));
        return false;
    }
    if (!withinLimits(found, limits)) {
        *failure = failed(path, ImageStatus::TooLarge,
                          QStringLiteral("%1, beyond the limit of %2 pixels and %3 pixels a side")
                              .arg(sizeText(found))
                              .arg(limits.maxPixels)
                              .arg(limits.maxSide));
        return false;
    }
    *size = found;
    return true;
}

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
                results[size_t(i)] = decodeInto(bits, bytesPerLine, p, limits);
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

SheetResult composeSheet(SheetJob job)
{
    SheetResult result;
    for (;;) {
        result.plan = job.layout(job.sizes);
        if (result.plan.isEmpty()) {
            result.error = QStringLiteral("no image to pack");
            return result;
        }
        if (!result.plan.fitsInt()) {
            result.error = QStringLiteral("%1: sheet too large: %2 x %3 pixels")
                               .arg(QDir::toNativeSeparators(job.sheetPath))
                               .arg(result.plan.width)
                               .arg(result.plan.height);
            return result;
        }
        if (job.checkPlan) {
            result.error = job.checkPlan(result.plan);
            if (!result.error.isEmpty())
                return result;
        }
        const QSize size = result.plan.sheetSize();
        result.sheet = SheetRender::newSheet(size);
        if (result.sheet.isNull()) {
            result.error = QStringLiteral("%1: not enough memory for a sheet of %2")
                               .arg(QDir::toNativeSeparators(job.sheetPath), sizeText(size));
            return result;
        }
        const QVector<Failure> failures = paintPlacements(result.sheet, result.plan.placements,
                                                          job.limits, job.threads, job.progress);
        if (job.progress && job.progress->cancelRequested) {
            result.outcome = SheetResult::Cancelled;
            result.sheet = QImage();
            return result;
        }
        bool retry = false;
        for (const Failure &f : failures) {
            if (!job.skipUndecodable || !isSkippable(f.status)) {
                result.error = f.message();
                result.sheet = QImage();
                return result;
            }
            result.skipped.append(f);
            job.sizes.remove(f.path);
            retry = true;
        }
        if (!retry)
            break;
    }
    result.sizes = job.sizes;
    result.outcome = SheetResult::Ok;
    return result;
}

} // namespace Compose
