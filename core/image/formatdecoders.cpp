#include "core/image/formatdecoders.h"

#include "core/image/imageprobe.h"

#include <QRgb>
#include <QSysInfo>
#include <QtEndian>

#include <gif_lib.h>
#include <libdeflate.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace Compose {

namespace {

struct TurboJpeg
{
    TurboJpeg() : handle(tjInitDecompress()) {}
    ~TurboJpeg()
    {
        if (handle)
            tjDestroy(handle);
    }
    QString error() const { return QString::fromLocal8Bit(tjGetErrorStr2(handle)); }
    tjhandle handle;
};

// A progressive JPEG passes over the whole image once per scan: one of a
// few hundred KiB with hundreds of scans would decode for minutes. Encoders
// write about ten; libjpeg-turbo's own limit is 500, but it refuses only
// after decoding that many.
constexpr int maxScans = 500;

// Every scan starts with an SOS marker (FF DA), and coded data stuffs each
// FF byte as FF 00, so the count is at least the number of scans; bytes of
// other segments that happen to read FF DA only add to it.
int scanMarkers(const QByteArray &data)
{
    int count = 0;
    const char *at = data.constData();
    const char *const end = at + data.size();
    while (count <= maxScans && end - at >= 2) {
        at = static_cast<const char *>(std::memchr(at, 0xff, size_t(end - at - 1)));
        if (!at)
            break;
        count += uchar(at[1]) == 0xda;
        ++at;
    }
    return count;
}

// Qt's reader takes the four channels of a CMYK JPEG as Adobe writes them,
// inverted, and multiplies each of C, M and Y by K.
void cmykRowToArgb(const uchar *in, QRgb *out, int width)
{
    for (int x = 0; x < width; ++x, in += 4) {
        const int k = in[3];
        out[x] = qRgb(k * in[0] / 255, k * in[1] / 255, k * in[2] / 255);
    }
}

// The size and number of components in a JPEG's frame header, read from its
// markers. TurboJPEG's header call also wants a subsampling it has a name
// for, and refuses sampling factors that libjpeg, and so Qt's reader,
// decodes (luma sampled 3 x 1, chroma sampled finer than luma, K sampled
// apart from luma); its decode takes them. False when no frame header comes
// before the first scan.
bool jpegFrame(const QByteArray &data, QSize *size, int *components)
{
    const auto *p = reinterpret_cast<const uchar *>(data.constData());
    const qsizetype end = data.size();
    if (end < 2 || p[0] != 0xff || p[1] != 0xd8)
        return false;
    for (qsizetype pos = 2;;) {
        if (pos >= end || p[pos] != 0xff)
            return false;
        while (pos < end && p[pos] == 0xff) // fill bytes before the marker's code
            ++pos;
        if (pos >= end)
            return false;
        const uchar code = p[pos++];
        if (code == 0x01 || (code >= 0xd0 && code <= 0xd8))
            continue; // a marker without a segment
        if (code == 0xd9 || code == 0xda || end - pos < 2)
            return false;
        const int length = p[pos] << 8 | p[pos + 1];
        if (length < 2 || end - pos < length)
            return false;
        // SOF0 to SOF15, less DHT, JPG and DAC, which share the range.
        if (code >= 0xc0 && code <= 0xcf && code != 0xc4 && code != 0xc8 && code != 0xcc) {
            if (length < 8)
                return false;
            *size = QSize(p[pos + 5] << 8 | p[pos + 6], p[pos + 3] << 8 | p[pos + 4]);
            *components = p[pos + 7];
            return true;
        }
        pos += length;
    }
}

// The size of a JPEG and whether it holds four channels (CMYK or YCCK).
bool jpegHeader(TurboJpeg &tj, const QByteArray &data, QSize *size, bool *fourChannels)
{
    int width = 0, height = 0, subsampling = 0, colourSpace = 0;
    if (tjDecompressHeader3(tj.handle, reinterpret_cast<const uchar *>(data.constData()),
                            ulong(data.size()), &width, &height, &subsampling, &colourSpace) == 0) {
        *size = QSize(width, height);
        *fourChannels = colourSpace == TJCS_CMYK || colourSpace == TJCS_YCCK;
        return true;
    }
    // libjpeg takes four components for CMYK or YCCK, whatever else the
    // file says; the decode reports any other fault.
    int components = 0;
    if (!jpegFrame(data, size, &components))
        return false;
    *fourChannels = components == 4;
    return true;
}

// A GIF read from its file as giflib asks for it. Past the file's end, when
// `pad` is set, as many bytes as asked for, counted in `padded`: `pad`, then
// zeros, which end any run of data blocks, so that every read ends.
struct GifSource
{
    QIODevice *file;
    int pad = -1;
    qint64 padded = 0;
};

int readGifBytes(GifFileType *gif, GifByteType *buffer, int length)
{
    auto *source = static_cast<GifSource *>(gif->UserData);
    qint64 count =
        std::max<qint64>(0, source->file->read(reinterpret_cast<char *>(buffer), length));
    if (count < length && source->pad >= 0) {
        for (; count < length; ++count)
            buffer[count] = source->padded++ < 1024 ? GifByteType(source->pad) : 0;
    }
    return int(count);
}

} // namespace

