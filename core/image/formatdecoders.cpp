#include "core/image/formatdecoders.h"

#include <QRgb>
#include <QSysInfo>

#include <gif_lib.h>
#include <turbojpeg.h>

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

// Qt's reader takes the four channels of a CMYK JPEG as Adobe writes them,
// inverted, and multiplies each of C, M and Y by K.
void cmykRowToArgb(const uchar *in, QRgb *out, int width)
{
    for (int x = 0; x < width; ++x, in += 4) {
        const int k = in[3];
        out[x] = qRgb(k * in[0] / 255, k * in[1] / 255, k * in[2] / 255);
    }
}

struct GifBytes
{
    const QByteArray *data;
    int pos = 0;
};

int readGifBytes(GifFileType *gif, GifByteType *buffer, int length)
{
    auto *source = static_cast<GifBytes *>(gif->UserData);
    const int count = qMax(0, qMin(length, int(source->data->size()) - source->pos));
    std::memcpy(buffer, source->data->constData() + source->pos, size_t(count));
    source->pos += count;
    return count;
}

} // namespace

QSize jpegSize(const QByteArray &data)
{
    TurboJpeg tj;
    int width = 0, height = 0, subsampling = 0, colourSpace = 0;
    if (!tj.handle ||
        tjDecompressHeader3(tj.handle, reinterpret_cast<const uchar *>(data.constData()),
                            ulong(data.size()), &width, &height, &subsampling, &colourSpace) != 0)
        return QSize();
    return QSize(width, height);
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
    int width = 0, height = 0, subsampling = 0, colourSpace = 0;
    if (tjDecompressHeader3(tj.handle, bytes, ulong(data.size()), &width, &height, &subsampling,
                            &colourSpace) != 0) {
        *reason = tj.error();
        return false;
    }
    if (QSize(width, height) != size) {
        *reason = QStringLiteral("its header now gives %1 x %2 pixels").arg(width).arg(height);
        return false;
    }
    // A warning (data cut short, a corrupt marker) stops the decode: libjpeg
    // would fill what it could not read.
    const int flags = TJFLAG_STOPONWARNING;
    if (colourSpace == TJCS_CMYK || colourSpace == TJCS_YCCK) {
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

bool gifFirstFrameComplete(const QByteArray &data, QString *reason)
{
    GifBytes source{&data};
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
        if (DGifGetImageDesc(gif) == GIF_ERROR)
            return failedWith("the frame's header ends early");
        // Reading every row, the last one included, reads the frame's data
        // to its end marker.
        const int width = gif->Image.Width;
        std::vector<GifPixelType> row(size_t(qMax(1, width)));
        for (int y = 0; y < gif->Image.Height; ++y) {
            if (DGifGetLine(gif, row.data(), width) == GIF_ERROR)
                return failedWith("the image data ends early");
        }
        return true;
    }
}

} // namespace Compose
