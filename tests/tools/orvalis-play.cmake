# orvalis-play runs in-process through its library: options, refusals, the
# outputs it writes (capture log, captured MIDI file, WAV) and what they hold.
orvalis_add_test(NAME orvalis_play_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/orvalis_play_test.cpp
  LIBS orvalis_play_lib midiframework_song platform::midi platform::notice platform::automation test_support
    test_midi_support
  LABELS playback)
# Some cases run the program itself: signals, and two runs at once.
target_compile_definitions(orvalis_play_tests PRIVATE ORVALIS_PLAY_PROGRAM="$<TARGET_FILE:orvalis-play>")
add_dependencies(orvalis_play_tests orvalis-play)