QSize jpegSize(const QByteArray &data)
{
    TurboJpeg tj;
    QSize size;
    bool fourChannels = false;
    if (!tj.handle || !jpegHeader(tj, data, &size, &fourChannels))
        return QSize();
    return size;
}

namespace {

// libjpeg's coefficient buffer for a frame header's body (from the sample
// precision on): 64 coefficients of 2 bytes for every block of each
// component, its rows and columns of blocks rounded up to whole MCUs.
qint64 coefficientBytes(const QByteArray &frame)
{
    if (frame.size() < 6)
        return 0;
    const auto *p = reinterpret_cast<const uchar *>(frame.constData());
    const qint64 height = p[1] << 8 | p[2], width = p[3] << 8 | p[4];
    const int components = std::min<int>(p[5], int(frame.size() - 6) / 3);
    int maxH = 1, maxV = 1;
    for (int i = 0; i < components; ++i) {
        maxH = std::max(maxH, std::clamp(p[7 + 3 * i] >> 4, 1, 4));
        maxV = std::max(maxV, std::clamp(p[7 + 3 * i] & 15, 1, 4));
    }
    const qint64 columns = (width + 8 * maxH - 1) / (8 * maxH);
    const qint64 rows = (height + 8 * maxV - 1) / (8 * maxV);
    qint64 blocks = 0;
    for (int i = 0; i < components; ++i)
        blocks += columns * std::clamp(p[7 + 3 * i] >> 4, 1, 4) * rows *
                  std::clamp(p[7 + 3 * i] & 15, 1, 4);
    return blocks * 64 * 2;
}

} // namespace

qint64 jpegDataLength(QIODevice &file, qint64 *wholeImageBytes)
{
    if (wholeImageBytes)
        *wholeImageBytes = 0;
    // Where no scan header is found either, as much as any header needs.
    const qint64 headerBytes = std::min<qint64>(file.size(), qint64(1) << 20);
    file.seek(0);
    ByteStream in(file);
    if (in.get() != 0xff || in.get() != 0xd8)
        return headerBytes;
    qint64 firstScan = -1; // the end of the first scan's header
    QByteArray frame;      // the frame header's body
    bool progressive = false;
    for (;;) {
        // Up to the next marker, as libjpeg looks for one between segments
        // and in coded data: an FF, any number of fill FFs, and a code other
        // than 0, which makes the FF a data byte.
        int code = in.get();
        while (code >= 0 && code != 0xff)
            code = in.get();
        while (code == 0xff)
            code = in.get();
        if (code < 0)
            break;
        if (code == 0x00 || code == 0x01 || (code >= 0xd0 && code <= 0xd8))
            continue; // data, or a marker without a segment
        if (code == 0xd9)
            return in.offset();
        const int high = in.get();
        const int low = in.get();
        if (low < 0)
            break;
        // libjpeg skips a segment by its length, and reads past one of less
        // than 2 as if it had none.
        int length = std::max(0, (high << 8 | low) - 2);
        // SOF0 to SOF15, less DHT, JPG and DAC, which share the range. The
        // first frame header gives the components, the first scan's header
        // whether the scans take them all at once.
        const bool isFrame =
            code >= 0xc0 && code <= 0xcf && code != 0xc4 && code != 0xc8 && code != 0xcc;
        if (wholeImageBytes && firstScan < 0 && (isFrame ? frame.isEmpty() : code == 0xda)) {
            QByteArray body;
            for (int c; length > 0 && body.size() < 6 + 3 * 255 && (c = in.get()) >= 0; --length)
                body.append(char(c));
            if (isFrame) {
                frame = body;
                progressive = (code & 3) == 2; // SOF2, SOF6, SOF10 and SOF14
            } else if (frame.size() >= 6 && !body.isEmpty() &&
                       (progressive || uchar(body[0]) < uchar(frame[5]))) {
                *wholeImageBytes = coefficientBytes(frame);
            }
        }
        in.skip(length);
        if (code == 0xda && firstScan < 0)
            firstScan = std::min(in.offset(), file.size());
    }
    return firstScan >= 0 ? firstScan : headerBytes;
}

