#include "window/resources/resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must not be used inside a namespace.
static void initResourcesOnce()
{
    Q_INIT_RESOURCE(korvane);
}

void initKorvaneResources()
{
    static const bool done = (initResourcesOnce(), true);
    Q_UNUSED(done);
}
