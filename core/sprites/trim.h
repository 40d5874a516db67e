#pragma once

// Finding the part of a sprite worth keeping: everything but its border of
// transparent pixels. QtGui only, plain data in and out.

#include <QImage>
#include <QRect>

namespace Sprites {

// The least rectangle holding every pixel of `image` (Format_ARGB32) whose
// alpha is above `threshold`. A wholly transparent image keeps its top-left
// pixel, (0, 0, 1, 1), so that it still has a region on the sheet.
QRect keptRect(const QImage &image, int threshold);

} // namespace Sprites
