#include "core/image/pngdecode.h"

#include <QRgb>

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// Every check below stands for one that libpng makes while Qt reads a file:
// where libpng would stop with an error, warn, or change the pixels in a way
// Qt does not undo (a palette cut to the bit depth, a tRNS chunk ignored),
// decode() declines and Qt's reader takes over. So a file decoded here is
// one Qt's reader loads too, with the same pixels.

namespace PngDecode {

namespace {

constexpr uint8_t Signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
// libpng's defaults: the widest and tallest image, the largest chunk.
constexpr uint32_t MaxSide = 1000000;
constexpr uint32_t MaxChunkBytes = 8000000;

enum ColourType { Grey = 0, Rgb = 2, Palette = 3, GreyAlpha = 4, Rgba = 6 };

uint32_t bigEndian32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint16_t bigEndian16(const uint8_t *p)
{
    return uint16_t(p[0] << 8 | p[1]);
}

bool isChunk(const uint8_t *type, const char *name)
{
    return std::memcmp(type, name, 4) == 0;
}

struct Image
{
    uint32_t width = 0;
    uint32_t height = 0;
    int depth = 0;
    int colour = 0;
    int channels = 1;
    size_t rowBytes = 0; // without the filter byte

    QRgb palette[256] = {};
    int paletteSize = 0;
    bool hasTransparency = false;
    uint16_t transparent[3] = {}; // grey, or red, green, blue

