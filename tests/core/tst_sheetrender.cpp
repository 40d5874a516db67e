#include "core/image/imagedecode.h"
#include "core/image/imageprobe.h"
#include "core/image/pngdecode.h"
#include "core/largebuffers.h"
#include "core/layout/sheetlayout.h"
#include "core/parallel.h"
#include "core/png/pngencoder.h"
#include "core/png/rowfilter.h"
#include "core/png/sheetdeflate.h"
#include "core/png/zlibjoin.h"
#include "core/sheetrender.h"

#include "support/testsupport.h"
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryDir>

#include <QtTest>

#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <memory>
#include <random>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>

using SheetRender::Status;

Q_DECLARE_METATYPE(SheetRender::Status)

namespace {

// Every alpha value, one per column, with a colour that is non-zero at
// alpha 0 and 1 and differs from pixel to pixel.
QImage alphaRamp()
{
    QImage image(256, 256, QImage::Format_ARGB32);
    for (int y = 0; y < 256; ++y) {
        for (int x = 0; x < 256; ++x)
            image.setPixel(x, y, qRgba(255 - y, (x * 7 + y * 13) & 255, x ^ y, x));
    }
    return image;
}

// A 24-bit icon of `image`, its AND mask set where the image is transparent.
QByteArray icon24(const QImage &image)
{
    const int w = image.width(), h = image.height(), row = (w * 3 + 3) / 4 * 4;
    const int maskRow = (w + 31) / 32 * 4, size = 40 + (row + maskRow) * h;
    QByteArray file = QByteArray::fromHex("0000010001000000000001001800") + QByteArray(8, '\0');
    file[6] = char(w), file[7] = char(h), file[14] = char(size), file[15] = char(size >> 8);
    file[18] = 22;
    QByteArray bitmap(size, '\0');
    bitmap[0] = 40, bitmap[4] = char(w), bitmap[8] = char(2 * h), bitmap[12] = 1, bitmap[14] = 24;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const QRgb p = image.pixel(x, h - 1 - y);
            char *pixel = bitmap.data() + 40 + y * row + x * 3;
            pixel[0] = char(qBlue(p)), pixel[1] = char(qGreen(p)), pixel[2] = char(qRed(p));
            if (qAlpha(p) == 0)
                bitmap.data()[40 + row * h + y * maskRow + x / 8] |= char(0x80 >> (x % 8));
        }
    }
    return file + bitmap;
}

QImage noise(int width, int height, uint seed)
{
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            seed = seed * 1103515245u + 12345u;
            image.setPixel(x, y, seed >> 1);
        }
    }
    return image;
}

// Icons shaded from one colour to another, fading out towards their
// corners, side by side: smooth shading, which repeats at many distances.
QImage shadedIcons(int icons, int side)
{
    QImage image(side * 4, (icons + 3) / 4 * side, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int i = y / side * 4 + x / side, u = x % side, v = y % side;
            const double t = double(u + v) / (2 * side), r = std::hypot(u - side / 2, v - side / 2);
            const int alpha = qBound(0, int((1.1 - 2 * r / side) * 510), 255);
            image.setPixel(x, y,
                           qRgba(int(40 + 200 * t), int(i * 37 % 256 * (1 - t)),
                                 int(90 + i * 11 % 160 * t), alpha));
        }
    }
    return image;
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// Empty when `sheet` holds each image (as 8-bit ARGB) at its position and
// (0, 0, 0, 0) everywhere else; otherwise the first difference.
QString compareSheet(const QImage &sheet, const QMap<QString, QImage> &images,
                     const QMap<QString, QPoint> &positions)
{
    if (sheet.format() != QImage::Format_ARGB32)
        return QStringLiteral("sheet format %1").arg(sheet.format());
    QImage expected(sheet.size(), QImage::Format_ARGB32);
    expected.fill(0);
    for (auto it = images.constBegin(); it != images.constEnd(); ++it) {
        const QImage image = it.value().convertToFormat(QImage::Format_ARGB32);
        const QPoint at = positions.value(it.key());
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x)
                expected.setPixel(at.x() + x, at.y() + y, image.pixel(x, y));
        }
    }
    for (int y = 0; y < sheet.height(); ++y) {
        for (int x = 0; x < sheet.width(); ++x) {
            if (sheet.pixel(x, y) != expected.pixel(x, y)) {
                return QStringLiteral("pixel (%1, %2) is %3, expected %4")
                    .arg(x)
                    .arg(y)
                    .arg(sheet.pixel(x, y), 8, 16, QLatin1Char('0'))
                    .arg(expected.pixel(x, y), 8, 16, QLatin1Char('0'));
            }
        }
    }
    return QString();
}

