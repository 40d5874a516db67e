#include "core/image/imagereaderlimit.h"

#include <QCoreApplication>

// Linked into every test program so that tests read images as the programs do.
Q_COREAPP_STARTUP_FUNCTION(liftImageReaderLimit)
