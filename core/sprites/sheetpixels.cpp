#include "core/sprites/sheetpixels.h"

#include <algorithm>
#include <cstring>

namespace Sprites {

void copyRect(const QImage &source, const QRect &rect, const SheetMemory &sheet, const QPoint &at)
{
    const size_t rowBytes = size_t(rect.width()) * sizeof(QRgb);
    for (int y = 0; y < rect.height(); ++y) {
        const auto *from = reinterpret_cast<const QRgb *>(source.constScanLine(rect.y() + y));
        std::memcpy(sheet.row(at.y() + y) + at.x(), from + rect.x(), rowBytes);
    }
}

void extrude(const SheetMemory &sheet, const QRect &region, int n)
{
    if (n <= 0)
        return;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        QRgb *line = sheet.row(y);
        std::fill(line + region.left() - n, line + region.left(), line[region.left()]);
        std::fill(line + region.right() + 1, line + region.right() + 1 + n, line[region.right()]);
    }
    // The rows above and below repeat the first and last rows, which now
    // carry their extruded ends: that fills the corners.
    const size_t rowBytes = size_t(region.width() + 2 * n) * sizeof(QRgb);
    const int left = region.left() - n;
    for (int k = 1; k <= n; ++k) {
        std::memcpy(sheet.row(region.top() - k) + left, sheet.row(region.top()) + left, rowBytes);
        std::memcpy(sheet.row(region.bottom() + k) + left, sheet.row(region.bottom()) + left,
                    rowBytes);
    }
}

void premultiplyRows(const SheetMemory &sheet, int width, int firstRow, int endRow)
{
    for (int y = firstRow; y < endRow; ++y) {
        QRgb *line = sheet.row(y);
        for (int x = 0; x < width; ++x) {
            const QRgb p = line[x];
            const uint a = qAlpha(p);
            if (a == 255)
                continue;
            const auto times = [a](uint c) { return (c * a + 127) / 255; };
            line[x] = qRgba(int(times(uint(qRed(p)))), int(times(uint(qGreen(p)))),
                            int(times(uint(qBlue(p)))), int(a));
        }
    }
}

} // namespace Sprites
