#include "core/png/sheetdeflate.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace SheetDeflate {

namespace {

constexpr size_t BlockBytes = 65536;
constexpr size_t WindowBytes = 32768;
constexpr size_t MinMatch = 4; // 3-byte matches rarely pay at these code lengths
constexpr size_t MaxMatch = 258;
constexpr uint32_t MatchFlag = 0x80000000u;

constexpr int LengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr int DistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                  33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                  1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t DistanceExtraBits[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                           6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Symbol tables: a length's code (0 to 28), and a distance's code from
// distance - 1 below 256, or from (distance - 1) / 128 above.
struct Symbols
{
    uint8_t length[MaxMatch + 1] = {};
    uint8_t distance[512] = {};
    Symbols()
    {
        for (int code = 0; code < 29; ++code) {
            const int end = code < 28 ? LengthBase[code + 1] : int(MaxMatch) + 1;
            for (int value = LengthBase[code]; value < end; ++value)
                length[value] = uint8_t(code);
        }
        length[MaxMatch] = 28;
        for (int code = 0; code < 30; ++code) {
            const int end = code < 29 ? DistanceBase[code + 1] : int(WindowBytes) + 1;
            for (int value = DistanceBase[code] - 1; value < end - 1; ++value) {
                if (value < 256)
                    distance[value] = uint8_t(code);
                else if (value % 128 == 0)
                    distance[256 + value / 128] = uint8_t(code);
            }
        }
    }
};
const Symbols symbols;

inline int distanceCode(size_t distance)
{
    const size_t value = distance - 1;
    return value < 256 ? symbols.distance[value] : symbols.distance[256 + value / 128];
}

inline uint64_t load64(const uint8_t *p)
{
    return qFromLittleEndian<quint64>(p);
}

inline uint32_t hashOf(const uint8_t *p, int bits)
{
    return (qFromLittleEndian<quint32>(p) * 0x9E3779B1u) >> (32 - bits);
}

// Bytes in common at a and b, up to `limit`.
inline size_t commonLength(const uint8_t *a, const uint8_t *b, size_t limit)
{
    size_t length = 0;
    while (length + 8 <= limit) {
        const uint64_t difference = load64(a + length) ^ load64(b + length);
        if (difference != 0)
            return length + size_t(__builtin_ctzll(difference) >> 3);
        length += 8;
    }
    while (length < limit && a[length] == b[length])
        ++length;
    return length;
}

} // namespace

// Bits written least significant first. flush() stores eight bytes and
// keeps the partial one, so the output needs 8 spare bytes.
struct Encoder::Writer
{
    uint8_t *out;
    uint64_t bits = 0;
    unsigned count = 0; // under 8 after flush()

