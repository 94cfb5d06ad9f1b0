// Thread sanitizer defaults for the media test programs, in place of the
// project's weak ones: GLib and GStreamer are not instrumented and hand data
// between threads with their own futex-based locks, which the sanitizer cannot
// see. So it judges only what our instrumented code does, and our code hands
// its own data to streaming threads through its own locks. Options given in
// the environment still win.
extern "C" const char* __tsan_default_options() {
    return "halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1:suppressions=" ORVALIS_SOURCE_DIR
           "/cmake/sanitizers/tsan.supp";
}
