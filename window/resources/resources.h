#pragma once

// Registers the embedded resources (the window icon). The resources live in
// a static library, so the program and the tests must pull them in
// explicitly; calling this more than once is harmless.
void initKorvaneResources();