    // At most 56 bits between two flushes; `value` has no bits past `length`.
    void add(uint64_t value, unsigned length)
    {
        bits |= value << count;
        count += length;
    }
    void flush()
    {
        qToLittleEndian<quint64>(bits, out);
        out += count >> 3;
        bits >>= count & ~7u;
        count &= 7;
    }
    void put(uint64_t value, unsigned length)
    {
        add(value, length);
        flush();
    }
    void alignToByte()
    {
        flush();
        if (count > 0)
            *out++ = uint8_t(bits);
        bits = 0;
        count = 0;
    }
    void stored(const uint8_t *data, size_t size, bool final)
    {
        put(final ? 1 : 0, 3);
        alignToByte();
        qToLittleEndian<quint16>(quint16(size), out);
        qToLittleEndian<quint16>(quint16(~size), out + 2);
        std::memcpy(out + 4, data, size);
        out += 4 + size;
    }
};

size_t bound(size_t size)
{
    // A block is stored unless its codes take fewer bits, and stored takes
    // 5 bytes per 65535 and per block besides its input, with at most one
    // block per 64 KiB of input and one more; a block with codes may take
    // one byte more than stored for the byte its header starts in. Then the
    // sync flush and the writer's spare bytes.
    return size + 11 * (size / (BlockBytes - 1) + 2) + 16;
}

// After 2^skipShift positions without a match the matcher looks at every
// second one, then every third, and so on until the next match. Matches up to
// insertLimit bytes long leave every position they cover in the table.
Encoder::Encoder(Effort effort)
    : m_head(size_t(2) << HashBits), m_candidates(effort == Effort::Fast ? 1 : 2),
      m_insertLimit(effort == Effort::Fast ? 0 : 32), m_skipShift(effort == Effort::Fast ? 2 : 3)
{
}

inline void Encoder::literal(uint8_t value)
{
    m_tokens[m_tokenCount++] = value;
    ++m_histogram.lit_len_histogram[value];
}

inline void Encoder::match(size_t length, size_t distance)
{
    m_tokens[m_tokenCount++] = MatchFlag | uint32_t(length - 3) << 16 | uint32_t(distance - 1);
    ++m_histogram.lit_len_histogram[257 + symbols.length[length]];
    ++m_histogram.dist_histogram[distanceCode(distance)];
}

// `length` zeros from `position`: one literal zero unless a zero precedes
// them, then matches at distance 1, none shorter than 3.
void Encoder::zeroRun(const uint8_t *data, size_t position, size_t length)
{
    if (position == 0 || data[position - 1] != 0) {
        literal(0);
        --length;
    }
    while (length >= 3) {
        size_t part = std::min(length, MaxMatch);
        if (length - part > 0 && length - part < 3)
            part = length - 3;
        match(part, 1);
        length -= part;
    }
    while (length-- > 0)
        literal(0);
}

// Turns input from `*position` into tokens up to `blockEnd` or a little past
// it, where a match or a run of zeros ends.
void Encoder::tokenize(const uint8_t *data, size_t size, size_t *position, size_t blockEnd)
{
    size_t pos = *position;
    while (pos < blockEnd) {
        if (pos + 8 <= size && load64(data + pos) == 0) {
            size_t run = 8;
            while (pos + run + 8 <= size && load64(data + pos + run) == 0)
                run += 8;
            while (pos + run < size && data[pos + run] == 0)
                ++run;
            zeroRun(data, pos, run);
            pos += run;
            m_misses = 0;
            continue;
        }
        if (pos + MinMatch > size) {
            literal(data[pos++]);
            continue;
        }
        // Two candidates per hash, the later first, each kept as the low 16
        // bits of its position: one is found from at most 64 KiB back and
        // before `pos`, and a stale or unset entry is just a candidate that
        // does not match.
        const uint32_t hash = hashOf(data + pos, HashBits);
        uint16_t *bucket = &m_head[2 * size_t(hash)];
        const size_t limit = std::min(MaxMatch, size - pos);
        size_t length = 0, distance = 0;
        for (int i = 0; i < m_candidates; ++i) {
            const size_t back = (pos - bucket[i]) & 0xffff;
            if (back == 0 || back > WindowBytes || back > pos ||
                qFromLittleEndian<quint32>(data + pos - back) !=
                    qFromLittleEndian<quint32>(data + pos))
                continue; // no match of the 4 bytes the hash was of
            const size_t common = commonLength(data + pos - back, data + pos, limit);
            if (common > length) {
                length = common;
                distance = back;
            }
        }
        bucket[1] = bucket[0];
        bucket[0] = uint16_t(pos);
        if (length >= MinMatch) {
            match(length, distance);
            // Short matches leave their positions in the table, as later
            // data often repeats from inside them.
            if (length <= m_insertLimit) {
                const size_t end = std::min(pos + length, size - (MinMatch - 1));
                for (size_t next = pos + 1; next < end; ++next) {
                    uint16_t *entry = &m_head[2 * size_t(hashOf(data + next, HashBits))];
                    entry[1] = entry[0];
                    entry[0] = uint16_t(next);
                }
            }
            pos += length;
            m_misses = 0;
            continue;
        }
        const size_t step = 1 + (m_misses++ >> m_skipShift);
        for (size_t i = 0; i < step && pos < blockEnd; ++i)
            literal(data[pos++]);
    }
    *position = pos;
}

// The block's size in bits with m_codes, its header included.
uint64_t Encoder::huffmanBits() const
{
    uint64_t bits = uint64_t(m_codes.deflate_hdr_count) * 8 + m_codes.deflate_hdr_extra_bits;
    for (int symbol = 0; symbol <= 256; ++symbol)
        bits += m_histogram.lit_len_histogram[symbol] * m_codes.lit_table_sizes[symbol];
    // A length's table entry holds its code's bits and its extra bits.
    for (int code = 0; code < 29; ++code)
        bits += m_histogram.lit_len_histogram[257 + code] *
                (m_codes.len_table[LengthBase[code] - 3] & 31);
    for (int code = 0; code < 30; ++code)
        bits += m_histogram.dist_histogram[code] *
                (m_codes.dcodes_sizes[code] + DistanceExtraBits[code]);
    return bits;
}

void Encoder::writeBlock(Writer &out, bool last) const
{
    // ISA-L's header starts with the block's own 3 bits; bit 0 is BFINAL.
    out.put((m_codes.deflate_hdr[0] & 0xfe) | (last ? 1 : 0), 8);
    for (uint32_t i = 1; i < m_codes.deflate_hdr_count; ++i)
        out.put(m_codes.deflate_hdr[i], 8);
    if (m_codes.deflate_hdr_extra_bits > 0) {
        out.put(m_codes.deflate_hdr[m_codes.deflate_hdr_count] &
                    ((1u << m_codes.deflate_hdr_extra_bits) - 1),
                m_codes.deflate_hdr_extra_bits);
    }
    uint32_t literals[257]; // code << 5 | its length, as ISA-L packs lengths
    for (int symbol = 0; symbol < 257; ++symbol)
        literals[symbol] =
            uint32_t(m_codes.lit_table[symbol]) << 5 | m_codes.lit_table_sizes[symbol];
    for (size_t i = 0; i < m_tokenCount; ++i) {
        const uint32_t token = m_tokens[i];
        if ((token & MatchFlag) == 0) {
            const uint32_t first = literals[token];
            out.add(first >> 5, first & 31);
            // A second literal fits before the flush: at most 7 + 15 + 15 bits.
            if (i + 1 < m_tokenCount && (m_tokens[i + 1] & MatchFlag) == 0) {
                const uint32_t second = literals[m_tokens[++i]];
                out.add(second >> 5, second & 31);
            }
            out.flush();
            continue;
        }
        const uint32_t length = m_codes.len_table[(token >> 16) & 0xff];
        out.add(length >> 5, length & 31); // up to 20 bits, then up to 28
        const size_t distance = (token & 0xffff) + 1;
        const int code = distanceCode(distance);
        const unsigned codeBits = m_codes.dcodes_sizes[code];
        out.put(m_codes.dcodes[code] | uint64_t(distance - size_t(DistanceBase[code])) << codeBits,
                codeBits + DistanceExtraBits[code]);
    }
    out.put(m_codes.lit_table[256], m_codes.lit_table_sizes[256]);
}

size_t Encoder::deflate(const uint8_t *data, size_t size, bool final, uint8_t *out)
{
    std::fill(m_head.begin(), m_head.end(), uint16_t(0));
    m_misses = 0;
    // A block's tokens: at most one per byte up to its 64 KiB, and those of
    // the run of zeros or the match that carries it past them.
    const size_t tokens = BlockBytes + size / MaxMatch + 16;
    if (tokens > m_tokenCapacity) {
        m_tokens.reset(new uint32_t[tokens]);
        m_tokenCapacity = tokens;
    }
    Writer writer{out};
    size_t pos = 0;
    do {
        const size_t blockStart = pos;
        m_tokenCount = 0;
        std::fill(std::begin(m_histogram.lit_len_histogram),
                  std::end(m_histogram.lit_len_histogram), 0);
        std::fill(std::begin(m_histogram.dist_histogram), std::end(m_histogram.dist_histogram), 0);
        tokenize(data, size, &pos, std::min(size, pos + BlockBytes));
        const bool last = pos == size;
        m_histogram.lit_len_histogram[256] = 1; // the end of the block
        // ISA-L reports codes it could not build; such a block is stored.
        const bool coded = isal_create_hufftables_subset(&m_codes, &m_histogram) == 0;

        // Stored when Huffman codes do not pay, as with noise: 3 header bits
        // and up to 7 of padding, LEN and NLEN, per 65535 bytes.
        const size_t raw = pos - blockStart;
        const uint64_t storedBits = (raw + 5 * ((raw + 65534) / 65535)) * 8 + 8;
        if (coded && huffmanBits() < storedBits) {
            writeBlock(writer, last && final);
        } else {
            size_t offset = blockStart;
            do { // an empty input still gets one block
                const size_t part = std::min<size_t>(65535, pos - offset);
                writer.stored(data + offset, part, last && final && offset + part == pos);
                offset += part;
            } while (offset < pos);
        }
    } while (pos < size);
    if (!final)
        writer.stored(data, 0, false); // the sync flush: an empty stored block
    writer.alignToByte();
    return size_t(writer.out - out);
}

} // namespace SheetDeflate
