#include "window/screenfit.h"

#include <QVector>

#include <algorithm>

namespace ScreenFit {

namespace {

// Clamps to [low, high]; when the range is empty, `low` wins.
int clampTo(int value, int low, int high)
{
    return qMax(low, qMin(value, high));
}

} // namespace

QRect fitInside(const QRect &frame, const QSize &minimum, const QRect &available)
{
    const QSize size = frame.size().boundedTo(available.size()).expandedTo(minimum);
    const int x = clampTo(frame.x(), available.left(), available.right() + 1 - size.width());
    const int y = clampTo(frame.y(), available.top(), available.bottom() + 1 - size.height());
    return QRect(QPoint(x, y), size);
}

QPoint besideOwner(const QRect &owner, const QRect &keep, const QSize &size, const QRect &available)
{
    const int lastX = available.right() + 1 - size.width();
    const int lastY = available.bottom() + 1 - size.height();
    const int besideY = clampTo(owner.top(), available.top(), lastY);
    const int right = owner.right() + 1 + windowGap;
    if (right <= lastX)
        return {right, besideY};
    const int left = owner.left() - windowGap - size.width();
    if (left >= available.left())
        return {left, besideY};

    const int centredX =
        clampTo(owner.left() + (owner.width() - size.width()) / 2, available.left(), lastX);
    const int above = keep.top() - windowGap - size.height();
    if (above >= available.top())
        return {centredX, above};
    const int below = keep.bottom() + 1 + windowGap;
    if (below <= lastY)
        return {centredX, below};

    const bool rightHasMoreRoom =
        available.right() - owner.right() >= owner.left() - available.left();
    return {rightHasMoreRoom ? clampTo(lastX, available.left(), lastX) : available.left(),
            available.top()};
}

QRect placeDialog(const QRect &owner, const QRect &keep, const QSize &size, const QSize &minimum,
                  const QRect &available)
{
    const QSize whole = size.boundedTo(available.size()).expandedTo(minimum);
    const QPoint at = besideOwner(owner, keep, whole, available);
    const QRect placed(at, whole);
    if (!placed.intersects(keep) || !available.contains(placed))
        return fitInside(placed, minimum, available);

    // The rooms that keep the buttons visible, each filled as far as the
    // dialog wants; the largest that takes the minimum wins.
    const int width = whole.width();
    const int height = whole.height();
    const int centredX = clampTo(owner.left() + (owner.width() - width) / 2, available.left(),
                                 available.right() + 1 - width);
    const int besideY = clampTo(owner.top(), available.top(), available.bottom() + 1 - height);
    const int rightX = owner.right() + 1 + windowGap;
    const int leftEnd = owner.left() - windowGap;
    const int aboveEnd = keep.top() - windowGap;
    const int belowY = keep.bottom() + 1 + windowGap;
    const QVector<QRect> rooms{
        QRect(rightX, besideY, qMin(width, available.right() + 1 - rightX), height),
        QRect(qMax(available.left(), leftEnd - width), besideY,
              qMin(width, leftEnd - available.left()), height),
        QRect(centredX, qMax(available.top(), aboveEnd - height), width,
              qMin(height, aboveEnd - available.top())),
        QRect(centredX, belowY, width, qMin(height, available.bottom() + 1 - belowY)),
    };
    QRect best;
    for (const QRect &room : rooms) {
        if (room.width() < minimum.width() || room.height() < minimum.height())
            continue;
        if (qint64(room.width()) * room.height() > qint64(best.width()) * best.height())
            best = room;
    }
    return best.isEmpty() ? fitInside(placed, minimum, available) : best;
}

} // namespace ScreenFit