    const uint8_t *idat = nullptr; // the zlib stream when in one chunk
    size_t idatBytes = 0;
    int idatChunks = 0;
};

bool readHeader(const uint8_t *data, uint32_t length, Image *image)
{
    if (length != 13)
        return false;
    image->width = bigEndian32(data);
    image->height = bigEndian32(data + 4);
    image->depth = data[8];
    image->colour = data[9];
    if (image->width == 0 || image->height == 0 || image->width > MaxSide ||
        image->height > MaxSide || data[10] != 0 || data[11] != 0 || data[12] != 0)
        return false; // interlaced images and the rest go to Qt
    const int depth = image->depth;
    switch (image->colour) {
    case Grey:
    case Palette:
        if (depth != 1 && depth != 2 && depth != 4 && depth != 8)
            return false;
        image->channels = 1;
        break;
    case Rgb:
        image->channels = 3;
        break;
    case GreyAlpha:
        image->channels = 2;
        break;
    case Rgba:
        image->channels = 4;
        break;
    default:
        return false;
    }
    if (image->colour != Grey && image->colour != Palette && depth != 8)
        return false;
    image->rowBytes = (size_t(image->width) * size_t(image->channels) * size_t(depth) + 7) / 8;
    return true;
}

bool readPalette(const uint8_t *data, uint32_t length, Image *image)
{
    if (image->colour != Palette || image->paletteSize > 0 || length == 0 || length % 3 != 0 ||
        length / 3 > (1u << image->depth))
        return false; // libpng would cut a palette longer than the depth allows
    image->paletteSize = int(length / 3);
    for (int i = 0; i < image->paletteSize; ++i)
        image->palette[i] = qRgb(data[3 * i], data[3 * i + 1], data[3 * i + 2]);
    return true;
}

bool readTransparency(const uint8_t *data, uint32_t length, Image *image)
{
    if (image->hasTransparency)
        return false;
    image->hasTransparency = true;
    const uint32_t maxSample = (1u << image->depth) - 1;
    switch (image->colour) {
    case Palette:
        if (image->paletteSize == 0 || length == 0 || length > uint32_t(image->paletteSize))
            return false;
        for (uint32_t i = 0; i < length; ++i)
            image->palette[i] = qRgba(qRed(image->palette[i]), qGreen(image->palette[i]),
                                      qBlue(image->palette[i]), data[i]);
        return true;
    case Grey:
        if (length != 2)
            return false;
        image->transparent[0] = bigEndian16(data);
        return image->transparent[0] <= maxSample;
    case Rgb:
        if (length != 6)
            return false;
        for (int i = 0; i < 3; ++i) {
            image->transparent[i] = bigEndian16(data + 2 * i);
            if (image->transparent[i] > maxSample)
                return false;
        }
        return true;
    default:
        return false; // libpng ignores tRNS beside an alpha channel
    }
}

// libpng's bound on one IDAT chunk: the image data with the most deflate
// could add, or the general chunk limit if larger.
uint64_t idatLimit(const Image &image)
{
    const uint64_t rowFactor = uint64_t(image.width) * uint64_t(image.channels) + 1;
    uint64_t limit = uint64_t(image.height) * rowFactor;
    limit += 6 + 5 * (limit / std::min<uint64_t>(rowFactor, 32566) + 1);
    return std::max<uint64_t>(std::min<uint64_t>(limit, 0x7fffffff), MaxChunkBytes);
}

bool isLetter(uint8_t c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Walks the chunks up to IEND, checking each CRC, and gathers what decoding
// needs. The IDAT chunks must follow each other.
bool readChunks(const uint8_t *bytes, size_t length, Image *image)
{
    if (length < 8 || std::memcmp(bytes, Signature, 8) != 0)
        return false;
    enum { BeforeData, InData, AfterData } stage = BeforeData;
    size_t pos = 8;
    bool first = true;
    for (;;) {
        if (length - pos < 12)
            return false; // cut short before IEND
        const uint8_t *chunk = bytes + pos;
        const uint32_t size = bigEndian32(chunk);
        const uint8_t *type = chunk + 4;
        const uint8_t *data = chunk + 8;
        if (size > 0x7fffffff || size > length - pos - 12)
            return false;
        if (!isLetter(type[0]) || !isLetter(type[1]) || !isLetter(type[2]) || !isLetter(type[3]))
            return false;
        if (libdeflate_crc32(0, type, size + 4) != bigEndian32(data + size))
            return false;
        if (first != isChunk(type, "IHDR"))
            return false;
        const bool isData = isChunk(type, "IDAT");
        if (stage == InData && !isData)
            stage = AfterData;
        if (first) {
            if (!readHeader(data, size, image))
                return false;
            first = false;
        } else if (isData) {
            if (stage == AfterData || (image->colour == Palette && image->paletteSize == 0) ||
                size > idatLimit(*image))
                return false;
            stage = InData;
            if (image->idatChunks++ == 0)
                image->idat = data;
            image->idatBytes += size;
        } else if (isChunk(type, "IEND")) {
            return stage == AfterData && size == 0;
        } else if (isChunk(type, "PLTE")) {
            if (stage != BeforeData || !readPalette(data, size, image))
                return false;
        } else if (isChunk(type, "tRNS")) {
            if (stage != BeforeData || !readTransparency(data, size, image))
                return false;
        } else if ((type[0] & 0x20) == 0 || size > MaxChunkBytes) {
            return false; // an unknown critical chunk, or one libpng finds too large
        }
        pos += 12 + size;
    }
}

// The zlib stream of all IDAT chunks, copied together when there are several.
const uint8_t *joinData(const uint8_t *bytes, size_t length, const Image &image,
                        LargeBuffers::Buffer &joined)
{
    if (image.idatChunks == 1)
        return image.idat;
    uint8_t *data = joined.reserve(image.idatBytes);
    size_t pos = size_t(image.idat - bytes) - 8;
    size_t out = 0;
    while (out < image.idatBytes && pos + 12 <= length) {
        const uint32_t size = bigEndian32(bytes + pos);
        std::memcpy(data + out, bytes + pos + 8, size);
        out += size;
        pos += 12 + size;
    }
    return data;
}

// Reads a deflate stream's bits, least significant first; past the end, each
// read sets `over` and gives zeros.
struct BitReader
{
    const uint8_t *data;
    size_t bytes;
    size_t bit = 0;
    bool over = false;

    uint32_t take(int count)
    {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i, ++bit) {
            if (bit / 8 >= bytes) {
                over = true;
                return 0;
            }
            value |= uint32_t(data[bit / 8] >> (bit % 8) & 1) << i;
        }
        return value;
    }
};

// A canonical Huffman code with codes of up to `MaxBits`, as deflate builds it.
struct Code
{
    static constexpr int MaxBits = 15;
    uint16_t count[MaxBits + 1] = {};
    uint16_t symbol[320] = {};

    // Tells whether the codes fill the code space exactly (so there are two
    // at least): a complete code, read alike by every inflater.
    bool build(const uint8_t *lengths, int symbols)
    {
        for (int i = 0; i < symbols; ++i)
            ++count[lengths[i]];
        uint16_t first[MaxBits + 2] = {};
        int32_t left = 1;
        for (int length = 1; length <= MaxBits; ++length) {
            left = 2 * left - count[length];
            first[length + 1] = uint16_t(first[length] + count[length]);
        }
        for (int i = 0; i < symbols; ++i) {
            if (lengths[i] != 0)
                symbol[first[lengths[i]]++] = uint16_t(i);
        }
        return left == 0;
    }

