#pragma once

// --multipack: the images spread over as many sheets as a size limit needs.

#include "core/layout/compactlayout.h"

#include <QMap>
#include <QSize>
#include <QString>
#include <QVector>

namespace PackCommand {

// The path of sheet `n` (from 0) for a chosen path: "{n}" replaced by the
// number; without one, sheet 0 keeps the path and the others get "-n" before
// the suffix ("out/a.png", "out/a-1.png", ...).
QString numberedPath(const QString &path, int n);

// Splits the images into groups whose layout with `options` fits
// options.maxSize. Deterministic greedy fill: the images are taken largest
// area first (ties by path), and each sheet takes the longest run of the
// remaining images that fits together (in rows, not always a longer run's
// start on its own), then every later image that still fits, before the next
// sheet starts. False with
// `error` naming the image when one does not fit on a sheet of its own.
// `sizes` are boxes grown by `extrude` on each side; the error gives both.
// `trimmedFrom` gives the own size of an image whose box is of what it keeps
// once trimmed, for the error to give too.
bool splitIntoSheets(const QMap<QString, QSize> &sizes, const SheetLayout::LayoutOptions &options,
                     QVector<QMap<QString, QSize>> *groups, QString *error, int extrude = 0,
                     const QMap<QString, QSize> &trimmedFrom = {});

} // namespace PackCommand