// CRC-32 as PNG defines it, bit by bit, independent of the encoder's.
quint32 crc32(const char *data, int size)
{
    quint32 crc = 0xffffffffu;
    for (int i = 0; i < size; ++i) {
        crc ^= uchar(data[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

// The chunks of a PNG as (type, data), IDATs joined into one; empty with
// `error` set when the signature, a length or a CRC is wrong.
QList<QPair<QByteArray, QByteArray>> pngChunks(const QByteArray &png, QString *error)
{
    QList<QPair<QByteArray, QByteArray>> chunks;
    if (!png.startsWith("\x89PNG\r\n\x1a\n")) {
        *error = QStringLiteral("no PNG signature");
        return {};
    }
    for (int at = 8; at < png.size();) {
        const quint32 length = qFromBigEndian<quint32>(png.constData() + at);
        if (png.size() - at < 12 || length > quint32(png.size() - at - 12)) {
            *error = QStringLiteral("chunk at %1 runs past the end").arg(at);
            return {};
        }
        const QByteArray type = png.mid(at + 4, 4);
        const QByteArray data = png.mid(at + 8, int(length));
        if (qFromBigEndian<quint32>(png.constData() + at + 8 + length) !=
            crc32(png.constData() + at + 4, int(length) + 4)) {
            *error = QStringLiteral("bad CRC in %1").arg(QString::fromLatin1(type));
            return {};
        }
        if (type == "IDAT" && !chunks.isEmpty() && chunks.last().first == "IDAT")
            chunks.last().second += data;
        else
            chunks.append({type, data});
        at += 12 + int(length);
    }
    return chunks;
}

QByteArray bigEndian(std::initializer_list<quint32> values)
{
    QByteArray bytes;
    for (const quint32 value : values) {
        char word[4];
        qToBigEndian(value, word);
        bytes.append(word, 4);
    }
    return bytes;
}

QByteArray pngChunk(const char *type, const QByteArray &data)
{
    const QByteArray body = QByteArray(type, 4) + data;
    return bigEndian({quint32(data.size())}) + body +
           bigEndian({crc32(body.constData(), body.size())});
}

// A PNG of random rows with random filter types, `extra` chunks before the
// data, and one kind of damage: "cut", "crc", "filter", "adler", "no IEND".
// A valid progressive JPEG of flat grey with a scan for each bit of each
// AC coefficient, 1 + 63 * 9 scans in all (past libjpeg-turbo's limit of
// 500), or the first `scans` of them.
QByteArray manyScanJpeg(int width, int height, int scans)
{
    const auto segment = [](char marker, const QByteArray &body) {
        const int length = body.size() + 2;
        return QByteArray("\xff") + marker + char(length >> 8) + char(length) + body;
    };
    // One code, "0", for symbol 0: a DC difference of 0, or an end of block.
    const QByteArray oneCode = QByteArray(1, 1) + QByteArray(15, 0) + QByteArray(1, 0);
    QByteArray jpeg =
        QByteArray("\xff\xd8") + segment('\xdb', QByteArray(1, 0) + QByteArray(64, 1)) +
        segment('\xc2', QByteArray("\x08") + char(height >> 8) + char(height) + char(width >> 8) +
                            char(width) + QByteArray("\x01\x01\x11", 3) + QByteArray(1, 0)) +
        segment('\xc4', QByteArray(1, 0x00) + oneCode) +
        segment('\xc4', QByteArray(1, 0x10) + oneCode);
    const auto scan = [&](int first, int last, int high, int low) {
        return segment('\xda', QByteArray("\x01\x01", 2) + QByteArray(1, 0) + char(first) +
                                   char(last) + char(high << 4 | low)) +
               "\x7f";
    };
    jpeg += scan(0, 0, 0, 0);
    for (int k = 1, n = 1; k < 64 && n < scans; ++k) {
        for (int bit = 8; bit >= 0 && n < scans; --bit, ++n)
            jpeg += scan(k, k, bit == 8 ? 0 : bit + 1, bit);
    }
    return jpeg + "\xff\xd9";
}

QByteArray pngFile(int colour, int depth, int width, int height, const QByteArray &extra,
                   const QString &damage, uint seed)
{
    const int channels = QVector<int>{1, 0, 3, 1, 2, 0, 4}.value(colour);
    const int rowBytes = (width * channels * depth + 7) / 8;
    QByteArray rows;
    for (int y = 0; y < height; ++y) {
        seed = seed * 1103515245u + 12345u;
        // "paeth": every row Paeth-filtered with steps of -1, 0 and 1, where
        // the predictor's ties decide the pixel.
        const bool paeth = damage.startsWith(QLatin1String("paeth"));
        rows.append(char(damage == QLatin1String("filter") && y == 1 ? 5
                         : paeth                                     ? 4
                                                                     : (seed >> 16) % 5));
        for (int x = 0; x < rowBytes; ++x) {
            seed = seed * 1103515245u + 12345u;
            rows.append(char(paeth ? int((seed >> 16) % 3) - 1 : int(seed >> 16)));
        }
    }
    if (damage.startsWith(QLatin1String("rows "))) // the filtered rows given, in hex
        rows = QByteArray::fromHex(damage.section(' ', 1, 1).toLatin1());
    QByteArray zlib =
        qCompress(rows.left(rows.size() - damage.endsWith(QLatin1String("one byte short")))).mid(4);
    // Past the stream's end, bytes that repeat its Adler-32.
    if (damage.endsWith(QLatin1String("adler twice")))
        zlib += zlib.right(4);
    if (damage == QLatin1String("adler"))
        zlib[zlib.size() - 1] = char(zlib.at(zlib.size() - 1) ^ 1);
    if (damage.startsWith(QLatin1String("zlib "))) // a stream made by hand, in hex
        zlib = QByteArray::fromHex(damage.mid(5).toLatin1());
    // "IHDR renamed": the header under an ancillary chunk's name.
    const char *header = damage == QLatin1String("IHDR renamed") ? "iHDR" : "IHDR";
    QByteArray png =
        QByteArray("\x89PNG\r\n\x1a\n", 8) +
        pngChunk(header, bigEndian({quint32(width), quint32(height)}) + QByteArray(1, char(depth)) +
                             QByteArray(1, char(colour)) +
                             QByteArray(1, char(damage == QLatin1String("compression 1"))) +
                             QByteArray(1, 0) +
                             QByteArray(1, char(damage.startsWith(QLatin1String("interlace "))
                                                    ? damage.right(1).toInt()
                                                    : 0))) +
        extra;
    if (damage == QLatin1String("IHDR crc"))
        png[29] = char(png.at(29) ^ 1);
    // The data in two chunks, as many writers split it.
    // An empty chunk between them leaves the joined stream whole.
    const QByteArray between = damage == QLatin1String("chunk between the data")
                                   ? pngChunk("abCd", QByteArray())
                                   : QByteArray();
    png += pngChunk("IDAT", zlib.left(zlib.size() / 2)) + between +
           pngChunk("IDAT", zlib.mid(zlib.size() / 2));
    if (damage == QLatin1String("crc"))
        png[png.size() - 1] = char(png.at(png.size() - 1) ^ 0x40);
    if (damage != QLatin1String("no IEND"))
        png += pngChunk("IEND", damage == QLatin1String("IEND data") ? "x" : QByteArray());
    if (damage == QLatin1String("cut"))
        png.chop(png.size() / 3);
    return png;
}

QByteArray palette(int entries)
{
    QByteArray bytes;
    for (int i = 0; i < entries; ++i)
        bytes += QByteArray(1, char(i * 37)) + char(255 - i) + char(i * 11);
    return pngChunk("PLTE", bytes);
}

} // namespace

class TestSheetRender : public QObject
{
    Q_OBJECT

private slots:
    void decoderOutOfMemoryFallsBackToQt();
    void paintAndSaveKeepEveryPixel_data();
    void paintAndSaveKeepEveryPixel();
    void otherPixelFormatsAreConverted_data();
    void otherPixelFormatsAreConverted();
    void copyIntoStaysInsideSheet_data();
    void copyIntoStaysInsideSheet();
    void paintFailures_data();
    void paintFailures();
    void saveFailures_data();
    void saveFailures();
    void newSheet_data();
    void newSheet();
    void scratchBuffer_data();
    void scratchBuffer();
    void finalBlockWalk_data();
    void finalBlockWalk();
    void adlerCombine_data();
    void adlerCombine();
    void sheetDeflateRoundTrip_data();
    void sheetDeflateRoundTrip();
    void smallLevelPalette_data();
    void smallLevelPalette();
    void pngEncoderRoundTrip_data();
    void pngEncoderRoundTrip();
    void encodeRoutesBySuffix_data();
    void encodeRoutesBySuffix();
    void xpmMatchesQtWriter_data();
    void xpmMatchesQtWriter();
    void pngDecoderMatchesQt_data();
    void pngDecoderMatchesQt();
    void rowFilterMatchesPortable_data();
    void rowFilterMatchesPortable();
    void parallelRunsEveryItemOnce_data();
    void parallelRunsEveryItemOnce();
};

void TestSheetRender::paintAndSaveKeepEveryPixel_data()
{
    QTest::addColumn<int>("margin");
    QTest::newRow("no margin") << 0;
    QTest::newRow("margin 1") << 1;
    QTest::newRow("margin 6") << 6;
}

void TestSheetRender::paintAndSaveKeepEveryPixel()
{
    QFETCH(int, margin);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    QImage transparentDot(1, 1, QImage::Format_ARGB32);
    transparentDot.setPixel(0, 0, qRgba(200, 10, 90, 0));
    const QMap<QString, QImage> images{{dir.filePath("ramp.png"), alphaRamp()},
                                       {dir.filePath("wide.png"), noise(300, 7, 1)},
                                       {dir.filePath("tall.png"), noise(13, 90, 2)},
                                       {dir.filePath("small.png"), noise(40, 17, 3)},
                                       {dir.filePath("dot.png"), transparentDot}};
    QMap<QString, QSize> sizes;
    for (auto it = images.constBegin(); it != images.constEnd(); ++it) {
        QVERIFY(it.value().save(it.key(), "PNG"));
        sizes.insert(it.key(), it.value().size());
    }

    const SheetLayout::Plan plan = SheetLayout::compute(sizes, margin);
    QVERIFY(plan.fitsInt());
    QImage sheet = SheetRender::newSheet(plan.sheetSize());
    QString failedPath;
    QCOMPARE(SheetRender::paint(sheet, plan.positions(), sizes, &failedPath), Status::Ok);
    QVERIFY(failedPath.isEmpty());

    const QString sheetPath = dir.filePath("sheet.png");
    QString error;
    QCOMPARE(SheetRender::save(sheet, sheetPath, &error), Status::Ok);
    const QImage saved = QImage(sheetPath).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(saved.size(), plan.sheetSize());
    const QString difference = compareSheet(saved, images, plan.positions());
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestSheetRender::otherPixelFormatsAreConverted_data()
{
    QTest::addColumn<QImage>("source");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<int>("readAs");
    QTest::addColumn<QImage>("expected");

    QImage indexed(5, 3, QImage::Format_Indexed8);
    const QVector<QRgb> palette{qRgba(10, 20, 30, 0), qRgba(200, 100, 50, 1), qRgba(1, 2, 3, 255),
                                qRgba(90, 80, 70, 128)};
    indexed.setColorTable(palette);
    QImage indexedExpected(indexed.size(), QImage::Format_ARGB32);
    for (int y = 0; y < indexed.height(); ++y) {
        for (int x = 0; x < indexed.width(); ++x) {
            indexed.setPixel(x, y, uint((x + y) % palette.size()));
            indexedExpected.setPixel(x, y, palette[(x + y) % palette.size()]);
        }
    }
    QTest::newRow("indexed with transparent entries")
        << indexed << QByteArray("png") << int(indexed.format()) << indexedExpected;

    // 16-bit channels that are multiples of 257 map exactly onto 8 bits.
    QImage deep(6, 2, QImage::Format_RGBA64);
    QImage deepExpected(deep.size(), QImage::Format_ARGB32);
    for (int y = 0; y < deep.height(); ++y) {
        for (int x = 0; x < deep.width(); ++x) {
            const int r = x * 50, g = 200, b = y * 7 + 1, a = x * 51;
            deep.setPixelColor(x, y,
                               QColor(QRgba64::fromRgba64(r * 257, g * 257, b * 257, a * 257)));
            deepExpected.setPixel(x, y, qRgba(r, g, b, a));
        }
    }
    QTest::newRow("16-bit RGBA") << deep << QByteArray("png") << int(deep.format()) << deepExpected;

    // Converted a band of rows at a time: every band from its own rows.
    QImage tall(3, 150, QImage::Format_RGBA64);
    QImage tallExpected(tall.size(), QImage::Format_ARGB32);
    for (int y = 0; y < tall.height(); ++y) {
        for (int x = 0; x < tall.width(); ++x) {
            tall.setPixelColor(x, y, QColor(QRgba64::fromRgba64(y * 257, x * 257, 0, 65535)));
            tallExpected.setPixel(x, y, qRgb(y, x, 0));
        }
    }
    QTest::newRow("16-bit RGBA, more rows than a band")
        << tall << QByteArray("png") << int(tall.format()) << tallExpected;

    QImage grey(4, 4, QImage::Format_Grayscale8);
    QImage greyExpected(grey.size(), QImage::Format_ARGB32);
    for (int y = 0; y < grey.height(); ++y) {
        for (int x = 0; x < grey.width(); ++x) {
            const int value = x * 60 + y * 3;
            grey.setPixel(x, y, qRgb(value, value, value));
            greyExpected.setPixel(x, y, qRgb(value, value, value));
        }
    }
    QTest::newRow("8-bit grey") << grey << QByteArray("png") << int(grey.format()) << greyExpected;

    // Qt's reader premultiplies a 32-bit icon, losing the colour of the
    // pixels that are not opaque.
    QImage icon(5, 3, QImage::Format_ARGB32);
    for (int y = 0; y < icon.height(); ++y) {
        for (int x = 0; x < icon.width(); ++x)
            icon.setPixel(x, y, qRgba(200 - x * 9, 30 + y * 70, 7 * x + 1, x * y * 20));
    }
    QTest::newRow("32-bit icon") << icon << QByteArray("ico")
                                 << int(QImage::Format_ARGB32_Premultiplied) << icon;
    // Qt's reader ignores a 24-bit icon's AND mask: its pixels read opaque.
    // Where it is set, the colour under it stays.
    QImage masked =
        icon.convertToFormat(QImage::Format_RGB32).convertToFormat(QImage::Format_ARGB32);
    for (int x = 0; x < 3; ++x)
        masked.setPixel(x * 2, x, qRgba(10, 20 * x, 30, 0));
    QTest::newRow("24-bit icon with an AND mask")
        << masked << QByteArray("24-bit ico") << int(QImage::Format_ARGB32_Premultiplied) << masked;
}

void TestSheetRender::otherPixelFormatsAreConverted()
{
    QFETCH(QImage, source);
    QFETCH(QByteArray, format);
    QFETCH(int, readAs);
    QFETCH(QImage, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("input." + format.split(' ').last());
    if (format.contains(' '))
        QVERIFY(writeFileBytes(path, icon24(source)));
    else
        QVERIFY(source.save(path, format.constData()));
    // Otherwise the conversion would not be exercised.
    QCOMPARE(int(QImage(path).format()), readAs);

    const QMap<QString, QPoint> positions{{path, QPoint(2, 1)}};
    QImage sheet = SheetRender::newSheet(source.size() + QSize(3, 3));
    QCOMPARE(SheetRender::paint(sheet, positions, {{path, source.size()}}), Status::Ok);
    const QString difference = compareSheet(sheet, {{path, expected}}, positions);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestSheetRender::copyIntoStaysInsideSheet_data()
{
    QTest::addColumn<QPoint>("position");
    QTest::addColumn<bool>("copied");

    // A 4x3 image on a 10x8 sheet.
    QTest::newRow("top-left corner") << QPoint(0, 0) << true;
    QTest::newRow("bottom-right corner") << QPoint(6, 5) << true;
    QTest::newRow("left of the sheet") << QPoint(-1, 0) << false;
    QTest::newRow("above the sheet") << QPoint(0, -1) << false;
    QTest::newRow("one past the right edge") << QPoint(7, 0) << false;
    QTest::newRow("one past the bottom edge") << QPoint(0, 6) << false;
    QTest::newRow("far away") << QPoint(INT_MAX, INT_MAX) << false;
}

void TestSheetRender::copyIntoStaysInsideSheet()
{
    QFETCH(QPoint, position);
    QFETCH(bool, copied);

    const QImage image = noise(4, 3, 9);
    QImage sheet = SheetRender::newSheet(QSize(10, 8));
    QCOMPARE(SheetRender::copyInto(sheet, image, position), copied);
    const QString difference = copied
                                   ? compareSheet(sheet, {{"image", image}}, {{"image", position}})
                                   : compareSheet(sheet, {}, {});
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestSheetRender::paintFailures_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<Status>("status");

    QTest::newRow("file vanished") << "remove" << Status::LoadFailed;
    QTest::newRow("file no longer an image") << "garble" << Status::LoadFailed;
    // Of the same size, but a drawing: never rendered into the sheet.
    QTest::newRow("replaced by an SVG drawing") << "svg" << Status::LoadFailed;
    QTest::newRow("replaced by another size") << "resize" << Status::SizeChanged;
    QTest::newRow("replaced by a wider image") << "resize width" << Status::SizeChanged;
    // An icon's header gives no size to check before the decode.
    QTest::newRow("replaced by an icon of another size") << "resize ico" << Status::SizeChanged;
    QTest::newRow("placed outside the sheet") << "misplace" << Status::InvalidSize;
    // Never opened: a reader would wait on it for ever.
    QTest::newRow("replaced by a FIFO") << "fifo" << Status::LoadFailed;
    // Found by fuzz_imageload: Qt's BMP reader returns an image for pixel data
    // cut short and leaves the missing rows as uninitialised memory, which
    // would end up in the sheet and differ from one decode to the next.
    QTest::newRow("pixel data cut short") << "truncate" << Status::LoadFailed;
    // The same with a pixel offset of 0, which the reader takes as "right
    // after the header".
    QTest::newRow("pixel data cut short, offset 0") << "truncate offset 0" << Status::LoadFailed;
    // Readers that fill what is missing themselves, so only the file's
    // length tells: a 4-bit BMP's rows in colour 0, an XBM's bits white.
    QTest::newRow("4-bit pixel data cut short") << "truncate 4-bit" << Status::LoadFailed;
    QTest::newRow("4-bit BMP without its last row's padding")
        << "truncate 4-bit padding" << Status::LoadFailed;
    // The reader takes an 8-bit image's last row without its padding.
    QTest::newRow("8-bit BMP without its last row's padding")
        << "truncate 8-bit padding" << Status::Ok;
    // A run whose colour byte is missing is painted with the byte before.
    QTest::newRow("RLE8 BMP cut after its last run's length")
        << "truncate rle8 060100000602000006" << Status::LoadFailed;
    QTest::newRow("RLE4 BMP cut after its last run's length")
        << "truncate rle4 061100000622000006" << Status::LoadFailed;
    // Read past a jump of nothing and an absolute run with its padding.
    QTest::newRow("RLE8 BMP with a jump and an odd absolute run, cut after a run's length")
        << "truncate rle8 00020000000307070001030100000602000006" << Status::LoadFailed;
    // The reader stops at the end of the image: what follows is not data.
    QTest::newRow("RLE8 BMP with a byte after its end of image")
        << "rle8 06010000060200000603000106" << Status::Ok;
    // Qt's reader scales a channel of more than 8 bits to 0: all black.
    QTest::newRow("32-bit BMP with 10-bit channels")
        << "bitfields 3ff00000 000ffc00 000003ff" << Status::LoadFailed;
    QTest::newRow("32-bit BMP with 8-bit channels in bit fields")
        << "bitfields ff000000 00ff0000 0000ff00" << Status::Ok;
    // Qt's reader scales a sample above the maxval to one that wraps around.
    QTest::newRow("PGM sample above its maxval") << "pgm 11" << Status::LoadFailed;
    QTest::newRow("PGM sample at its maxval") << "pgm 10" << Status::Ok;
    // The reader skips a comment between ASCII samples too.
    QTest::newRow("ASCII PGM sample above its maxval after a comment")
        << "pgm ascii 11" << Status::LoadFailed;
    QTest::newRow("ASCII PGM sample at its maxval after a comment") << "pgm ascii 10" << Status::Ok;
    QTest::newRow("XBM data cut short") << "xbm" << Status::LoadFailed;
    // Read in pieces of 299 bytes, a line loses the byte cut by a piece's end.
    QTest::newRow("XBM byte across the reader's line pieces")
        << "xbm long line 297" << Status::LoadFailed;
    QTest::newRow("XBM byte cut after its first digit")
        << "xbm long line 296" << Status::LoadFailed;
    // Every byte there, but the reader takes the name's "0x41" as the first.
    QTest::newRow("XBM whose array's name holds 0x41") << "xbm name" << Status::LoadFailed;
    // The reader stops reading a line at a NUL byte: only 0x3f is found.
    QTest::newRow("XBM line with a NUL byte") << "xbm nul" << Status::LoadFailed;
    // The reader takes no byte from the width's and height's lines.
    QTest::newRow("XBM data cut short, 0x1f in its defines' names")
        << "xbm define" << Status::LoadFailed;
    // Qt's reader fills a short row's missing pixels with the first colour.
    QTest::newRow("XPM row a pixel short") << "xpm short row" << Status::LoadFailed;
    QTest::newRow("XPM row whose last pixel lacks a character")
        << "xpm short pixel" << Status::LoadFailed;
    QTest::newRow("XPM row longer than the width") << "xpm long row" << Status::Ok;
    // Qt's reader mixes up the channels of this kind.
    QTest::newRow("16-bit RGB PNG with a colour key") << "rgb16 key" << Status::LoadFailed;
    // libpng drops these keys, and Qt's reader then gets the channels right.
    QTest::newRow("16-bit RGB PNG with a colour key of 2 bytes") << "rgb16 key 2" << Status::Ok;
    QTest::newRow("16-bit RGB PNG with a colour key with a bad CRC")
        << "rgb16 key crc" << Status::Ok;
    // A palette after the key makes libpng stop using the key but still
    // report it: Qt's reader then leaves a gap for alpha after each pixel.
    QTest::newRow("8-bit RGB PNG with a colour key, then a palette")
        << "rgb8 key palette" << Status::LoadFailed;
    QTest::newRow("8-bit RGB PNG with a palette, then a colour key")
        << "rgb8 palette key" << Status::Ok;
    QTest::newRow("JPEG of 568 scans") << "jpeg scans 568" << Status::LoadFailed;
    QTest::newRow("JPEG of 500 scans, the most taken") << "jpeg scans 500" << Status::Ok;
    // Read whole, 40 MiB of comments and all, with 16 MiB of memory left:
    // the image fails, the run does not abort.
    QTest::newRow("JPEG too large for the memory left") << "jpeg memory" << Status::LoadFailed;
    // Refused by Qt's reader, so the fast PNG path must not load them either.
    QTest::newRow("PNG data with a bad CRC") << "png crc" << Status::LoadFailed;
    QTest::newRow("PNG without IEND") << "png no IEND" << Status::LoadFailed;
}

void TestSheetRender::paintFailures()
{
    QFETCH(QString, change);
    QFETCH(Status, status);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    const QString a = dir.filePath("a.png");
    const QString b = dir.filePath("b.png");
    QVERIFY(noise(4, 4, 1).save(a));
    QVERIFY(noise(6, 3, 2).save(b));
    const QMap<QString, QSize> sizes{{a, {4, 4}}, {b, {6, 3}}};
    QMap<QString, QPoint> positions{{a, {0, 0}}, {b, {0, 4}}};

    if (change == "remove") {
        QVERIFY(QFile::remove(b));
    } else if (change == "garble") {
        QFile file(b);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("not a picture") > 0);
    } else if (change == "svg") {
        QVERIFY(writeFileBytes(b, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"6\" "
                                  "height=\"3\"><rect width=\"6\" height=\"3\"/></svg>"));
    } else if (change == "resize ico") {
        QVERIFY(noise(6, 4, 2).save(b, "ICO"));
    } else if (change == "resize") {
        QVERIFY(noise(6, 4, 2).save(b));
    } else if (change == "resize width") {
        QVERIFY(noise(7, 3, 2).save(b));
    } else if (change == "fifo") {
        QVERIFY(QFile::remove(b));
        QCOMPARE(mkfifo(QFile::encodeName(b).constData(), 0600), 0);
    } else if (change == "misplace") {
        positions[b] = QPoint(5, 4);
    } else if (change.startsWith("png ")) {
        QVERIFY(writeFileBytes(b, pngFile(6, 8, 6, 3, QByteArray(), change.mid(4), 2)));
    } else if (change.startsWith("truncate rle") || change.startsWith("rle")) {
        // 6x3: the rows' runs and ends of line, in hex.
        const bool rle8 = change.contains("rle8");
        const QByteArray runs = QByteArray::fromHex(change.section(' ', -1).toLatin1());
        QByteArray bmp;
        QDataStream out(&bmp, QIODevice::WriteOnly);
        out.setByteOrder(QDataStream::LittleEndian);
        out.writeRawData("BM", 2);
        out << quint32(118 + runs.size()) << quint32(0) << quint32(118) << quint32(40) << quint32(6)
            << quint32(3) << quint16(1) << quint16(rle8 ? 8 : 4) << quint32(rle8 ? 1 : 2)
            << quint32(runs.size()) << quint64(0) << quint32(16) << quint32(0);
        QVERIFY(writeFileBytes(b, bmp + QByteArray::fromHex("10203000").repeated(16) + runs));
    } else if (change.startsWith("bitfields")) {
        QByteArray bmp;
        QDataStream out(&bmp, QIODevice::WriteOnly);
        out.setByteOrder(QDataStream::LittleEndian);
        out.writeRawData("BM", 2);
        out << quint32(66 + 72) << quint32(0) << quint32(66) << quint32(40) << quint32(6)
            << quint32(3) << quint16(1) << quint16(32) << quint32(3) << quint32(72) << quint64(0)
            << quint64(0);
        for (const QString &mask : change.split(' ').mid(1))
            out << quint32(mask.toUInt(nullptr, 16));
        QVERIFY(writeFileBytes(b, bmp + QByteArray(72, '\x5a')));
    } else if (change.startsWith("truncate 4-bit") || change.startsWith("truncate 8-bit")) {
        // Rows of 4 bytes: keep one.
        QImage image(6, 3, QImage::Format_Indexed8);
        // More than 16 colours: Qt writes 8 bits a pixel, rows of 8 bytes.
        image.setColorTable(QVector<QRgb>(change.contains("8-bit") ? 17 : 16, qRgb(9, 9, 9)));
        image.fill(1);
        QVERIFY(image.save(b, "BMP"));
        QVERIFY(QFile::resize(b, QFileInfo(b).size() - (change.endsWith("padding") ? 1 : 8)));
    } else if (change.startsWith("truncate")) {
        // A 24-bit BMP of 6x3 has 54 header bytes and rows of 20 bytes: keep one.
        QByteArray bmp;
        QBuffer buffer(&bmp);
        QVERIFY(buffer.open(QIODevice::WriteOnly));
        QVERIFY(noise(6, 3, 2).convertToFormat(QImage::Format_RGB888).save(&buffer, "BMP"));
        if (change.endsWith("offset 0"))
            bmp.replace(10, 4, QByteArray(4, '\0'));
        QVERIFY(writeFileBytes(b, bmp.left(bmp.size() - 40)));
    } else if (change.startsWith("pgm ascii")) {
        QVERIFY(writeFileBytes(b, "P2\n6 3\n10\n" + QByteArray("4 ").repeated(17) + "#99\n" +
                                      change.section(' ', -1).toLatin1() + '\n'));
    } else if (change.startsWith("pgm")) {
        QVERIFY(writeFileBytes(b, "P5\n6 3\n10\n" + QByteArray(17, '\4') +
                                      char(change.section(' ', -1).toInt())));
    } else if (change.startsWith("xbm")) {
        const QByteArray bits = change.contains("line")
                                    ? QByteArray(change.right(3).toInt(), ' ') + "0x3f, 0x21, 0x11"
                                : change.endsWith("name") ? QByteArray("0x3f, 0x21, 0x11")
                                : change.endsWith("nul")  ? QByteArray("0x3f,\0 0x21, 0x11", 17)
                                                          : QByteArray("0x3f, 0x21");
        const QByteArray name = change.endsWith("name") ? "b_0x41" : "b";
        const QByteArray defined = change.endsWith("define") ? "b_0x1f" : name;
        QVERIFY(writeFileBytes(b, "#define " + defined + "_width 6\n#define " + defined +
                                      "_height 3\nstatic char " + name + "_bits[] = {\n" + bits +
                                      " };\n"));
    } else if (change.startsWith("xpm")) {
        // Two characters a pixel; the last row changed.
        QByteArray last = "aaaaaabbbbbb";
        if (change.endsWith("row"))
            last = change.contains("short") ? last.left(10) : last + "bb";
        else
            last.chop(1);
        QVERIFY(writeFileBytes(b, "/* XPM */\nstatic char *b[] = {\n\"6 3 2 2\",\n"
                                  "\"aa c #ff0000\", \"bb c None\",\n\"aabbaabbaabb\",\n"
                                  "\"bbaabbaabbaa\",\n\"" +
                                      last + "\"};\n"));
    } else if (change.startsWith("rgb16 key")) {
        QByteArray key = pngChunk("tRNS", QByteArray(change.endsWith(" 2") ? 2 : 6, 1));
        if (change.endsWith("crc"))
            key[key.size() - 1] = char(key.at(key.size() - 1) ^ 1);
        QVERIFY(writeFileBytes(b, pngFile(2, 16, 6, 3, key, "", 2)));
    } else if (change.startsWith("rgb8")) {
        const QByteArray key = pngChunk("tRNS", QByteArray::fromHex("000100020003"));
        const QByteArray palette = pngChunk("PLTE", QByteArray(6, 9));
        const bool keyFirst = change.endsWith("key palette");
        QVERIFY(writeFileBytes(
            b, pngFile(2, 8, 6, 3, keyFirst ? key + palette : palette + key, "", 2)));
    } else if (change.startsWith("jpeg scans")) {
        QVERIFY(writeFileBytes(b, manyScanJpeg(6, 3, change.section(' ', -1).toInt())));
    } else if (change == "jpeg memory") {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("the sanitizer's shadow memory needs the address space this takes away");
#endif
        QByteArray jpeg;
        QBuffer buffer(&jpeg);
        QVERIFY(buffer.open(QIODevice::WriteOnly));
        QVERIFY(noise(6, 3, 2).save(&buffer, "JPEG"));
        const QByteArray comment = QByteArray::fromHex("fffeffff") + QByteArray(65533, 'c');
        QVERIFY(writeFileBytes(b, jpeg.left(2) + comment.repeated(640) + jpeg.mid(2)));
        QCOMPARE(QImageReader(b).size(), QSize(6, 3)); // the plugin loaded before the limit
    }

    QImage sheet = SheetRender::newSheet(QSize(10, 10));
    QString failedPath;
    {
        std::unique_ptr<AddressSpaceLimit> memory;
        if (change == "jpeg memory") {
            memory.reset(new AddressSpaceLimit(rlim_t(16) << 20));
            QVERIFY(memory->isActive());
        }
        QCOMPARE(SheetRender::paint(sheet, positions, sizes, &failedPath), status);
    }
    QCOMPARE(failedPath, status == Status::Ok ? QString() : b);

    QImage nullSheet;
    QCOMPARE(SheetRender::paint(nullSheet, positions, sizes), Status::InvalidSize);
}

void TestSheetRender::saveFailures_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("existing"); // null: no file before
    QTest::addColumn<QSize>("sheetSize");
    QTest::addColumn<bool>("limitFileSize");
    QTest::addColumn<bool>("limitMemory"); // the encoded sheet does not fit

    const QByteArray old("previous sheet bytes");
    const QSize small(8, 8);
    QTest::newRow("unknown suffix") << "sheet.xyz" << QByteArray() << small << false << false;
    QTest::newRow("unknown suffix, file kept") << "sheet.xyz" << old << small << false << false;
    QTest::newRow("no suffix") << "sheet" << QByteArray() << small << false << false;
    QTest::newRow("missing folder")
        << "missing/sheet.png" << QByteArray() << small << false << false;
    // These fail for root too: a name longer than a file name may be, and a
    // file size limit makes writing fail, for a small sheet only when the
    // write buffer is flushed.
    QTest::newRow("name too long")
        << QString(252, 's') + ".png" << QByteArray() << small << false << false;
    QTest::newRow("writer scales the sheet")
        << "sheet.ico" << QByteArray() << QSize(300, 8) << false << false;
    // Qt's writers fill a buffer that cannot grow: a failure, not an abort.
    QTest::newRow("bmp out of memory") << "sheet.bmp" << old << QSize(3500, 3500) << false << true;
    // The pieces' store fits, the encoding threads' buffers do not: the
    // error of one thread must fail the encode.
    QTest::newRow("png out of memory") << "sheet.png" << old << QSize(1000, 1000) << false << true;
    QTest::newRow("write fails") << "sheet.png" << old << QSize(300, 300) << true << false;
    QTest::newRow("buffered write fails") << "sheet.png" << old << QSize(40, 40) << true << false;
}

void TestSheetRender::saveFailures()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, existing);
    QFETCH(QSize, sheetSize);
    QFETCH(bool, limitFileSize);
    QFETCH(bool, limitMemory);
#ifdef __SANITIZE_ADDRESS__
    if (limitMemory)
        QSKIP("the sanitizer's shadow memory needs the address space this takes away");
#endif
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(fileName);
    if (!existing.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(existing), qint64(existing.size()));
    }

    const QImage sheet = noise(sheetSize.width(), sheetSize.height(), 5);
    QString error;
    Status status = Status::Ok;
    {
        std::unique_ptr<FileSizeLimit> limit;
        if (limitFileSize) {
            limit.reset(new FileSizeLimit(1024));
            QVERIFY(limit->isActive());
        }
        // 8 MiB more address space than now; the sheet's BMP takes 49, beyond
        // what malloc may still hold from earlier tests (at most 32 MiB).
        std::unique_ptr<AddressSpaceLimit> memory;
        if (limitMemory) {
            memory.reset(new AddressSpaceLimit(rlim_t(8) << 20));
            QVERIFY(memory->isActive());
        }
        status = SheetRender::save(sheet, path, &error);
    }
    QCOMPARE(status, Status::SaveFailed);
    QVERIFY2(error.contains(path), qPrintable(error));
    if (limitMemory)
        QVERIFY2(error.endsWith(QLatin1String(": out of memory")), qPrintable(error));
    if (existing.isNull()) {
        QVERIFY(entries(dir.path()).isEmpty());
    } else {
        QCOMPARE(readFileBytes(path), existing);
        QCOMPARE(entries(dir.path()), QStringList{fileName});
    }

    QCOMPARE(SheetRender::save(QImage(), dir.filePath("null.png")), Status::InvalidSize);
    QVERIFY(!QFileInfo::exists(dir.filePath("null.png")));
}

void TestSheetRender::newSheet_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("valid");

    QTest::newRow("3x2") << QSize(3, 2) << true;
    QTest::newRow("invalid") << QSize() << false;
    QTest::newRow("zero width") << QSize(0, 5) << false;
    QTest::newRow("zero height") << QSize(5, 0) << false;
    QTest::newRow("negative") << QSize(-3, 4) << false;
    QTest::newRow("too large to allocate") << QSize(INT_MAX, INT_MAX) << false;
    // From 4 MiB on the sheet is a mapping of its own.
    QTest::newRow("just under 4 MiB") << QSize(1024, 1023) << true;
    QTest::newRow("4 MiB, mapped") << QSize(1024, 1024) << true;
    // The mapping is whole 2 MiB pages: the last row must not be cut off.
    QTest::newRow("4 MiB and one row, mapped") << QSize(1024, 1025) << true;
    QTest::newRow("odd width, mapped") << QSize(259, 9207) << true;
}

