# orvalis-play runs in-process through its library: options, refusals, the
# outputs it writes (capture log, captured MIDI file, WAV) and what they hold.
if(TARGET orvalis_play_lib)
  orvalis_add_test(NAME orvalis_play_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/orvalis_play_test.cpp
    LIBS orvalis_play_lib midiframework_song platform::midi platform::notice
    LABELS playback)
  target_include_directories(orvalis_play_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/platform/midi)
endif()
