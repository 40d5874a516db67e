#include "core/png/pngencoder.h"

#include "core/largebuffers.h"
#include "core/vectorclones.h"

#include "core/png/rowfilter.h"
#include "core/png/sheetdeflate.h"
#include "core/png/zlibjoin.h"

#include "core/parallel.h"

#include <QThread>
#include <QtEndian>

#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

// How the rows are deflated on several threads into the one zlib stream a PNG
// must hold: the filtered rows are cut into pieces of a fixed number of rows
// (from the row size only, so the bytes never depend on the thread count),
// and each piece is deflated on its own as raw deflate, as pigz does. pigz
// ends every piece but the last with zlib's sync flush: an empty stored block
// after a non-final block, so that the pieces join as plain bytes.
//
// Large sheets at the default level, and every image at the fast and the
// small level, are deflated by SheetDeflate, which writes that flush itself;
// on sprite sheets its default effort is two to three times as fast as
// libdeflate's fastest level and a little smaller. Small images at the
// default level go through libdeflate, which has no flush and always ends
// with a final block somewhere inside the last bytes: each such piece's block
// structure is walked (a decode that skips the output) to find that final
// block; its BFINAL bit is cleared and the empty stored block 00 00 FF FF
// written right after its end-of-block code. The Adler-32 of the whole
// stream is combined from the pieces'.

namespace {

// Filtered bytes per deflated piece: large enough that restarting the
// 32 KiB window costs little, small enough to keep every core busy.
constexpr size_t PieceBytes = size_t(1) << 20;
// The level large sheets are written at (by SheetDeflate, so it only names
// the zlib header's hint); below a few hundred KiB of rows libdeflate's
// level 6 is used, which is smaller there and costs at most a few
// milliseconds.
constexpr int FastLevel = 1;
constexpr int SmallImageLevel = 6;
constexpr size_t SmallImageBytes = size_t(256) << 10;
// A piece of a large sheet at the default level whose greedy deflate is
// under 2/3 of its non-zero bytes compresses well. Where libdeflate's level
// 6 also beats its level 1 by more than 10 % on ShadingSampleBytes from the
// middle of the piece, the piece repeats at many distances, as smooth
// shading and gradients do, and the greedy matcher's two candidates per hash
// miss its longer matches: it is also deflated at level 6 and the smaller
// kept. Noisy painted sprites fail the first test, or the second (level 6
// gains at most 8 % there). At the small level every piece of a large sheet
// is sampled, so that it is never larger than the default level's.
constexpr size_t ShadingSampleBytes = size_t(32) << 10;
// Level::Small, by SheetDeflate's near-optimal parsing (only the zlib
// header's hint).
constexpr int SmallestLevel = 9;
// Largest IDAT chunk written; any size up to 2^31 - 1 is valid.
constexpr size_t MaxIdatBytes = size_t(1) << 20;

// --- Filtering -------------------------------------------------------------

size_t nonZeroBytes(const uint8_t *data, size_t size)
{
    size_t zeros = 0;
    size_t i = 0;
#if defined(__SSE2__) && defined(__x86_64__)
    // Each zero byte compares to 0xff; the sums of absolute differences
    // add 255 per zero byte into two 64-bit lanes.
    const __m128i zero = _mm_setzero_si128();
    __m128i sums = zero;
    for (; i + 16 <= size; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + i));
        sums = _mm_add_epi64(sums, _mm_sad_epu8(_mm_cmpeq_epi8(bytes, zero), zero));
    }
    zeros = (size_t(_mm_cvtsi128_si64(sums)) +
             size_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)))) /
            255;
#endif
    for (; i < size; ++i)
        zeros += data[i] == 0;
    return size - zeros;
}

KORVANE_VECTOR_CLONES
void toRgba(const QRgb *pixels, int width, uint8_t *out)
{
    for (int x = 0; x < width; ++x) {
        const QRgb pixel = pixels[x];
        out[0] = uint8_t(pixel >> 16);
        out[1] = uint8_t(pixel >> 8);
        out[2] = uint8_t(pixel);
        out[3] = uint8_t(pixel >> 24);
        out += 4;
    }
}

// --- Indexed colour --------------------------------------------------------

