#pragma once

// PNG row filtering for RGBA rows of 8-bit channels.

#include <cstddef>
#include <cstdint>

namespace RowFilter {

// Writes the filter type byte and the filtered row to `out`: of None, Sub,
// Up, Average and Paeth the one whose bytes, taken as signed, have the
// smallest sum of absolute values, the earlier one on a tie (libpng's rule).
// `row` and `previous` are preceded by one pixel of zeros; `candidates`
// holds room for four rows. Uses AVX2 where the processor has it.
void filterRow(const uint8_t *row, const uint8_t *previous, size_t length, uint8_t *candidates,
               uint8_t *out);

// The same in portable code: what filterRow must match byte for byte.
void filterRowPortable(const uint8_t *row, const uint8_t *previous, size_t length,
                       uint8_t *candidates, uint8_t *out);

} // namespace RowFilter
