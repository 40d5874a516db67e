#include "core/png/zlibjoin.h"

#include <QtEndian>

#include <cstring>

namespace ZlibJoin {

namespace {

// --- Walking a raw deflate stream ------------------------------------------
//
// Only the bit lengths of the codes matter here, never the symbols' values,
// so each table entry gives the bits a code takes together with the extra
// bits that follow it. The reader keeps a 64-bit buffer refilled a whole
// word at a time; after a refill it holds at least 56 bits, enough for a
// length code with its distance (at most 48 bits).

class BitReader
{
public:
    BitReader(const uint8_t *data, size_t size) : m_data(data), m_next(data), m_end(data + size) {}

    // Tops the buffer up to at least 56 bits. Past the end it adds zero
    // bits; false once more than a few bytes of them were needed, which
    // only a damaged stream does.
    bool refill()
    {
        if (m_end - m_next >= 8) {
            m_buffer |= qFromLittleEndian<quint64>(m_next) << m_count;
            m_next += (63 - m_count) >> 3;
            m_count |= 56;
            return true;
        }
        while (m_count <= 56) {
            if (m_next < m_end)
                m_buffer |= uint64_t(*m_next++) << m_count;
            else if (++m_padding > 16)
                return false;
            m_count += 8;
        }
        return true;
    }
    // At most 56 bits, and only as many as refill() made available.
    uint64_t bits() const { return m_buffer; }
    void drop(unsigned count)
    {
        m_buffer >>= count;
        m_count -= count;
    }
    // Up to 32 bits, refilling first.
    bool take(unsigned count, uint32_t *value)
    {
        if (!refill())
            return false;
        *value = uint32_t(m_buffer & ((uint64_t(1) << count) - 1));
        drop(count);
        return true;
    }
    size_t position() const { return size_t(m_next - m_data + m_padding) * 8 - m_count; }
    void seek(size_t bit)
    {
        const size_t byte = std::min(bit / 8, size_t(m_end - m_data));
        m_padding = bit / 8 - byte;
        m_next = m_data + byte;
        m_buffer = 0;
        m_count = 0;
        if (refill())
            drop(unsigned(bit % 8));
    }
    bool overrun() const { return position() > size_t(m_end - m_data) * 8; }

private:
    const uint8_t *m_data;
    const uint8_t *m_next;
    const uint8_t *m_end;
    uint64_t m_buffer = 0;
    unsigned m_count = 0;
    size_t m_padding = 0; // zero bytes read past the end
};

// A canonical Huffman code. Codes of up to FastBits bits go through a table
// indexed by the next bits; an entry holds the symbol, the code's length
// and the code's length plus its extra bits (0 for no code of that few
// bits). Longer codes are read bit by bit from the count per length.
class HuffmanTable
{
public:
    static uint32_t symbol(uint32_t entry) { return entry >> 16; }
    static unsigned totalBits(uint32_t entry) { return entry & 0xff; }

    // `extraBits(symbol)` is the number of bits that follow the symbol.
    template <typename ExtraBits> bool build(const uint8_t *lengths, int count, ExtraBits extraBits)
    {
        std::fill(std::begin(m_count), std::end(m_count), uint16_t(0));
        for (int i = 0; i < count; ++i)
            ++m_count[lengths[i]];
        m_count[0] = 0;
        uint16_t offset[16] = {};
        uint32_t next[16] = {};
        uint32_t code = 0;
        for (int length = 1; length <= 15; ++length) {
            offset[length] = uint16_t(offset[length - 1] + m_count[length - 1]);
            code = (code + m_count[length - 1]) << 1;
            next[length] = code;
        }
        std::fill(std::begin(m_fast), std::end(m_fast), 0u);
        for (int symbol = 0; symbol < count; ++symbol) {
            const int length = lengths[symbol];
            if (length == 0)
                continue;
            const uint32_t entry = uint32_t(symbol) << 16 | uint32_t(length) << 8 |
                                   uint32_t(length + extraBits(symbol));
            m_entries[offset[length]++] = entry;
            const uint32_t value = next[length]++;
            if (value >= (uint32_t(1) << length)) // over-subscribed
                return false;
            if (length > FastBits)
                continue;
            uint32_t reversed = 0;
            for (int bit = 0; bit < length; ++bit)
                reversed |= ((value >> bit) & 1) << (length - 1 - bit);
            for (uint32_t i = reversed; i < FastSize; i += uint32_t(1) << length)
                m_fast[i] = entry;
        }
        return true;
    }