// The pixels of an image of at most 256 different ones, as a palette, as PNG
// optimisers write such images: the colour under transparent pixels counts,
// so that every pixel reads back as it was. The entries are in order of
// value, which puts those with alpha below 255 first, so that tRNS ends at
// the last of them; the bytes depend on the pixels alone.
class Palette
{
public:
    // False when `image` (ARGB32) has more than 256 different pixels.
    bool build(const QImage &image)
    {
        std::fill(std::begin(m_used), std::end(m_used), false);
        m_colours.clear();
        for (int y = 0; y < image.height(); ++y) {
            const QRgb *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                if (x == 0 || row[x] != row[x - 1]) {
                    const int slot = find(row[x]);
                    if (!m_used[slot]) {
                        if (m_colours.size() == 256)
                            return false;
                        m_used[slot] = true;
                        m_keys[slot] = row[x];
                        m_colours.push_back(row[x]);
                    }
                }
            }
        }
        // Alpha is the top byte: translucent entries sort first.
        std::sort(m_colours.begin(), m_colours.end());
        for (size_t i = 0; i < m_colours.size(); ++i)
            m_index[find(m_colours[i])] = uint8_t(i);
        m_translucent = int(std::count_if(m_colours.cbegin(), m_colours.cend(),
                                          [](QRgb c) { return qAlpha(c) < 255; }));
        return true;
    }

    int size() const { return int(m_colours.size()); }
    int translucent() const { return m_translucent; }
    QRgb colour(int i) const { return m_colours[size_t(i)]; }
    // Bits per pixel: the fewest the PNG format allows for the entries.
    int depth() const { return size() <= 2 ? 1 : size() <= 4 ? 2 : size() <= 16 ? 4 : 8; }
    size_t rowBytes(int width) const { return (size_t(width) * size_t(depth()) + 7) / 8; }

    // Writes the entries of `width` pixels, packed from the high bits.
    void packRow(const QRgb *pixels, int width, uint8_t *out) const
    {
        const int bits = depth();
        std::memset(out, 0, rowBytes(width));
        QRgb last = 0;
        uint8_t index = 0;
        for (int x = 0; x < width; ++x) {
            if (x == 0 || pixels[x] != last) {
                last = pixels[x];
                index = m_index[find(last)];
            }
            if (bits == 8)
                out[x] = index;
            else
                out[size_t(x) * size_t(bits) / 8] |=
                    uint8_t(index << (8 - bits - int(size_t(x) * size_t(bits) % 8)));
        }
    }

private:
    // Open addressing with four times the slots the entries need: the slot
    // holding `pixel`, or the free one where it would go.
    static constexpr int Slots = 1024;
    int find(QRgb pixel) const
    {
        int slot = int((pixel * 0x9e3779b1u) >> 22);
        while (m_used[slot] && m_keys[slot] != pixel)
            slot = (slot + 1) & (Slots - 1);
        return slot;
    }

    QRgb m_keys[Slots] = {};
    uint8_t m_index[Slots] = {};
    bool m_used[Slots] = {};
    std::vector<QRgb> m_colours;
    int m_translucent = 0;
};

// --- Pieces ----------------------------------------------------------------

// SheetSmallOrLibdeflate: the small level's small images, deflated both
// ways and kept the smaller, so that they are never larger than at the
// default level (SheetDeflate's code headers cost more than libdeflate's on
// a few hundred bytes).
enum class Deflater { Libdeflate, Sheet, SheetFast, SheetSmall, SheetSmallOrLibdeflate };

// Room for one piece of `bytes` filtered bytes, whichever deflater takes it:
// libdeflate's bound and 5 bytes for the sync flush, or SheetDeflate's.
size_t pieceBound(size_t bytes)
{
    return std::max(libdeflate_deflate_compress_bound(nullptr, bytes) + 5,
                    SheetDeflate::bound(bytes));
}

struct Piece
{
    const uint8_t *data = nullptr; // raw deflate, ending on a byte boundary
    size_t size = 0;
    uint32_t adler = 1; // Adler-32 of the filtered bytes
    size_t inputBytes = 0;
};

// Where the deflated pieces are kept until they are joined: one reservation
// for the bound of all of them, filled from the start in the order pieces
// finish, so that only as many pages as the pieces need are ever touched.
class PieceStore
{
public:
    explicit PieceStore(size_t capacity) : m_capacity(capacity)
    {
        m_base = static_cast<uint8_t *>(LargeBuffers::map(capacity, true));
        if (!m_base)
            throw std::bad_alloc();
    }
    ~PieceStore() { LargeBuffers::unmap(m_base, m_capacity); }
    PieceStore(const PieceStore &) = delete;
    PieceStore &operator=(const PieceStore &) = delete;

