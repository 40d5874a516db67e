#include "core/sheetrender.h"

#include "core/largebuffers.h"
#include "core/output/atomicfile.h"
#include "core/pipeline.h"
#include "core/png/pngencoder.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <unordered_map>

namespace SheetRender {

namespace {

// Large sheets are mapped on their own: the mapping is zeroed, so no fill
// is needed, and it is given back whole when the sheet goes.
constexpr size_t OwnMappingBytes = size_t(4) << 20;

struct Mapping
{
    void *address;
    size_t bytes;
};

void unmap(void *info)
{
    const Mapping *mapping = static_cast<Mapping *>(info);
    LargeBuffers::unmap(mapping->address, mapping->bytes);
    delete mapping;
}

QImage zeroedImage(const QSize &size, int bytesPerLine)
{
    const size_t bytes = size_t(bytesPerLine) * size_t(size.height());
    if (bytes >= OwnMappingBytes) {
        void *address = LargeBuffers::map(bytes);
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
// a large sheet first. A buffer that cannot grow (QByteArray throws
// std::bad_alloc) is a failed write too, not an exception through Qt's
// writer.
class CancellableBuffer : public QBuffer
{
public:
    CancellableBuffer(QByteArray *data, const std::atomic<bool> *cancel)
        : QBuffer(data), m_cancel(cancel)
    {
    }

    bool outOfMemory() const { return m_outOfMemory; }

protected:
    qint64 writeData(const char *bytes, qint64 size) override
    {
        if (m_cancel && *m_cancel)
            return -1;
        try {
            return QBuffer::writeData(bytes, size);
        } catch (const std::bad_alloc &) {
            m_outOfMemory = true;
            return -1;
        }
    }

private:
    const std::atomic<bool> *m_cancel;
    bool m_outOfMemory = false;
};

// Qt's XPM writer, byte for byte, but stopped by a cancel between rows:
// Qt's builds its colour table over the whole sheet before it writes a
// byte, seconds for a large sheet of many colours.
enum class XpmOutcome { Written, Cancelled, LeftToQt };

// Qt's names: base 64, most significant first; with two characters or
// more, the first two of index 0 and of 2837 are swapped, as Qt does.
void xpmColourName(int cpp, int index, char *name)
{
    static const char code[] = ".#abcdefghijklmnopqrstuvwxyzABCD"
                               "EFGHIJKLMNOPQRSTUVWXYZ0123456789";
    constexpr int swapped = 64 * 44 + 21;
    for (int i = cpp - 1; i >= 2; --i) {
        name[i] = code[index % 64];
        index /= 64;
    }
    if (cpp > 1) {
        if (index == 0)
            index = swapped;
        else if (index == swapped)
            index = 0;
        name[1] = code[index % 64];
        index /= 64;
    }
    name[0] = code[index];
}

// LeftToQt for a sheet without alpha, or of more colours than four
// characters a pixel can name, which Qt's writer handles its own way.
XpmOutcome encodeXpm(const QImage &sheet, QByteArray *data, const std::atomic<bool> *cancel)
{
    if (sheet.format() != QImage::Format_ARGB32)
        return XpmOutcome::LeftToQt;
    const auto cancelled = [cancel] { return cancel && *cancel; };
    const int w = sheet.width();
    const int h = sheet.height();
    constexpr int maxColours = 64 * 64 * 64 * 64;
    // Each colour is numbered in the order it is first met.
    std::unordered_map<QRgb, int> index;
    QVector<QRgb> colours;
    for (int y = 0; y < h; ++y) {
        if (cancelled())
            return XpmOutcome::Cancelled;
        const QRgb *row = reinterpret_cast<const QRgb *>(sheet.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            if (index.emplace(row[x], int(colours.size())).second) {
                colours.append(row[x]);
                if (colours.size() > maxColours)
                    return XpmOutcome::LeftToQt;
            }
        }
    }
    const int ncolors = int(colours.size());
    int cpp = 1;
    for (int k = 64; ncolors > k; k *= 64)
        ++cpp;
    QVector<char> names(qsizetype(ncolors) * cpp);
    for (int i = 0; i < ncolors; ++i)
        xpmColourName(cpp, i, names.data() + qsizetype(i) * cpp);

    data->clear();
    *data += QByteArrayLiteral("/* XPM */\nstatic char *dummy[]={\n\"");
    *data += QByteArray::number(w) + ' ' + QByteArray::number(h) + ' ' +
             QByteArray::number(ncolors) + ' ' + QByteArray::number(cpp) + '"';
    // The palette in the order of the colours' values.
    QVector<QRgb> sorted = colours;
    std::sort(sorted.begin(), sorted.end());
    for (const QRgb colour : std::as_const(sorted)) {
        *data += ",\n\"";
        data->append(names.constData() + qsizetype(index.at(colour)) * cpp, cpp);
        if (qAlpha(colour) == 0)
            *data += " c None\"";
        else
            *data += QByteArray(" c #") +
                     QByteArray::number(colour & 0xffffff, 16).rightJustified(6, '0') + '"';
    }
    for (int y = 0; y < h; ++y) {
        if (cancelled())
            return XpmOutcome::Cancelled;
        *data += ",\n\"";
        const QRgb *row = reinterpret_cast<const QRgb *>(sheet.constScanLine(y));
        const char *name = nullptr;
        for (int x = 0; x < w; ++x) {
            if (x == 0 || row[x] != row[x - 1])
                name = names.constData() + qsizetype(index.at(row[x])) * cpp;
            data->append(name, cpp);
        }
        *data += '"';
    }
    *data += "};\n";
    return XpmOutcome::Written;
}

QImage greyAsQGray(const QImage &sheet)
{
    QImage grey(sheet.size(), QImage::Format_Grayscale8);
    if (grey.isNull())
        return sheet; // no memory for it: Qt's writer converts as it can
    for (int y = 0; y < sheet.height(); ++y) {
        const QRgb *from = reinterpret_cast<const QRgb *>(sheet.constScanLine(y));
        uchar *to = grey.scanLine(y);
        for (int x = 0; x < sheet.width(); ++x)
            to[x] = uchar(qGray(from[x]));
    }
    return grey;
}

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

namespace {

bool encodeWithQt(QImage &sheet, const QByteArray &format, QByteArray *data, QString *error,
                  const std::atomic<bool> *cancel);

} // namespace

bool encode(QImage &&sheet, const QByteArray &format, QByteArray *data, QString *error, int threads,
            PngEncoder::Level pngLevel, std::shared_ptr<const void> *storage,
            const std::atomic<bool> *cancel)
{
    if (format == "png")
        return PngEncoder::encode(std::move(sheet), data, error, threads, pngLevel, 0, storage,
                                  cancel);
    // The XPM colour table and Qt's writers allocate as they go: a sheet
    // too large for the memory left fails as a PNG does, it does not end
    // the process.
    try {
        if (encodeWithQt(sheet, format, data, error, cancel))
            return true;
    } catch (const std::bad_alloc &) {
        if (error)
            *error = QStringLiteral("out of memory");
    }
    *data = QByteArray();
    return false;
}

namespace {

// Qt writes a .cur as an icon: resource type 1, and planes and bit count
// where a cursor holds its hot spot. Readers that go by the type take it for
// an icon, and the others find a hot spot of (1, 32). Made a cursor here,
// its hot spot at the top-left corner of each image.
void markAsCursor(QByteArray &data)
{
    if (data.size() < 6 || data.at(2) != 1 || data.at(3) != 0)
        return;
    data[2] = 2;
    const int count = uchar(data[4]) | uchar(data[5]) << 8;
    for (int i = 0; i < count && 6 + 16 * (i + 1) <= data.size(); ++i)
        std::fill_n(data.begin() + 6 + 16 * i + 4, 4, '\0');
}

// Qt's icon writer copies each row of the AND mask with its padding, which
// it never sets: the file would hold whatever the heap held, and differ
// from run to run. Every mask bit past the image's width is cleared here.
void clearMaskPadding(QByteArray &data)
{
    const auto u16 = [&](qint64 at) { return qFromLittleEndian<quint16>(data.constData() + at); };
    const auto u32 = [&](qint64 at) { return qFromLittleEndian<quint32>(data.constData() + at); };
    const qint64 size = data.size();
    const int count = size < 6 ? 0 : int(u16(4));
    for (int i = 0; i < count && 6 + 16 * (i + 1) <= size; ++i) {
        const qint64 entry = 6 + 16 * i;
        const qint64 start = u32(entry + 12);
        const qint64 end = start + u32(entry + 8);
        if (end > size || start + 40 > end || u32(start) != 40)
            continue; // a PNG, or no bitmap header this knows
        const qint64 width = qint32(u32(start + 4));
        const qint64 height = qint32(u32(start + 8)) / 2;
        const int bits = int(u16(start + 14));
        const qint64 colours = u32(start + 32);
        if (width <= 0 || height <= 0 || bits < 1 || bits > 32 || u32(start + 16) != 0)
            continue;
        const qint64 palette = colours ? colours : (bits <= 8 ? 1 << bits : 0);
        const qint64 mask = start + 40 + 4 * palette + (width * bits + 31) / 32 * 4 * height;
        const qint64 stride = (width + 31) / 32 * 4;
        if (mask + stride * height > end)
            continue;
        for (qint64 y = 0; y < height; ++y) {
            char *row = data.data() + mask + y * stride;
            if (width % 8)
                row[width / 8] = char(uchar(row[width / 8]) & uchar(0xff00 >> (width % 8)));
            std::fill(row + (width + 7) / 8, row + stride, '\0');
        }
    }
}

bool encodeWithQt(QImage &sheet, const QByteArray &format, QByteArray *data, QString *error,
                  const std::atomic<bool> *cancel)
{
    // Qt 6's PGM writer takes a colour's grey from its luminance in linear
    // light, Qt 5's from qGray(): made grey here as Qt 5 does, the sheet has
    // the same pixels whichever Qt wrote it.
    if (format == "pgm" && sheet.format() == QImage::Format_ARGB32)
        sheet = greyAsQGray(sheet);
    const auto cancelled = [&] {
        if (error)
            *error = QStringLiteral("cancelled");
        data->clear();
        return false;
    };
    if (format == "xpm") {
        const XpmOutcome xpm = encodeXpm(sheet, data, cancel);
        if (xpm == XpmOutcome::Written)
            return true;
        if (xpm == XpmOutcome::Cancelled)
            return cancelled();
    }
    CancellableBuffer buffer(data, cancel);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    const bool wrote = writer.write(sheet);
    // Not every writer checks its writes; what a cancel cut short is no sheet.
    if (cancel && *cancel)
        return cancelled();
    if (buffer.outOfMemory()) {
        if (error)
            *error = QStringLiteral("out of memory");
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
    if (format == "ico" || format == "cur")
        clearMaskPadding(*data);
    if (format == "cur")
        markAsCursor(*data);
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

} // namespace

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