bool decodeJpeg(const QByteArray &data, const QSize &size, uchar *target, qsizetype bytesPerLine,
                const SideBuffer &sideBuffer, QString *reason)
{
    TurboJpeg tj;
    if (!tj.handle) {
        *reason = QStringLiteral("the JPEG decoder cannot start");
        return false;
    }
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    QSize header;
    bool fourChannels = false;
    if (!jpegHeader(tj, data, &header, &fourChannels)) {
        *reason = tj.error();
        return false;
    }
    if (header != size) {
        *reason = QStringLiteral("its header now gives %1 x %2 pixels")
                      .arg(header.width())
                      .arg(header.height());
        return false;
    }
    const int width = size.width(), height = size.height();
    if (scanMarkers(data) > maxScans) {
        *reason = QStringLiteral("more than %1 scans").arg(maxScans);
        return false;
    }
    // A warning (data cut short, a corrupt marker) stops the decode: libjpeg
    // would fill what it could not read.
    const int flags = TJFLAG_STOPONWARNING;
    if (fourChannels) {
        const qint64 rowBytes = qint64(width) * 4;
        uchar *cmyk = sideBuffer(rowBytes * height);
        if (!cmyk) {
            *reason = QStringLiteral("not enough memory to decode it");
            return false;
        }
        if (tjDecompress2(tj.handle, bytes, ulong(data.size()), cmyk, width, int(rowBytes), height,
                          TJPF_CMYK, flags) != 0) {
            *reason = tj.error();
            return false;
        }
        for (int y = 0; y < height; ++y)
            cmykRowToArgb(cmyk + y * rowBytes, reinterpret_cast<QRgb *>(target + y * bytesPerLine),
                          width);
        return true;
    }
    // 8-bit ARGB in memory order: B, G, R, A on a little-endian machine.
    const int pixelFormat = QSysInfo::ByteOrder == QSysInfo::LittleEndian ? TJPF_BGRA : TJPF_ARGB;
    if (tjDecompress2(tj.handle, bytes, ulong(data.size()), target, width, int(bytesPerLine),
                      height, pixelFormat, flags) != 0) {
        *reason = tj.error();
        return false;
    }
    return true;
}

namespace {

// Reads the first frame's pixels; with `pad` set, only those the file holds
// count, and `last` gets the frame's last pixel.
bool gifFirstFrameReads(QIODevice &file, int pad, QString *reason, GifPixelType *last = nullptr)
{
    file.seek(0);
    GifSource source{&file, pad};
    int error = 0;
    GifFileType *gif = DGifOpen(&source, readGifBytes, &error);
    if (!gif) {
        *reason = QString::fromLatin1(GifErrorString(error));
        return false;
    }
    const std::unique_ptr<GifFileType, void (*)(GifFileType *)> closer(
        gif, [](GifFileType *g) { DGifCloseFile(g, nullptr); });
    const auto failedWith = [&](const char *fallback) {
        const char *text = GifErrorString(gif->Error);
        *reason = QString::fromLatin1(text ? text : fallback);
        return false;
    };
    for (;;) {
        GifRecordType record = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &record) == GIF_ERROR)
            return failedWith("the data ends early");
        if (record == TERMINATE_RECORD_TYPE) {
            *reason = QStringLiteral("it holds no image");
            return false;
        }
        if (record == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType *block = nullptr;
            if (DGifGetExtension(gif, &code, &block) == GIF_ERROR)
                return failedWith("an extension ends early");
            while (block) {
                if (DGifGetExtensionNext(gif, &block) == GIF_ERROR)
                    return failedWith("an extension ends early");
            }
            continue;
        }
        if (record != IMAGE_DESC_RECORD_TYPE)
            continue;
        if (DGifGetImageDesc(gif) == GIF_ERROR || source.padded > 0)
            return failedWith("the frame's header ends early");
        // Every pixel but the last; giflib reads the frame's data to its end
        // marker with the last one, which may be what the file lacks.
        const int width = gif->Image.Width;
        const qint64 pixels = qint64(width) * gif->Image.Height;
        std::vector<GifPixelType> row(size_t(qMax(1, width)));
        for (qint64 left = pixels - 1; left > 0; left -= width) {
            if (DGifGetLine(gif, row.data(), int(std::min<qint64>(left, width))) == GIF_ERROR)
                return failedWith("the image data ends early");
        }
        if (source.padded > 0) {
            *reason = QStringLiteral("the image data ends early");
            return false;
        }
        GifPixelType pixel = 0;
        if (pixels > 0 && DGifGetLine(gif, &pixel, 1) == GIF_ERROR)
            return failedWith("the image data ends early");
        if (last)
            *last = pixel;
        return true;
    }
}

} // namespace