    const uint8_t *keep(const uint8_t *data, size_t size)
    {
        const size_t offset = m_used.fetch_add(size);
        if (size > m_capacity - std::min(offset, m_capacity))
            throw std::bad_alloc(); // cannot happen: the capacity holds every bound
        std::memcpy(m_base + offset, data, size);
        return m_base + offset;
    }

private:
    uint8_t *m_base = nullptr;
    size_t m_capacity;
    std::atomic<size_t> m_used{0};
};

// One thread's compressor and buffers, reused from piece to piece. With a
// palette, the rows are its entries, unfiltered, as for such images libpng
// does.
class PieceEncoder
{
    struct FreeCompressor
    {
        void operator()(libdeflate_compressor *compressor) const
        {
            libdeflate_free_compressor(compressor);
        }
    };
    using Compressor = std::unique_ptr<libdeflate_compressor, FreeCompressor>;

public:
    PieceEncoder(const QImage &image, const Palette *palette, int level, Deflater deflater)
        : m_image(image), m_palette(palette),
          m_rowBytes(palette ? palette->rowBytes(image.width()) : size_t(image.width()) * 4),
          m_deflater(deflater),
          m_compressor(deflater == Deflater::Libdeflate ? libdeflate_alloc_compressor(level)
                       : deflater == Deflater::SheetSmallOrLibdeflate
                           ? libdeflate_alloc_compressor(SmallImageLevel)
                           : nullptr)
    {
        if (deflater != Deflater::Libdeflate) {
            m_sheet = std::make_unique<SheetDeflate::Encoder>(
                deflater == Deflater::SheetFast ? SheetDeflate::Effort::Fast
                : deflater == Deflater::Sheet   ? SheetDeflate::Effort::Default
                                                : SheetDeflate::Effort::Small);
        }
    }
    PieceEncoder(const PieceEncoder &) = delete;
    PieceEncoder &operator=(const PieceEncoder &) = delete;

    bool isValid() const
    {
        return m_compressor || (m_deflater != Deflater::Libdeflate &&
                                m_deflater != Deflater::SheetSmallOrLibdeflate);
    }

    // Filters (or packs) rows [first, last) and deflates them; `final` ends
    // the stream.
    bool encode(int first, int last, bool final, PieceStore &store, Piece *piece)
    {
        const size_t filteredRow = m_rowBytes + 1;
        const size_t inputBytes = size_t(last - first) * filteredRow;
        // The deflated piece goes after the filtered bytes in the same
        // buffer: one 2 MiB mapping for both while a piece deflates to less than
        // half its size.
        const size_t outputOffset = (inputBytes + 63) & ~size_t(63);
        uint8_t *filtered = m_scratch.reserve(outputOffset + pieceBound(inputBytes));
        uint8_t *output = filtered + outputOffset;
        if (m_palette)
            packRows(first, last, filtered);
        else
            filterRows(first, last, filtered);
        return deflate(filtered, inputBytes, final, output, store, piece);
    }

private:
    void packRows(int first, int last, uint8_t *filtered) const
    {
        for (int y = first; y < last; ++y) {
            uint8_t *out = filtered + size_t(y - first) * (m_rowBytes + 1);
            out[0] = 0; // None
            m_palette->packRow(reinterpret_cast<const QRgb *>(m_image.constScanLine(y)),
                               m_image.width(), out + 1);
        }
    }

    void filterRows(int first, int last, uint8_t *filtered)
    {
        const size_t filteredRow = m_rowBytes + 1;
        m_rows.assign(2 * (4 + m_rowBytes), 0);
        m_candidates.resize(4 * m_rowBytes);
        uint8_t *previous = m_rows.data() + 4;
        uint8_t *current = previous + m_rowBytes + 4;
        if (first > 0) {
            toRgba(reinterpret_cast<const QRgb *>(m_image.constScanLine(first - 1)),
                   m_image.width(), previous);
        }
        for (int y = first; y < last; ++y) {
            toRgba(reinterpret_cast<const QRgb *>(m_image.constScanLine(y)), m_image.width(),
                   current);
            RowFilter::filterRow(current, previous, m_rowBytes, m_candidates.data(),
                                 filtered + size_t(y - first) * filteredRow);
            std::swap(previous, current);
        }
    }

