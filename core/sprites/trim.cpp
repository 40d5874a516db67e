#include "core/sprites/trim.h"

namespace Sprites {

namespace {

inline bool isKept(QRgb pixel, int threshold)
{
    return int(qAlpha(pixel)) > threshold;
}

bool rowHasKept(const QRgb *row, int width, int threshold)
{
    for (int x = 0; x < width; ++x) {
        if (isKept(row[x], threshold))
            return true;
    }
    return false;
}

} // namespace

QRect keptRect(const QImage &image, int threshold)
{
    const int width = image.width();
    const auto row = [&image](int y) {
        return reinterpret_cast<const QRgb *>(image.constScanLine(y));
    };
    int top = 0;
    while (top < image.height() && !rowHasKept(row(top), width, threshold))
        ++top;
    if (top == image.height())
        return QRect(0, 0, 1, 1);
    int bottom = image.height() - 1;
    while (!rowHasKept(row(bottom), width, threshold))
        --bottom;
    // Each row only needs looking at outside the columns already kept.
    int left = width - 1;
    int right = 0;
    for (int y = top; y <= bottom; ++y) {
        const QRgb *line = row(y);
        for (int x = 0; x < left; ++x) {
            if (isKept(line[x], threshold)) {
                left = x;
                break;
            }
        }
        for (int x = width - 1; x > right; --x) {
            if (isKept(line[x], threshold)) {
                right = x;
                break;
            }
        }
    }
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

} // namespace Sprites
