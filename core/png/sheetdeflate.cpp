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

// The number of zeros from data[position] on, before `size`.
inline size_t zerosFrom(const uint8_t *data, size_t position, size_t size)
{
    size_t end = position;
    while (end + 8 <= size && load64(data + end) == 0)
        end += 8;
    while (end < size && data[end] == 0)
        ++end;
    return end - position;
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

// Length codes' extra bits, for the costs of Effort::Small.
constexpr uint8_t LengthExtraBits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// A block's size in bits with `codes`, its header included.
uint64_t codedBits(const isal_hufftables &codes, const isal_huff_histogram &histogram)
{
    uint64_t bits = uint64_t(codes.deflate_hdr_count) * 8 + codes.deflate_hdr_extra_bits;
    for (int symbol = 0; symbol <= 256; ++symbol)
        bits += histogram.lit_len_histogram[symbol] * codes.lit_table_sizes[symbol];
    // A length's table entry holds its code's bits and its extra bits.
    for (int code = 0; code < 29; ++code)
        bits +=
            histogram.lit_len_histogram[257 + code] * (codes.len_table[LengthBase[code] - 3] & 31);
    for (int code = 0; code < 30; ++code)
        bits +=
            histogram.dist_histogram[code] * (codes.dcodes_sizes[code] + DistanceExtraBits[code]);
    return bits;
}

// `code` of `length` bits in the order deflate sends them, first bit lowest.
uint32_t reversed(uint32_t code, unsigned length)
{
    uint32_t result = 0;
    for (unsigned i = 0; i < length; ++i)
        result |= ((code >> i) & 1) << (length - 1 - i);
    return result;
}

// Deflate's fixed codes in ISA-L's layout, with a header of just the block's
// 3 bits (BFINAL and type 01). For a block of a few hundred bytes they beat
// codes of its own, which take their header.
const isal_hufftables &fixedCodes()
{
    static const isal_hufftables codes = [] {
        isal_hufftables fixed{};
        fixed.deflate_hdr[0] = 0x02;
        fixed.deflate_hdr_count = 0;
        fixed.deflate_hdr_extra_bits = 3;
        const auto literalCode = [](unsigned symbol, unsigned *length) {
            if (symbol < 144) {
                *length = 8;
                return 0x30 + symbol;
            }
            if (symbol < 256) {
                *length = 9;
                return 0x190 + symbol - 144;
            }
            if (symbol < 280) {
                *length = 7;
                return symbol - 256;
            }
            *length = 8;
            return 0xc0 + symbol - 280;
        };
        for (unsigned symbol = 0; symbol < 257; ++symbol) {
            unsigned length = 0;
            const unsigned code = literalCode(symbol, &length);
            fixed.lit_table[symbol] = uint16_t(reversed(code, length));
            fixed.lit_table_sizes[symbol] = uint8_t(length);
        }
        for (size_t length = 3; length <= MaxMatch; ++length) {
            const unsigned symbol = symbols.length[length];
            unsigned bits = 0;
            const unsigned plain = literalCode(257 + symbol, &bits);
            const unsigned code = reversed(plain, bits);
            const uint32_t extra = uint32_t(length) - uint32_t(LengthBase[symbol]);
            fixed.len_table[length - 3] =
                (code | extra << bits) << 5 | (bits + LengthExtraBits[symbol]);
        }
        for (unsigned code = 0; code < 30; ++code) {
            fixed.dcodes[code] = uint16_t(reversed(code, 5));
            fixed.dcodes_sizes[code] = 5;
        }
        return fixed;
    }();
    return codes;
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
      m_insertLimit(effort == Effort::Fast ? 0 : 32), m_skipShift(effort == Effort::Fast ? 2 : 3),
      m_optimal(effort == Effort::Small ? std::make_unique<Optimal>() : nullptr)
{
}

Encoder::~Encoder() = default;

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
            const size_t run = zerosFrom(data, pos, size);
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

// --- Effort::Small ---------------------------------------------------------

// The matches of every position in one block, and the cheapest way through
// it. Positions are offsets into the deflated input.
struct Encoder::Optimal
{
    static constexpr int HashBits = 15;
    static constexpr int Depth = 16;    // candidates looked at per position
    static constexpr size_t Nice = 128; // a match this long ends the search
    // Every length of a match up to this one is weighed, and past it only
    // the whole match: a shorter cut of a long match rarely pays.
    static constexpr size_t EveryLengthUpTo = 16;
    static constexpr uint32_t Covered = ~0u;
    static constexpr uint32_t RunChoice = ~0u;

    std::vector<int64_t> head = std::vector<int64_t>(size_t(1) << HashBits);
    std::vector<int64_t> chain = std::vector<int64_t>(WindowBytes);
    // Per position of the block: where its matches start in the cache, where
    // its run of zeros ends (or Covered inside a long match), the bits from
    // there to the block's end, and the choice that gives them.
    std::vector<uint32_t> firstMatch = std::vector<uint32_t>(BlockBytes + 1);
    std::vector<uint32_t> runEnd = std::vector<uint32_t>(BlockBytes);
    std::vector<uint32_t> cost = std::vector<uint32_t>(BlockBytes + 1);
    std::vector<uint32_t> choice = std::vector<uint32_t>(BlockBytes);
    std::vector<uint32_t> zeroBits = std::vector<uint32_t>(BlockBytes + 1);
    std::vector<uint16_t> matchLength, matchDistance; // longer and longer per position
    uint32_t literalBits[256];
    uint32_t lengthBits[MaxMatch + 1];
    uint32_t distanceBits[30];

    void reset()
    {
        std::fill(head.begin(), head.end(), -1);
        std::fill(chain.begin(), chain.end(), -1);
        defaultCosts();
    }

    void defaultCosts()
    {
        std::fill(std::begin(literalBits), std::end(literalBits), 8);
        literalBits[0] = 4;
        for (size_t length = 3; length <= MaxMatch; ++length)
            lengthBits[length] = 7 + LengthExtraBits[symbols.length[length]];
        for (int code = 0; code < 30; ++code)
            distanceBits[code] = 5 + DistanceExtraBits[code];
    }

    // Costs from a block's codes; a symbol the block did not use costs what
    // a rare one would.
    void setCosts(const isal_hufftables &codes)
    {
        for (int symbol = 0; symbol < 256; ++symbol) {
            const unsigned bits = codes.lit_table_sizes[symbol];
            literalBits[symbol] = bits ? bits : 13;
        }
        for (size_t length = 3; length <= MaxMatch; ++length) {
            const unsigned bits = codes.len_table[length - 3] & 31; // code and extra bits
            lengthBits[length] = bits ? bits : 13 + LengthExtraBits[symbols.length[length]];
        }
        for (int code = 0; code < 30; ++code) {
            const unsigned bits = codes.dcodes_sizes[code];
            distanceBits[code] = (bits ? bits : 12) + DistanceExtraBits[code];
        }
    }

    // zeroBits[n]: the bits Encoder::zeroRun() spends on n zeros after a
    // zero, for every n up to `count`, with the current costs.
    void countZeroBits(size_t count)
    {
        zeroBits[0] = 0;
        for (size_t length = 1; length <= count; ++length) {
            if (length < 3) {
                zeroBits[length] = uint32_t(length) * literalBits[0];
                continue;
            }
            size_t part = std::min(length, MaxMatch);
            if (length - part > 0 && length - part < 3)
                part = length - 3;
            zeroBits[length] = lengthBits[part] + distanceBits[0] + zeroBits[length - part];
        }
    }

    void insert(const uint8_t *data, size_t position)
    {
        const uint32_t hash = hashOf(data + position, HashBits);
        chain[position & (WindowBytes - 1)] = head[hash];
        head[hash] = int64_t(position);
    }

    void findMatches(const uint8_t *data, size_t size, size_t start, size_t end);
    void chooseCheapest(const uint8_t *data, size_t start, size_t end);
};

// Runs of 8 zeros or more are taken whole, as zeroRun() writes them; every
// other position gets its matches from the hash chain, each longer than the
// one before, up to a Nice one, whose positions are then skipped.
void Encoder::Optimal::findMatches(const uint8_t *data, size_t size, size_t start, size_t end)
{
    matchLength.clear();
    matchDistance.clear();
    size_t pos = start;
    while (pos < end) {
        const size_t at = pos - start;
        firstMatch[at] = uint32_t(matchLength.size());
        runEnd[at] = 0;
        if (pos + 8 <= size && load64(data + pos) == 0) {
            const size_t stop = std::min(pos + zerosFrom(data, pos, size), end);
            for (size_t inside = at; inside < stop - start; ++inside) {
                firstMatch[inside] = firstMatch[at];
                runEnd[inside] = uint32_t(stop - start);
            }
            pos = stop;
            continue;
        }
        if (pos + MinMatch > size) {
            ++pos;
            continue;
        }
        const size_t limit = std::min({MaxMatch, size - pos, end - pos});
        const uint32_t first = qFromLittleEndian<quint32>(data + pos);
        int64_t candidate = head[hashOf(data + pos, HashBits)];
        insert(data, pos);
        size_t best = 2; // deflate's shortest match is 3 bytes
        for (int depth = 0; depth < Depth && candidate >= 0; ++depth) {
            // The chain holds one window's positions; older ones are stale.
            const size_t back = pos - size_t(candidate);
            if (back >= WindowBytes)
                break;
            const uint8_t *earlier = data + candidate;
            if (best < limit && earlier[best] == data[pos + best] &&
                qFromLittleEndian<quint32>(earlier) == first) {
                const size_t length = commonLength(earlier, data + pos, limit);
                if (length > best) {
                    best = length;
                    matchLength.push_back(uint16_t(length));
                    matchDistance.push_back(uint16_t(back));
                    if (length >= Nice || length == limit)
                        break;
                }
            }
            candidate = chain[size_t(candidate) & (WindowBytes - 1)];
        }
        ++pos;
        if (best >= Nice) {
            const size_t stop = std::min(pos - 1 + best, end);
            for (; pos < stop; ++pos) {
                firstMatch[pos - start] = uint32_t(matchLength.size());
                runEnd[pos - start] = Covered;
                if (pos + MinMatch <= size)
                    insert(data, pos);
            }
        }
    }
    firstMatch[end - start] = uint32_t(matchLength.size());
}

// From the block's end backwards: the fewest bits from each position on,
// over a literal, each match cut to every length up to EveryLengthUpTo or
// taken whole, or the rest of a run of zeros.
void Encoder::Optimal::chooseCheapest(const uint8_t *data, size_t start, size_t end)
{
    const size_t count = end - start;
    countZeroBits(count);
    cost[count] = 0;
    for (size_t at = count; at-- > 0;) {
        const size_t pos = start + at;
        if (runEnd[at] != 0 && runEnd[at] != Covered) {
            const size_t length = runEnd[at] - at;
            cost[at] = (pos == 0 || data[pos - 1] != 0 ? literalBits[0] + zeroBits[length - 1]
                                                       : zeroBits[length]) +
                       cost[runEnd[at]];
            choice[at] = RunChoice;
            continue;
        }
        uint32_t best = literalBits[data[pos]] + cost[at + 1];
        uint32_t bestChoice = 0;
        size_t shortest = 3;
        for (uint32_t i = firstMatch[at]; i < firstMatch[at + 1]; ++i) {
            const size_t length = matchLength[i];
            const size_t distance = matchDistance[i];
            const uint32_t bits = distanceBits[distanceCode(distance)];
            const auto weigh = [&](size_t take) {
                const uint32_t total = lengthBits[take] + bits + cost[at + take];
                if (total < best) {
                    best = total;
                    bestChoice = uint32_t(take) << 16 | uint32_t(distance);
                }
            };
            for (size_t take = shortest; take <= std::min(length, EveryLengthUpTo); ++take)
                weigh(take);
            if (length > EveryLengthUpTo)
                weigh(length);
            shortest = length + 1;
        }
        cost[at] = best;
        choice[at] = bestChoice;
    }
}

// Tokens for [start, end): the cheapest path by the costs the last block's
// codes give, then again by this block's own. A run of zeros that reaches
// `end` is taken whole, as tokenize() takes it, so that a wide margin does
// not cost a block header every 64 KiB. Returns where the tokens end.
size_t Encoder::tokenizeOptimal(const uint8_t *data, size_t size, size_t start, size_t end)
{
    Optimal &optimal = *m_optimal;
    optimal.findMatches(data, size, start, end);
    const auto parse = [&] {
        optimal.chooseCheapest(data, start, end);
        m_tokenCount = 0;
        std::fill(std::begin(m_histogram.lit_len_histogram),
                  std::end(m_histogram.lit_len_histogram), 0);
        std::fill(std::begin(m_histogram.dist_histogram), std::end(m_histogram.dist_histogram), 0);
        const size_t stop = emitParsed(data, size, start, end);
        m_histogram.lit_len_histogram[256] = 1; // the end of the block
        return stop;
    };
    size_t stop = 0;
    bool coded = false;
    for (int pass = 0; pass < 2; ++pass) {
        stop = parse();
        coded = isal_create_hufftables_subset(&m_codes, &m_histogram) == 0;
        if (coded)
            optimal.setCosts(m_codes);
    }
    // A block that deflates to little may do better with the fixed codes,
    // which need no header, and tokens priced by them.
    constexpr uint64_t FixedCodesMayPay = 8 * 2048;
    const uint64_t bits = coded ? codedBits(m_codes, m_histogram) : FixedCodesMayPay;
    if (bits < FixedCodesMayPay) {
        const std::vector<uint32_t> tokens(m_tokens.get(), m_tokens.get() + m_tokenCount);
        const isal_huff_histogram histogram = m_histogram;
        optimal.setCosts(fixedCodes());
        parse();
        if (codedBits(fixedCodes(), m_histogram) >= bits) {
            std::copy(tokens.begin(), tokens.end(), m_tokens.get());
            m_tokenCount = tokens.size();
            m_histogram = histogram;
        }
        optimal.setCosts(m_codes); // for the next block's first pass
    }
    return stop;
}

size_t Encoder::emitParsed(const uint8_t *data, size_t size, size_t start, size_t end)
{
    const Optimal &optimal = *m_optimal;
    size_t stop = end;
    for (size_t at = 0; at < end - start;) {
        const uint32_t choice = optimal.choice[at];
        if (choice == Optimal::RunChoice) {
            size_t runStop = start + optimal.runEnd[at];
            if (runStop == end) {
                runStop += zerosFrom(data, end, size);
                stop = runStop;
            }
            zeroRun(data, start + at, runStop - (start + at));
            at = optimal.runEnd[at];
        } else if (choice == 0) {
            literal(data[start + at]);
            ++at;
        } else {
            match(choice >> 16, choice & 0xffff);
            at += choice >> 16;
        }
    }
    return stop;
}

// Writes tokens [first, end) as one block, or as two halves with their own
// codes when those take fewer bits, down to `depth` times.
void Encoder::writeSplit(Writer &out, size_t first, size_t end, uint64_t bits,
                         const isal_hufftables &codes, bool last, int depth) const
{
    if (depth > 0 && end - first > 64) {
        const size_t middle = first + (end - first) / 2;
        isal_hufftables halfCodes[2];
        uint64_t halfBits[2];
        const size_t bounds[3] = {first, middle, end};
        bool coded = true;
        for (int half = 0; half < 2 && coded; ++half) {
            isal_huff_histogram histogram{};
            for (size_t i = bounds[half]; i < bounds[half + 1]; ++i) {
                const uint32_t token = m_tokens[i];
                if ((token & MatchFlag) == 0) {
                    ++histogram.lit_len_histogram[token];
                } else {
                    ++histogram.lit_len_histogram[257 + symbols.length[((token >> 16) & 0xff) + 3]];
                    ++histogram.dist_histogram[distanceCode((token & 0xffff) + 1)];
                }
            }
            histogram.lit_len_histogram[256] = 1;
            coded = isal_create_hufftables_subset(&halfCodes[half], &histogram) == 0;
            halfBits[half] = coded ? codedBits(halfCodes[half], histogram) : 0;
        }
        if (coded && halfBits[0] + halfBits[1] < bits) {
            writeSplit(out, first, middle, halfBits[0], halfCodes[0], false, depth - 1);
            writeSplit(out, middle, end, halfBits[1], halfCodes[1], last, depth - 1);
            return;
        }
    }
    writeBlock(out, codes, first, end, last);
}

// Writes tokens [first, end) as one block with `codes`.
void Encoder::writeBlock(Writer &out, const isal_hufftables &codes, size_t first, size_t end,
                         bool last) const
{
    // ISA-L's header starts with the block's own 3 bits; bit 0 is BFINAL.
    // The fixed codes' header is those 3 bits alone.
    const uint32_t headerBits = codes.deflate_hdr_count > 0 ? 8 : codes.deflate_hdr_extra_bits;
    out.put((codes.deflate_hdr[0] & 0xfe) | (last ? 1 : 0), headerBits);
    for (uint32_t i = 1; i < codes.deflate_hdr_count; ++i)
        out.put(codes.deflate_hdr[i], 8);
    if (codes.deflate_hdr_count > 0 && codes.deflate_hdr_extra_bits > 0) {
        out.put(codes.deflate_hdr[codes.deflate_hdr_count] &
                    ((1u << codes.deflate_hdr_extra_bits) - 1),
                codes.deflate_hdr_extra_bits);
    }
    uint32_t literals[257]; // code << 5 | its length, as ISA-L packs lengths
    for (int symbol = 0; symbol < 257; ++symbol)
        literals[symbol] = uint32_t(codes.lit_table[symbol]) << 5 | codes.lit_table_sizes[symbol];
    for (size_t i = first; i < end; ++i) {
        const uint32_t token = m_tokens[i];
        if ((token & MatchFlag) == 0) {
            const uint32_t literal = literals[token];
            out.add(literal >> 5, literal & 31);
            // A second literal fits before the flush: at most 7 + 15 + 15 bits.
            if (i + 1 < end && (m_tokens[i + 1] & MatchFlag) == 0) {
                const uint32_t second = literals[m_tokens[++i]];
                out.add(second >> 5, second & 31);
            }
            out.flush();
            continue;
        }
        const uint32_t length = codes.len_table[(token >> 16) & 0xff];
        out.add(length >> 5, length & 31); // up to 20 bits, then up to 28
        const size_t distance = (token & 0xffff) + 1;
        const int code = distanceCode(distance);
        const unsigned codeBits = codes.dcodes_sizes[code];
        out.put(codes.dcodes[code] | uint64_t(distance - size_t(DistanceBase[code])) << codeBits,
                codeBits + DistanceExtraBits[code]);
    }
    out.put(codes.lit_table[256], codes.lit_table_sizes[256]);
}

size_t Encoder::deflate(const uint8_t *data, size_t size, bool final, uint8_t *out)
{
    std::fill(m_head.begin(), m_head.end(), uint16_t(0));
    m_misses = 0;
    if (m_optimal)
        m_optimal->reset();
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
        if (m_optimal) {
            pos = tokenizeOptimal(data, size, pos, std::min(size, pos + BlockBytes));
        } else {
            tokenize(data, size, &pos, std::min(size, pos + BlockBytes));
        }
        const bool last = pos == size;
        m_histogram.lit_len_histogram[256] = 1; // the end of the block
        // ISA-L reports codes it could not build; such a block is stored.
        const bool coded = isal_create_hufftables_subset(&m_codes, &m_histogram) == 0;

        // Stored when Huffman codes do not pay, as with noise: 3 header bits
        // and up to 7 of padding, LEN and NLEN, per 65535 bytes.
        const size_t raw = pos - blockStart;
        const uint64_t storedBits = (raw + 5 * ((raw + 65534) / 65535)) * 8 + 8;
        const uint64_t bits = coded ? codedBits(m_codes, m_histogram) : 0;
        const uint64_t fixedBits = m_optimal ? codedBits(fixedCodes(), m_histogram) : storedBits;
        if (fixedBits < storedBits && (!coded || fixedBits <= bits)) {
            writeBlock(writer, fixedCodes(), 0, m_tokenCount, last && final);
        } else if (coded && bits < storedBits) {
            if (m_optimal)
                writeSplit(writer, 0, m_tokenCount, bits, m_codes, last && final, 2);
            else
                writeBlock(writer, m_codes, 0, m_tokenCount, last && final);
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
