#pragma once

// Joining independently deflated pieces into one zlib stream, as pigz does:
// every piece but the last ends with a sync flush (its final block made
// non-final, then an empty stored block), so the pieces concatenate as plain
// bytes, and the Adler-32 of the whole is combined from the pieces'. Needed
// because libdeflate has no flush of its own.

#include <cstddef>
#include <cstdint>

namespace ZlibJoin {

// Finds the final block of a complete raw deflate stream: the bit position
// of its BFINAL bit and the position just past its end-of-block code.
bool findFinalBlock(const uint8_t *data, size_t size, size_t *headerBit, size_t *endBit);

// Turns a complete raw deflate stream of `*size` bytes in `data` into one
// that continues: the final block becomes non-final and an empty stored
// block ends the data on a byte boundary. `data` needs 5 spare bytes.
bool endWithSyncFlush(uint8_t *data, size_t *size);

// The Adler-32 of A followed by B from those of A and B and B's length.
uint32_t combineAdler32(uint32_t first, uint32_t second, size_t secondLength);

} // namespace ZlibJoin
