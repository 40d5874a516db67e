#pragma once

// Image files before decoding: is it a regular file, what format, how large
// by its header, and is that within the limits. QtCore and QtGui only.

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QSize>
#include <QString>

#include <atomic>
#include <cstddef>

class QFile;
class QImageReader;

namespace Compose {

// What one input image may be. Images beyond these are refused from their
// header, before anything is decoded.
struct Limits
{
    qint64 maxPixels = qint64(1) << 28; // 1 GiB once decoded
    int maxSide = 32767;
    // What decodes may hold beside the sheet at one time, across all
    // workers (readers that cannot write into the sheet decode beside it).
    // One image larger than this still decodes, alone.
    qint64 maxBufferBytes = qint64(256) << 20;
};

enum class ImageStatus {
    Ok,
    BadPath,      // a CR or LF in the path: the placement file cannot hold it
    Missing,      // no such file
    NotRegular,   // a folder, FIFO, device or socket; never opened
    NotImage,     // no image reader recognises the header
    NotRaster,    // a vector format such as SVG
    TooLarge,     // beyond Limits
    DecodeFailed, // the header reads but the pixel data does not
    OutOfMemory,  // the decoded image could not be allocated
    SizeChanged,  // the file now holds an image of another size
    OutsideSheet, // placed beyond the sheet's edge
    Cancelled,
};

struct Failure
{
    QString path;
    ImageStatus status = ImageStatus::Ok;
    QString reason; // plain words, without the path

    // "PATH: reason", with the path in native separators.
    QString message() const;
};

// The XXH3-64 hash of all of a file's bytes.
struct ContentHash
{
    bool valid = false;
    quint64 value = 0;
};

// Whole small files as the probe read them, kept so that their decode need
// not open and read them again: with thousands of inputs those system calls
// are a good part of a run. One reservation of `budget` bytes, faulted in
// only as far as it is filled; thread-safe.
class ContentStore
{
public:
    explicit ContentStore(size_t budget);
    ~ContentStore();
    ContentStore(const ContentStore &) = delete;
    ContentStore &operator=(const ContentStore &) = delete;

    // Room for `size` bytes, or nullptr once the budget is spent.
    char *take(size_t size);

private:
    char *m_base = nullptr;
    size_t m_capacity = 0;
    std::atomic<size_t> m_used{0};
};

// What the probe kept, by path; the arrays view the store's memory.
using KeptContents = QHash<QString, QByteArray>;

// The largest file the probe keeps whole.
constexpr qint64 maxKeptFileBytes = qint64(256) << 10;

// Reads the image size from the file's header without decoding its pixels.
// Anything but a regular file (symlinks followed) is refused without being
// opened. On failure `failure` says why. With `hash`, a PNG whose size its
// header gives is also hashed whole through the same open file, which
// spares a run that records its inputs another open per file; `hash` stays
// invalid for any other file and on failure.
// With `keep` as well, such a PNG of up to maxKeptFileBytes goes whole into
// the store and `content` views it; `content` stays null otherwise.
bool probeImage(const QString &path, const Limits &limits, QSize *size, Failure *failure,
                ContentHash *hash = nullptr, ContentStore *keep = nullptr,
                QByteArray *content = nullptr);

// The pieces the decoder shares with the probe.
Failure failed(const QString &path, ImageStatus status, const QString &reason);
// A regular file open for reading; a FIFO or a device is never opened. Its
// size comes with the open, and reads at an offset take one system call
// each, which counts with thousands of small inputs.
class RegularFile
{
public:
    RegularFile() = default;
    ~RegularFile();
    RegularFile(const RegularFile &) = delete;
    RegularFile &operator=(const RegularFile &) = delete;

    bool open(const QString &path, Failure *failure);
    qint64 size() const { return m_size; }
    // Up to `count` bytes from `offset`; -1 on a read error.
    qint64 readAt(qint64 offset, char *data, qint64 count);
    // Hands the open file over to `file`, positioned at the start.
    bool moveTo(QFile &file, Failure *failure);

private:
    QString m_path;
    qint64 m_size = 0;
#ifdef Q_OS_UNIX
    int m_fd = -1;
#else
    QFile m_file;
#endif
};
// The hash of the whole of `file`; `head`, when given, holds its first
// bytes, already read. Invalid when a read fails.
ContentHash hashContent(RegularFile &file, const QByteArray &head = QByteArray());
bool withinLimits(const QSize &size, const Limits &limits);
QString sizeText(const QSize &size);
// Lets the reader decide the format from the content, never the suffix.
void prepareReader(QImageReader &reader, QFile &file);
bool isVectorFormat(const QByteArray &format);

// Reads a file a block at a time from where it stands, for the checks that
// walk a whole file: a file with a small image and a long tail is never
// held whole.
class ByteStream
{
public:
    explicit ByteStream(QIODevice &device) : m_device(device), m_base(device.pos()) {}
    // The next byte, or -1 at the end.
    int get()
    {
        if (m_at == m_end && !refill())
            return -1;
        return uchar(m_buffer[m_at++]);
    }
    void skip(qint64 count);
    qint64 offset() const { return m_base + m_at; }

private:
    bool refill();

    QIODevice &m_device;
    qint64 m_base; // the device's offset of m_buffer[0]
    qint64 m_at = 0;
    qint64 m_end = 0;
    char m_buffer[16384];
};

// The canvas a GIF decodes to (see the definition). Reads `file` from its
// start only as far as it must: a GIF's frames may follow for gigabytes.
// `firstFrame`, when given, gets the first frame's size (invalid without one).
QSize gifCanvas(QIODevice &file, QSize *firstFrame = nullptr);

} // namespace Compose
