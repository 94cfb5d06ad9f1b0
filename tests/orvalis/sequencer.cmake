# The sequencer: timing, dispatch, loop, seek with chase, late pulses and
# loading, on the manual clock and the capture device; its threads under the
# real clock.
orvalis_add_test(NAME orvalis_sequencer_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/sequencer_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sequencer_threads_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sequencer_tempo_map_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sequencer_full_chase_test.cpp
  LIBS orvalis_core midiframework platform::midi platform::clock platform::notice
    test_playback_support
  LABELS playback)
