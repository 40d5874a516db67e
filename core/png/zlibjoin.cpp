#include "core/png/zlibjoin.h"

#include <QtEndian>

#include <cstring>

namespace ZlibJoin {

namespace {

// --- Walking a raw deflate stream ------------------------------------------

class BitReader
{
public:
    BitReader(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}

    // The next `count` (at most 32) bits, least significant first; zero bits
    // past the end, which overrun() then reports once they are consumed.
    uint32_t peek(int count) const
    {
        const size_t byte = m_position >> 3;
        uint64_t window = 0;
        if (byte + 8 <= m_size) {
            window = qFromLittleEndian<quint64>(m_data + byte);
        } else {
            for (size_t i = 0; byte + i < m_size && i < 8; ++i)
                window |= uint64_t(m_data[byte + i]) << (8 * i);
        }
        window >>= m_position & 7;
        return uint32_t(window & ((uint64_t(1) << count) - 1));
    }
    void skip(size_t count) { m_position += count; }
    uint32_t take(int count)
    {
        const uint32_t value = peek(count);
        m_position += size_t(count);
        return value;
    }
    void alignToByte() { m_position = (m_position + 7) & ~size_t(7); }
    bool overrun() const { return m_position > m_size * 8; }
    size_t position() const { return m_position; }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_position = 0;
};

// A canonical Huffman code: codes of up to FastBits bits through a lookup
// table indexed by the next bits (entry: symbol << 4 | length, 0 for none),
// longer ones bit by bit from the count of codes of each length.
class HuffmanTable
{
public:
    bool build(const uint8_t *lengths, int count)
    {
        std::fill(std::begin(m_count), std::end(m_count), uint16_t(0));
        int maxLength = 0;
        for (int i = 0; i < count; ++i) {
            ++m_count[lengths[i]];
            maxLength = std::max(maxLength, int(lengths[i]));
        }
        m_count[0] = 0;
        uint16_t offset[16] = {};
        uint32_t next[16] = {};
        uint32_t code = 0;
        for (int length = 1; length <= 15; ++length) {
            offset[length] = uint16_t(offset[length - 1] + m_count[length - 1]);
            code = (code + m_count[length - 1]) << 1;
            next[length] = code;
        }
        m_fastBits = std::min(maxLength, FastBits);
        m_fast.assign(size_t(1) << m_fastBits, 0);
        m_symbols.assign(size_t(count), 0);
        for (int symbol = 0; symbol < count; ++symbol) {
            const int length = lengths[symbol];
            if (length == 0)
                continue;
            m_symbols[offset[length]++] = uint16_t(symbol);
            const uint32_t value = next[length]++;
            if (value >= (uint32_t(1) << length)) // over-subscribed
                return false;
            if (length > m_fastBits)
                continue;
            uint32_t reversed = 0;
            for (int bit = 0; bit < length; ++bit)
                reversed |= ((value >> bit) & 1) << (length - 1 - bit);
            for (size_t i = reversed; i < m_fast.size(); i += size_t(1) << length)
                m_fast[i] = uint16_t(symbol << 4 | length);
        }
        return true;
    }

