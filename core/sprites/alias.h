#pragma once

// Images with identical pixels stored once: found by a hash of the pixels
// and confirmed by comparing them. Plain data in and out.

#include <QImage>
#include <QRect>
#include <QVector>

namespace Sprites {

// The pixels one image puts on the sheet: `rect` of `image` (Format_ARGB32).
struct Cut
{
    QImage image;
    QRect rect;
};

// A 64-bit xxHash of the cut's size and pixels.
quint64 pixelHash(const Cut &cut);

// True when both cuts have the same size and every pixel alike.
bool samePixels(const Cut &a, const Cut &b);

// For each cut, the index of the first cut with the same pixels: itself, or
// an earlier one. `hashes` are pixelHash() of each cut.
QVector<int> aliasTargets(const QVector<Cut> &cuts, const QVector<quint64> &hashes);

} // namespace Sprites
