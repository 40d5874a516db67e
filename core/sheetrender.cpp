#include "core/sheetrender.h"

#include "core/hugepages.h"
#include "core/output/atomicfile.h"
#include "core/pipeline.h"
#include "core/png/pngencoder.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace SheetRender {

namespace {

// Large sheets are mapped on their own and marked for huge pages: the
// decoders then fault in 2 MiB at a time instead of 4 KiB, which on a big
// sheet saves most of the kernel's share of a run. The mapping is zeroed,
// so no fill is needed either.
constexpr size_t HugeMappingBytes = size_t(4) << 20;

struct Mapping
{
    void *address;
    size_t bytes;
};

void unmap(void *info)
{
    const Mapping *mapping = static_cast<Mapping *>(info);
    HugePages::unmap(mapping->address, mapping->bytes);
    delete mapping;
}

QImage zeroedImage(const QSize &size, int bytesPerLine)
{
    const size_t bytes = size_t(bytesPerLine) * size_t(size.height());
    if (bytes >= HugeMappingBytes) {
        void *address = HugePages::map(bytes);
        if (!address)
            return QImage();
        Mapping *mapping = new Mapping{address, bytes};
        QImage image(static_cast<uchar *>(address), size.width(), size.height(), bytesPerLine,
                     QImage::Format_ARGB32, unmap, mapping);
        if (image.isNull())
            unmap(mapping);
        return image;
    }
    void *bits = std::calloc(size_t(bytesPerLine), size_t(size.height()));
    if (!bits)
        return QImage();
    QImage image(static_cast<uchar *>(bits), size.width(), size.height(), bytesPerLine,
                 QImage::Format_ARGB32, std::free, bits);
    if (image.isNull())
        std::free(bits);
    return image;
}

// A writer's output that takes no more bytes once the run is cancelled:
// the writer then fails at its next write instead of encoding the rest of
// a large sheet first.
class CancellableBuffer : public QBuffer
{
public:
    CancellableBuffer(QByteArray *data, const std::atomic<bool> *cancel)
        : QBuffer(data), m_cancel(cancel)
    {
    }

protected:
    qint64 writeData(const char *bytes, qint64 size) override
    {
        if (m_cancel && *m_cancel)
            return -1;
        return QBuffer::writeData(bytes, size);
    }

private:
    const std::atomic<bool> *m_cancel;
};

} // namespace

QImage newSheet(const QSize &size)
{
    if (!size.isValid() || size.isEmpty())
        return QImage();
    if (size.width() > std::numeric_limits<int>::max() / 4)
        return QImage();
    const int bytesPerLine = size.width() * 4;
    QImage sheet = zeroedImage(size, bytesPerLine);
    if (sheet.isNull())
        return QImage();
    // QImage takes its resolution from the screen (100 dpi when there is
    // none); a fixed 96 dpi keeps the PNG bytes independent of the machine.
    sheet.setDotsPerMeterX(3780);
    sheet.setDotsPerMeterY(3780);
    return sheet;
}

// A row copy instead of QPainter: blending onto transparent pixels would drop
// the colour of alpha-0 pixels and round low alphas.
bool copyInto(QImage &sheet, const QImage &image, const QPoint &position)
{
    if (sheet.isNull() || sheet.format() != QImage::Format_ARGB32 || image.isNull())
        return false;
    const qint64 x = position.x();
    const qint64 y = position.y();
    if (x < 0 || y < 0 || x + image.width() > sheet.width() || y + image.height() > sheet.height())
        return false;

    const QImage source = image.format() == QImage::Format_ARGB32
                              ? image
                              : image.convertToFormat(QImage::Format_ARGB32);
    if (source.isNull()) // conversion could not allocate
        return false;
    const size_t rowBytes = size_t(source.width()) * 4;
    for (int row = 0; row < source.height(); ++row) {
        uchar *target = sheet.scanLine(int(y) + row) + x * 4;
        std::memcpy(target, source.constScanLine(row), rowBytes);
    }
    return true;
}

