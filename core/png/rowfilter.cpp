#include "core/png/rowfilter.h"

#include "core/vectorclones.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KORVANE_ROWFILTER_AVX2 1
#include <immintrin.h>
#endif

namespace RowFilter {

namespace {

// Sum of the bytes taken as signed chars, in absolute value.
uint64_t sumOfMagnitudes(const uint8_t *bytes, size_t length)
{
    uint64_t sum = 0;
    while (length > 0) {
        // A 32-bit partial sum cannot overflow here and vectorises well.
        const size_t part = std::min<size_t>(length, size_t(1) << 20);
        uint32_t partial = 0;
        for (size_t i = 0; i < part; ++i)
            partial += uint32_t(std::abs(int(int8_t(bytes[i]))));
        sum += partial;
        bytes += part;
        length -= part;
    }
    return sum;
}

// Paeth's predictor: of a (left), b (above) and c (above left) the one
// nearest a + b - c, in that order on a tie.
inline int paethPredictor(int a, int b, int c)
{
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    const int nearer = pb <= pc ? b : c;
    return pa <= pb && pa <= pc ? a : nearer;
}

// Where each filter's bytes of a row go.
struct Candidates
{
    Candidates(uint8_t *bytes, size_t length)
        : sub(bytes), up(bytes + length), average(bytes + 2 * length), paeth(bytes + 3 * length)
    {
    }
    uint8_t *sub, *up, *average, *paeth;
};

// The type byte and the row of the smallest sum, the earlier on a tie.
void writeBest(const uint64_t sums[5], const uint8_t *row, const uint8_t *candidates, size_t length,
               uint8_t *out)
{
    int best = 0;
    for (int filter = 1; filter < 5; ++filter) {
        if (sums[filter] < sums[best])
            best = filter;
    }
    out[0] = uint8_t(best);
    std::memcpy(out + 1, best == 0 ? row : candidates + size_t(best - 1) * length, length);
}

} // namespace

// Branch-free loops so that they vectorise.
KORVANE_VECTOR_CLONES
void filterRowPortable(const uint8_t *row, const uint8_t *previous, size_t length,
                       uint8_t *candidates, uint8_t *out)
{
    const uint8_t *left = row - 4;
    const uint8_t *corner = previous - 4;
    const Candidates filtered(candidates, length);
    for (size_t i = 0; i < length; ++i) {
        filtered.sub[i] = uint8_t(row[i] - left[i]);
        filtered.up[i] = uint8_t(row[i] - previous[i]);
        filtered.average[i] = uint8_t(row[i] - ((left[i] + previous[i]) >> 1));
    }
    for (size_t i = 0; i < length; ++i)
        filtered.paeth[i] = uint8_t(row[i] - paethPredictor(left[i], previous[i], corner[i]));
    const uint64_t sums[5] = {sumOfMagnitudes(row, length), sumOfMagnitudes(filtered.sub, length),
                              sumOfMagnitudes(filtered.up, length),
                              sumOfMagnitudes(filtered.average, length),
                              sumOfMagnitudes(filtered.paeth, length)};
    writeBest(sums, row, candidates, length, out);
}

#ifdef KORVANE_ROWFILTER_AVX2

namespace {

#define AVX2 __attribute__((target("avx2")))

// Adds the magnitudes of 32 bytes taken as signed to four 64-bit sums.
AVX2 inline __m256i sumMagnitudes(__m256i sums, __m256i v)
{
    return _mm256_add_epi64(sums, _mm256_sad_epu8(_mm256_abs_epi8(v), _mm256_setzero_si256()));
}

// Paeth's predictor for 16 bytes widened to 16 bits each.
AVX2 inline __m256i paethPredict(__m256i a, __m256i b, __m256i c)
{
    const __m256i pa = _mm256_abs_epi16(_mm256_sub_epi16(b, c));
    const __m256i pb = _mm256_abs_epi16(_mm256_sub_epi16(a, c));
    const __m256i pc =
        _mm256_abs_epi16(_mm256_sub_epi16(_mm256_add_epi16(a, b), _mm256_add_epi16(c, c)));
    const __m256i nearer = _mm256_blendv_epi8(b, c, _mm256_cmpgt_epi16(pb, pc));
    const __m256i notA = _mm256_or_si256(_mm256_cmpgt_epi16(pa, pb), _mm256_cmpgt_epi16(pa, pc));
    return _mm256_blendv_epi8(a, nearer, notA);
}

// 32 bytes at a time, then byte by byte.
AVX2 void filterRowAvx2(const uint8_t *row, const uint8_t *previous, size_t length,
                        uint8_t *candidates, uint8_t *out)
{
    const uint8_t *left = row - 4;
    const uint8_t *corner = previous - 4;
    const Candidates filtered(candidates, length);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi8(1);
    __m256i sums[5] = {zero, zero, zero, zero, zero};
    size_t i = 0;
    for (; i + 32 <= length; i += 32) {
        const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(row + i));
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(left + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(previous + i));
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(corner + i));
        const __m256i s = _mm256_sub_epi8(r, a);
        const __m256i u = _mm256_sub_epi8(r, b);
        const __m256i floorAverage =
            _mm256_sub_epi8(_mm256_avg_epu8(a, b), _mm256_and_si256(_mm256_xor_si256(a, b), one));
        const __m256i v = _mm256_sub_epi8(r, floorAverage);
        const __m256i low =
            paethPredict(_mm256_unpacklo_epi8(a, zero), _mm256_unpacklo_epi8(b, zero),
                         _mm256_unpacklo_epi8(c, zero));
        const __m256i high =
            paethPredict(_mm256_unpackhi_epi8(a, zero), _mm256_unpackhi_epi8(b, zero),
                         _mm256_unpackhi_epi8(c, zero));
        const __m256i p = _mm256_sub_epi8(r, _mm256_packus_epi16(low, high));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(filtered.sub + i), s);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(filtered.up + i), u);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(filtered.average + i), v);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(filtered.paeth + i), p);
        sums[0] = sumMagnitudes(sums[0], r);
        sums[1] = sumMagnitudes(sums[1], s);
        sums[2] = sumMagnitudes(sums[2], u);
        sums[3] = sumMagnitudes(sums[3], v);
        sums[4] = sumMagnitudes(sums[4], p);
    }
    uint64_t totals[5];
    for (int k = 0; k < 5; ++k) {
        alignas(32) uint64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i *>(lanes), sums[k]);
        totals[k] = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    }
    for (; i < length; ++i) {
        const int a = left[i], b = previous[i];
        filtered.sub[i] = uint8_t(row[i] - a);
        filtered.up[i] = uint8_t(row[i] - b);
        filtered.average[i] = uint8_t(row[i] - ((a + b) >> 1));
        filtered.paeth[i] = uint8_t(row[i] - paethPredictor(a, b, corner[i]));
        const uint8_t bytes[5] = {row[i], filtered.sub[i], filtered.up[i], filtered.average[i],
                                  filtered.paeth[i]};
        for (int k = 0; k < 5; ++k)
            totals[k] += uint64_t(std::abs(int(int8_t(bytes[k]))));
    }
    writeBest(totals, row, candidates, length, out);
}

} // namespace

#endif

void filterRow(const uint8_t *row, const uint8_t *previous, size_t length, uint8_t *candidates,
               uint8_t *out)
{
#ifdef KORVANE_ROWFILTER_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) {
        filterRowAvx2(row, previous, length, candidates, out);
        return;
    }
#endif
    filterRowPortable(row, previous, length, candidates, out);
}

} // namespace RowFilter