bool gifFirstFrameComplete(QIODevice &file, QString *reason)
{
    if (gifFirstFrameReads(file, -1, reason))
        return true;
    // Qt's reader shows a frame whose pixels are all there, whatever follows
    // them: a missing block terminator, trailer or end code. Bytes stand in
    // for what the file lacks; the last pixel counts as there only if it is
    // the same whichever bytes stand in.
    QString ignored;
    GifPixelType zeros = 0, ones = 0;
    return gifFirstFrameReads(file, 0x00, &ignored, &zeros) &&
           gifFirstFrameReads(file, 0xff, &ignored, &ones) && zeros == ones;
}

bool bmpPixelDataPresent(const QByteArray &head, qint64 fileSize)
{
    if (head.size() < 34 || !head.startsWith("BM"))
        return true;
    const auto i16 = [&](int i) { return qint64(qFromLittleEndian<qint16>(head.constData() + i)); };
    const auto i32 = [&](int i) { return qint64(qFromLittleEndian<qint32>(head.constData() + i)); };
    const qint64 offset = qFromLittleEndian<quint32>(head.constData() + 10);
    const qint64 infoSize = qFromLittleEndian<quint32>(head.constData() + 14);
    qint64 width = 0, height = 0, depth = 0, compression = 0;
    // A negative height: rows stored top down.
    if (infoSize == 12) { // OS/2 core header: 16-bit sides, never compressed
        width = i16(18);
        height = std::abs(i16(20));
        depth = i16(24);
    } else if (infoSize >= 40) {
        width = i32(18);
        height = std::abs(i32(22));
        depth = i16(28);
        compression = qFromLittleEndian<quint32>(head.constData() + 30);
    } else {
        return true;
    }
    // BI_RGB and BI_BITFIELDS: rows of a fixed size, each padded to 4 bytes.
    // Sides past the reader's limits are its to refuse.
    constexpr qint64 largestSide = 1 << 20;
    if ((compression != 0 && compression != 3) || width <= 0 || height <= 0 || depth <= 0 ||
        depth > 32 || width > largestSide || height > largestSide)
        return true;
    // The reader takes a 1- or 8-bit image's last row without its padding,
    // and of any other only a whole row.
    const qint64 stride = (width * depth + 31) / 32 * 4;
    const qint64 lastRow = depth == 1 || depth == 8 ? (width * depth + 7) / 8 : stride;
    return fileSize >= offset + stride * (height - 1) + lastRow;
}

bool bmpChannelsTooWide(QIODevice &file)
{
    file.seek(0);
    const QByteArray head = file.read(70);
    if (head.size() < 70 || !head.startsWith("BM"))
        return false;
    const auto u32 = [&](int i) { return qFromLittleEndian<quint32>(head.constData() + i); };
    const quint32 infoSize = u32(14);
    const int depth = qFromLittleEndian<quint16>(head.constData() + 28);
    // The reader takes bit fields from these headers only; the alpha
    // field only from a version 4 or 5 one.
    if ((infoSize != 40 && infoSize < 108) || u32(30) != 3 || (depth != 16 && depth != 32))
        return false;
    for (int at = 54; at < (infoSize >= 108 ? 70 : 66); at += 4) {
        quint32 mask = u32(at);
        while (mask != 0 && (mask & 1) == 0)
            mask >>= 1;
        if (mask > 0xff)
            return true;
    }
    return false;
}

