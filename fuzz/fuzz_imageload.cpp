// Arbitrary bytes as an input image through the load, size and copy path:
// the header size, a full decode, a sheet of that size and the row copy into
// it. A file that loads must paint into its own sheet, pixel for pixel. The
// fast PNG path must load only what Qt's reader loads, with its pixels.

#include "core/image/pngdecode.h"
#include "core/pipeline.h"
#include "core/sheetrender.h"

#include <QFile>
#include <QHash>
#include <QImageReader>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Keeps each run small; the program's own limit is far larger.
constexpr qint64 maxPixels = qint64(1) << 24;

QString g_path;

quint32 crc32(const char *data, int size)
{
    static quint32 table[256];
    if (!table[1]) {
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
    }
    quint32 crc = 0xffffffffu;
    for (int i = 0; i < size; ++i)
        crc = table[(crc ^ uchar(data[i])) & 0xff] ^ (crc >> 8);
    return crc ^ 0xffffffffu;
}

// Rewrites the CRC of every complete PNG chunk, so that mutations reach the
// decoder instead of stopping at the checksum.
void fixPngChecksums(QByteArray &bytes)
{
    if (!bytes.startsWith("\x89PNG\r\n\x1a\n"))
        return;
    qint64 pos = 8;
    while (pos + 12 <= bytes.size()) {
        const uchar *p = reinterpret_cast<const uchar *>(bytes.constData()) + pos;
        const qint64 length = qint64(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
        if (pos + 12 + length > bytes.size())
            return;
        const quint32 crc = crc32(bytes.constData() + pos + 4, int(length + 4));
        char *out = bytes.data() + pos + 8 + length;
        for (int i = 0; i < 4; ++i)
            out[i] = char(crc >> (24 - 8 * i));
        pos += 12 + length;
    }
}

// Qt's decoders are not instrumented, so the fuzzer cannot see which of
// their paths an input took. Each distinct outcome (format, error, pixel
// format, size class) bumps a counter libFuzzer treats as coverage.
__attribute__((used, section("__libfuzzer_extra_counters"))) uint8_t g_outcomes[1 << 12];

int sizeClass(int n)
{
    int bits = 0;
    while (n > 0 && bits < 31) {
        n >>= 1;
        ++bits;
    }
    return bits;
}

void noteOutcome(const QImageReader &reader, const QImage &image)
{
    const uint key = qHash(reader.format()) ^ qHash(reader.errorString()) * 3 ^
                     uint(image.format()) * 131 ^ uint(sizeClass(image.width())) * 8191 ^
                     uint(sizeClass(image.height())) * 524287;
    ++g_outcomes[key % sizeof g_outcomes];
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "image path broken: %s\n", what);
    std::abort();
}