    // Throws std::bad_alloc.
    static libdeflate_compressor *compressor(Compressor &kept, int level)
    {
        if (!kept)
            kept.reset(libdeflate_alloc_compressor(level));
        if (!kept)
            throw std::bad_alloc();
        return kept.get();
    }

    // See ShadingSampleBytes.
    bool deeperSearchPays(const uint8_t *filtered, size_t inputBytes)
    {
        const size_t sampleBytes = std::min(inputBytes, ShadingSampleBytes);
        const uint8_t *sample = filtered + (inputBytes - sampleBytes) / 2;
        m_other.resize(libdeflate_deflate_compress_bound(nullptr, sampleBytes));
        const size_t quick = libdeflate_deflate_compress(
            compressor(m_quick, FastLevel), sample, sampleBytes, m_other.data(), m_other.size());
        const size_t deep =
            libdeflate_deflate_compress(compressor(m_shading, SmallImageLevel), sample, sampleBytes,
                                        m_other.data(), m_other.size());
        return deep > 0 && quick > 0 && deep * 10 < quick * 9;
    }

    bool deflate(const uint8_t *filtered, size_t inputBytes, bool final, uint8_t *output,
                 PieceStore &store, Piece *piece)
    {
        size_t size = m_sheet ? m_sheet->deflate(filtered, inputBytes, final, output) : 0;
        libdeflate_compressor *deeper = m_compressor.get();
        const bool mayBeShading =
            m_deflater == Deflater::SheetSmall ||
            (m_deflater == Deflater::Sheet && size * 3 < nonZeroBytes(filtered, inputBytes) * 2);
        if (mayBeShading && deeperSearchPays(filtered, inputBytes))
            deeper = compressor(m_shading, SmallImageLevel);
        if (deeper) {
            const size_t bound = libdeflate_deflate_compress_bound(deeper, inputBytes);
            if (m_sheet)
                m_other.resize(bound + 5);
            uint8_t *target = m_sheet ? m_other.data() : output;
            size_t other = libdeflate_deflate_compress(deeper, filtered, inputBytes, target, bound);
            if (other == 0 || (!final && !ZlibJoin::endWithSyncFlush(target, &other)))
                return false;
            if (!m_sheet || other < size) {
                if (target != output)
                    std::memcpy(output, target, other);
                size = other;
            }
        }
        piece->data = store.keep(output, size);
        piece->size = size;
        piece->adler = libdeflate_adler32(1, filtered, inputBytes);
        piece->inputBytes = inputBytes;
        return true;
    }

    const QImage &m_image;
    const Palette *m_palette;
    size_t m_rowBytes;
    Deflater m_deflater;
    Compressor m_compressor;
    Compressor m_quick, m_shading; // for shading (ShadingSampleBytes), made when first needed
    std::vector<uint8_t> m_rows, m_candidates;
    std::vector<uint8_t> m_other; // libdeflate's try beside SheetDeflate's
    // Reused from piece to piece, touched only where written.
    LargeBuffers::Buffer m_scratch;
    // Every level but the default one's small images.
    std::unique_ptr<SheetDeflate::Encoder> m_sheet;
};

// --- Chunks ----------------------------------------------------------------

// Appends a whole chunk; only for the small ones before the image data.
void appendChunk(QByteArray &out, const char type[4], const void *data, size_t size)
{
    const int start = out.size();
    uint8_t length[4];
    qToBigEndian<quint32>(quint32(size), length);
    out.append(reinterpret_cast<const char *>(length), 4);
    out.append(type, 4);
    out.append(static_cast<const char *>(data), int(size));
    uint8_t crc[4];
    qToBigEndian<quint32>(libdeflate_crc32(0, out.constData() + start + 4, size + 4), crc);
    out.append(reinterpret_cast<const char *>(crc), 4);
}

// Where the zlib stream lies in the file: cut into IDAT chunks of
// MaxIdatBytes each but the last, the first one's data at `start`.
struct IdatLayout
{
    size_t start = 0;
    size_t streamBytes = 0;

    size_t chunkCount() const { return (streamBytes + MaxIdatBytes - 1) / MaxIdatBytes; }
    size_t fileBytes() const { return streamBytes + 12 * chunkCount(); }
    size_t fileOffset(size_t streamOffset) const
    {
        return start + streamOffset + 12 * (streamOffset / MaxIdatBytes);
    }

