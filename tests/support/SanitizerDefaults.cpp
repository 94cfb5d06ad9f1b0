// Sanitizer options every test program starts with, so that a test run by
// hand behaves as under ctest: the suppression files (system libraries only)
// are found and the first report ends the run. Options given in the
// environment still win. Weak, so a suite that needs other defaults may
// define its own.

#ifndef ORVALIS_SOURCE_DIR
#error "ORVALIS_SOURCE_DIR must name the source tree"
#endif

#define ORVALIS_SANITIZER_FILE(name) ORVALIS_SOURCE_DIR "/cmake/sanitizers/" name

extern "C" {

__attribute__((weak)) const char* __asan_default_options() {
    return "detect_leaks=1:abort_on_error=1:strict_string_checks=1:"
           "detect_stack_use_after_return=1";
}

__attribute__((weak)) const char* __lsan_default_options() {
    return "print_suppressions=0:suppressions=" ORVALIS_SANITIZER_FILE("lsan.supp");
}

__attribute__((weak)) const char* __tsan_default_options() {
    return "halt_on_error=1:second_deadlock_stack=1:suppressions=" ORVALIS_SANITIZER_FILE("tsan.supp");
}

__attribute__((weak)) const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1:suppressions=" ORVALIS_SANITIZER_FILE("ubsan.supp");
}

}  // extern "C"
