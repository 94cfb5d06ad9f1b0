# kestravion-play runs in-process through its library: command lines, a file
# it cannot add, a group played to its end and snapshots read back as pixels.
orvalis_add_test(NAME kestravion_play_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/kestravion_play_test.cpp ${CMAKE_SOURCE_DIR}/tests/platform/media/SanitizerDefaults.cpp
  LIBS kestravion_play_lib test_media_support platform::automation platform::gdi
  LABELS media)
add_dependencies(kestravion_play_tests kestravion)
