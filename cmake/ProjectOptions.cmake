# Warnings, sanitizers and the helpers every folder uses.

add_library(project_warnings INTERFACE)
target_compile_options(project_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow
  -Wnon-virtual-dtor -Wcast-align -Wunused -Woverloaded-virtual -Wnull-dereference
  -Wimplicit-fallthrough)

if(ORVALIS_SANITIZE)
  string(REPLACE ";" "," _san "${ORVALIS_SANITIZE}")
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${_san})
  if("undefined" IN_LIST ORVALIS_SANITIZE)
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

if(ORVALIS_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ORVALIS_FUZZ needs clang (use the fuzz preset)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Sanitizer runtime options. Test programs built with orvalis_add_test carry
# them compiled in (tests/support/SanitizerDefaults.cpp); tests added with a
# plain add_test set this list as their ENVIRONMENT property. The suppression
# files name only system libraries we do not build (GLib, GStreamer,
# FluidSynth, fontconfig).
set(ORVALIS_SANITIZER_DIR ${CMAKE_SOURCE_DIR}/cmake/sanitizers)
set(ORVALIS_TEST_ENVIRONMENT
  "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
  "LSAN_OPTIONS=suppressions=${ORVALIS_SANITIZER_DIR}/lsan.supp:print_suppressions=0"
  "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:suppressions=${ORVALIS_SANITIZER_DIR}/ubsan.supp"
  "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${ORVALIS_SANITIZER_DIR}/tsan.supp")

# orvalis_add_test(NAME <name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>]
#                  [TIMEOUT <seconds>])
# One GoogleTest executable per layer; every case becomes its own ctest entry.
function(orvalis_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES} ${CMAKE_SOURCE_DIR}/tests/support/SanitizerDefaults.cpp)
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main project_warnings)
  target_compile_definitions(${T_NAME} PRIVATE
    ORVALIS_SOURCE_DIR="${CMAKE_SOURCE_DIR}" ORVALIS_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # No ENVIRONMENT here: gtest_discover_tests would keep only the first entry
  # of a list; the sanitizer options are compiled in instead.
  set(_props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND _props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${_props})
endfunction()
