# The test container's script reader runs in-process through its library.
if(TARGET ocx_container_script)
  orvalis_add_test(NAME ocx_script_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ocx_script_test.cpp
    LIBS ocx_container_script)
endif()