    int decode(BitReader *in) const
    {
        int code = 0, first = 0, index = 0;
        for (int length = 1; length <= MaxBits; ++length) {
            code |= int(in->take(1));
            if (code - count[length] < first)
                return symbol[index + code - first];
            index += count[length];
            first = (first + count[length]) << 1;
            code <<= 1;
        }
        return -1;
    }
};

// libdeflate takes some streams that zlib, and so Qt's reader, refuses: 287
// or 288 length codes or 31 or 32 distance codes in a block header, length
// symbols 286 and 287 in a block with fixed codes, and the unused code of a
// distance tree with one code. Those cannot arise in one final block with
// dynamic codes, both complete and within the standard's counts, whose
// header is read here; libdeflate inflates such a stream (most PNG files of
// sprites), zlib any other. A header this finds doubtful only costs time.
bool libdeflateAgrees(const uint8_t *stream, size_t bytes)
{
    if (bytes < 3 || (stream[0] & 0x0f) != 8 || stream[0] >> 4 > 7 || (stream[1] & 0x20))
        return false;
    BitReader in{stream + 2, bytes - 2};
    if (in.take(1) != 1 || in.take(2) != 2)
        return false; // not a final block, or not dynamic codes
    const int lengthCodes = int(in.take(5)) + 257;
    const int distanceCodes = int(in.take(5)) + 1;
    const int precodeLengths = int(in.take(4)) + 4;
    if (lengthCodes > 286 || distanceCodes > 30)
        return false;
    static constexpr uint8_t Order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                          11, 4,  12, 3, 13, 2, 14, 1, 15};
    uint8_t lengths[320] = {};
    for (int i = 0; i < precodeLengths; ++i)
        lengths[Order[i]] = uint8_t(in.take(3));
    Code precode;
    if (!precode.build(lengths, 19))
        return false;
    const int total = lengthCodes + distanceCodes;
    std::fill(lengths, lengths + 19, 0);
    for (int i = 0; i < total && !in.over;) {
        const int symbol = precode.decode(&in);
        if (symbol < 0)
            return false;
        if (symbol < 16) {
            lengths[i++] = uint8_t(symbol);
            continue;
        }
        if (symbol == 16 && i == 0)
            return false;
        const uint8_t repeated = symbol == 16 ? lengths[i - 1] : 0;
        const int times = symbol == 16   ? 3 + int(in.take(2))
                          : symbol == 17 ? 3 + int(in.take(3))
                                         : 11 + int(in.take(7));
        if (i + times > total)
            return false;
        std::fill(lengths + i, lengths + i + times, repeated);
        i += times;
    }
    Code literals, distances;
    return !in.over && literals.build(lengths, lengthCodes) &&
           distances.build(lengths + lengthCodes, distanceCodes);
}

// zlib's inflate, as libpng calls it, for streams libdeflateAgrees() doubts.
bool zlibInflate(const uint8_t *stream, size_t bytes, uint8_t *rows, size_t filtered)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    // zlib's Adler-32 takes several times as long as libdeflate's, which
    // checks the stream's below.
    inflateValidate(&z, 0);
    size_t inLeft = bytes, outLeft = filtered;
    z.next_in = const_cast<Bytef *>(stream);
    z.next_out = rows;
    int result = Z_OK;
    while (result == Z_OK) {
        // zlib counts in 32 bits: the buffers go in by parts.
        const uInt in = uInt(std::min<size_t>(inLeft, UINT_MAX));
        const uInt out = uInt(std::min<size_t>(outLeft, UINT_MAX));
        z.avail_in = in;
        z.avail_out = out;
        result = inflate(&z, Z_NO_FLUSH);
        inLeft -= in - z.avail_in;
        outLeft -= out - z.avail_out;
    }
    inflateEnd(&z);
    return result == Z_STREAM_END && inLeft == 0 && outLeft == 0 && bytes >= 4 &&
           libdeflate_adler32(1, rows, filtered) == bigEndian32(stream + bytes - 4);
}