// The fast PNG path against Qt's reader on the same bytes: when it decodes,
// Qt's reader must load the file too, to the same ARGB32 pixels.
void compareFastPng(const QByteArray &bytes, const QSize &declared, const QImage &qt)
{
    QImage fast(declared, QImage::Format_ARGB32);
    if (fast.isNull())
        return;
    static PngDecode::Scratch scratch;
    if (!PngDecode::decode(reinterpret_cast<const uint8_t *>(bytes.constData()),
                           size_t(bytes.size()), declared, fast.bits(), fast.bytesPerLine(),
                           &scratch))
        return;
    if (qt.isNull())
        fail("the fast PNG path loads what Qt's reader refuses");
    if (fast != qt.convertToFormat(QImage::Format_ARGB32))
        fail("the fast PNG path and Qt's reader give different pixels");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Decoder warnings for broken input would drown the fuzzer's output.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    static QTemporaryDir dir;
    if (!dir.isValid())
        std::abort();
    g_path = dir.filePath(QStringLiteral("input.png"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    fixPngChecksums(bytes);
    {
        QFile file(g_path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes) != bytes.size())
            std::abort();
    }

    // The program's own size check, with a small limit: only what it lets
    // through is decoded, so a small file cannot make the decoder allocate
    // without bound.
    Compose::Limits limits;
    limits.maxPixels = maxPixels;
    QSize declared;
    Compose::Failure refused;
    // Half the inputs are painted from the probe's copy, as korvane-pack
    // paints small PNGs, the other half from the file.
    Compose::ContentStore store(size_t(1) << 20);
    Compose::ContentHash hash;
    QByteArray kept;
    if (!Compose::probeImage(g_path, limits, &declared, &refused, &hash, &store, &kept))
        return 0;
    if (!kept.isNull() && kept != bytes)
        fail("the probe kept other bytes than the file's");
    Compose::KeptContents contents;
    if (!kept.isNull() && size % 2 == 1)
        contents.insert(g_path, kept);

    QImageReader reader(g_path);
    const QByteArray format = reader.format(); // empty again once read
    // A size the probe read from a PNG's header is one Qt's reader reads too.
    if (format == "png" && reader.size() != declared)
        fail("the probe sized a PNG that Qt's reader sizes otherwise");
    const QImage image = reader.read();
    noteOutcome(reader, image);
    compareFastPng(bytes, declared, image);
    if (image.isNull())
        return 0;
    if (qint64(image.width()) * image.height() > qint64(declared.width()) * declared.height())
        fail("decoded image is larger than its header declared");

    // The image framed by a one-pixel border, as a margin would place it.
    const QPoint position(1, 1);
    QImage sheet = SheetRender::newSheet(image.size() + QSize(2, 2));
    if (sheet.isNull())
        return 0; // could not allocate
    if (SheetRender::copyInto(sheet, image, position + QPoint(2, 0)))
        fail("copy past the right edge was accepted");
    if (image.size() != declared)
        fail("decoded size differs from the size read before decoding");
    const QVector<Compose::Failure> failures = Compose::paintPlacements(
        sheet, {{g_path, image.size(), position, position.x(), position.y()}}, limits, 1, nullptr,
        &contents);
    // Refusing data that a second decode shows incomplete is right; any
    // other failure of an image that decoded once is not.
    if (!failures.isEmpty()) {
        if (failures.first().status != Compose::ImageStatus::DecodeFailed)
            fail("an image that decoded once does not paint");
        return 0;
    }

    const QImage expected = image.convertToFormat(QImage::Format_ARGB32);
    const size_t rowBytes = size_t(expected.width()) * 4;
    // Qt's reader hands a 32-bit icon over premultiplied, which Korvane does
    // not: there the pixels must agree once premultiplied. It ignores a
    // 24-bit one's AND mask, which Korvane applies: there a pixel Qt reads
    // opaque may be transparent, its colour unchanged.
    const bool icon = format == "ico" || format == "cur";
    const auto bitCount = [&]() -> int {
        const auto u32 = [&](qint64 at) {
            return at + 4 <= bytes.size() ? qFromLittleEndian<quint32>(bytes.constData() + at) : 0;
        };
        const qint64 offset = u32(18);
        const int bits = offset + 16 <= bytes.size() ? uchar(bytes[int(offset + 14)]) : 0;
        return bits ? bits : int(u32(12) & 0xffff); // else the directory's
    };
    const bool masked = icon && bitCount() == 24;
    const auto sameRow = [&](const uchar *row, int imageY) {
        if (!icon)
            return std::memcmp(row, expected.constScanLine(imageY), rowBytes) == 0;
        const QRgb *got = reinterpret_cast<const QRgb *>(row);
        const QRgb *want = reinterpret_cast<const QRgb *>(expected.constScanLine(imageY));
        for (int x = 0; x < expected.width(); ++x) {
            if (qPremultiply(got[x]) != qPremultiply(want[x]) &&
                !(masked && got[x] == (want[x] & 0xffffff) && qAlpha(want[x]) == 255))
                return false;
        }
        return true;
    };
    const auto transparent = [](const uchar *pixels, qint64 count) {
        const QRgb *p = reinterpret_cast<const QRgb *>(pixels);
        return std::all_of(p, p + count, [](QRgb v) { return v == 0; });
    };
    for (int y = 0; y < sheet.height(); ++y) {
        const uchar *row = sheet.constScanLine(y);
        const int imageY = y - position.y();
        if (imageY < 0 || imageY >= expected.height()) {
            if (!transparent(row, sheet.width()))
                fail("a border row is not transparent");
            continue;
        }
        const qint64 right = position.x() + qint64(expected.width());
        if (!transparent(row, position.x()) || !transparent(row + right * 4, sheet.width() - right))
            fail("a border pixel is not transparent");
        if (!sameRow(row + position.x() * 4, imageY))
            fail("copied row differs from the decoded image");
    }
    return 0;
}
