#include "core/image/imageprobe.h"

#include "core/image/memorybudget.h"
#include "core/inputs.h"
#include "core/largebuffers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QtEndian>

#include <libdeflate.h>
#include <xxhash.h>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

namespace Compose {

Failure failed(const QString &path, ImageStatus status, const QString &reason)
{
    return Failure{path, status, reason};
}

// The type is checked before opening, so a FIFO or a device is never
// opened, and again on the open descriptor, in case the file was swapped in
// between.
bool RegularFile::open(const QString &path, Failure *failure)
{
    m_path = path;
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
    m_fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        *failure = failed(path, ImageStatus::NotImage, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (::fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *failure = failed(path, ImageStatus::NotRegular, QStringLiteral("not a regular file"));
        return false;
    }
    m_size = qint64(info.st_size);
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
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly)) {
        *failure = failed(path, ImageStatus::NotImage, m_file.errorString());
        return false;
    }
    m_size = m_file.size();
    return true;
#endif
}

RegularFile::~RegularFile()
{
#ifdef Q_OS_UNIX
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

qint64 RegularFile::readAt(qint64 offset, char *data, qint64 count)
{
#ifdef Q_OS_UNIX
    qint64 done = 0;
    while (done < count) {
        const ssize_t n = ::pread(m_fd, data + done, size_t(count - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += n;
        // Short of what was asked at the size the open found: the end, as a
        // further read would only confirm.
        if (done < count && offset + done >= m_size)
            break;
    }
    return done;
#else
    return m_file.seek(offset) ? m_file.read(data, count) : -1;
#endif
}

bool RegularFile::moveTo(QFile &file, Failure *failure)
{
#ifdef Q_OS_UNIX
    if (!file.open(m_fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *failure = failed(m_path, ImageStatus::NotImage, file.errorString());
        return false;
    }
    m_fd = -1; // the QFile closes it
    return true;
#else
    m_file.close();
    file.setFileName(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        *failure = failed(m_path, ImageStatus::NotImage, file.errorString());
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

void ByteStream::skip(qint64 count)
{
    const qint64 target = offset() + count;
    if (count <= m_end - m_at) {
        m_at += count;
        return;
    }
    m_base = target;
    m_at = m_end = 0;
    m_device.seek(target);
}

bool ByteStream::refill()
{
    m_base += m_end;
    m_at = 0;
    m_end = std::max<qint64>(0, m_device.read(m_buffer, sizeof m_buffer));
    return m_end > 0;
}

// The canvas a GIF decodes to, as Qt's reader makes it: the logical screen,
// where a side of it is 0 the first frame's extent on that side. Frames past
// the screen's edge are cut there, not grown into.
QSize gifCanvas(QIODevice &file, QSize *firstFrame)
{
    QSize frame; // the first one's size
    file.seek(0);
    ByteStream in(file);
    const auto word = [&] {
        const int low = std::max(0, in.get());
        return low | std::max(0, in.get()) << 8;
    };
    const auto skipSubBlocks = [&] {
        for (int size = in.get(); size > 0; size = in.get())
            in.skip(size);
    };
    in.skip(6);
    const int screenWidth = word();
    QSize canvas(screenWidth, word()); // the logical screen
    const int screenFlags = std::max(0, in.get());
    in.skip(2);
    if (screenFlags & 0x80)
        in.skip(3 << ((screenFlags & 7) + 1));
    // Until a frame gives both sides: a frame of width 0 leaves the next
    // one to set it.
    while (canvas.isEmpty() || (firstFrame && !frame.isValid())) {
        const int introducer = in.get();
        if (introducer == 0x21) {
            in.skip(1);
            skipSubBlocks();
        } else if (introducer == 0x2c) {
            const int left = word(), top = word(), width = word(), height = word();
            if (!frame.isValid())
                frame = QSize(width, height);
            if (canvas.width() <= 0)
                canvas.setWidth(left + width);
            if (canvas.height() <= 0)
                canvas.setHeight(top + height);
            if (!canvas.isEmpty())
                break; // the frame's data tells no more
            const int flags = std::max(0, in.get());
            if (flags & 0x80)
                in.skip(3 << ((flags & 7) + 1));
            in.skip(1);
            skipSubBlocks();
        } else {
            break;
        }
    }
    if (firstFrame)
        *firstFrame = frame;
    return canvas;
}

namespace {

// The memory the probes' decodes hold at once, on every core, within the
// limit of the decodes into the sheet.
class ProbeDecodeHold
{
public:
    ProbeDecodeHold(qint64 bytes, qint64 limit) : m_bytes(bytes) { budget().acquire(bytes, limit); }
    ~ProbeDecodeHold() { budget().release(m_bytes); }
    ProbeDecodeHold(const ProbeDecodeHold &) = delete;
    ProbeDecodeHold &operator=(const ProbeDecodeHold &) = delete;

private:
    static MemoryBudget &budget()
    {
        static MemoryBudget memory;
        return memory;
    }
    const qint64 m_bytes;
};

// A GIF decodes onto a canvas that may be larger than the size its reader
// reports; the canvas is what must stay within the limits.
bool gifCanvasWithinLimits(const QString &path, QFile &file, const Limits &limits, Failure *failure,
                           QSize *canvasOut)
{
    const qint64 pos = file.pos();
    QSize frame;
    const QSize canvas = gifCanvas(file, &frame);
    *canvasOut = canvas;
    file.seek(pos);
    // Every pixel of the first frame is decoded, also those cut at the
    // screen's edge: a small file can hold billions, which would take
    // minutes to decode onto a tiny screen.
    if (frame.isValid() && qint64(frame.width()) * frame.height() > limits.maxPixels) {
        *failure = failed(path, ImageStatus::TooLarge,
                          QStringLiteral("a GIF whose first frame is %1, beyond the limit of %2 "
                                         "pixels")
                              .arg(sizeText(frame))
                              .arg(limits.maxPixels));
        return false;
    }
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

// Deflate expands data at most about 1032 times, so a PNG cannot hold more
// raw pixel data than that many times its own size. A header that claims
// more is refused before a decoder allocates for it.
constexpr qint64 deflateMaxRatio = 1032;

// The size an IHDR claims; invalid when `head` does not start a PNG.
QSize pngHeaderSize(const QByteArray &head)
{
    if (head.size() < 24 || !head.startsWith("\x89PNG\r\n\x1a\n") || head.mid(12, 4) != "IHDR")
        return QSize();
    const quint32 width = qFromBigEndian<quint32>(head.constData() + 16);
    const quint32 height = qFromBigEndian<quint32>(head.constData() + 20);
    constexpr quint32 most = std::numeric_limits<int>::max();
    return QSize(int(std::min(width, most)), int(std::min(height, most)));
}

// `head` is a PNG's first 33 bytes, in a file of `fileSize` bytes.
bool pngHeaderPlausible(const QString &path, const QByteArray &head, qint64 fileSize,
                        Failure *failure)
{
    if (head.size() < 33 || !head.startsWith("\x89PNG\r\n\x1a\n") || head.mid(12, 4) != "IHDR")
        return true; // the reader reports what is wrong
    const auto at = [&](int i) { return uchar(head.at(i)); };
    const qint64 width = qFromBigEndian<quint32>(head.constData() + 16);
    const qint64 height = qFromBigEndian<quint32>(head.constData() + 20);
    // Samples per pixel by colour type: grey, -, RGB, palette, grey and
    // alpha, -, RGBA.
    static const int channelsOf[] = {1, 0, 3, 1, 2, 0, 4};
    const int channels = at(25) < 7 ? channelsOf[at(25)] : 0;
    // Rows of filter byte plus pixels, as a non-interlaced image stores them;
    // an interlaced one stores no less.
    const qint64 rowBytes = (width * channels * at(24) + 7) / 8;
    const double claimed = double(height) * double(1 + rowBytes);
    if (claimed <= double(fileSize) * deflateMaxRatio)
        return true;
    *failure = failed(path, ImageStatus::TooLarge,
                      QStringLiteral("its header claims %1 x %2 pixels, %3 bytes of pixel data, "
                                     "more than a file of %4 bytes can hold")
                          .arg(width)
                          .arg(height)
                          .arg(QString::number(claimed, 'f', 0)) // may exceed 64 bits
                          .arg(fileSize));
    return false;
}

Failure beyondLimits(const QString &path, const QSize &size, const Limits &limits)
{
    return failed(path, ImageStatus::TooLarge,
                  QStringLiteral("%1, beyond the limit of %2 pixels and %3 pixels a side")
                      .arg(sizeText(size))
                      .arg(limits.maxPixels)
                      .arg(limits.maxSide));
}

// The PNG headers a file holds: its own for a PNG, each image's for an icon
// or a cursor (whose images may be PNGs of any size). The reader decodes an
// icon's first image to tell its size, so that one must be within the
// limits before it does.
bool pngHeadersPlausible(const QString &path, const QByteArray &format, QFile &file,
                         const Limits &limits, Failure *failure)
{
    const qint64 pos = file.pos();
    const auto bytesAt = [&](qint64 offset, qint64 count) {
        file.seek(offset);
        return file.read(count);
    };
    bool plausible = true;
    if (format == "png") {
        plausible = pngHeaderPlausible(path, bytesAt(0, 33), file.size(), failure);
    } else if (format == "ico" || format == "cur") {
        const QByteArray directory = bytesAt(0, 6);
        const int count =
            directory.size() == 6 ? uchar(directory[4]) | uchar(directory[5]) << 8 : 0;
        for (int i = 0; i < count && plausible; ++i) {
            const QByteArray entry = bytesAt(6 + 16 * i, 16);
            if (entry.size() < 16)
                break;
            const auto at = [&](int k) { return quint32(uchar(entry[k])); };
            const quint32 offset = at(12) | at(13) << 8 | at(14) << 16 | at(15) << 24;
            const QByteArray head = bytesAt(offset, 33);
            plausible = pngHeaderPlausible(path, head, file.size(), failure);
            const QSize size = pngHeaderSize(head);
            if (plausible && i == 0 && size.isValid() && !withinLimits(size, limits)) {
                *failure = beyondLimits(path, size, limits);
                plausible = false;
            }
        }
    }
    file.seek(pos);
    return plausible;
}

// Whether the chunks between the header and the first IDAT, all within
// `head`, are ancillary ones, which the reader skips over when it reads the
// header; a critical chunk, a name that is not letters or data beyond
// `head` leaves the decision to the reader.
bool chunksBeforeDataSound(const QByteArray &head)
{
    qsizetype pos = 33;
    while (pos + 8 <= head.size()) {
        const quint32 length = qFromBigEndian<quint32>(head.constData() + pos);
        const char *type = head.constData() + pos + 4;
        // ASCII letters only, whatever the locale says is a letter.
        const auto upper = [](char c) { return c >= 'A' && c <= 'Z'; };
        const auto letter = [&](char c) { return upper(c) || (c >= 'a' && c <= 'z'); };
        if (length > 0x7fffffff || !std::all_of(type, type + 4, letter))
            return false;
        if (std::memcmp(type, "IDAT", 4) == 0)
            return true;
        if (upper(type[0]))
            return false;
        pos += 12 + qsizetype(length);
    }
    return false;
}

// The size in a PNG's header when the header is one Qt's reader takes as
// it stands (signature, IHDR with its CRC, values the format allows, sides
// within libpng's default limit, no palette); otherwise invalid, and the
// reader decides.
// Saves the reader's probing, several reads and seeks per file.
QSize soundPngHeaderSize(const QByteArray &head)
{
    if (head.size() < 33 || !head.startsWith(QByteArray("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16)))
        return QSize();
    const auto at = [&](int i) { return quint32(uchar(head.at(i))); };
    const auto word = [&](int i) { return qFromBigEndian<quint32>(head.constData() + i); };
    if (libdeflate_crc32(0, head.constData() + 12, 17) != word(29))
        return QSize();
    const quint32 width = word(16), height = word(20);
    const quint32 depth = at(24), colour = at(25);
    // Palette images are left to the reader: it refuses one whose palette is
    // missing, which only the chunks after the header show.
    const bool depthFits = colour == 0
                               ? depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16
                           : colour == 2 || colour == 4 || colour == 6 ? depth == 8 || depth == 16
                                                                       : false;
    constexpr quint32 libpngSideLimit = 1000000;
    if (!depthFits || at(26) != 0 || at(27) != 0 || at(28) > 1 || width == 0 || height == 0 ||
        width > libpngSideLimit || height > libpngSideLimit || !chunksBeforeDataSound(head))
        return QSize();
    return QSize(int(width), int(height));
}

// The size a PBM, PGM or PPM header gives, or an invalid size. Qt's reader
// refuses sides over 32767 without saying why; this tells the limit apart.
QSize pnmHeaderSize(const QByteArray &head)
{
    if (head.size() < 2 || head.at(0) != 'P' || head.at(1) < '1' || head.at(1) > '6')
        return QSize();
    qint64 sides[2] = {0, 0};
    int at = 2;
    for (qint64 &side : sides) {
        while (at < head.size() && (std::isspace(uchar(head.at(at))) || head.at(at) == '#')) {
            if (head.at(at) == '#') {
                while (at < head.size() && head.at(at) != '\n' && head.at(at) != '\r')
                    ++at;
            } else {
                ++at;
            }
        }
        const int start = at;
        for (; at < head.size() && head.at(at) >= '0' && head.at(at) <= '9'; ++at) {
            side = side * 10 + (head.at(at) - '0');
            if (side > std::numeric_limits<int>::max())
                return QSize();
        }
        if (at == start || at == head.size() || !std::isspace(uchar(head.at(at))))
            return QSize();
    }
    return QSize(int(sides[0]), int(sides[1]));
}

// Any other image's size, as Qt's reader finds it.
bool sizeFromReader(const QString &path, const Limits &limits, QFile &file, const QByteArray &head,
                    QSize *size, Failure *failure)
{
    QImageReader reader;
    prepareReader(reader, file);
    const QByteArray format = reader.format();
    QSize found;
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
    if (!pngHeadersPlausible(path, format, file, limits, failure))
        return false;
    // Any file that starts with four particular bytes (a TGA image among
    // them) passes for an icon or a cursor; only decoding it tells. Icons
    // are small, so the probe decodes them, and refuses what does not.
    if (format == "ico" || format == "cur") {
        const QImage icon = reader.read();
        if (icon.isNull()) {
            *failure = failed(path, ImageStatus::NotImage,
                              QStringLiteral("not a readable image (its header looks like an "
                                             "icon or cursor's, but it does not decode as one)"));
            return false;
        }
        found = icon.size();
    }
    if (!found.isValid())
        found = reader.size();
    // The image a GIF's reader makes, the size of its screen, is held
    // within the decode limit.
    qint64 decodeBytes = 0;
    if (format == "gif") {
        QSize canvas;
        if (!gifCanvasWithinLimits(path, file, limits, failure, &canvas))
            return false;
        found = QSize(); // the decode below gives the real size
        decodeBytes = qint64(canvas.width()) * canvas.height() * 4;
    }
    if (!found.isValid() && (format == "pbm" || format == "pgm" || format == "ppm")) {
        const QSize header = pnmHeaderSize(head);
        if (header.isValid() && !header.isEmpty() && !withinLimits(header, limits)) {
            *failure = beyondLimits(path, header, limits);
            return false;
        }
    }
    if (!found.isValid()) {
        // Rare: a reader that cannot tell the size without decoding.
        const ProbeDecodeHold hold(decodeBytes, limits.maxBufferBytes);
        const QImage image = reader.read();
        const QString error = reader.errorString();
        // Qt's GIF reader keeps the image it made for the next frame: it
        // goes with the reader's handler, before the share is given back.
        reader.setDevice(nullptr);
        if (image.isNull()) {
            *failure = failed(path, ImageStatus::NotImage,
                              QStringLiteral("not a readable image (%1)").arg(error));
            return false;
        }
        found = image.size();
    }
    *size = found;
    return true;
}

} // namespace

QString Failure::message() const
{
    return QStringLiteral("%1: %2").arg(Inputs::shownPath(path), reason);
}

ContentHash hashContent(RegularFile &file, const QByteArray &head)
{
    ContentHash hash;
    if (head.size() >= file.size()) {
        hash.value = XXH3_64bits(head.constData(), size_t(head.size()));
        hash.valid = head.size() == file.size();
        return hash;
    }
    const std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t *)> state(XXH3_createState(),
                                                                                 XXH3_freeState);
    if (!state)
        return hash;
    XXH3_64bits_reset(state.get());
    XXH3_64bits_update(state.get(), head.constData(), size_t(head.size()));
    char buffer[64 * 1024];
    qint64 offset = head.size();
    for (;;) {
        const qint64 n = file.readAt(offset, buffer, sizeof buffer);
        if (n < 0)
            return hash;
        if (n == 0)
            break;
        XXH3_64bits_update(state.get(), buffer, size_t(n));
        offset += n;
    }
    hash.value = XXH3_64bits_digest(state.get());
    hash.valid = true;
    return hash;
}

ContentStore::ContentStore(size_t budget)
    : m_base(static_cast<char *>(LargeBuffers::map(budget, true))), m_capacity(m_base ? budget : 0)
{
}

ContentStore::~ContentStore()
{
    LargeBuffers::unmap(m_base, m_capacity);
}

char *ContentStore::take(size_t size)
{
    size_t used = m_used.load();
    do {
        if (size > m_capacity - used)
            return nullptr;
    } while (!m_used.compare_exchange_weak(used, used + size));
    return m_base + used;
}

namespace {

// What the probe reads first: enough for the header and the usual chunks
// before the data, and all of a small file.
constexpr qint64 HeadBytes = 16384;

// The whole file into the store, read to its end: the bytes and their hash
// are then exactly what the decode will use. False, and nothing kept, when
// the store is full or the file is not what its size said.
bool keepWhole(RegularFile &file, const QByteArray &head, ContentStore &store, QByteArray *content,
               ContentHash *hash)
{
    const qint64 size = file.size();
    if (size < head.size() || size > maxKeptFileBytes)
        return false;
    char *bytes = store.take(size_t(size));
    if (!bytes)
        return false;
    std::memcpy(bytes, head.constData(), size_t(head.size()));
    // A head shorter than asked for ended at the end of the file; after a
    // full one, the rest is read and nothing may follow it.
    bool whole = head.size() == size;
    if (head.size() == HeadBytes) {
        const qint64 rest = size - head.size();
        char past;
        whole = file.readAt(head.size(), bytes + head.size(), rest) == rest &&
                file.readAt(size, &past, 1) == 0;
    }
    if (!whole)
        return false; // the store's bytes are simply not used
    *content = QByteArray::fromRawData(bytes, int(size));
    hash->value = XXH3_64bits(bytes, size_t(size));
    hash->valid = true;
    return true;
}

} // namespace

bool probeImage(const QString &path, const Limits &limits, QSize *size, Failure *failure,
                ContentHash *hash, ContentStore *keep, QByteArray *content)
{
    if (path.contains(QLatin1Char('\r')) || path.contains(QLatin1Char('\n'))) {
        *failure = failed(path, ImageStatus::BadPath,
                          QStringLiteral("the path holds a line break, which the placement "
                                         "file cannot carry"));
        return false;
    }
    RegularFile regular;
    if (!regular.open(path, failure))
        return false;
    QByteArray head(int(HeadBytes), Qt::Uninitialized);
    const qint64 headBytes = regular.readAt(0, head.data(), head.size());
    head.resize(int(std::max<qint64>(0, headBytes)));
    QSize found = soundPngHeaderSize(head);
    ContentHash whole;
    if (found.isValid()) {
        if (!pngHeaderPlausible(path, head.left(33), regular.size(), failure))
            return false;
        if (hash && !(keep && content && keepWhole(regular, head, *keep, content, &whole)))
            whole = hashContent(regular, head);
    } else {
        QFile file;
        if (!regular.moveTo(file, failure) ||
            !sizeFromReader(path, limits, file, head, &found, failure))
            return false;
    }
    if (found.isEmpty()) {
        *failure = failed(path, ImageStatus::NotImage, QStringLiteral("an image without pixels"));
        return false;
    }
    if (!withinLimits(found, limits)) {
        *failure = beyondLimits(path, found, limits);
        return false;
    }
    *size = found;
    if (hash)
        *hash = whole;
    return true;
}

} // namespace Compose
