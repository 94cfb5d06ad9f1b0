# kestravion-play on an X server of the test's own: its window, its strip
# under the mouse, and its grid inside another program's window (label x11).
orvalis_add_test(NAME kestravion_play_x11_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/kestravion_play_x11_test.cpp ${CMAKE_SOURCE_DIR}/tests/platform/media/SanitizerDefaults.cpp
  LIBS test_media_support x11_testkit
  LABELS x11)
target_compile_definitions(kestravion_play_x11_tests PRIVATE KESTRAVION_PLAY="$<TARGET_FILE:kestravion-play>")
add_dependencies(kestravion_play_x11_tests kestravion-play kestravion)

# examples/tk_host.py: a plain Tk program hosting the tool in its frame.
orvalis_add_test(NAME tk_host_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tk_host_test.cpp ${CMAKE_SOURCE_DIR}/tests/platform/media/SanitizerDefaults.cpp
  LIBS test_media_support x11_testkit
  LABELS x11)
target_compile_definitions(tk_host_tests PRIVATE KESTRAVION_PLAY="$<TARGET_FILE:kestravion-play>"
  TK_HOST="${CMAKE_SOURCE_DIR}/examples/tk_host.py")
add_dependencies(tk_host_tests kestravion-play kestravion)
