#pragma once

// The compact layout and the size options of korvane-pack. QtCore only, plain
// data in and out.

#include "core/layout/sheetlayout.h"

#include <QMap>
#include <QSize>
#include <QString>

namespace SheetLayout {

enum class Layout {
    Rows,    // compute(): the window's layout
    Compact, // computeCompact()
};

struct LayoutOptions
{
    Layout layout = Layout::Rows;
    int margin = 2;
    QSize maxSize;           // the largest sheet allowed; invalid for no limit
    bool powerOfTwo = false; // round each side of the sheet up to a power of two
    int threads = 0;         // for the compact layout's search; 0: one per core
    // Compact, under `maxSize`: where the usual search finds no sheet within
    // it, search more widths and heights, then pack on shelves, before giving
    // up. Slower, and only ever turns a failure into a sheet within the limit.
    bool thorough = false;
};

// Packs the images unrotated into a sheet close to square with little
// waste: MaxRects with best-short-side fit, the images taken largest first
// (ties by path), for a few candidate sheet widths, each with the least
// height found by bisection. Keeps the smallest sheet whose sides differ by
// at most 2x (the smallest of all when none does). The margin lies around
// the sheet's edge and between any two images, as in compute(). The result
// depends on the sizes and paths only, never on the map's history.
//
// With a valid `maxSize`, sheets within it are preferred; when none is
// found, the plan is the one found without the limit, so that the caller can
// report the size needed. With `powerOfTwo`, the sheet's sides are rounded
// up to powers of two after packing (the extra area stays empty) and sizes
// are compared after rounding. A negative margin gives an empty plan. The
// widths are searched on up to `threads` threads (0: one per core), with the
// same result for any number. `thorough`: see LayoutOptions.
Plan computeCompact(const QMap<QString, QSize> &sizes, int margin, const QSize &maxSize = QSize(),
                    bool powerOfTwo = false, int threads = 0, bool thorough = false);

// The plan for the options: compute() (with its sides rounded up when
// `powerOfTwo`) or computeCompact().
Plan planFor(const QMap<QString, QSize> &sizes, const LayoutOptions &options);

// True when the plan's sheet is no larger than `maxSize` on either side;
// always true for an invalid `maxSize`.
bool fitsMaxSize(const Plan &plan, const QSize &maxSize);

// The least power of two that is at least `value` (1 for 1 and less).
qint64 nextPowerOfTwo(qint64 value);

// Parses "WxH" (digits only, "x" or "X", both sides 1 or more).
bool parseSize(const QString &text, QSize *size);

} // namespace SheetLayout
