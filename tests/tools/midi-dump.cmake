# midi-dump runs in-process through its library.
if(TARGET midi_dump_lib)
  orvalis_add_test(NAME midi_dump_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/midi_dump_test.cpp
    LIBS midi_dump_lib platform::notice
    LABELS song)
endif()
