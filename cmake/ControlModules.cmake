# Control modules: shared objects that hosts load with dlopen, found through
# the registry file, which records each module's absolute path when
# ocx-register registers it. `cmake --install` puts them in a folder of their
# own beside the platform libraries they link, <prefix>/<libdir>/ocx; the
# installed tools look there for a module given by name
# (`ocx-register orvalis` registers <prefix>/<libdir>/ocx/orvalis.so).

# The folder's name, which the control framework also looks for beside itself.
set(ORVALIS_CONTROL_MODULE_FOLDER ocx)
set(ORVALIS_CONTROL_MODULE_DESTINATION ${CMAKE_INSTALL_LIBDIR}/${ORVALIS_CONTROL_MODULE_FOLDER})

# orvalis_add_control_module(NAME <target> SOURCES <files...> [LIBS <targets...>]
#                            [OUTPUT_NAME <name>] [COMPONENT <component>])
# Builds <target> as a MODULE library in <name>.so (no "lib" prefix: nothing
# links against a module; <name> defaults to <target>), links LIBS privately,
# and installs it in ORVALIS_CONTROL_MODULE_DESTINATION with an RPATH that
# finds the installed platform libraries one folder up. A module given a
# COMPONENT is left out of a plain `cmake --install` and installed only by
# `cmake --install <build> --component <component>`: for modules that only
# tests need.
function(orvalis_add_control_module)
  cmake_parse_arguments(M "" "NAME;OUTPUT_NAME;COMPONENT" "SOURCES;LIBS" ${ARGN})
  if(NOT M_NAME OR NOT M_SOURCES)
    message(FATAL_ERROR "orvalis_add_control_module needs NAME and SOURCES")
  endif()
  if(NOT M_OUTPUT_NAME)
    set(M_OUTPUT_NAME ${M_NAME})
  endif()
  add_library(${M_NAME} MODULE ${M_SOURCES})
  target_link_libraries(${M_NAME} PRIVATE ${M_LIBS} project_warnings)
  set_target_properties(${M_NAME} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${M_OUTPUT_NAME}
    SUFFIX ".so"
    INSTALL_RPATH "$ORIGIN/..")
  if(M_COMPONENT)
    install(TARGETS ${M_NAME} LIBRARY DESTINATION ${ORVALIS_CONTROL_MODULE_DESTINATION}
            COMPONENT ${M_COMPONENT} EXCLUDE_FROM_ALL)
  else()
    install(TARGETS ${M_NAME} LIBRARY DESTINATION ${ORVALIS_CONTROL_MODULE_DESTINATION})
  endif()
endfunction()
