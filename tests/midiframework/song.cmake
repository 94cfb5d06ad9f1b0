# The song model's suites: reader, tracks, the text dump and the third-party corpus.
orvalis_add_test(NAME midiframework_song_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/midifile_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/miditrack_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dump_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/corpus_test.cpp
  LIBS midiframework_song platform::notice test_support
  LABELS song)