void TestSheetRender::newSheet()
{
    QFETCH(QSize, size);
    QFETCH(bool, valid);

    QImage sheet = SheetRender::newSheet(size);
    QCOMPARE(!sheet.isNull(), valid);
    if (!valid)
        return;
    QCOMPARE(sheet.size(), size);
    QCOMPARE(sheet.format(), QImage::Format_ARGB32);
    for (int y = 0; y < sheet.height(); ++y) {
        const uchar *line = sheet.constScanLine(y);
        QVERIFY(std::all_of(line, line + sheet.width() * 4, [](uchar c) { return c == 0; }));
    }
    // Written in place to the last pixel, and still there in a copy once the
    // sheet itself is gone.
    const uchar *bits = sheet.constBits();
    sheet.setPixel(size.width() - 1, size.height() - 1, 0x80402010);
    QCOMPARE(sheet.constBits(), bits);
    const QImage copy = sheet;
    sheet = QImage();
    QCOMPARE(copy.pixel(size.width() - 1, size.height() - 1), 0x80402010u);
}

// The decoder's and encoder's scratch: every byte asked for is there, a
// buffer mapped on its own starts on a 2 MiB boundary, and a request it already
// holds keeps the buffer instead of mapping a new one.
void TestSheetRender::scratchBuffer_data()
{
    QTest::addColumn<QVector<qint64>>("requests");

    QTest::newRow("at the size mapped on its own") << QVector<qint64>{256 * 1024};
    QTest::newRow("past one 2 MiB step") << QVector<qint64>{300000, 2 * 1024 * 1024 + 1};
    QTest::newRow("smaller after larger") << QVector<qint64>{3000000, 100, 2999999};
}

