// Linked into every program of a sanitizer build, so that the tests, the
// programs and the fuzz targets behave the same however they are started.
// Options given in ASAN_OPTIONS, UBSAN_OPTIONS or LSAN_OPTIONS still win.

extern "C" {

// allocator_may_return_null: a failed allocation is an outcome the code
// handles (a sheet too large gives a null image), not a sanitizer error.
// fast_unwind_on_malloc=0: Qt is built without frame pointers; without full
// stacks the leak suppressions below cannot see which library allocated.
const char *__asan_default_options()
{
    return "allocator_may_return_null=1:fast_unwind_on_malloc=0:detect_leaks=1";
}

const char *__ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1";
}

// Leaks inside Qt, not Korvane.
const char *__lsan_default_suppressions()
{
    // Qt 5.15's offscreen platform plugin never deletes its screen, cursor
    // and their bookkeeping when QGuiApplication goes away.
    // Under a real X server (the smoke test): D-Bus reading buffers kept by
    // libdbus, and Mesa's GLX set-up, whose driver is unloaded before the
    // check, so the driver's own frames show as an unknown module.
    // Qt 5.15's JSON parser loses the earlier value of a key given twice
    // when it is a list or an object; a pack file with such a key is refused.
    return "leak:libqoffscreen.so\n"
           "leak:QJsonDocument::fromJson\n"
           "leak:libdbus-1.so\n"
           "leak:libGLX_mesa.so\n";
}

} // extern "C"
