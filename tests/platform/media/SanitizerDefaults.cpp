// GLib and GStreamer are not instrumented and hand data between threads with
// their own futex-based locks, which ThreadSanitizer cannot see. The media
// test programs therefore judge only what our instrumented code does (our
// code hands its own data to streaming threads under its own locks). This
// replaces the project-wide default for these programs only; options given in
// the environment still win.
extern "C" const char* __tsan_default_options() {
    return "halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1:"
           "suppressions=" ORVALIS_SOURCE_DIR "/cmake/sanitizers/tsan.supp";
}