int bmpRunLength(const QByteArray &head)
{
    if (head.size() < 34 || !head.startsWith("BM") ||
        qFromLittleEndian<quint32>(head.constData() + 14) < 40)
        return 0;
    const quint32 compression = qFromLittleEndian<quint32>(head.constData() + 30);
    return compression == 1 ? 8 : compression == 2 ? 4 : 0;
}

bool bmpRunsComplete(QIODevice &file)
{
    file.seek(0);
    const QByteArray head = file.read(34);
    const int bits = bmpRunLength(head);
    if (bits == 0)
        return true;
    file.seek(qFromLittleEndian<quint32>(head.constData() + 10));
    ByteStream in(file);
    // Read as Qt's reader reads it: pairs of a count and a colour, or of 0
    // and an escape (0 end of line, 1 end of image, 2 a jump of two bytes,
    // more: that many pixels, padded to two bytes).
    for (int count = in.get(); count >= 0; count = in.get()) {
        if (count != 0) {
            if (in.get() < 0)
                return false; // a run without its colour
            continue;
        }
        const int escape = in.get();
        if (escape < 0 || escape == 1)
            return true; // the reader takes the file's end as the image's
        if (escape == 2) {
            in.skip(2);
        } else if (escape > 2) {
            const int bytes = bits == 8 ? escape : (escape + 1) / 2;
            in.skip(bytes + (bytes & 1));
        }
    }
    return true;
}

bool pnmSamplesWithinMaxval(QIODevice &file)
{
    file.seek(0);
    ByteStream in(file);
    const int kind = in.get() == 'P' ? in.get() - '0' : 0;
    if (kind != 2 && kind != 3 && kind != 5 && kind != 6)
        return true;
    const bool ascii = kind <= 3;
    // A number after whitespace and comments, which the reader skips in an
    // ASCII image's samples too; -1 for none.
    int c = in.get();
    const auto number = [&]() -> qint64 {
        while (c >= 0 && (std::isspace(c) || c == '#')) {
            if (c == '#') {
                while (c >= 0 && c != '\n' && c != '\r')
                    c = in.get();
            } else {
                c = in.get();
            }
        }
        if (c < '0' || c > '9')
            return -1;
        qint64 value = 0;
        for (; c >= '0' && c <= '9' && value <= 65535; c = in.get())
            value = value * 10 + (c - '0');
        return value;
    };
    const qint64 width = number(), height = number(), maxval = number();
    // A binary sample of 8 bits is never above 255, nor one of 16 above 65535.
    if (width <= 0 || height <= 0 || maxval <= 0 || maxval > 65535 || maxval == 65535 ||
        (!ascii && maxval == 255))
        return true;
    const qint64 samples = width * height * (kind == 3 || kind == 6 ? 3 : 1);
    for (qint64 i = 0; i < samples; ++i) {
        qint64 sample;
        if (ascii) {
            sample = number();
        } else {
            sample = in.get();
            if (maxval > 255 && sample >= 0) {
                const int low = in.get();
                sample = low < 0 ? -1 : sample << 8 | low;
            }
        }
        if (sample < 0)
            return true; // the reader decides on data cut short or not a number
        if (sample > maxval)
            return false;
    }
    return true;
}

namespace {

// Reads, from the start of `file`, the lines that Qt's XBM reader takes as
// its header, in its pieces of at most `size` - 1 bytes: those up to one
// starting with '#' (the width's), then the height's. False when the file
// ends first.
bool skipXbmHeader(QIODevice &file, char *buffer, qint64 size)
{
    file.seek(0);
    qint64 length = 0;
    do
        length = file.readLine(buffer, size);
    while (length > 0 && buffer[0] != '#');
    return length > 0 && file.readLine(buffer, size) > 0;
}

} // namespace

