#pragma once

#include <isa-l/igzip_lib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// A deflate encoder for filtered sheet rows, for every PNG level. Most of a
// sheet's filtered bytes are zeros from its transparent margins, in runs of
// a few hundred bytes, and general matchers hash every byte of them; here a
// run of zeros is found a word at a time and written as matches at distance
// 1. At the default effort the rest goes through a greedy matcher with two
// candidates per hash (16-bit positions, so that the table stays in the
// first-level cache) that steps faster through bytes that keep failing to
// match, such as the noise of painted sprites. Each block of 64 KiB of
// input gets Huffman codes from its own counts, built by ISA-L, or is
// stored when that is smaller.
namespace SheetDeflate {

// Bytes deflate() may write for `size` input bytes, its spare bytes included.
size_t bound(size_t size);

// Fast: one candidate per hash and quicker steps, for previews; about a
// third less time on sprite sheets, and larger files where the images hold
// text or repeated detail. Small: every byte but the runs of zeros gets the
// matches of a hash chain, and each block's tokens are chosen as the
// cheapest path by its symbols' code lengths, in two passes (the first with
// the previous block's codes); a block may be split in up to four with their
// own codes, and a small one may take deflate's fixed codes. About as small
// as libdeflate's near-optimal level 10 on sprite sheets (a few tenths of a
// percent either way), and faster there, as it does not search the margins.
enum class Effort { Fast, Default, Small };

class Encoder
{
public:
    explicit Encoder(Effort effort = Effort::Default);

    // Deflates `size` bytes as raw deflate with no history before `data`.
    // With `final` the last block is final; otherwise the blocks end with
    // an empty stored block (zlib's sync flush), on a byte boundary, so that
    // another piece's deflate data can follow as plain bytes. `out` holds
    // bound(size) bytes. Returns the bytes written. The bytes depend on the
    // input alone.
    size_t deflate(const uint8_t *data, size_t size, bool final, uint8_t *out);

    ~Encoder();
    Encoder(const Encoder &) = delete;
    Encoder &operator=(const Encoder &) = delete;

private:
    struct Writer;
    struct Optimal;
    void tokenize(const uint8_t *data, size_t size, size_t *position, size_t blockEnd);
    size_t tokenizeOptimal(const uint8_t *data, size_t size, size_t start, size_t end);
    size_t emitParsed(const uint8_t *data, size_t size, size_t start, size_t end);
    void zeroRun(const uint8_t *data, size_t position, size_t length);
    void match(size_t length, size_t distance);
    void literal(uint8_t value);
    void writeBlock(Writer &out, const isal_hufftables &codes, size_t first, size_t end,
                    bool last) const;
    void writeSplit(Writer &out, size_t first, size_t end, uint64_t bits,
                    const isal_hufftables &codes, bool last, int depth) const;

    static constexpr int HashBits = 11;
    std::vector<uint16_t> m_head; // per hash: the low 16 bits of its last two positions
    // The block's literals and matches; left uninitialised, so that only the
    // pages a block's tokens fill are ever faulted in.
    std::unique_ptr<uint32_t[]> m_tokens;
    size_t m_tokenCapacity = 0;
    size_t m_tokenCount = 0;
    const int m_candidates;
    const size_t m_insertLimit;
    const unsigned m_skipShift;
    unsigned m_misses = 0;           // positions without a match since the last one
    isal_huff_histogram m_histogram; // the block's counts of symbols
    isal_hufftables m_codes;
    std::unique_ptr<Optimal> m_optimal; // Effort::Small's matches and costs
};

} // namespace SheetDeflate
