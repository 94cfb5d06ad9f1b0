orvalis_add_test(NAME kestravion_engine_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_test.cpp ${CMAKE_SOURCE_DIR}/tests/platform/media/SanitizerDefaults.cpp
  LIBS kestravion_engine platform::media platform::media_testkit platform::window platform::notice
    test_media_support
  LABELS media)
