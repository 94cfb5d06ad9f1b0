# midi-dump runs in-process through its library.
orvalis_add_test(NAME midi_dump_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/midi_dump_test.cpp
  LIBS midi_dump_lib platform::notice test_support
  LABELS song)