void TestSheetRender::scratchBuffer()
{
    QFETCH(QVector<qint64>, requests);

    LargeBuffers::Buffer buffer;
    for (const qint64 request : requests) {
        const uint8_t *before = buffer.data();
        const size_t held = buffer.size();
        uint8_t *bytes = buffer.reserve(size_t(request));
        QVERIFY(bytes);
        QVERIFY(buffer.size() >= size_t(request));
        if (size_t(request) <= held)
            QCOMPARE(bytes, before);
        if (request >= 256 * 1024)
            QCOMPARE(reinterpret_cast<uintptr_t>(bytes) % LargeBuffers::AlignmentBytes,
                     uintptr_t(0));
        bytes[0] = 1;
        bytes[request - 1] = 2;
    }
}

// Where the walk that joins deflated pieces finds the final block, and
// that it refuses what no deflate stream may hold. Bytes are raw deflate.
void TestSheetRender::finalBlockWalk_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("headerBit"); // -1: refused
    QTest::addColumn<int>("endBit");
    QTest::newRow("fixed block, end of block only") << QByteArray::fromHex("0300") << 0 << 10;
    QTest::newRow("literal and match") << QByteArray::fromHex("4b040200") << 0 << 30;
    QTest::newRow("empty stored block, then the final one")
        << QByteArray::fromHex("000000ffff0300") << 40 << 50;
    QTest::newRow("stored byte, then the final one")
        << QByteArray::fromHex("000100feff610300") << 48 << 58;
    QTest::newRow("literal right before the end of block")
        << QByteArray::fromHex("4b0400") << 0 << 18;
    QTest::newRow("length code 284 and its 5 extra bits")
        << QByteArray::fromHex("4b1cf10000") << 0 << 36;
    // The walk skips the output, so a distance past its start is no concern of it.
    QTest::newRow("distance code 29 and its 13 extra bits")
        << QByteArray::fromHex("4b04deff0f00") << 0 << 43;
    // Literal 11 and the end of block in codes of 12 bits, past the fast table.
    QTest::newRow("dynamic codes longer than the fast table")
        << QByteArray::fromHex("05c08181244992c430d03cb27af65e7f7d1ffff7ff") << 0 << 168;
    QTest::newRow("distance code 30") << QByteArray::fromHex("033e00") << -1 << 0;
    QTest::newRow("length code 286") << QByteArray::fromHex("1b0300") << -1 << 0;
    QTest::newRow("stored length past the end") << QByteArray::fromHex("010500faff61") << -1 << 0;
    QTest::newRow("stored length and complement disagree")
        << QByteArray::fromHex("0105000000616161616161") << -1 << 0;
    QTest::newRow("reserved block type") << QByteArray::fromHex("07") << -1 << 0;
    QTest::newRow("no final block") << QByteArray::fromHex("000000ffff") << -1 << 0;
    QTest::newRow("nothing") << QByteArray() << -1 << 0;
}

