# The example script drives the player control from ocx-container, as the
# README shows: registered in a scratch registry, run from the source folder.
add_test(NAME ExampleScript.PlaysALoopThroughThePlayerControl
  COMMAND ${CMAKE_COMMAND} -DREGISTER=$<TARGET_FILE:ocx-register> -DCONTAINER=$<TARGET_FILE:ocx-container>
          -DMODULE=$<TARGET_FILE:orvalis> -DREGISTRY=${CMAKE_CURRENT_BINARY_DIR}/example-script.registry
          -DSCRIPT=${CMAKE_SOURCE_DIR}/examples/orvalis-loop.ocx
          -P ${CMAKE_CURRENT_LIST_DIR}/scripts/example_script.cmake
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
set_tests_properties(ExampleScript.PlaysALoopThroughThePlayerControl PROPERTIES
  ENVIRONMENT "${ORVALIS_TEST_ENVIRONMENT}" TIMEOUT 60 LABELS playback)
