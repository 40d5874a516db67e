#pragma once

// A fast path for the common PNG kinds: the whole zlib stream inflated at
// once into a buffer of the exact size the header gives, the rows unfiltered
// and written straight into the sheet. QtCore and QtGui only.

#include "core/largebuffers.h"

#include <QSize>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <vector>

struct libdeflate_decompressor;

namespace PngDecode {

// The decompressor and buffers one thread reuses from image to image.
struct Scratch
{
    Scratch();
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    libdeflate_decompressor *decompressor;
    LargeBuffers::Buffer file;   // the PNG file, read whole
    LargeBuffers::Buffer joined; // IDAT chunks' data, when there are several
    LargeBuffers::Buffer rows;   // the inflated, then unfiltered, rows
    std::vector<uint8_t> zeros;  // the row above the first

    void releaseIfOver(size_t bytes)
    {
        file.releaseIfOver(bytes);
        joined.releaseIfOver(bytes);
        rows.releaseIfOver(bytes);
    }
};

// Decodes the PNG file `bytes` into `target` (Format_ARGB32 rows,
// `bytesPerLine` apart) exactly as Qt's reader followed by a conversion to
// ARGB32 gives it. Only non-interlaced images of 8 bits per channel or less
// (grey, grey and alpha, RGB, RGBA, palette, with or without tRNS) of exactly
// `size` are decoded here, and only when every chunk is well formed: CRCs,
// chunk order, zlib stream and Adler-32, filter types, palette indices.
// Returns false, with `target` untouched, for anything else: the caller then
// asks Qt's reader, which decides whether the file loads at all.
bool decode(const uint8_t *bytes, size_t length, const QSize &size, uint8_t *target,
            qsizetype bytesPerLine, Scratch *scratch);

} // namespace PngDecode
