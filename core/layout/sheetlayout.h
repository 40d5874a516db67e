#pragma once

// Sheet layout and the placement file text. QtCore only, so it is
// unit-testable without a window.

#include <QByteArray>
#include <QMap>
#include <QPoint>
#include <QSize>
#include <QString>
#include <QVector>

namespace SheetLayout {

struct Placement
{
    QString path;
    QSize size;
    QPoint position; // top-left in the sheet; set by compute() only if the plan fitsInt()
    // The exact top-left as computed; differs from `position` only when the
    // plan does not fit in int.
    qint64 x = 0;
    qint64 y = 0;
};

struct Plan
{
    // In placement order: widest first, then as the exchange sort leaves them.
    QVector<Placement> placements;
    // Computed in 64 bits so that a huge margin or huge images cannot
    // overflow; -1 while nothing is placed.
    qint64 width = -1;
    qint64 height = -1;

    bool isEmpty() const { return placements.isEmpty(); }
    // True when the sheet size and every position fit in 32-bit integers.
    bool fitsInt() const;
    // The sheet size; (-1, -1) for an empty plan or one that does not fitsInt().
    QSize sheetSize() const;
    // Path to top-left; empty when the plan does not fitsInt().
    QMap<QString, QPoint> positions() const;
};

// Shelf packing with a fixed sheet width (widest image + 2 * margin). The
// images are taken from `sizes` in key order, sorted widest first (equal
// widths in the order the original exchange sort left them) and set left to
// right in rows.
Plan compute(const QMap<QString, QSize> &sizes, int margin);

// One "path,width,height,x,y\r\n" line per placement (x, y from `position`),
// UTF-8 without BOM: a first path starting with U+FEFF gets "./" in front.
QByteArray placementText(const QVector<Placement> &placements);

// The sheet path actually written for the path chosen by the user: the
// chosen path, or the chosen path + ".png" when its file name has no suffix.
QString sheetPathFor(const QString &chosenPath);

// The placement file for a chosen path: its suffix replaced by ".txt", or
// ".txt" appended when it has none.
QString placementPathFor(const QString &chosenPath);

} // namespace SheetLayout
