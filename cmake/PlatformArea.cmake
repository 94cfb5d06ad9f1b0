# orvalis_platform_area(<area>
#                       SOURCES <files...>
#                       [PUBLIC_LINKS <targets...>]
#                       [PRIVATE_LINKS <targets...>])
# One area of platform/: the shared library platform_<area>, known to the rest
# of the tree as platform::<area>, whose public headers are
# include/platform/<area>/*.h beside its CMakeLists.txt. cmake --install puts
# the library and those headers in place, and the library is named in the
# pkg-config file (the global property ORVALIS_INSTALLED_PLATFORM_LIBS, in the
# order the areas are added, lowest first, as the linker wants them).
function(orvalis_platform_area area)
  cmake_parse_arguments(A "" "" "SOURCES;PUBLIC_LINKS;PRIVATE_LINKS" ${ARGN})
  if(A_UNPARSED_ARGUMENTS OR NOT A_SOURCES)
    message(FATAL_ERROR "orvalis_platform_area(${area}): give SOURCES, PUBLIC_LINKS and PRIVATE_LINKS only")
  endif()
  set(target platform_${area})
  add_library(${target} SHARED ${A_SOURCES})
  add_library(platform::${area} ALIAS ${target})
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(${target}
    PUBLIC ${A_PUBLIC_LINKS}
    PRIVATE ${A_PRIVATE_LINKS} project_warnings)

  install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  set_property(GLOBAL APPEND_STRING PROPERTY ORVALIS_INSTALLED_PLATFORM_LIBS " -l${target}")
endfunction()
