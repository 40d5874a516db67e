// An image from the input through the PNG encoder: Qt's PNG reader must give
// back every pixel, a strict reading must find a well-formed file, and the
// bytes must not depend on the number of threads.
// Small pieces make the encoder join many deflate streams into one.

#include "core/png/pngencoder.h"
#include "core/png/rowfilter.h"
#include "fuzzinput.h"

#include <QBuffer>
#include <QImageReader>

#include <libdeflate.h>

#include <cstring>
#include <vector>

namespace {

const QImage::Format formats[] = {QImage::Format_ARGB32, QImage::Format_ARGB32_Premultiplied,
                                  QImage::Format_RGB32, QImage::Format_Indexed8};

QImage imageFrom(FuzzInput &input)
{
    const unsigned shape = input.take8();
    // Mostly up to 64 x 64, which keeps runs fast; with bit 0, up to
    // 512 x 256, past the size where the encoder changes its level.
    const bool large = shape & 1;
    const int width = 1 + int(input.take8() & 63) + (large ? 448 : 0);
    const int height = 1 + int(input.take8() & (large ? 255 : 63));
    const QImage::Format format = formats[(shape >> 1) & 3];
    const bool indexed = format == QImage::Format_Indexed8;
    QImage image(width, height, indexed ? format : QImage::Format_ARGB32);
    if (indexed) {
        QVector<QRgb> colours;
        for (int i = 0; i < 4; ++i) {
            const QByteArray c = input.takeBytes(4).leftJustified(4, '\0');
            colours << qRgba(uchar(c[0]), uchar(c[1]), uchar(c[2]), uchar(c[3]));
        }
        image.setColorTable(colours);
    }
    image.setDotsPerMeterX(int(input.take16()));
    // The rest of the input is repeated over the pixels' bytes, so that a
    // short input still gives runs and edges worth filtering.
    const QByteArray pattern = input.takeBytes(4096);
    const int lineBytes = indexed ? width : width * 4;
    for (int y = 0; y < height; ++y) {
        uchar *line = image.scanLine(y);
        for (int x = 0; x < lineBytes; ++x) {
            const int i = y * lineBytes + x;
            line[x] = pattern.isEmpty() ? uchar(i) : uchar(pattern[i % pattern.size()]);
            if (indexed)
                line[x] &= 3;
        }
    }
    // Converted afterwards, so that every pixel is valid in its format.
    return image.convertToFormat(format);
}

quint32 bigEndian32(const uchar *p)
{
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3];
}

// What a strict reader asks and Qt's reader lets pass with a warning: every
// chunk's CRC right, IEND last with nothing after it, and the IDAT data one
// zlib stream, Adler-32 included, that holds exactly the filtered rows and
// nothing after them.
void checkStructure(const QByteArray &png, const QImage &image)
{
    const auto *bytes = reinterpret_cast<const uchar *>(png.constData());
    const size_t size = size_t(png.size());
    QByteArray stream;
    size_t at = 8;
    bool ended = false;
    while (at + 12 <= size && !ended) {
        const size_t length = bigEndian32(bytes + at);
        if (length > size - at - 12)
            fuzzFail("a chunk runs past the end of the file");
        if (libdeflate_crc32(0, bytes + at + 4, length + 4) != bigEndian32(bytes + at + 8 + length))
            fuzzFail("a chunk's CRC is wrong");
        if (std::memcmp(bytes + at + 4, "IDAT", 4) == 0)
            stream.append(png.constData() + at + 8, int(length));
        ended = std::memcmp(bytes + at + 4, "IEND", 4) == 0;
        at += 12 + length;
    }
    if (!ended || at != size)
        fuzzFail("the file does not end with IEND");
    // RGBA, or (at the small level) indexed colour of 1 to 8 bits.
    const size_t depth = bytes[24], indexed = bytes[25] == 3;
    if (indexed ? (depth != 1 && depth != 2 && depth != 4 && depth != 8)
                : (depth != 8 || bytes[25] != 6))
        fuzzFail("the header holds neither RGBA nor indexed colour");
    const size_t rowBytes =
        indexed ? (size_t(image.width()) * depth + 7) / 8 : size_t(image.width()) * 4;
    const size_t rows = size_t(image.height()) * (rowBytes + 1);
    std::vector<uint8_t> inflated(rows + 1);
    size_t in = 0, out = 0;
    libdeflate_decompressor *decompressor = libdeflate_alloc_decompressor();
    const libdeflate_result result =
        libdeflate_zlib_decompress_ex(decompressor, stream.constData(), size_t(stream.size()),
                                      inflated.data(), inflated.size(), &in, &out);
    libdeflate_free_decompressor(decompressor);
    if (result != LIBDEFLATE_SUCCESS || in != size_t(stream.size()) || out != rows)
        fuzzFail("the IDAT data is not one zlib stream of exactly the filtered rows");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint8_t choice = input.take8();
    const size_t pieceBytes = (choice & 0x3f) * 64; // 0: the encoder's own piece size
    const PngEncoder::Level levels[] = {PngEncoder::Level::Default, PngEncoder::Level::Fast,
                                        PngEncoder::Level::Small, PngEncoder::Level::Default};
    const PngEncoder::Level level = levels[choice >> 6];
    const QImage image = imageFrom(input);

    QByteArray first;
    QString error;
    for (const int threads : {1, 2, 5}) {
        QByteArray png;
        if (!PngEncoder::encode(image, &png, &error, threads, level, pieceBytes))
            fuzzFail("encoding failed", error.toUtf8());
        if (first.isEmpty())
            first = png;
        else if (png != first)
            fuzzFail("the bytes depend on the number of threads");
    }

    // The vector row filter chooses and filters as the portable one does.
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    const size_t length = size_t(argb.width()) * 4;
    std::vector<uint8_t> rows(2 * (length + 4), 0), candidates(4 * length);
    std::vector<uint8_t> vector(length + 1), portable(length + 1);
    uint8_t *previous = rows.data() + 4, *current = previous + length + 4;
    for (int y = 0; y < argb.height(); ++y) {
        std::memcpy(current, argb.constScanLine(y), length);
        RowFilter::filterRow(current, previous, length, candidates.data(), vector.data());
        RowFilter::filterRowPortable(current, previous, length, candidates.data(), portable.data());
        if (vector != portable)
            fuzzFail("the vector row filter differs from the portable one");
        std::swap(previous, current);
    }

    checkStructure(first, image);
    QBuffer buffer(&first);
    QImageReader reader(&buffer, "png");
    const QImage decoded = reader.read();
    if (decoded.isNull())
        fuzzFail("Qt cannot read the PNG", reader.errorString().toUtf8());
    if (decoded.convertToFormat(QImage::Format_ARGB32) !=
        image.convertToFormat(QImage::Format_ARGB32))
        fuzzFail("the decoded pixels differ from the image");
    const bool physical = image.dotsPerMeterX() > 0 && image.dotsPerMeterY() > 0;
    if (physical && (decoded.dotsPerMeterX() != image.dotsPerMeterX() ||
                     decoded.dotsPerMeterY() != image.dotsPerMeterY()))
        fuzzFail("the pixel density is lost");
    return 0;
}
