// Sanitizer settings linked into the widget suites. Qt 5.15's offscreen platform plugin never
// frees its screen and cursor objects at shutdown. Those allocations are recognised by the
// plugin's frame in their allocation stack, which needs the full stack: fast unwinding stops
// inside Qt's libraries, where a pattern could only name generic frames such as QObject's.
// Without the sanitizers these two functions are never called.
extern "C" const char *__asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libqoffscreen.so\n";
}