void TestSheetRender::finalBlockWalk()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, headerBit);
    QFETCH(int, endBit);
    size_t header = 0, end = 0;
    const bool found =
        ZlibJoin::findFinalBlock(reinterpret_cast<const uint8_t *>(stream.constData()),
                                 size_t(stream.size()), &header, &end);
    QCOMPARE(found, headerBit >= 0);
    if (found) {
        QCOMPARE(int(header), headerBit);
        QCOMPARE(int(end), endBit);
    }
}

// The Adler-32 of two parts joined, from theirs, against that of the whole.
void TestSheetRender::adlerCombine_data()
{
    QTest::addColumn<int>("firstLength");
    QTest::addColumn<int>("secondLength");
    QTest::newRow("second part empty") << 1000 << 0;
    QTest::newRow("second part past 64 KiB") << 1000 << 70000;
}

void TestSheetRender::adlerCombine()
{
    QFETCH(int, firstLength);
    QFETCH(int, secondLength);
    const auto adler = [](const QByteArray &bytes) {
        quint32 a = 1, b = 0;
        for (const char byte : bytes) {
            a = (a + uchar(byte)) % 65521;
            b = (b + a) % 65521;
        }
        return b << 16 | a;
    };
    QByteArray bytes(firstLength + secondLength, Qt::Uninitialized);
    uint seed = 1;
    for (char &byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = char(0xf0 | seed >> 28); // large bytes, so that both sums wrap often
    }
    QCOMPARE(ZlibJoin::combineAdler32(adler(bytes.left(firstLength)), adler(bytes.mid(firstLength)),
                                      size_t(secondLength)),
             adler(bytes));
}

void TestSheetRender::sheetDeflateRoundTrip_data()
{
    QTest::addColumn<QByteArray>("input");
    const auto random = [](int size, uint seed) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (char &byte : bytes) {
            seed = seed * 1103515245u + 12345u;
            byte = char(seed >> 23);
        }
        return bytes;
    };
    QTest::newRow("nothing") << QByteArray();
    QTest::newRow("zeros from the first byte") << QByteArray(1000, 0);
    QByteArray rows; // sprite rows with transparent margins, over several blocks
    for (uint row = 0; row < 300; ++row)
        rows += random(300, row) + QByteArray(700, 0);
    QTest::newRow("zero runs across blocks") << rows;
    QTest::newRow("noise, stored") << random(200000, 2);
    const QByteArray window = random(32768, 1);
    QTest::newRow("repeat at the window's end") << window + window;
    QTest::newRow("repeat one past the window") << window + QByteArray(1, 9) + window;
    const QByteArray far = random(65636, 3);
    QTest::newRow("repeat from past 64 KiB") << far + far.left(1000);
    // Each half of the block has its own four bytes: two sets of codes pay.
    QByteArray halves = random(60000, 5);
    for (int i = 0; i < halves.size(); ++i)
        halves[i] = char((halves[i] & 3) + (i < 30000 ? 'a' : 200));
    QTest::newRow("two halves that want codes of their own") << halves;
    const QByteArray sprite = random(3000, 4);
    QTest::newRow("a run of zeros through a block's end, long repeats")
        << sprite + QByteArray(70000, 0) + sprite + sprite + QByteArray(5, 0) + sprite.left(7);
}

void TestSheetRender::sheetDeflateRoundTrip()
{
    QFETCH(QByteArray, input);
    const auto *data = reinterpret_cast<const uint8_t *>(input.constData());
    quint32 a = 1, b = 0; // Adler-32, for zlib's check
    for (const uint8_t byte : input) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    for (const auto effort :
         {SheetDeflate::Effort::Fast, SheetDeflate::Effort::Default, SheetDeflate::Effort::Small}) {
        SheetDeflate::Encoder encoder(effort); // used twice: nothing may carry over
        for (const bool final : {true, false}) {
            // Exactly the bound, so that a write past it shows under AddressSanitizer.
            std::vector<uint8_t> out(SheetDeflate::bound(size_t(input.size())));
            const size_t size = encoder.deflate(data, size_t(input.size()), final, out.data());
            QVERIFY(size <= out.size());
            QByteArray stream(reinterpret_cast<const char *>(out.data()), int(size));
            if (!final) {
                QVERIFY(stream.endsWith(QByteArray("\0\0\xff\xff", 4)));
                stream += QByteArray::fromHex("010000ffff"); // a final empty stored block
            }
            if (input.isEmpty()) {
                QCOMPARE(stream.toHex(),
                         QByteArray(final ? "010000ffff" : "000000ffff000000ffff010000ffff"));
                continue;
            }
            const QByteArray zlib = QByteArray("\x78\x01", 2) + stream + bigEndian({b << 16 | a});
            QCOMPARE(qUncompress(bigEndian({quint32(input.size())}) + zlib), input);
            // Pieces go to whichever thread's encoder is free, so nothing may
            // carry over from one input to the next.
            SheetDeflate::Encoder fresh(effort);
            std::vector<uint8_t> first(out.size());
            const size_t firstSize = fresh.deflate(data, size_t(input.size()), final, first.data());
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(first.data()), int(firstSize)),
                     QByteArray(reinterpret_cast<const char *>(out.data()), int(size)));
        }
    }
}

void TestSheetRender::pngEncoderRoundTrip_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<int>("pieces");        // deflated separately, at least
    QTest::addColumn<double>("ofQtAtMost"); // the size against Qt's writer; 0: not compared

    QImage transparentDot(1, 1, QImage::Format_ARGB32);
    transparentDot.setPixel(0, 0, qRgba(200, 10, 90, 0));
    QTest::newRow("1x1, colour under alpha 0") << transparentDot << 1 << 0.0;
    QTest::newRow("every alpha, colour under alpha 0") << alphaRamp() << 1 << 0.0;
    QTest::newRow("odd size") << noise(13, 90, 2) << 1 << 0.0;
    // Noise deflates to stored blocks, the sheets below to Huffman blocks.
    QTest::newRow("noise, several pieces") << noise(1000, 700, 5) << 3 << 0.0;
    QTest::newRow("empty sheet, several pieces") << SheetRender::newSheet({1500, 500}) << 3 << 0.0;
    QImage sprites = SheetRender::newSheet({700, 1200});
    for (int i = 0; i < 12; ++i)
        QVERIFY(SheetRender::copyInto(sprites, patternImage(300, 90, i), {i % 2 * 350, i * 95}));
    QTest::newRow("sprite sheet, several pieces") << sprites << 3 << 0.0;
    QImage few = SheetRender::newSheet({26, 12});
    QVERIFY(SheetRender::copyInto(few, patternImage(8, 8, 1), {2, 2}));
    QVERIFY(SheetRender::copyInto(few, patternImage(12, 8, 2), {12, 2}));
    QTest::newRow("a few small sprites") << few << 1 << 0.0;
    QTest::newRow("width 1, several pieces") << noise(1, 500000, 7) << 3 << 0.0;
    QTest::newRow("rows longer than a piece") << patternImage(300000, 3, 4) << 3 << 0.0;
    // Small images go through libdeflate, whose final blocks must be made to continue.
    QImage small = SheetRender::newSheet({90, 90});
    for (int i = 0; i < 5; ++i)
        QVERIFY(SheetRender::copyInto(small, patternImage(20 + i * 7, 15, i), {i * 8, i * 18}));
    QTest::newRow("small image, many pieces") << small << 15 << 0.0;
    // The greedy matcher alone made such a sheet 1.4 times Qt's writer's size.
    QTest::newRow("shaded icons, several pieces") << shadedIcons(24, 64) << 3 << 1.03;
}

void TestSheetRender::smallLevelPalette_data()
{
    QTest::addColumn<int>("colours"); // in a 13 x 400 image; a third under alpha 0
    QTest::addColumn<int>("depth");   // of the palette; 0: RGBA
    QTest::newRow("2 colours: 1 bit, rows ending inside a byte") << 2 << 1;
    QTest::newRow("3 colours: 2 bits") << 3 << 2;
    QTest::newRow("5 colours: 4 bits") << 5 << 4;
    QTest::newRow("16 colours: 4 bits") << 16 << 4;
    QTest::newRow("17 colours: 8 bits") << 17 << 8;
    QTest::newRow("256 colours: 8 bits") << 256 << 8;
    QTest::newRow("257 colours: RGBA") << 257 << 0;
}