    // The entry of the code at the start of `bits` (at least 15 of them),
    // or 0 when they are no code.
    uint32_t lookup(uint64_t bits) const
    {
        const uint32_t entry = m_fast[bits & (FastSize - 1)];
        if (entry != 0)
            return entry;
        int code = 0, first = 0, index = 0;
        for (int length = 1; length <= 15; ++length) {
            code |= int((bits >> (length - 1)) & 1);
            const int count = m_count[length];
            if (code - count < first)
                return m_entries[size_t(index + code - first)];
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        return 0;
    }

private:
    static constexpr int FastBits = 11;
    static constexpr uint32_t FastSize = uint32_t(1) << FastBits;
    uint32_t m_fast[FastSize];
    uint32_t m_entries[288];   // by code
    uint16_t m_count[16] = {}; // codes of each length
};

unsigned noExtraBits(int)
{
    return 0;
}

unsigned lengthExtraBits(int symbol)
{
    static const uint8_t extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    return symbol > 256 && symbol < 286 ? extra[symbol - 257] : 0;
}

unsigned distanceExtraBits(int symbol)
{
    return symbol < 30 ? unsigned(symbol < 4 ? 0 : symbol / 2 - 1) : 0;
}

bool readDynamicCodes(BitReader &in, HuffmanTable *literals, HuffmanTable *distances)
{
    static const uint8_t order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                      11, 4,  12, 3, 13, 2, 14, 1, 15};
    uint32_t literalCount = 0, distanceCount = 0, codeLengthCount = 0;
    if (!in.take(5, &literalCount) || !in.take(5, &distanceCount) || !in.take(4, &codeLengthCount))
        return false;
    literalCount += 257;
    distanceCount += 1;
    codeLengthCount += 4;
    uint8_t codeLengthLengths[19] = {};
    for (uint32_t i = 0; i < codeLengthCount; ++i) {
        uint32_t length = 0;
        if (!in.take(3, &length))
            return false;
        codeLengthLengths[order[i]] = uint8_t(length);
    }
    HuffmanTable codeLengths;
    if (literalCount > 286 || distanceCount > 30 ||
        !codeLengths.build(codeLengthLengths, 19, noExtraBits))
        return false;

    uint8_t lengths[286 + 30] = {};
    const uint32_t total = literalCount + distanceCount;
    for (uint32_t i = 0; i < total;) {
        if (!in.refill())
            return false;
        const uint32_t entry = codeLengths.lookup(in.bits());
        if (entry == 0)
            return false;
        in.drop(HuffmanTable::totalBits(entry));
        const uint32_t symbol = HuffmanTable::symbol(entry);
        if (symbol < 16) {
            lengths[i++] = uint8_t(symbol);
            continue;
        }
        uint8_t value = 0;
        uint32_t repeat = 0;
        if (symbol == 16) {
            if (i == 0 || !in.take(2, &repeat))
                return false;
            value = lengths[i - 1];
            repeat += 3;
        } else if (symbol == 17) {
            if (!in.take(3, &repeat))
                return false;
            repeat += 3;
        } else {
            if (!in.take(7, &repeat))
                return false;
            repeat += 11;
        }
        if (i + repeat > total)
            return false;
        std::fill(lengths + i, lengths + i + repeat, value);
        i += repeat;
    }
    return !in.overrun() && literals->build(lengths, int(literalCount), lengthExtraBits) &&
           distances->build(lengths + literalCount, int(distanceCount), distanceExtraBits);
}

// Walks the codes of one Huffman block up to its end-of-block code.
bool skipHuffmanBlock(BitReader &in, const HuffmanTable &literals, const HuffmanTable &distances)
{
    for (;;) {
        if (!in.refill())
            return false;
        uint32_t entry = literals.lookup(in.bits());
        uint32_t symbol = HuffmanTable::symbol(entry);
        if (symbol < 256 && entry != 0) {
            // A literal takes at most 15 of the 56 bits: room for a second
            // literal without refilling.
            in.drop(HuffmanTable::totalBits(entry));
            entry = literals.lookup(in.bits());
            symbol = HuffmanTable::symbol(entry);
            if (symbol >= 256 || entry == 0)
                continue; // read again after a refill
            in.drop(HuffmanTable::totalBits(entry));
            continue;
        }
        if (entry == 0 || symbol > 285)
            return false;
        in.drop(HuffmanTable::totalBits(entry)); // the length code and its extra bits
        if (symbol == 256)
            return true;
        const uint32_t distance = distances.lookup(in.bits());
        if (distance == 0 || HuffmanTable::symbol(distance) >= 30)
            return false;
        in.drop(HuffmanTable::totalBits(distance));
    }
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
        tables[0].build(lengths, 288, lengthExtraBits);
        std::fill(lengths, lengths + 30, 5);
        tables[1].build(lengths, 30, distanceExtraBits);
        return tables;
    }();

    BitReader in(data, size);
    HuffmanTable dynamicLiterals, dynamicDistances;
    for (;;) {
        const size_t header = in.position();
        uint32_t final = 0, type = 0;
        if (!in.take(1, &final) || !in.take(2, &type))
            return false;
        if (type == 0) {
            in.seek((in.position() + 7) & ~size_t(7));
            uint32_t length = 0, complement = 0;
            if (!in.take(16, &length) || !in.take(16, &complement) ||
                (length ^ complement) != 0xffff)
                return false;
            in.seek(in.position() + size_t(length) * 8);
        } else if (type == 1) {
            if (!skipHuffmanBlock(in, fixed[0], fixed[1]))
                return false;
        } else if (type == 2) {
            if (!readDynamicCodes(in, &dynamicLiterals, &dynamicDistances) ||
                !skipHuffmanBlock(in, dynamicLiterals, dynamicDistances))
                return false;
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
