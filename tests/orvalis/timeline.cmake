# The song timeline: measures, tempo and the song's end derived from a file.
orvalis_add_test(NAME orvalis_timeline_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/timeline_test.cpp
  LIBS orvalis_core midiframework_song test_support
  LABELS song)
