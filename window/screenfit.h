#pragma once

// Where windows go on a screen: plain geometry, QtCore only, so that every
// screen and window size can be tried without a display. All rectangles are
// window frames in the screen's logical pixels.

#include <QPoint>
#include <QRect>
#include <QSize>

namespace ScreenFit {

// Gap kept between a dialog and the window it belongs to.
constexpr int windowGap = 8;

// `frame` shrunk to at most `available`'s size, never below `minimum`, and
// moved inside `available`; a frame that `minimum` keeps larger than
// `available` starts at its top-left corner.
QRect fitInside(const QRect &frame, const QSize &minimum, const QRect &available);

// Top-left corner for a frame of `size` that keeps off the owner's frame
// `owner`: beside it (right, then left) when `available` has room, else
// above or below `keep` (the owner's buttons), else at the top of the screen
// on the side with more room.
QPoint besideOwner(const QRect &owner, const QRect &keep, const QSize &size,
                   const QRect &available);

// The frame for a dialog of `size` (at least `minimum`): where besideOwner()
// puts it when it fits there whole; otherwise shrunk into the largest room
// beside the owner or above or below `keep` that takes `minimum`, so that
// the owner's buttons stay visible; covering them only when no room can.
// Always inside `available` as far as `minimum` allows.
QRect placeDialog(const QRect &owner, const QRect &keep, const QSize &size, const QSize &minimum,
                  const QRect &available);

} // namespace ScreenFit