    // The next symbol, or -1 when the bits are no code.
    int decode(BitReader &in) const
    {
        const uint16_t entry = m_fast[in.peek(m_fastBits)];
        if (entry != 0) {
            in.skip(entry & 15);
            return entry >> 4;
        }
        const uint32_t bits = in.peek(15);
        int code = 0, first = 0, index = 0;
        for (int length = 1; length <= 15; ++length) {
            code |= int((bits >> (length - 1)) & 1);
            const int count = m_count[length];
            if (code - count < first) {
                in.skip(size_t(length));
                return m_symbols[size_t(index + code - first)];
            }
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        return -1;
    }

private:
    static constexpr int FastBits = 10;
    std::vector<uint16_t> m_fast;
    std::vector<uint16_t> m_symbols; // by code
    uint16_t m_count[16] = {};       // codes of each length
    int m_fastBits = 0;
};

const uint8_t LengthExtraBits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                     2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint8_t DistanceExtraBits[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

bool readDynamicCodes(BitReader &in, HuffmanTable *literals, HuffmanTable *distances)
{
    static const uint8_t order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                      11, 4,  12, 3, 13, 2, 14, 1, 15};
    const int literalCount = int(in.take(5)) + 257;
    const int distanceCount = int(in.take(5)) + 1;
    const int codeLengthCount = int(in.take(4)) + 4;
    uint8_t codeLengthLengths[19] = {};
    for (int i = 0; i < codeLengthCount; ++i)
        codeLengthLengths[order[i]] = uint8_t(in.take(3));
    HuffmanTable codeLengths;
    if (literalCount > 286 || distanceCount > 30 || !codeLengths.build(codeLengthLengths, 19))
        return false;

    uint8_t lengths[286 + 30] = {};
    const int total = literalCount + distanceCount;
    for (int i = 0; i < total;) {
        const int symbol = codeLengths.decode(in);
        if (symbol < 0)
            return false;
        if (symbol < 16) {
            lengths[i++] = uint8_t(symbol);
            continue;
        }
        uint8_t value = 0;
        int repeat = 0;
        if (symbol == 16) {
            if (i == 0)
                return false;
            value = lengths[i - 1];
            repeat = 3 + int(in.take(2));
        } else if (symbol == 17) {
            repeat = 3 + int(in.take(3));
        } else {
            repeat = 11 + int(in.take(7));
        }
        if (i + repeat > total)
            return false;
        std::fill(lengths + i, lengths + i + repeat, value);
        i += repeat;
    }
    return !in.overrun() && literals->build(lengths, literalCount) &&
           distances->build(lengths + literalCount, distanceCount);
}

} // namespace

// Finds the final block of a complete raw deflate stream: the bit position
// of its BFINAL bit and the position just past its end-of-block code.
bool findFinalBlock(const uint8_t *data, size_t size, size_t *headerBit, size_t *endBit)
{
    static const HuffmanTable *const fixed = [] {
        static HuffmanTable tables[2];
        uint8_t lengths[288];
        std::fill(lengths, lengths + 144, 8);
        std::fill(lengths + 144, lengths + 256, 9);
        std::fill(lengths + 256, lengths + 280, 7);
        std::fill(lengths + 280, lengths + 288, 8);
        tables[0].build(lengths, 288);
        std::fill(lengths, lengths + 30, 5);
        tables[1].build(lengths, 30);
        return tables;
    }();

    BitReader in(data, size);
    HuffmanTable dynamicLiterals, dynamicDistances;
    for (;;) {
        const size_t header = in.position();
        const bool final = in.take(1);
        const uint32_t type = in.take(2);
        if (type == 0) {
            in.alignToByte();
            const uint32_t length = in.take(16);
            if ((length ^ in.take(16)) != 0xffff)
                return false;
            in.skip(size_t(length) * 8);
        } else if (type == 1 || type == 2) {
            const HuffmanTable *literals = &fixed[0];
            const HuffmanTable *distances = &fixed[1];
            if (type == 2) {
                if (!readDynamicCodes(in, &dynamicLiterals, &dynamicDistances))
                    return false;
                literals = &dynamicLiterals;
                distances = &dynamicDistances;
            }
            for (;;) {
                const int symbol = literals->decode(in);
                if (symbol < 256) {
                    if (symbol < 0 || in.overrun())
                        return false;
                    continue;
                }
                if (symbol == 256)
                    break;
                if (symbol > 285)
                    return false;
                in.skip(LengthExtraBits[symbol - 257]);
                const int distance = distances->decode(in);
                if (distance < 0 || distance >= 30)
                    return false;
                in.skip(DistanceExtraBits[distance]);
            }
        } else {
            return false;
        }
        if (in.overrun())
            return false;
        if (final) {
            *headerBit = header;
            *endBit = in.position();
            return true;
        }
    }
}

// Turns a complete raw deflate stream of `*size` bytes in `data` into one
// that continues: the final block becomes non-final and an empty stored
// block ends the data on a byte boundary. `data` needs 5 spare bytes.
bool endWithSyncFlush(uint8_t *data, size_t *size)
{
    size_t headerBit = 0, endBit = 0;
    if (!findFinalBlock(data, *size, &headerBit, &endBit) || (endBit + 7) / 8 != *size)
        return false;
    data[headerBit / 8] &= uint8_t(~(1u << (headerBit % 8)));
    if (endBit % 8 != 0)
        data[endBit / 8] &= uint8_t((1u << (endBit % 8)) - 1);
    // Three zero header bits (not final, stored), then zero bits up to the
    // byte boundary, then LEN 0 and NLEN 0xffff.
    size_t used = (endBit + 3 + 7) / 8;
    std::fill(data + *size, data + used, uint8_t(0));
    const uint8_t empty[4] = {0x00, 0x00, 0xff, 0xff};
    std::memcpy(data + used, empty, 4);
    *size = used + 4;
    return true;
}
// The Adler-32 of A followed by B from those of A and B and B's length.
uint32_t combineAdler32(uint32_t first, uint32_t second, size_t secondLength)
{
    constexpr uint64_t base = 65521;
    const uint64_t remainder = secondLength % base;
    const uint64_t sum1 = ((first & 0xffff) + (second & 0xffff) + base - 1) % base;
    const uint64_t sum2 =
        (remainder * (first & 0xffff) + (first >> 16) + (second >> 16) + base - remainder) % base;
    return uint32_t(sum2 << 16 | sum1);
}

} // namespace ZlibJoin