bool xbmDataComplete(QIODevice &file, const QSize &size)
{
    // The reader takes each "0x" and the two hex digits after it as a byte,
    // reading lines in pieces of at most 299 bytes: a byte cut by the end of
    // a piece is lost.
    constexpr int pieceBytes = 299;
    const auto hex = [](char c) { return std::isxdigit(uchar(c)) != 0; };
    const qint64 needed = qint64((size.width() + 7) / 8) * size.height();
    qint64 found = 0;
    char buffer[pieceBytes + 1];
    // Its bytes come after the header: a "0x" in a name there is not one.
    if (!skipXbmHeader(file, buffer, sizeof buffer))
        file.seek(0); // the reader refuses the file
    while (found < needed) {
        // At most pieceBytes, up to and with a newline, as the reader reads.
        const qint64 length = file.readLine(buffer, sizeof buffer);
        if (length <= 0)
            break;
        // It looks for "0x" as a C string: a NUL byte ends the piece.
        const QByteArray piece =
            QByteArray::fromRawData(buffer, int(qstrnlen(buffer, uint(length))));
        for (auto at = piece.indexOf("0x"); at >= 0 && at + 3 < piece.size() && found < needed;
             at = piece.indexOf("0x", at + 2)) {
            if (hex(piece.at(at + 2)) && hex(piece.at(at + 3)))
                ++found;
        }
    }
    return found >= needed;
}

bool xbmDataBeforeArray(QIODevice &file)
{
    // The reader reads lines in pieces of at most 299 bytes: those up to one
    // starting with '#', the width's, then the height's; it takes its bytes
    // from the "0x" that come after them.
    constexpr int pieceBytes = 299;
    char buffer[pieceBytes + 1];
    if (!skipXbmHeader(file, buffer, sizeof buffer))
        return false;
    qint64 length = 0;
    bool byteFirst = false;
    while ((length = file.readLine(buffer, sizeof buffer)) > 0) {
        const QByteArray piece = QByteArray::fromRawData(buffer, int(length));
        const auto brace = piece.indexOf('{');
        if (byteFirst && brace >= 0)
            return true;
        for (auto at = piece.indexOf("0x");
             !byteFirst && at >= 0 && at + 3 < piece.size() && (brace < 0 || at < brace);
             at = piece.indexOf("0x", at + 2)) {
            byteFirst =
                std::isxdigit(uchar(piece.at(at + 2))) && std::isxdigit(uchar(piece.at(at + 3)));
        }
        if (brace >= 0)
            return byteFirst;
    }
    return false; // no array: the bytes are all the file holds
}

bool xpmRowsComplete(QIODevice &file)
{
    file.seek(0);
    ByteStream in(file);
    // The reader takes the text between each double quote and the next one
    // as a string, whatever is around it: the header, then one for each
    // colour, then one for each row. The length of the next one, and up to
    // `keep` of its bytes in `text`; -1 when the file ends first.
    const auto nextString = [&](QByteArray *text, int keep) -> qint64 {
        int c;
        do
            c = in.get();
        while (c >= 0 && c != '"');
        if (c < 0)
            return -1;
        qint64 length = 0;
        for (c = in.get(); c >= 0 && c != '"'; c = in.get(), ++length) {
            if (text && length < keep)
                text->append(char(c));
        }
        return c < 0 ? -1 : length;
    };
    // A header string longer than any real one is left to the reader.
    constexpr int headerBytes = 4096;
    QByteArray header;
    const qint64 headerLength = nextString(&header, headerBytes);
    int width = 0, height = 0, colours = 0, charsPerPixel = 0;
    if (headerLength < 0 || headerLength > headerBytes ||
        std::sscanf(header.constData(), "%d %d %d %d", &width, &height, &colours, &charsPerPixel) <
            4 ||
        width <= 0 || height <= 0 || colours <= 0 || charsPerPixel <= 0 || charsPerPixel > 15)
        return true;
    for (int i = 0; i < colours; ++i) {
        if (nextString(nullptr, 0) < 0)
            return false;
    }
    const qint64 rowLength = qint64(width) * charsPerPixel;
    for (int y = 0; y < height; ++y) {
        if (nextString(nullptr, 0) < rowLength)
            return false;
    }
    return true;
}

