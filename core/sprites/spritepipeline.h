#pragma once

// The pipeline with the sprite options: every image decoded once into a
// buffer of its own, trimmed and hashed there, then laid out by the sizes it
// keeps and copied onto the sheet, extruded and premultiplied. Without any
// of these options, Compose::composeSheet() is the faster way.

#include "core/pipeline.h"

#include <QMap>
#include <QRect>
#include <QSize>
#include <QString>

namespace Compose {

struct SpriteOptions
{
    bool trim = false;
    int trimThreshold = 0; // alpha up to this counts as transparent
    int extrude = 0;       // pixels repeated outwards on each side
    bool alias = false;    // identical pixels stored once
    bool premultiply = false;

    // True when the sheet's pixels or layout differ from composeSheet()'s.
    bool changesSheet() const { return trim || extrude > 0 || alias || premultiply; }
};

struct SpriteResult
{
    // Its plan's placements are each image's own region on the sheet,
    // without extrusion, one per path, images that share pixels pointing at
    // the same region; `sizes` are the source images' sizes.
    SheetResult composed;
    QMap<QString, QRect> kept; // by path: the rectangle of the source on the sheet
    int sharedImages = 0;      // images whose region another image shares too
    int sharedRegions = 0;     // regions holding more than one image
};

SpriteResult composeSprites(const SheetJob &job, const SpriteOptions &options);

} // namespace Compose