// Distinct pixels, also where only the colour under alpha 0 differs, each
// an entry of their own; tRNS gives the alpha of every translucent one.
void TestSheetRender::smallLevelPalette()
{
    QFETCH(int, colours);
    QFETCH(int, depth);
    QImage image(13, 400, QImage::Format_ARGB32);
    QRandomGenerator random{quint32(colours)};
    for (int i = 0; i < image.width() * image.height(); ++i) {
        const int c = i < colours ? i : int(random.bounded(colours));
        image.setPixel(
            i % 13, i / 13,
            qRgba(c & 0xff, (c >> 8) * 40 + 7, c * 53 & 0xff, c % 3 ? 255 * (c % 3 - 1) : 90));
    }
    QByteArray png;
    QString error;
    QVERIFY2(PngEncoder::encode(image, &png, &error, 2, PngEncoder::Level::Small),
             qPrintable(error));
    const auto chunks = pngChunks(png, &error);
    QVERIFY2(!chunks.isEmpty(), qPrintable(error));
    QCOMPARE(chunks[0].second.mid(8, 2).toHex(),
             QByteArray(depth ? QByteArray::number(depth * 256 + 3, 16).rightJustified(4, '0')
                              : "0806"));
    QCOMPARE(QImage::fromData(png, "PNG").convertToFormat(QImage::Format_ARGB32), image);
}

void TestSheetRender::pngEncoderRoundTrip()
{
    QFETCH(QImage, image);
    QFETCH(int, pieces);
    QFETCH(double, ofQtAtMost);
    image.setDotsPerMeterX(3780);
    image.setDotsPerMeterY(3780);
    // Below the default piece size, an image is cut into `pieces` by hand.
    const int filteredSize = image.height() * (image.width() * 4 + 1);
    const size_t pieceBytes =
        pieces > 1 && filteredSize < (1 << 20) ? size_t(filteredSize / pieces) : 0;

    QByteArray png;
    QString error;
    QVERIFY2(PngEncoder::encode(image, &png, &error, 1, PngEncoder::Level::Default, pieceBytes),
             qPrintable(error));
    for (const int threads : {4, 0}) {
        QByteArray again;
        std::shared_ptr<const void> storage; // with 0 threads, the file in a mapping of its own
        QVERIFY(PngEncoder::encode(image, &again, &error, threads, PngEncoder::Level::Default,
                                   pieceBytes, threads == 0 ? &storage : nullptr));
        QVERIFY2(again == png, qPrintable(QStringLiteral("%1 threads differ").arg(threads)));
    }
    // A spent image may hold the file, but not pixels that another image
    // shares or that are read-only; a file larger than the pixels goes
    // elsewhere (noise).
    const QImage before = image.copy();
    const size_t bytes = size_t(image.sizeInBytes());
    void *pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    QVERIFY(pages != MAP_FAILED);
    std::memcpy(pages, image.constBits(), bytes);
    QVERIFY(mprotect(pages, bytes, PROT_READ) == 0);
    for (const int kind : {0, 1, 2}) {
        QImage spent = kind == 0   ? image.copy()
                       : kind == 1 ? image
                                   : QImage(static_cast<const uchar *>(pages), image.width(),
                                            image.height(), image.bytesPerLine(), image.format());
        QByteArray again;
        std::shared_ptr<const void> storage;
        QVERIFY(PngEncoder::encode(std::move(spent), &again, &error, 0, PngEncoder::Level::Default,
                                   pieceBytes, &storage));
        spent = QImage();
        QVERIFY(again == png);
    }
    munmap(pages, bytes);
    QVERIFY(image == before);
    // Cancel stops the encode with no file.
    const std::atomic<bool> cancel{true};
    QByteArray cancelled;
    QVERIFY(!SheetRender::encode(image, "png", &cancelled, &error, 0, PngEncoder::Level::Default,
                                 nullptr, &cancel));
    QCOMPARE(error, QStringLiteral("cancelled"));
    // The other levels: the same pixels; small's bytes are its own (fast's
    // can equal default's where no match is searched, as in noise or zeros).
    using Level = PngEncoder::Level;
    for (const Level level : {Level::Fast, Level::Small}) {
        QByteArray one, four;
        QVERIFY(PngEncoder::encode(image, &one, &error, 1, level, pieceBytes));
        QVERIFY(PngEncoder::encode(image, &four, &error, 4, level, pieceBytes));
        QVERIFY(one == four && (level == Level::Fast || one != png));
        // small is never larger, tiny sheets included.
        QVERIFY2(level == Level::Fast || one.size() <= png.size(),
                 qPrintable(QStringLiteral("%1 > %2 bytes").arg(one.size()).arg(png.size())));
        const QString difference =
            compareSheet(QImage::fromData(one, "PNG").convertToFormat(QImage::Format_ARGB32),
                         {{"image", image}}, {{"image", QPoint()}});
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }

    const auto chunks = pngChunks(png, &error);
    QVERIFY2(!chunks.isEmpty(), qPrintable(error));
    QCOMPARE(chunks.size(), 4);
    QCOMPARE(chunks[0].first, QByteArray("IHDR"));
    QCOMPARE(chunks[0].second, bigEndian({quint32(image.width()), quint32(image.height())}) +
                                   QByteArray("\x08\x06\0\0\0", 5));
    QCOMPARE(chunks[1].first, QByteArray("pHYs"));
    QCOMPARE(chunks[1].second, bigEndian({3780, 3780}) + QByteArray(1, 1));
    QCOMPARE(chunks[2].first, QByteArray("IDAT"));
    QCOMPARE(chunks[3], qMakePair(QByteArray("IEND"), QByteArray()));

    // zlib checks the Adler-32 and that one stream holds every row; a piece
    // left final would end the stream early.
    const QByteArray rows = qUncompress(bigEndian({quint32(filteredSize)}) + chunks[2].second);
    QCOMPARE(rows.size(), filteredSize);
    // Each piece but the last ends in an empty stored block.
    QVERIFY(chunks[2].second.count(QByteArray("\0\0\xff\xff", 4)) >= pieces - 1);

    const QImage decoded = QImage::fromData(png, "PNG");
    QCOMPARE(decoded.format(), QImage::Format_ARGB32);
    const QString difference = compareSheet(decoded, {{"image", image}}, {{"image", QPoint()}});
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QByteArray qt;
    QBuffer buffer(&qt);
    QVERIFY(ofQtAtMost == 0 || image.save(&buffer, "PNG"));
    QVERIFY2(ofQtAtMost == 0 || png.size() <= qt.size() * ofQtAtMost,
             qPrintable(QStringLiteral("%1 bytes, Qt's %2").arg(png.size()).arg(qt.size())));
}

void TestSheetRender::encodeRoutesBySuffix_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("ownEncoder");
    QTest::addColumn<QByteArray>("start"); // the file's first bytes

    QTest::newRow("png") << "sheet.png" << true << QByteArray("\x89PNG");
    QTest::newRow("upper-case PNG") << "sheet.PNG" << true << QByteArray("\x89PNG");
    QTest::newRow("bmp") << "sheet.bmp" << false << QByteArray("BM");
    // A cursor, not an icon, with its hot spot at (0, 0).
    QTest::newRow("cur") << "sheet.cur" << false
                         << QByteArray("\0\0\2\0\1\0\x1e\x14\0\0\0\0\0\0", 14);
    QTest::newRow("ico") << "sheet.ico" << false << QByteArray("\0\0\1\0\1\0\x1e\x14", 8);
}

void TestSheetRender::encodeRoutesBySuffix()
{
    QFETCH(QString, fileName);
    QFETCH(bool, ownEncoder);
    QFETCH(QByteArray, start);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(fileName);

    QImage sheet = SheetRender::newSheet({30, 20});
    QVERIFY(SheetRender::copyInto(sheet, noise(17, 9, 3), {2, 5}));
    QString error;
    QCOMPARE(SheetRender::save(sheet, path, &error), Status::Ok);
    QByteArray own;
    QVERIFY(PngEncoder::encode(sheet, &own, &error));
    QCOMPARE(readFileBytes(path) == own, ownEncoder);
    QCOMPARE(readFileBytes(path).left(start.size()), start);
    QCOMPARE(QImageReader(path).format(), QByteArray(ownEncoder               ? "png"
                                                     : start.startsWith("BM") ? "bmp"
                                                                              : "ico"));
    QCOMPARE(QImage(path).size(), sheet.size());
    if (start.startsWith(QByteArray("\0\0", 2))) {
        // No bit of the AND mask (the file's end, 4 bytes a row) is set
        // past the width: the same sheet always gives the same file.
        QByteArray icon;
        QVERIFY(SheetRender::encode(noise(13, 7, 5), SheetRender::writerFormatFor(path), &icon,
                                    &error));
        for (int y = 1; y <= 7; ++y) {
            const QByteArray row = icon.right(4 * y).left(4);
            QCOMPARE((uchar(row[1]) & 0x07) | uchar(row[2]) | uchar(row[3]), 0);
        }
    }
    // Cancel stops Qt's writers too.
    const std::atomic<bool> cancel{true};
    QVERIFY(!SheetRender::encode(sheet, SheetRender::writerFormatFor(path), &own, &error, 0,
                                 PngEncoder::Level::Default, nullptr, &cancel));
    QCOMPARE(error, QStringLiteral("cancelled"));

    QVERIFY(!PngEncoder::encode(QImage(), &own, &error));
    QVERIFY(!error.isEmpty());
}

void TestSheetRender::xpmMatchesQtWriter_data()
{
    QTest::addColumn<QImage>("sheet");
    QTest::addColumn<bool>("cancelled");
    // Each pixel its own colour, met in the opposite order of their values.
    const auto distinct = [](int width, int height) {
        QImage image(width, height, QImage::Format_ARGB32);
        for (int i = 0; i < width * height; ++i)
            image.setPixel(i % width, i / width, 0xff000000u | uint(width * height - i));
        return image;
    };
    QImage transparent = distinct(4, 2);
    transparent.setPixel(1, 0, qRgba(9, 8, 7, 0));
    transparent.setPixel(3, 1, qRgba(1, 2, 3, 0));
    QTest::newRow("transparent pixels of two colours") << transparent << false;
    QTest::newRow("65 colours, two characters") << distinct(13, 5) << false;
    // Qt swaps the names of colours 0 and 2837.
    QTest::newRow("3000 colours") << distinct(60, 50) << false;
    QTest::newRow("4096 colours, still two characters") << distinct(4096, 1) << false;
    QTest::newRow("noise, four characters") << noise(600, 500, 5) << false;
    // Qt's writer would build its colour table first, for seconds.
    QTest::newRow("cancelled before the colour table") << noise(1500, 1500, 6) << true;
}

