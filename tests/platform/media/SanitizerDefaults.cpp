// The sanitizer runtimes of the media test programs read the project's
// suppression files (system libraries only) even when the test runner's
// environment does not carry LSAN_OPTIONS/TSAN_OPTIONS. Options given in the
// environment still take precedence.
extern "C" {
const char* __lsan_default_options() {
    return "suppressions=" ORVALIS_SOURCE_DIR "/cmake/sanitizers/lsan.supp:print_suppressions=0";
}
// GLib and GStreamer are not instrumented and hand data between threads with
// their own futex-based locks, which the sanitizer cannot see: it only judges
// what our instrumented code does, and our code hands its own data over
// through its own locks.
const char* __tsan_default_options() {
    return "halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1:suppressions=" ORVALIS_SOURCE_DIR
           "/cmake/sanitizers/tsan.supp";
}
const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1:suppressions=" ORVALIS_SOURCE_DIR "/cmake/sanitizers/ubsan.supp";
}
}
