# Run with -DBUILD_DIR=<build tree> -DPREFIX=<scratch prefix>.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${errors}")
endif()

foreach(tool midi-dump orvalis-play ocx-register ocx-container)
  if(NOT EXISTS ${PREFIX}/bin/${tool})
    message(FATAL_ERROR "${tool} was not installed")
  endif()
endforeach()

# The installed player must find its libraries from where it was installed.
execute_process(COMMAND ${PREFIX}/bin/orvalis-play --list-ports
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT out MATCHES "Software synthesizer")
  message(FATAL_ERROR "the installed orvalis-play does not run (${status}): ${out}${errors}")
endif()

set(ENV{PKG_CONFIG_PATH} ${PREFIX}/lib/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs orvalis-platform
                RESULT_VARIABLE status OUTPUT_VARIABLE flags ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT flags MATCHES "-lplatform_automation" OR NOT flags MATCHES "-I")
  message(FATAL_ERROR "pkg-config orvalis-platform: ${flags}${errors}")
endif()
file(REMOVE_RECURSE ${PREFIX})