Status paint(QImage &sheet, const QMap<QString, QPoint> &positions,
             const QMap<QString, QSize> &expectedSizes, QString *failedPath, int threads)
{
    if (sheet.isNull())
        return Status::InvalidSize;
    QVector<SheetLayout::Placement> placements;
    for (auto it = positions.constBegin(); it != positions.constEnd(); ++it)
        placements.append({it.key(), expectedSizes.value(it.key()), it.value(), it->x(), it->y()});
    const QVector<Compose::Failure> failures =
        Compose::paintPlacements(sheet, placements, Compose::Limits(), threads);
    if (failures.isEmpty())
        return Status::Ok;
    const Compose::Failure &first = failures.first();
    if (failedPath)
        *failedPath = first.path;
    switch (first.status) {
    case Compose::ImageStatus::SizeChanged:
        return Status::SizeChanged;
    case Compose::ImageStatus::OutsideSheet:
        return Status::InvalidSize;
    default:
        return Status::LoadFailed;
    }
}

QByteArray writerFormatFor(const QString &path)
{
    const QByteArray format = QFileInfo(path).suffix().toLower().toLatin1();
    if (format == "png")
        return format; // our own encoder: asking Qt would load every image plugin
    if (format.isEmpty() || !QImageWriter::supportedImageFormats().contains(format))
        return QByteArray();
    return format;
}

bool encode(const QImage &sheet, const QByteArray &format, QByteArray *data, QString *error,
            int threads, PngEncoder::Level pngLevel, std::shared_ptr<const void> *storage,
            const std::atomic<bool> *cancel)
{
    return encode(QImage(sheet), format, data, error, threads, pngLevel, storage, cancel);
}

bool encode(QImage &&sheet, const QByteArray &format, QByteArray *data, QString *error, int threads,
            PngEncoder::Level pngLevel, std::shared_ptr<const void> *storage,
            const std::atomic<bool> *cancel)
{
    if (format == "png")
        return PngEncoder::encode(std::move(sheet), data, error, threads, pngLevel, 0, storage,
                                  cancel);
    CancellableBuffer buffer(data, cancel);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    const bool wrote = writer.write(sheet);
    // Not every writer checks its writes; what a cancel cut short is no sheet.
    if (cancel && *cancel) {
        if (error)
            *error = QStringLiteral("cancelled");
        data->clear();
        return false;
    }
    if (!wrote) {
        // Some writers fail without a reason (JPEG beyond 65500 pixels a
        // side); the sheet's size is then the likely one.
        if (error)
            *error = writer.error() == QImageWriter::UnknownError
                         ? QStringLiteral("the %1 writer failed on a sheet of %2 x %3 pixels")
                               .arg(QString::fromLatin1(format))
                               .arg(sheet.width())
                               .arg(sheet.height())
                         : writer.errorString();
        return false;
    }
    // Some writers scale what they cannot hold (ICO to 256 pixels a side),
    // which would leave the placements pointing past the image.
    buffer.close();
    buffer.open(QIODevice::ReadOnly);
    const QSize written = QImageReader(&buffer, format).size();
    if (written.isValid() && written != sheet.size()) {
        if (error)
            *error = QStringLiteral("the %1 writer cannot hold a sheet of %2 x %3 pixels")
                         .arg(QString::fromLatin1(format))
                         .arg(sheet.width())
                         .arg(sheet.height());
        data->clear();
        return false;
    }
    return true;
}

Status save(const QImage &sheet, const QString &path, QString *error)
{
    if (sheet.isNull())
        return Status::InvalidSize;
    auto failed = [&](const QString &reason) {
        if (error)
            *error =
                QStringLiteral("Cannot save %1: %2").arg(QDir::toNativeSeparators(path), reason);
        return Status::SaveFailed;
    };

    // Checked before anything is opened so that no file is created.
    const QByteArray format = writerFormatFor(path);
    if (format.isEmpty()) {
        return failed(
            QStringLiteral("no image writer for suffix \"%1\"").arg(QFileInfo(path).suffix()));
    }
    QByteArray data;
    QString reason;
    if (!encode(sheet, format, &data, &reason))
        return failed(reason);
    if (!writeFileAtomically(path, data, error))
        return Status::SaveFailed;
    return Status::Ok;
}

} // namespace SheetRender
