// The synthesizer runs inside FluidSynth, which brings OpenMP and
// libinstpatch threads that ThreadSanitizer cannot see synchronise. These
// defaults point it at the project's suppression file even when the test is
// started without TSAN_OPTIONS; options given in the environment still win.

#ifndef ORVALIS_SOURCE_DIR
#error "ORVALIS_SOURCE_DIR must name the source tree"
#endif

extern "C" const char* __tsan_default_options() {
    return "halt_on_error=1:second_deadlock_stack=1:suppressions=" ORVALIS_SOURCE_DIR
           "/cmake/sanitizers/tsan.supp";
}
