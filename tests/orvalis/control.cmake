# The player control through the host side only: its module registered in a
# scratch registry and loaded with dlopen, its members called by name, its
# events, threads, persistence, drawing and registration.
orvalis_add_test(NAME orvalis_control_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/control_members_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/control_events_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/control_module_test.cpp
  LIBS orvalis_ids platform::automation platform::window platform::gdi platform::midi platform::clock
    platform::notice test_support test_midi_support ${CMAKE_DL_LIBS}
  LABELS playback)
target_compile_definitions(orvalis_control_tests PRIVATE ORVALIS_MODULE="$<TARGET_FILE:orvalis>")
add_dependencies(orvalis_control_tests orvalis)