    // Copies `size` bytes of the stream, from `streamOffset` on, into place.
    void copy(char *file, size_t streamOffset, const uint8_t *data, size_t size) const
    {
        while (size > 0) {
            const size_t part = std::min(size, MaxIdatBytes - streamOffset % MaxIdatBytes);
            std::memcpy(file + fileOffset(streamOffset), data, part);
            streamOffset += part;
            data += part;
            size -= part;
        }
    }

    // Writes the length, type and CRC around the data of chunk `index`.
    void frame(char *file, size_t index) const
    {
        const size_t length = std::min(MaxIdatBytes, streamBytes - index * MaxIdatBytes);
        char *chunk = file + fileOffset(index * MaxIdatBytes) - 8;
        qToBigEndian<quint32>(quint32(length), chunk);
        std::memcpy(chunk + 4, "IDAT", 4);
        qToBigEndian<quint32>(libdeflate_crc32(0, chunk + 4, length + 4), chunk + 8 + length);
    }
};

bool fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

} // namespace

namespace PngEncoder {

// Filters and deflates the rows in pieces on `threads` workers.
bool deflatePieces(const QImage &image, const Palette *palette, int level, Deflater deflater,
                   int rowsPerPiece, int threads, PieceStore &store, std::vector<Piece> &pieces,
                   QString *error, const std::atomic<bool> *cancel)
{
    const int pieceCount = int(pieces.size());
    std::atomic<int> nextPiece{0};
    std::atomic<bool> failed{false};
    std::mutex errorLock;
    QString reason;
    auto work = [&] {
        try {
            PieceEncoder encoder(image, palette, level, deflater);
            if (!encoder.isValid())
                throw std::bad_alloc();
            for (int i = nextPiece++; i < pieceCount && !failed; i = nextPiece++) {
                if (cancel && *cancel) {
                    const std::lock_guard<std::mutex> lock(errorLock);
                    reason = QStringLiteral("cancelled");
                    failed = true;
                    break;
                }
                const int first = i * rowsPerPiece;
                const int last = std::min(image.height(), first + rowsPerPiece);
                if (!encoder.encode(first, last, i == pieceCount - 1, store, &pieces[size_t(i)])) {
                    const std::lock_guard<std::mutex> lock(errorLock);
                    reason = QStringLiteral("deflate failed");
                    failed = true;
                }
            }
        } catch (const std::bad_alloc &) {
            const std::lock_guard<std::mutex> lock(errorLock);
            reason = QStringLiteral("out of memory");
            failed = true;
        }
    };
    const int threadCount =
        std::min(pieceCount, threads > 0 ? threads : std::max(1, QThread::idealThreadCount()));
    Parallel::run(threadCount, work);
    if (failed)
        return fail(error, reason);
    return true;
}

// The file's bytes before the image data: signature, IHDR, pHYs and, for
// indexed colour, PLTE and tRNS.
QByteArray fileHead(const QImage &image, const Palette *palette)
{
    QByteArray head;
    head.append("\x89PNG\r\n\x1a\n", 8);
    uint8_t header[13];
    qToBigEndian<quint32>(quint32(image.width()), header);
    qToBigEndian<quint32>(quint32(image.height()), header + 4);
    header[8] = uint8_t(palette ? palette->depth() : 8); // bits per channel
    header[9] = palette ? 3 : 6;                         // indexed or RGBA
    header[10] = 0;                                      // deflate
    header[11] = 0;                                      // adaptive filters
    header[12] = 0;                                      // not interlaced
    appendChunk(head, "IHDR", header, sizeof header);
    if (image.dotsPerMeterX() > 0 && image.dotsPerMeterY() > 0) {
        uint8_t physical[9];
        qToBigEndian<quint32>(quint32(image.dotsPerMeterX()), physical);
        qToBigEndian<quint32>(quint32(image.dotsPerMeterY()), physical + 4);
        physical[8] = 1; // per metre
        appendChunk(head, "pHYs", physical, sizeof physical);
    }
    if (palette) {
        uint8_t colours[256 * 3];
        uint8_t alphas[256];
        for (int i = 0; i < palette->size(); ++i) {
            const QRgb c = palette->colour(i);
            colours[3 * i] = uint8_t(qRed(c));
            colours[3 * i + 1] = uint8_t(qGreen(c));
            colours[3 * i + 2] = uint8_t(qBlue(c));
            alphas[i] = uint8_t(qAlpha(c));
        }
        appendChunk(head, "PLTE", colours, size_t(palette->size()) * 3);
        if (palette->translucent() > 0)
            appendChunk(head, "tRNS", alphas, size_t(palette->translucent()));
    }
    return head;
}

// Room for a file of `total` bytes. With `storage`, the file is made in the
// pixels of `spent` when they hold it, otherwise in a mapping of its own; `storage`
// then owns the memory `out` refers to. Throws std::bad_alloc.
char *fileBuffer(size_t total, std::shared_ptr<const void> *storage, QImage *spent, QByteArray *out)
{
    char *file = nullptr;
    const size_t pixelBytes = spent ? size_t(spent->sizeInBytes()) : 0;
    if (storage && spent && total <= pixelBytes) {
        // Encoded already, and shared with nobody: their pages are warm,
        // where a new buffer would be faulted in afresh. (bits() copies
        // only pixels that are read-only.)
        file = reinterpret_cast<char *>(spent->bits());
        if (!file)
            throw std::bad_alloc();
        // The file is kept until the set is written: the pages past it go
        // back now, or every page of a --multipack run would keep its whole
        // sheet. They read as zeros if touched again, which nothing does.
        const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
        const uintptr_t from = (uintptr_t(file) + total + page - 1) & ~(page - 1);
        const uintptr_t to = (uintptr_t(file) + pixelBytes) & ~(page - 1);
        if (to > from)
            madvise(reinterpret_cast<void *>(from), to - from, MADV_DONTNEED);
        const QImage *owner = new QImage(std::move(*spent));
        storage->reset(owner, [](const void *image) { delete static_cast<const QImage *>(image); });
        *out = QByteArray::fromRawData(file, int(total));
    } else if (storage) {
        file = static_cast<char *>(LargeBuffers::map(total));
        if (!file)
            throw std::bad_alloc();
        storage->reset(file, [total](const void *bytes) {
            LargeBuffers::unmap(const_cast<void *>(bytes), total);
        });
        *out = QByteArray::fromRawData(file, int(total));
    } else {
        *out = QByteArray(int(total), Qt::Uninitialized);
        file = out->data();
    }
    return file;
}

// The PNG file around the pieces: head, IDAT chunks and trailer. The pieces
// are copied into place and the chunks framed on `threads` threads.
bool assemble(const QImage &image, const Palette *palette, int level,
              const std::vector<Piece> &pieces, int threads, QByteArray *png,
              std::shared_ptr<const void> *storage, QImage *spent, QString *error)
{
    const QByteArray head = fileHead(image, palette);

    // The zlib stream: header, the pieces, the Adler-32 of all filtered bytes.
    std::vector<size_t> pieceOffsets(pieces.size());
    IdatLayout idat;
    idat.start = size_t(head.size()) + 8;
    idat.streamBytes = 2;
    uint32_t adler = 1;
    for (size_t i = 0; i < pieces.size(); ++i) {
        pieceOffsets[i] = idat.streamBytes;
        idat.streamBytes += pieces[i].size;
        adler = ZlibJoin::combineAdler32(adler, pieces[i].adler, pieces[i].inputBytes);
    }
    const size_t trailerOffset = idat.streamBytes;
    idat.streamBytes += 4;
    const size_t total = size_t(head.size()) + idat.fileBytes() + 12;
    if (total > size_t(std::numeric_limits<int>::max()) - 1024)
        return fail(error, QStringLiteral("image too large for PNG data in memory"));

    try {
        QByteArray out;
        char *file = fileBuffer(total, storage, spent, &out);
        std::memcpy(file, head.constData(), size_t(head.size()));
        // Deflate with a 32 KiB window; the level hint (fastest, default or
        // maximum) is informative only.
        const uint8_t zlibHeader[2] = {0x78, uint8_t(level == FastLevel       ? 0x01
                                                     : level >= SmallestLevel ? 0xda
                                                                              : 0x9c)};
        idat.copy(file, 0, zlibHeader, 2);
        uint8_t trailer[4];
        qToBigEndian<quint32>(adler, trailer);
        idat.copy(file, trailerOffset, trailer, 4);
        Parallel::forEach(threads, int(pieces.size()), [&](int i) {
            const Piece &piece = pieces[size_t(i)];
            idat.copy(file, pieceOffsets[size_t(i)], piece.data, piece.size);
        });
        Parallel::forEach(threads, int(idat.chunkCount()),
                          [&](int i) { idat.frame(file, size_t(i)); });
        const char end[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', char(0xae), 0x42, 0x60, char(0x82)};
        std::memcpy(file + total - 12, end, 12);
        *png = out;
    } catch (const std::bad_alloc &) {
        return fail(error, QStringLiteral("out of memory"));
    }
    return true;
}

// `image` is ARGB32. When `spent` is set it is `image`, which the file may
// take once the pixels are encoded.
bool encodeRows(const QImage &image, const Palette *palette, QImage *spent, QByteArray *png,
                QString *error, int threads, Level level, size_t pieceBytes,
                std::shared_ptr<const void> *storage, const std::atomic<bool> *cancel)
{
    const size_t filteredRow =
        (palette ? palette->rowBytes(image.width()) : size_t(image.width()) * 4) + 1;
    const int rowsPerPiece =
        int(std::max<size_t>(1, (pieceBytes > 0 ? pieceBytes : PieceBytes) / filteredRow));
    const int pieceCount = (image.height() + rowsPerPiece - 1) / rowsPerPiece;
    const bool smallImage = filteredRow * size_t(image.height()) <= SmallImageBytes;
    int deflateLevel = smallImage ? SmallImageLevel : FastLevel;
    if (level == Level::Fast)
        deflateLevel = FastLevel;
    else if (level == Level::Small)
        deflateLevel = SmallestLevel;
    std::vector<Piece> pieces(static_cast<size_t>(pieceCount));
    size_t capacity = 0;
    for (int i = 0; i < pieceCount; ++i) {
        const int rows = std::min(rowsPerPiece, image.height() - i * rowsPerPiece);
        capacity += pieceBound(size_t(rows) * filteredRow);
    }
    std::unique_ptr<PieceStore> store;
    try {
        store = std::make_unique<PieceStore>(capacity);
    } catch (const std::bad_alloc &) {
        return fail(error, QStringLiteral("out of memory"));
    }
    const Deflater deflater =
        level == Level::Fast ? Deflater::SheetFast
        : level == Level::Small
            ? (smallImage ? Deflater::SheetSmallOrLibdeflate : Deflater::SheetSmall)
        : smallImage ? Deflater::Libdeflate
                     : Deflater::Sheet;
    return deflatePieces(image, palette, deflateLevel, deflater, rowsPerPiece, threads, *store,
                         pieces, error, cancel) &&
           assemble(image, palette, deflateLevel, pieces, threads, png, storage, spent, error);
}

// At the small level, a sheet of at most 256 different pixels is also
// written with a palette, before the RGBA encode may take the pixels'
// memory, and the smaller file kept.
bool encodeImage(const QImage &image, QImage *spent, QByteArray *png, QString *error, int threads,
                 Level level, size_t pieceBytes, std::shared_ptr<const void> *storage,
                 const std::atomic<bool> *cancel)
{
    QByteArray indexed;
    if (level == Level::Small) {
        const auto palette = std::make_unique<Palette>();
        if (palette->build(image) && !encodeRows(image, palette.get(), nullptr, &indexed, error,
                                                 threads, level, pieceBytes, nullptr, cancel))
            return false;
    }
    if (!encodeRows(image, nullptr, spent, png, error, threads, level, pieceBytes, storage, cancel))
        return false;
    if (!indexed.isEmpty() && indexed.size() < png->size()) {
        *png = indexed;
        if (storage)
            storage->reset();
    }
    return true;
}

bool encode(const QImage &image, QByteArray *png, QString *error, int threads, Level level,
            size_t pieceBytes, std::shared_ptr<const void> *storage,
            const std::atomic<bool> *cancel)
{
    // A copy shares the caller's pixels, so the file never takes them; a
    // converted one is this call's own.
    return encode(QImage(image), png, error, threads, level, pieceBytes, storage, cancel);
}

bool encode(QImage &&image, QByteArray *png, QString *error, int threads, Level level,
            size_t pieceBytes, std::shared_ptr<const void> *storage,
            const std::atomic<bool> *cancel)
{
    if (image.isNull())
        return fail(error, QStringLiteral("no image to encode"));
    if (image.format() != QImage::Format_ARGB32) {
        image = image.convertToFormat(QImage::Format_ARGB32);
        if (image.isNull())
            return fail(error, QStringLiteral("out of memory"));
    }
    // Taken only when nothing else shares the pixels.
    return encodeImage(image, image.isDetached() ? &image : nullptr, png, error, threads, level,
                       pieceBytes, storage, cancel);
}

} // namespace PngEncoder
