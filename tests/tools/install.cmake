# cmake --install into a scratch prefix gives tools that run from there, a
# pkg-config file that names the installed libraries, and a folder of control
# modules that the installed tools register and load (the sample module,
# installed by its own component only; the video controls' module, part of
# every install, driven by the installed kestravion-play).
# The Python module is checked where the build has it.
set(_install_check_python "")
if(TARGET ocx)
  set(_install_check_python -DPYTHON_DIR=${ORVALIS_PYTHON_INSTALL_DIR} -DPYTHON=${Python3_EXECUTABLE})
endif()
add_test(NAME Install.GivesRunnableToolsAndAPkgConfigFile
  COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DPREFIX=${CMAKE_BINARY_DIR}/install-check
          -DMODULE_DIR=${ORVALIS_CONTROL_MODULE_DESTINATION} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
          ${_install_check_python}
          -P ${CMAKE_CURRENT_LIST_DIR}/scripts/install_check.cmake)
set_tests_properties(Install.GivesRunnableToolsAndAPkgConfigFile PROPERTIES
  ENVIRONMENT "${ORVALIS_TEST_ENVIRONMENT}" TIMEOUT 120)
