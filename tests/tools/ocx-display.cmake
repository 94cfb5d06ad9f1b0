# ocx-container on an X server of the test's own: a control embedded in
# another program's window (label x11).
if(TARGET ocx-register AND TARGET ocx-container AND TARGET sample_control)
  orvalis_add_test(NAME ocx_display_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ocx_display_test.cpp
    LIBS x11_testkit
    LABELS x11)
  target_compile_definitions(ocx_display_tests PRIVATE
    OCX_REGISTER="$<TARGET_FILE:ocx-register>"
    OCX_CONTAINER="$<TARGET_FILE:ocx-container>"
    SAMPLE_MODULE="$<TARGET_FILE:sample_control>")
  add_dependencies(ocx_display_tests ocx-register ocx-container sample_control)
endif()
