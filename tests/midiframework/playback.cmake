# The playback support's suites: the output port's ring and lifecycle, the
# timer, and a real sound rendered through both.
orvalis_add_test(NAME midiframework_playback_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/midioutput_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/timer_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/playback_sound_test.cpp
  LIBS midiframework_playback platform::midi platform::clock platform::notice test_midi_support
  LABELS playback)
