# ocx-register and ocx-container run as separate processes on the sample module.
orvalis_add_test(NAME ocx_tools_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ocx_tools_test.cpp
  LIBS)
target_compile_definitions(ocx_tools_tests PRIVATE
  OCX_REGISTER="$<TARGET_FILE:ocx-register>"
  OCX_CONTAINER="$<TARGET_FILE:ocx-container>"
  SAMPLE_MODULE="$<TARGET_FILE:sample_control>"
  BROKEN_MODULE="$<TARGET_FILE:broken_control>")
add_dependencies(ocx_tools_tests ocx-register ocx-container sample_control broken_control)
