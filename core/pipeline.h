#pragma once

// The compose pipeline that the window and korvane-pack share: image sizes
// from the file headers, layout, one decode per image straight into the
// sheet on every core, then encoding and the output files. QtCore and QtGui
// only, so every stage runs headless.

#include "core/image/imagedecode.h"
#include "core/image/imageprobe.h"
#include "core/layout/sheetlayout.h"

#include <QImage>
#include <QMap>
#include <QSize>
#include <QString>
#include <QVector>

#include <functional>

namespace Compose {

constexpr qint64 defaultMaxSheetPixels = qint64(1) << 28;

using LayoutFunction = std::function<SheetLayout::Plan(const QMap<QString, QSize> &)>;

struct SheetJob
{
    QString sheetPath;          // named in messages about the sheet itself
    QMap<QString, QSize> sizes; // from probeImage
    LayoutFunction layout;
    // A further condition on a layout that fits: an error message, or empty.
    std::function<QString(const SheetLayout::Plan &)> checkPlan;
    Limits limits;
    // The sheet's own limit, checked before it is allocated: 2^28 pixels, as
    // much as a 16384 x 16384 texture.
    qint64 maxSheetPixels = defaultMaxSheetPixels;
    int threads = 0;
    // An image whose header read but whose data does not decode is left out
    // and the layout computed again without it; otherwise the run fails.
    bool skipUndecodable = true;
    // With skipUndecodable, also one that fails for want of memory, which
    // another run may well decode: the window shows a box for each such
    // image, while a build's sheet should not silently lack one.
    bool skipOutOfMemory = true;
    Progress *progress = nullptr;
    // Inputs the probe kept whole, decoded without being read again.
    const KeptContents *kept = nullptr;
};

struct SheetResult
{
    enum Outcome { Ok, Failed, Cancelled };
    Outcome outcome = Failed;
    SheetLayout::Plan plan;
    QImage sheet;
    QMap<QString, QSize> sizes; // the images on the sheet
    QVector<Failure> skipped;   // left out because their data did not decode
    QString error;              // plain words, naming the file, when Failed
};

// Whether `job` leaves out an image that failed with `status`.
bool skips(const SheetJob &job, ImageStatus status);

// Why a sheet cannot be made for `plan` (nothing to pack, too large, a
// failed checkPlan, over maxSheetPixels), naming the sheet; empty when it can.
QString planError(const SheetJob &job, const SheetLayout::Plan &plan);

// Layout and pixels: the sheet exactly as a decode-first run would make it.
SheetResult composeSheet(SheetJob job);

} // namespace Compose