void TestSheetRender::xpmMatchesQtWriter()
{
    QFETCH(QImage, sheet);
    QFETCH(bool, cancelled);
    const std::atomic<bool> cancel{cancelled};
    QByteArray data;
    QString error;
    QElapsedTimer timer;
    timer.start();
    const bool encoded = SheetRender::encode(sheet, "xpm", &data, &error, 0,
                                             PngEncoder::Level::Default, nullptr, &cancel);
    if (cancelled) {
        QVERIFY(!encoded);
        QCOMPARE(error, QStringLiteral("cancelled"));
        QVERIFY2(timer.elapsed() < 500, qPrintable(QString::number(timer.elapsed())));
        return;
    }
    QVERIFY2(encoded, qPrintable(error));
    QByteArray qt;
    QBuffer buffer(&qt);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(QImageWriter(&buffer, "xpm").write(sheet));
    QCOMPARE(data.size(), qt.size());
    QVERIFY(data == qt);
}

void TestSheetRender::pngDecoderMatchesQt_data()
{
    QTest::addColumn<QByteArray>("png");
    QTest::addColumn<bool>("fast"); // decoded by the fast path, not left to Qt
    QTest::addColumn<bool>("loads");

    const QByteArray none;
    for (const int depth : {1, 2, 4, 8}) {
        QTest::addRow("grey %d-bit", depth)
            << pngFile(0, depth, 13, 9, none, none, 1) << true << true;
        QTest::addRow("palette %d-bit, full", depth)
            << pngFile(3, depth, 11, 7, palette(1 << depth), none, 2) << true << true;
        QTest::addRow("grey %d-bit, black transparent", depth)
            << pngFile(0, depth, 5, 9, pngChunk("tRNS", bigEndian({0}).right(2)), none, 3) << true
            << true;
        QTest::addRow("grey %d-bit, white transparent", depth)
            << pngFile(0, depth, 7, 4, pngChunk("tRNS", bigEndian({(1u << depth) - 1}).right(2)),
                       none, 4)
            << true << true;
    }
    QTest::newRow("grey 8-bit, level 90 transparent")
        << pngFile(0, 8, 31, 20, pngChunk("tRNS", QByteArray("\0\x5a", 2)), none, 5) << true
        << true;
    QTest::newRow("grey and alpha") << pngFile(4, 8, 9, 9, none, none, 6) << true << true;
    QTest::newRow("RGB") << pngFile(2, 8, 3, 17, none, none, 7) << true << true;
    // The colour of the first pixel made transparent.
    const QRgb first = QImage::fromData(pngFile(2, 8, 64, 64, none, none, 8)).pixel(0, 0);
    const QByteArray key =
        bigEndian({uint(qRed(first)) << 16 | uint(qGreen(first)), uint(qBlue(first)) << 16});
    QTest::newRow("RGB with a transparent colour")
        << pngFile(2, 8, 64, 64, pngChunk("tRNS", key.left(6)), none, 8) << true << true;
    QTest::newRow("RGBA") << pngFile(6, 8, 1, 1, none, none, 9) << true << true;
    QTest::newRow("RGBA past the probe's first read")
        << pngFile(6, 8, 90, 60, none, none, 32) << true << true;
    QTest::newRow("RGBA, Paeth ties") << pngFile(6, 8, 37, 20, none, "paeth", 30) << true << true;
    QTest::newRow("RGB, Paeth ties") << pngFile(2, 8, 37, 20, none, "paeth", 31) << true << true;
    QTest::newRow("RGBA with gAMA, cHRM, sRGB and text")
        << pngFile(6, 8, 33, 5,
                   pngChunk("gAMA", bigEndian({100000})) +
                       pngChunk("cHRM", bigEndian({31270, 32900, 64000, 33000, 30000, 60000, 15000,
                                                   6000})) +
                       pngChunk("sRGB", QByteArray(1, 0)) + pngChunk("tEXt", "Comment\0hello"),
                   none, 10)
        << true << true;
    QTest::newRow("palette 8-bit, part transparent")
        << pngFile(3, 8, 16, 16, palette(256) + pngChunk("tRNS", QByteArray(100, '\x40')), none, 11)
        << true << true;
    QTest::newRow("palette 4-bit, every entry transparent")
        << pngFile(3, 4, 9, 9, palette(16) + pngChunk("tRNS", QByteArray(16, '\x40')), none, 51)
        << true << true;
    // Only the pixels' bits count, not the padding after the last one.
    QTest::newRow("palette 2-bit, padding bits past the palette")
        << pngFile(3, 2, 1, 1, palette(3), "rows 003f", 58) << true << true;
    QTest::newRow("RGB transparent colour matching another in red and green")
        << pngFile(2, 8, 2, 1, pngChunk("tRNS", QByteArray("\0\x01\0\x02\0\x03", 6)),
                   "rows 00010203010204", 60)
        << true << true;
    // Left to Qt's reader, which decides.
    QTest::newRow("palette index past the palette in the last row only")
        << pngFile(3, 2, 1, 2, palette(3), "rows 000000c0", 59) << false << true;
    QTest::newRow("palette shorter than the indices")
        << pngFile(3, 2, 40, 40, palette(3), none, 12) << false << true;
    QTest::newRow("palette longer than the depth allows")
        << pngFile(3, 1, 8, 8, palette(3), none, 13) << false << true;
    // libpng drops a tRNS chunk it finds invalid, and warns.
    QTest::newRow("palette transparency longer than the palette")
        << pngFile(3, 2, 9, 9, palette(4) + pngChunk("tRNS", QByteArray(5, '\x40')), none, 46)
        << false << true;
    QTest::newRow("grey transparency beyond the bit depth")
        << pngFile(0, 2, 9, 9, pngChunk("tRNS", QByteArray("\0\x05", 2)), none, 47) << false
        << true;
    QTest::newRow("grey transparency one past the bit depth")
        << pngFile(0, 2, 9, 9, pngChunk("tRNS", QByteArray("\0\x04", 2)), none, 52) << false
        << true;
    QTest::newRow("RGB transparency beyond the bit depth")
        << pngFile(2, 8, 9, 9, pngChunk("tRNS", QByteArray("\x01\0\0\0\0\0", 6)), none, 53) << false
        << true;
    QTest::newRow("grey transparency after the data")
        << pngFile(0, 8, 9, 9, none, "no IEND", 48) + pngChunk("tRNS", QByteArray("\0\x5a", 2)) +
               pngChunk("IEND", QByteArray())
        << false << true;
    QTest::newRow("grey 16-bit") << pngFile(0, 16, 5, 5, none, none, 14) << false << true;
    QTest::newRow("RGBA 16-bit") << pngFile(6, 16, 5, 5, none, none, 15) << false << true;
    QTest::newRow("cut short") << pngFile(6, 8, 40, 40, none, "cut", 16) << false << false;
    QTest::newRow("bad CRC in the data")
        << pngFile(2, 8, 40, 40, none, "crc", 17) << false << false;
    QTest::newRow("filter type 5") << pngFile(6, 8, 9, 9, none, "filter", 18) << false << false;
    QTest::newRow("bad Adler-32") << pngFile(0, 8, 9, 9, none, "adler", 19) << false << false;
    QTest::newRow("no IEND") << pngFile(4, 8, 9, 9, none, "no IEND", 20) << false << false;
    QTest::newRow("header chunk not named IHDR")
        << pngFile(6, 8, 9, 9, none, "IHDR renamed", 54) << false << false;
    // libpng only warns about these, and Qt's reader loads them.
    QTest::newRow("IEND with data") << pngFile(6, 8, 9, 9, none, "IEND data", 55) << false << true;
    QTest::newRow("stream followed by its Adler-32 again")
        << pngFile(0, 8, 1, 1, none, "rows 0080 adler twice", 56) << false << true;
    QTest::newRow("stream followed by its Adler-32 again, for libdeflate")
        << pngFile(6, 8, 16, 16, none, "paeth, adler twice", 57) << false << true;
    QTest::newRow("taller than libpng allows")
        << pngFile(0, 1, 1, 1000001, none, none, 61) << false << false;
    QTest::newRow("no palette") << pngFile(3, 8, 9, 9, none, none, 21) << false << false;
    QTest::newRow("a chunk between two data chunks")
        << pngFile(6, 8, 9, 9, none, "chunk between the data", 44) << false << false;
    // libpng keeps the first and warns.
    QTest::newRow("two transparency chunks")
        << pngFile(3, 8, 16, 16,
                   palette(256) + pngChunk("tRNS", QByteArray(4, '\x40')) +
                       pngChunk("tRNS", QByteArray(4, '\x80')),
                   none, 43)
        << false << true;
    // Malformed Huffman codes that zlib refuses and libdeflate would take.
    QTest::newRow("287 length codes")
        << pngFile(0, 8, 1, 1, none, "zlib 7801f5c121090000000020ffaff6891200020001", 35) << false
        << false;
    QTest::newRow("31 distance codes")
        << pngFile(0, 8, 1, 1, none, "zlib 780105de21090000000020ffaf56971000020001", 36) << false
        << false;
    QTest::newRow("a length repeated one past the last distance code")
        << pngFile(0, 8, 1, 1, none, "zlib 780105c305010000008020feafc62200020001", 42) << false
        << false;
    QTest::newRow("the unused code of a one-code distance tree")
        << pngFile(0, 8, 4, 1, none, "zlib 78010dc0010900000080a000a0ff8f4b7c004b001d", 37) << false
        << false;
    QTest::newRow("length symbol 286 in a block of fixed codes")
        << pngFile(0, 8, 64, 4, none, "zlib 7801636018030001040001", 38) << false << false;
    QTest::newRow("288 length codes in the second block")
        << pngFile(
               0, 8, 1, 41, none,
               "zlib 78da348a810d003008c250feffcbb326dd162296802cab34eaf59ce1792964fca7868a1f99fe"
               "6ab7070000fffffdc181000000000010ffd552200b8605ba",
               39)
        << false << false;
    QTest::newRow("stream one byte short")
        << pngFile(6, 8, 9, 9, none, "one byte short", 33) << false << false;
    // The same in one block of dynamic codes, which libdeflate inflates.
    QTest::newRow("stream one byte short, for libdeflate")
        << pngFile(6, 8, 16, 16, none, "paeth, one byte short", 45) << false << false;
    // Headers Qt's reader refuses: the probe must not take their size either.
    QTest::newRow("IHDR with a wrong CRC")
        << pngFile(6, 8, 9, 9, none, "IHDR crc", 22) << false << false;
    QTest::newRow("RGB at 4 bits") << pngFile(2, 4, 9, 9, none, none, 23) << false << false;
    QTest::newRow("grey at 0 bits") << pngFile(0, 0, 9, 9, none, none, 49) << false << false;
    QTest::newRow("interlace method 2")
        << pngFile(6, 8, 9, 9, none, "interlace 2", 24) << false << false;
    // Adam7 stores a one-pixel-wide image's rows once each, as many bytes as
    // without interlacing but in another order: only Qt's reader gets it right.
    QTest::newRow("interlaced, one pixel wide")
        << pngFile(6, 8, 1, 9, none, "interlace 1", 50) << false << true;
    QTest::newRow("compression method 1")
        << pngFile(6, 8, 9, 9, none, "compression 1", 25) << false << false;
    QTest::newRow("width 0") << pngFile(6, 8, 0, 9, none, none, 26) << false << false;
    QTest::newRow("unknown critical chunk before the data")
        << pngFile(6, 8, 9, 9, pngChunk("XXXX", "data"), none, 27) << false << false;
    // libpng warns and drops the chunk; the fast path declines, and Qt's
    // reader loads the image.
    QByteArray badText = pngChunk("tEXt", QByteArray("a\0b", 3));
    badText[badText.size() - 1] = char(badText.at(badText.size() - 1) ^ 1);
    QTest::newRow("ancillary chunk with a wrong CRC before the data")
        << pngFile(6, 8, 9, 9, badText, none, 29) << false << true;
    // Errors in libpng, which Qt's reader refuses: the fast path must too.
    QTest::newRow("two palettes") << pngFile(3, 1, 9, 9, palette(2) + palette(2), none, 40) << false
                                  << false;
    QTest::newRow("palette length not a multiple of 3")
        << pngFile(3, 1, 9, 9, pngChunk("PLTE", QByteArray("\1\2\3\4\5\6\7", 7)), none, 41) << false
        << false;
    QTest::newRow("palette in a grey image")
        << pngFile(0, 8, 9, 9, palette(4), none, 28) << false << true;
}

