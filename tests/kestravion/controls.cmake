# The video controls through the host side: the module registered in a
# scratch registry and loaded with dlopen, as a container does.
orvalis_add_test(NAME kestravion_control_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/source_control_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/consumer_control_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/module_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/stress_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/platform/media/SanitizerDefaults.cpp
  LIBS kestravion_ids platform::automation platform::window platform::gdi platform::media platform::media_testkit
    platform::notice test_media_support ${CMAKE_DL_LIBS}
  LABELS media)
target_compile_definitions(kestravion_control_tests PRIVATE KESTRAVION_MODULE="$<TARGET_FILE:kestravion>")
add_dependencies(kestravion_control_tests kestravion)

# The consumer control on an X server of its own (label x11).
orvalis_add_test(NAME kestravion_x11_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/x11_consumer_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/platform/media/SanitizerDefaults.cpp
  LIBS kestravion_ids platform::automation platform::window platform::gdi platform::media platform::media_testkit
    platform::notice test_media_support x11_testkit ${CMAKE_DL_LIBS}
  LABELS x11)
target_compile_definitions(kestravion_x11_tests PRIVATE KESTRAVION_MODULE="$<TARGET_FILE:kestravion>")
add_dependencies(kestravion_x11_tests kestravion)
