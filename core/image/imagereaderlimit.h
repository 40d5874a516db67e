#pragma once

#include <QImageReader>
#include <QtGlobal>

// Qt 6 readers refuse images above 128 MiB of pixels; Qt 5 has no such limit.
// Korvane checks image and sheet sizes itself, so both builds must accept the
// same files. Call once at program start.
inline void liftImageReaderLimit()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QImageReader::setAllocationLimit(0);
#endif
}