uint8_t paeth(int a, int b, int c)
{
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    return uint8_t(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

#ifdef __SSE2__
// Paeth for 4-byte pixels, one pixel at a time in 16-bit lanes (SSE2 is part
// of every x86-64 processor): the same predictor and ties as paeth().
void unpaeth4(uint8_t *cur, const uint8_t *previous, size_t rowBytes)
{
    const __m128i zero = _mm_setzero_si128();
    const auto load = [&](const uint8_t *p) {
        uint32_t pixel;
        std::memcpy(&pixel, p, 4);
        return _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(pixel)), zero);
    };
    const auto magnitude = [&](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
    const auto select = [](__m128i mask, __m128i yes, __m128i no) {
        return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
    };
    // Left of the first pixel, a and c are zero: the predictor is b.
    __m128i a = zero, b = zero, c = zero;
    for (size_t i = 0; i + 4 <= rowBytes; i += 4) {
        c = b;
        b = load(previous + i);
        const __m128i pa = magnitude(_mm_sub_epi16(b, c));
        const __m128i pb = magnitude(_mm_sub_epi16(a, c));
        const __m128i pc = magnitude(_mm_add_epi16(_mm_sub_epi16(b, c), _mm_sub_epi16(a, c)));
        const __m128i least = _mm_min_epi16(pa, _mm_min_epi16(pb, pc));
        const __m128i nearest =
            select(_mm_cmpeq_epi16(least, pa), a, select(_mm_cmpeq_epi16(least, pb), b, c));
        // Bytes wrap on their own: the lanes' high bytes stay zero.
        a = _mm_add_epi8(load(cur + i), nearest);
        const int pixel = _mm_cvtsi128_si32(_mm_packus_epi16(a, a));
        std::memcpy(cur + i, &pixel, 4);
    }
}
#endif

// Undoes the row filters in place; false on a filter type beyond Paeth.
bool unfilter(uint8_t *rows, size_t rowBytes, uint32_t height, size_t bpp,
              std::vector<uint8_t> &zeros)
{
    zeros.assign(rowBytes, 0);
    const uint8_t *previous = zeros.data();
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t *row = rows + size_t(y) * (rowBytes + 1);
        uint8_t *cur = row + 1;
        switch (row[0]) {
        case 0:
            break;
        case 1:
            for (size_t i = bpp; i < rowBytes; ++i)
                cur[i] = uint8_t(cur[i] + cur[i - bpp]);
            break;
        case 2:
            for (size_t i = 0; i < rowBytes; ++i)
                cur[i] = uint8_t(cur[i] + previous[i]);
            break;
        case 3:
            for (size_t i = 0; i < bpp; ++i)
                cur[i] = uint8_t(cur[i] + (previous[i] >> 1));
            for (size_t i = bpp; i < rowBytes; ++i)
                cur[i] = uint8_t(cur[i] + ((cur[i - bpp] + previous[i]) >> 1));
            break;
        case 4:
#ifdef __SSE2__
            if (bpp == 4) {
                unpaeth4(cur, previous, rowBytes);
                break;
            }
#endif
            for (size_t i = 0; i < bpp; ++i)
                cur[i] = uint8_t(cur[i] + previous[i]);
            for (size_t i = bpp; i < rowBytes; ++i)
                cur[i] = uint8_t(cur[i] + paeth(cur[i - bpp], previous[i], previous[i - bpp]));
            break;
        default:
            return false;
        }
        previous = cur;
    }
    return true;
}

// The colours of the samples of a grey or palette image, as Qt's reader
// gives them: grey levels spread over 0..255, a 1-bit image through Qt's
// mono format (whose transparent white keeps its colour), any other
// transparent grey as transparent black.
void colourTable(const Image &image, QRgb table[256])
{
    if (image.colour == Palette) {
        std::copy(image.palette, image.palette + image.paletteSize, table);
        return;
    }
    const int levels = 1 << image.depth;
    for (int i = 0; i < levels; ++i) {
        const int level = i * 255 / (levels - 1);
        table[i] = qRgb(level, level, level);
    }
    if (!image.hasTransparency)
        return;
    const int g = image.transparent[0];
    if (image.depth == 1)
        table[g] = g == 0 ? qRgba(0, 0, 0, 0) : qRgba(255, 255, 255, 0);
    else
        table[g] = 0;
}

