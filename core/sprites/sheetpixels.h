#pragma once

// What the sprite options do to the sheet's pixels once the layout is known:
// copying a kept rectangle, extruding its edges, premultiplying alpha. The
// sheet is Format_ARGB32 memory taken once (QImage::bits() detaches, so
// never in a worker); callers on several threads touch disjoint areas.

#include <QImage>
#include <QPoint>
#include <QRect>

namespace Sprites {

struct SheetMemory
{
    uchar *bits = nullptr;
    qsizetype bytesPerLine = 0;

    QRgb *row(int y) const { return reinterpret_cast<QRgb *>(bits + qsizetype(y) * bytesPerLine); }
};

// Copies `rect` of `source` (Format_ARGB32) to `at` in the sheet, exactly.
void copyRect(const QImage &source, const QRect &rect, const SheetMemory &sheet, const QPoint &at);

// Repeats the outermost pixels of `region` `n` times outwards on all four
// sides, corners included; the sheet must hold `region` grown by `n`.
void extrude(const SheetMemory &sheet, const QRect &region, int n);

// Each pixel's colour times its alpha, rounded as engines do:
// (c * a + 127) / 255. Rows [firstRow, endRow) of a sheet `width` wide.
void premultiplyRows(const SheetMemory &sheet, int width, int firstRow, int endRow);

} // namespace Sprites
