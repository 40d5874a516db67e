#pragma once

// Decoding every placed image once, straight into the sheet, on every core.

#include "core/image/imageprobe.h"
#include "core/layout/sheetlayout.h"

#include <QImage>
#include <QVector>

#include <atomic>

namespace PngDecode {
struct Scratch;
}

namespace Compose {

// Shared between a running pipeline and whoever watches it; every member may
// be read and set from any thread.
struct Progress
{
    std::atomic<int> done{0};  // images decoded into the sheet
    std::atomic<int> total{0}; // images to decode in the current pass
    std::atomic<bool> cancelRequested{false};
    // The most memory decodes held beside the sheet at one time, in bytes.
    std::atomic<qint64> peakBufferBytes{0};
};

// 0 means one per core.
int threadCount(int requested);

// What each of `workers` decoding workers keeps of a decode buffer for its
// next image. The buffer budget counts a buffer only while its decode runs;
// what the workers keep between images stays within three quarters of it.
size_t scratchToKeep(const Limits &limits, int workers);

// Decodes the image of every placement once, straight into `sheet` at its
// position, on `threads` workers. Returns the failures in placement order;
// an empty result means every image was copied exactly. `sheet` must be a
// Format_ARGB32 image holding every placement. A PNG in `kept` is decoded
// from those bytes, without opening its file again.
QVector<Failure> paintPlacements(QImage &sheet, const QVector<SheetLayout::Placement> &placements,
                                 const Limits &limits, int threads, Progress *progress = nullptr,
                                 const KeptContents *kept = nullptr);

// Decodes the image at `path`, whose header gave `size`, into a new
// Format_ARGB32 image of its own, exactly as paintPlacements() would copy it
// into a sheet. For stages that need the pixels before the layout.
// `scratch` is the calling worker's own.
Failure decodeImage(const QString &path, const QSize &size, const Limits &limits, QImage *image,
                    PngDecode::Scratch &scratch);

} // namespace Compose