bool decodeIconBitmap(QIODevice &file, const QSize &size, uchar *target, qsizetype bytesPerLine)
{
    const auto bytesAt = [&](qint64 offset, qint64 count) {
        return file.seek(offset) ? file.read(count) : QByteArray();
    };
    const auto u16 = [](const QByteArray &b, int at) {
        return qFromLittleEndian<quint16>(b.constData() + at);
    };
    const auto u32 = [](const QByteArray &b, int at) {
        return qFromLittleEndian<quint32>(b.constData() + at);
    };
    const QByteArray directory = bytesAt(0, 6 + 16);
    if (directory.size() < 22 || u16(directory, 0) != 0 ||
        (u16(directory, 2) != 1 && u16(directory, 2) != 2) || u16(directory, 4) == 0)
        return false;
    const quint32 offset = u32(directory, 18);
    // The bitmap's info header, 40 bytes whatever size it gives, and then
    // the rows, bottom row first, as Qt's reader takes them.
    const QByteArray header = bytesAt(offset, 40);
    if (header.size() < 40 || header.startsWith("\x89PNG"))
        return false;
    const int bits = u16(header, 14) ? u16(header, 14) : u16(directory, 6 + 6);
    const int width = uchar(directory[6]) ? uchar(directory[6]) : int(u32(header, 4));
    const int height = uchar(directory[7]) ? uchar(directory[7]) : int(u32(header, 8)) / 2;
    // A 24-bit one with a larger header is left to Qt's reader, as it was.
    if ((bits != 32 && (bits != 24 || u32(header, 0) != 40)) || QSize(width, height) != size ||
        width > 256 || height > 256)
        return false;
    const int channels = bits / 8;
    const qint64 rowBytes = (qint64(width) * channels + 3) / 4 * 4;
    // A 24-bit image is opaque but where its AND mask, which follows the
    // rows, has a bit set: there it is transparent, its colour kept as the
    // file stores it. Qt's reader drops that mask. A 32-bit one has its
    // alpha channel, and its mask is left aside as Qt's reader does.
    const qint64 maskBytes = bits == 24 ? (qint64(width) + 31) / 32 * 4 : 0;
    const QByteArray rows = bytesAt(qint64(offset) + 40, (rowBytes + maskBytes) * height);
    if (rows.size() != (rowBytes + maskBytes) * height)
        return false;
    const auto *pixels = reinterpret_cast<const uchar *>(rows.constData());
    const uchar *mask = pixels + rowBytes * height;
    for (int y = 0; y < height; ++y) {
        const uchar *in = pixels + (height - 1 - y) * rowBytes;
        const uchar *maskRow = mask + (height - 1 - y) * maskBytes;
        auto *out = reinterpret_cast<QRgb *>(target + y * bytesPerLine);
        for (int x = 0; x < width; ++x, in += channels) {
            if (bits == 32)
                out[x] = qRgba(in[2], in[1], in[0], in[3]);
            else
                out[x] = qRgba(in[2], in[1], in[0], maskRow[x / 8] & (0x80 >> (x % 8)) ? 0 : 255);
        }
    }
    return true;
}

QString pngColourKeyRefusal(QIODevice &file)
{
    const qint64 start = file.pos();
    const auto readAt = [&](qint64 at, qint64 count) {
        return file.seek(at) ? file.read(count) : QByteArray();
    };
    const QByteArray header = readAt(0, 26);
    const int depth = header.size() == 26 ? uchar(header[24]) : 0;
    QString refusal;
    bool keyed = false;
    if (header.startsWith("\x89PNG\r\n\x1a\n") && header.mid(12, 4) == "IHDR" &&
        (depth == 8 || depth == 16) && uchar(header[25]) == 2) {
        for (qint64 at = 33;;) {
            const QByteArray chunk = readAt(at, 8);
            if (chunk.size() < 8 || chunk.endsWith("IDAT") || chunk.endsWith("IEND"))
                break;
            const quint32 length = qFromBigEndian<quint32>(chunk.constData());
            // libpng drops a tRNS of another length or with a bad CRC, and
            // Qt's reader then decodes the image right.
            if (chunk.endsWith("tRNS") && length == 6) {
                const QByteArray body = readAt(at + 4, 14);
                keyed = keyed ||
                        (body.size() == 14 && libdeflate_crc32(0, body.constData(), 10) ==
                                                  qFromBigEndian<quint32>(body.constData() + 10));
                if (keyed && depth == 16) {
                    refusal = QStringLiteral("a 16-bit RGB image with a transparent colour, "
                                             "which is not supported");
                    break;
                }
            }
            // A palette libpng takes, after the key: libpng then stops using
            // the key but still reports it, and Qt's reader lays out the rows
            // for an alpha channel that never comes.
            if (chunk.endsWith("PLTE") && keyed && length > 0 && length <= 768 && length % 3 == 0) {
                refusal = QStringLiteral("an RGB image whose transparent colour (tRNS) comes "
                                         "before its palette (PLTE), which is not supported");
                break;
            }
            at += 12 + qint64(length);
        }
    }
    file.seek(start);
    return refusal;
}

} // namespace Compose
