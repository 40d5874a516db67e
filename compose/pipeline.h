#pragma once

// The compose pipeline that the window and korvane-pack share: image sizes
// from the file headers, layout, one decode per image straight into the
// sheet on every core, then encoding and the output files. QtCore and QtGui
// only, so every stage runs headless.

#include "compose/sheetlayout.h"

#include <QImage>
#include <QMap>
#include <QSize>
#include <QString>
#include <QVector>

#include <atomic>
#include <functional>

namespace Compose {

// What one input image may be. Images beyond these are refused from their
// header, before anything is decoded.
struct Limits
{
    qint64 maxPixels = qint64(1) << 28; // 1 GiB once decoded
    int maxSide = 32767;
};

// Shared between a running pipeline and whoever watches it; every member may
// be read and set from any thread.
struct Progress
{
    std::atomic<int> done{0};  // images decoded into the sheet
    std::atomic<int> total{0}; // images to decode in the current pass
    std::atomic<bool> cancelRequested{false};
};

enum class ImageStatus {
    Ok,
    BadPath,      // a CR or LF in the path: the placement file cannot hold it
    Missing,      // no such file
    NotRegular,   // a folder, FIFO, device or socket; never opened
    NotImage,     // no image reader recognises the header
    NotRaster,    // a vector format such as SVG
    TooLarge,     // beyond Limits
    DecodeFailed, // the header reads but the pixel data does not
    OutOfMemory,  // the decoded image could not be allocated
    SizeChanged,  // the file now holds an image of another size
    OutsideSheet, // placed beyond the sheet's edge
    Cancelled,
};

struct Failure
{
    QString path;
    ImageStatus status = ImageStatus::Ok;
    QString reason; // plain words, without the path

    // "PATH: reason", with the path in native separators.
    QString message() const;
};

// Reads the image size from the file's header without decoding its pixels.
// Anything but a regular file (symlinks followed) is refused without being
// opened. On failure `failure` says why.
bool probeImage(const QString &path, const Limits &limits, QSize *size, Failure *failure);

// 0 means one per core.
int threadCount(int requested);

// Decodes the image of every placement once, straight into `sheet` at its
// position, on `threads` workers. Returns the failures in placement order;
// an empty result means every image was copied exactly. `sheet` must be a
// Format_ARGB32 image holding every placement.
QVector<Failure> paintPlacements(QImage &sheet, const QVector<SheetLayout::Placement> &placements,
                                 const Limits &limits, int threads, Progress *progress = nullptr);

using LayoutFunction = std::function<SheetLayout::Plan(const QMap<QString, QSize> &)>;

struct SheetJob
{
    QString sheetPath;          // named in messages about the sheet itself
    QMap<QString, QSize> sizes; // from probeImage
    LayoutFunction layout;
    // A further condition on a layout that fits: an error message, or empty.
    std::function<QString(const SheetLayout::Plan &)> checkPlan;
    Limits limits;
    int threads = 0;
    // An image whose header read but whose data does not decode is left out
    // and the layout computed again without it; otherwise the run fails.
    bool skipUndecodable = true;
    Progress *progress = nullptr;
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

// Layout and pixels: the sheet exactly as a decode-first run would make it.
SheetResult composeSheet(SheetJob job);

} // namespace Compose
