# orvalis-play runs in-process through its library.
if(TARGET orvalis_play_lib)
  orvalis_add_test(NAME orvalis_play_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/orvalis_play_test.cpp
    LIBS orvalis_play_lib platform::midi platform::notice
    LABELS playback)
endif()