// The fast path against Qt's reader: the same pixels (as ARGB32), nothing
// written outside the image, and the sheet untouched when it declines.
void TestSheetRender::pngDecoderMatchesQt()
{
    QFETCH(QByteArray, png);
    QFETCH(bool, fast);
    QFETCH(bool, loads);

    const QImage qt = QImage::fromData(png, "PNG");
    QCOMPARE(!qt.isNull(), loads);

    // The probe takes the size Qt's reader gives, and refuses what it cannot size.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.png"));
    QVERIFY(writeFileBytes(path, png));
    const QSize qtSize = QImageReader(path).size();
    QSize probed;
    Compose::Failure failure;
    QCOMPARE(Compose::probeImage(path, Compose::Limits(), &probed, &failure), qtSize.isValid());
    if (qtSize.isValid())
        QCOMPARE(probed, qtSize);
    // Probed to be kept: the same hash, a hashed file kept byte for byte
    // unless the store is full, and painted from those bytes as from the file.
    Compose::ContentHash hash, keptHash, fullHash;
    Compose::ContentStore store(1 << 20), full(8);
    QByteArray kept, notKept;
    Compose::probeImage(path, Compose::Limits(), &probed, &failure, &hash);
    Compose::probeImage(path, Compose::Limits(), &probed, &failure, &keptHash, &store, &kept);
    Compose::probeImage(path, Compose::Limits(), &probed, &failure, &fullHash, &full, &notKept);
    QVERIFY(keptHash.valid == hash.valid && fullHash.valid == hash.valid);
    QVERIFY(keptHash.value == hash.value && fullHash.value == hash.value);
    QCOMPARE(kept, hash.valid ? png : QByteArray());
    QVERIFY(notKept.isNull());
    if (qtSize.isValid()) {
        const SheetLayout::Placement placement{path, qtSize, QPoint(), 0, 0};
        Compose::KeptContents contents;
        if (!kept.isNull())
            contents.insert(path, kept);
        QImage fromFile = SheetRender::newSheet(qtSize), fromKept = fromFile.copy();
        const auto fileFailures =
            Compose::paintPlacements(fromFile, {placement}, Compose::Limits(), 1);
        const auto keptFailures = Compose::paintPlacements(fromKept, {placement}, Compose::Limits(),
                                                           1, nullptr, &contents);
        QCOMPARE(keptFailures.size(), fileFailures.size());
        QCOMPARE(fromKept, fromFile);
    }
    const QSize size = qFromBigEndian<quint32>(png.constData() + 16) < 100
                           ? QSize(int(qFromBigEndian<quint32>(png.constData() + 16)),
                                   int(qFromBigEndian<quint32>(png.constData() + 20)))
                           : QSize();
    QImage sheet(size + QSize(4, 2), QImage::Format_ARGB32);
    sheet.fill(0x12345678);
    const QImage before = sheet.copy();
    // One for every row, as a worker keeps its own from image to image:
    // what an earlier image left in it must not show through.
    static PngDecode::Scratch scratch;
    const bool decoded =
        PngDecode::decode(reinterpret_cast<const uint8_t *>(png.constData()), size_t(png.size()),
                          size, sheet.scanLine(1) + 8, sheet.bytesPerLine(), &scratch);
    QCOMPARE(decoded, fast);
    if (!decoded) {
        QCOMPARE(sheet, before);
        return;
    }
    QImage expected = before;
    QVERIFY(SheetRender::copyInto(expected, qt, {2, 1}));
    for (int y = 0; y < sheet.height(); ++y) {
        for (int x = 0; x < sheet.width(); ++x) {
            if (sheet.pixel(x, y) != expected.pixel(x, y))
                QFAIL(qPrintable(QStringLiteral("pixel (%1, %2) is %3, Qt gives %4")
                                     .arg(x - 2)
                                     .arg(y - 1)
                                     .arg(sheet.pixel(x, y), 8, 16, QLatin1Char('0'))
                                     .arg(expected.pixel(x, y), 8, 16, QLatin1Char('0'))));
        }
    }
}

// The vector row filter against the portable one, byte for byte: the
// chosen filter and the filtered row, for rows that are all vector, all tail
// or both, and bytes at the extremes where 8-bit arithmetic would wrap.
void TestSheetRender::rowFilterMatchesPortable_data()
{
    QTest::addColumn<int>("pixels");
    QTest::addColumn<QByteArray>("values"); // drawn from at random
    const QByteArray any = QByteArray::fromHex("00017f80feff");
    QTest::newRow("one pixel") << 1 << any;
    QTest::newRow("tail only") << 7 << QByteArray::fromHex("00ff");
    QTest::newRow("exactly one vector") << 8 << QByteArray::fromHex("00ff");
    QTest::newRow("vectors and a tail") << 67 << any;
    QTest::newRow("every byte value") << 301 << QByteArray();
    QTest::newRow("zeros: every filter ties") << 40 << QByteArray(1, '\0');
}

void TestSheetRender::rowFilterMatchesPortable()
{
    QFETCH(int, pixels);
    QFETCH(QByteArray, values);
    const size_t length = size_t(pixels) * 4;
    std::mt19937 random{uint32_t(pixels)};
    for (int round = 0; round < 200; ++round) {
        // Each row is preceded by a pixel of zeros.
        std::vector<uint8_t> rows(2 * (length + 4), 0);
        for (size_t i = 0; i < length; ++i) {
            for (uint8_t *row : {rows.data() + 4, rows.data() + length + 8}) {
                const uint32_t r = random();
                row[i] = values.isEmpty() ? uint8_t(r) : uint8_t(values[int(r % values.size())]);
            }
        }
        std::vector<uint8_t> candidates(4 * length), vector(length + 1), portable(length + 1);
        RowFilter::filterRow(rows.data() + length + 8, rows.data() + 4, length, candidates.data(),
                             vector.data());
        RowFilter::filterRowPortable(rows.data() + length + 8, rows.data() + 4, length,
                                     candidates.data(), portable.data());
        QVERIFY(vector == portable);
        if (values == QByteArray(1, '\0'))
            QCOMPARE(int(vector[0]), 0); // a tie goes to the earlier filter
    }
}

// Items are taken by whichever thread is free; a run returns only when each
// has been done once, also when runs nest or two callers run at once.
void TestSheetRender::parallelRunsEveryItemOnce_data()
{
    QTest::addColumn<int>("callers");
    QTest::addColumn<bool>("nested");
    QTest::addColumn<int>("together"); // threads that must all be running at once
    QTest::newRow("one caller") << 1 << false << 0;
    QTest::newRow("runs inside the items") << 1 << true << 0;
    QTest::newRow("two callers at once") << 2 << false << 0;
    QTest::newRow("threads started for a run take part in it") << 1 << false << 9;
}

void TestSheetRender::parallelRunsEveryItemOnce()
{
    QFETCH(int, callers);
    QFETCH(bool, nested);
    QFETCH(int, together);
    if (together > 0) {
        // More threads than any run before asked for, each waiting for all.
        std::atomic<int> inside{0};
        std::atomic<bool> alone{false};
        Parallel::forEach(together, together, [&](int) {
            ++inside;
            QDeadlineTimer deadline(5000);
            while (inside < together && !deadline.hasExpired())
                std::this_thread::yield();
            alone = alone || inside < together;
        });
        QVERIFY(!alone);
    }
    constexpr int Items = 24;
    std::vector<std::atomic<int>> done(size_t(callers) * Items);
    std::atomic<bool> early{false};
    auto call = [&](int caller) {
        for (int round = 0; round < 20; ++round) {
            std::atomic<int> finished{0};
            Parallel::forEach(3, Items, [&](int i) {
                if (nested)
                    Parallel::forEach(2, 2, [](int) {});
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                ++done[size_t(caller * Items + i)];
                ++finished;
            });
            early = early || finished != Items;
        }
    };
    std::vector<std::thread> others;
    for (int caller = 1; caller < callers; ++caller)
        others.emplace_back(call, caller);
    call(0);
    for (std::thread &other : others)
        other.join();
    QVERIFY(!early);
    for (const std::atomic<int> &count : done)
        QCOMPARE(count.load(), 20);
}
QTEST_MAIN(TestSheetRender)
// The decoder's buffers for a kept copy cannot be had: the image is left to
// Qt's reader, which reads it straight into the sheet.
void TestSheetRender::decoderOutOfMemoryFallsBackToQt()
{
#ifdef __SANITIZE_ADDRESS__
    QSKIP("the sanitizer's shadow memory needs the address space this takes away");
#endif
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("large.png"));
    QImage image(4000, 4000, QImage::Format_ARGB32);
    image.fill(0xff336699);
    QVERIFY(image.save(path));
    const Compose::KeptContents kept{{path, readFileBytes(path)}};
    QImage sheet = SheetRender::newSheet(QSize(4000, 4000));
    QVERIFY(!sheet.isNull());
    // 64 MiB of rows to inflate into; 32 MiB more address space than now.
    auto memory = std::make_unique<AddressSpaceLimit>(rlim_t(32) << 20);
    QVERIFY(memory->isActive());
    const auto failures = Compose::paintPlacements(
        sheet, {SheetLayout::Placement{path, QSize(4000, 4000), QPoint(), 0, 0}}, Compose::Limits(),
        1, nullptr, &kept);
    memory.reset();
    QVERIFY(failures.isEmpty());
    QCOMPARE(sheet, image);
}

#include "tst_sheetrender.moc"
