# cmake --install into a scratch prefix gives tools that run from there and a
# pkg-config file that names the installed libraries.
add_test(NAME Install.GivesRunnableToolsAndAPkgConfigFile
  COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DPREFIX=${CMAKE_BINARY_DIR}/install-check
          -P ${CMAKE_CURRENT_LIST_DIR}/scripts/install_check.cmake)
set_tests_properties(Install.GivesRunnableToolsAndAPkgConfigFile PROPERTIES
  ENVIRONMENT "${ORVALIS_TEST_ENVIRONMENT}" TIMEOUT 120)
