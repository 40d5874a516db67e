#pragma once

// Animations from frame names: frames whose names end in a number, grouped
// by the name before it. QtCore only.

#include <QMap>
#include <QString>
#include <QStringList>

namespace Sprites {

struct AnimationFrame
{
    QString animation; // empty: the frame is in no animation
    int index = -1;
};

// "walk_01.png", "walk_2.png" and "walk-10.png" are frames 1, 2 and 10 of
// "walk": the name without its suffix ends in digits, and the animation's
// name is what comes before them without one "_", "-" or "." separator. A
// name with nothing before the number, or a number beyond int, is in none.
AnimationFrame animationFrame(const QString &frameName);

// Animation name to its frame names in numeric order (equal numbers by
// name); frames without a number are left out.
QMap<QString, QStringList> animations(const QStringList &frameNames);

} // namespace Sprites