// False when a palette index lies beyond the palette.
bool indicesInRange(const Image &image, const uint8_t *rows)
{
    if (image.colour != Palette || image.paletteSize == 1 << image.depth)
        return true;
    const int perByte = 8 / image.depth;
    const int mask = (1 << image.depth) - 1;
    for (uint32_t y = 0; y < image.height; ++y) {
        const uint8_t *row = rows + size_t(y) * (image.rowBytes + 1) + 1;
        int largest = 0;
        if (image.depth == 8) {
            for (size_t x = 0; x < image.rowBytes; ++x)
                largest = std::max<int>(largest, row[x]);
        } else {
            for (uint32_t x = 0; x < image.width; ++x) {
                const int shift = 8 - image.depth * (1 + int(x % uint32_t(perByte)));
                largest = std::max(largest, (row[x / uint32_t(perByte)] >> shift) & mask);
            }
        }
        if (largest >= image.paletteSize)
            return false;
    }
    return true;
}

void convertRow(const Image &image, const QRgb *table, const uint8_t *in, QRgb *out)
{
    const uint32_t width = image.width;
    switch (image.colour) {
    case Rgba:
        for (uint32_t x = 0; x < width; ++x, in += 4)
            out[x] = qRgba(in[0], in[1], in[2], in[3]);
        return;
    case Rgb:
        if (!image.hasTransparency) {
            for (uint32_t x = 0; x < width; ++x, in += 3)
                out[x] = qRgb(in[0], in[1], in[2]);
            return;
        }
        for (uint32_t x = 0; x < width; ++x, in += 3) {
            const bool clear = in[0] == image.transparent[0] && in[1] == image.transparent[1] &&
                               in[2] == image.transparent[2];
            out[x] = qRgba(in[0], in[1], in[2], clear ? 0 : 255);
        }
        return;
    case GreyAlpha:
        for (uint32_t x = 0; x < width; ++x, in += 2)
            out[x] = qRgba(in[0], in[0], in[0], in[1]);
        return;
    default:
        break;
    }
    if (image.depth == 8) {
        for (uint32_t x = 0; x < width; ++x)
            out[x] = table[in[x]];
        return;
    }
    const uint32_t perByte = uint32_t(8 / image.depth);
    const int mask = (1 << image.depth) - 1;
    for (uint32_t x = 0; x < width; ++x) {
        const int shift = 8 - image.depth * (1 + int(x % perByte));
        out[x] = table[(in[x / perByte] >> shift) & mask];
    }
}

} // namespace

Scratch::Scratch() : decompressor(libdeflate_alloc_decompressor()) {}

Scratch::~Scratch()
{
    libdeflate_free_decompressor(decompressor);
}

namespace {

bool decodeImage(const uint8_t *bytes, size_t length, const QSize &size, uint8_t *target,
                 qsizetype bytesPerLine, Scratch *scratch)
{
    Image image;
    if (!scratch->decompressor || !readChunks(bytes, length, &image) ||
        qint64(image.width) != size.width() || qint64(image.height) != size.height())
        return false;

    const uint8_t *stream = joinData(bytes, length, image, scratch->joined);
    const size_t filtered = size_t(image.height) * (image.rowBytes + 1);
    uint8_t *rows = scratch->rows.reserve(filtered);
    size_t read = 0;
    size_t written = 0;
    if (libdeflateAgrees(stream, image.idatBytes)
            ? libdeflate_zlib_decompress_ex(scratch->decompressor, stream, image.idatBytes, rows,
                                            filtered, &read, &written) != LIBDEFLATE_SUCCESS ||
                  read != image.idatBytes || written != filtered
            : !zlibInflate(stream, image.idatBytes, rows, filtered))
        return false;
    const size_t bpp = std::max<size_t>(1, size_t(image.channels * image.depth / 8));
    if (!unfilter(rows, image.rowBytes, image.height, bpp, scratch->zeros) ||
        !indicesInRange(image, rows))
        return false;

    QRgb table[256] = {};
    if (image.colour == Grey || image.colour == Palette)
        colourTable(image, table);
    for (uint32_t y = 0; y < image.height; ++y) {
        convertRow(image, table, rows + size_t(y) * (image.rowBytes + 1) + 1,
                   reinterpret_cast<QRgb *>(target + qsizetype(y) * bytesPerLine));
    }
    return true;
}

} // namespace

bool decode(const uint8_t *bytes, size_t length, const QSize &size, uint8_t *target,
            qsizetype bytesPerLine, Scratch *scratch)
{
    // No memory for the buffers is one more case for Qt's reader; they are
    // all taken before anything is written to `target`.
    try {
        return decodeImage(bytes, length, size, target, bytesPerLine, scratch);
    } catch (const std::bad_alloc &) {
        return false;
    }
}

} // namespace PngDecode
