# Run with -DBUILD_DIR=<build tree> -DPREFIX=<scratch prefix>
# -DMODULE_DIR=<the control module folder, relative to the prefix>
# -DSOURCE_DIR=<the source tree>; with -DPYTHON_DIR=<the ocx module's folder,
# relative to the prefix> -DPYTHON=<interpreter> also the Python module.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${errors}")
endif()

foreach(tool midi-dump orvalis-play kestravion-play ocx-register ocx-container)
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
execute_process(COMMAND pkg-config --variable=controlmoduledir orvalis-platform
                OUTPUT_VARIABLE folder OUTPUT_STRIP_TRAILING_WHITESPACE)
file(REAL_PATH "${folder}" folder)
file(REAL_PATH "${PREFIX}/${MODULE_DIR}" expected_folder)
if(NOT folder STREQUAL expected_folder)
  message(FATAL_ERROR "pkg-config names ${folder} as the module folder, not ${expected_folder}")
endif()

# Test modules stay out of a plain install; their component brings them.
set(sample ${PREFIX}/${MODULE_DIR}/sample_control.so)
if(EXISTS ${sample})
  message(FATAL_ERROR "a plain install installed the sample module")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX} --component test-modules
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT EXISTS ${sample})
  message(FATAL_ERROR "cmake --install --component test-modules did not install ${sample}: ${errors}")
endif()

# The installed ocx-register finds an installed module by name, and the
# installed container loads it from there through the registry.
set(registry ${PREFIX}/registry)
execute_process(COMMAND ${PREFIX}/bin/ocx-register --registry ${registry} sample_control
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE errors)
file(REAL_PATH ${sample} sample_path)
if(NOT status EQUAL 0 OR NOT out MATCHES "Registered ${sample_path} in")
  message(FATAL_ERROR "the installed ocx-register did not register sample_control (${status}): ${out}${errors}")
endif()
file(WRITE ${PREFIX}/script.txt "create SAMPLE.SampleCtrl.1\ncall Add 40 2\nverb properties\n")
execute_process(COMMAND ${PREFIX}/bin/ocx-container --registry ${registry} ${PREFIX}/script.txt
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT out MATCHES "= 42\n" OR NOT out MATCHES "page \"General\"")
  message(FATAL_ERROR "the installed container cannot drive the installed module (${status}): ${out}${errors}")
endif()
# The player control module is installed; the installed player registers it
# when the registry lacks it and plays through it.
file(REAL_PATH ${PREFIX}/${MODULE_DIR}/orvalis.so player_module)
if(NOT EXISTS ${player_module})
  message(FATAL_ERROR "the player control module was not installed in ${PREFIX}/${MODULE_DIR}")
endif()
set(player_registry ${PREFIX}/player-registry)
execute_process(COMMAND ${PREFIX}/bin/orvalis-play --registry ${player_registry} --capture ${PREFIX}/capture.txt
                        --seek 13 --tempo 1000 ${SOURCE_DIR}/examples/example.mid
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE errors)
file(READ ${player_registry} registered)
if(NOT status EQUAL 0 OR NOT EXISTS ${PREFIX}/capture.txt OR NOT registered MATCHES "${player_module}")
  message(FATAL_ERROR "the installed orvalis-play did not play through the installed control (${status}): "
                      "${out}${errors}")
endif()
# The video controls' module is part of a plain install; the installed
# kestravion-play registers it when the registry lacks it and drives it: the
# controls are made and the missing file is refused with their reason.
file(REAL_PATH ${PREFIX}/${MODULE_DIR}/kestravion.so video_module)
if(NOT EXISTS ${video_module})
  message(FATAL_ERROR "a plain install did not install the video controls' module in ${PREFIX}/${MODULE_DIR}")
endif()
set(video_registry ${PREFIX}/video-registry)
execute_process(COMMAND ${PREFIX}/bin/kestravion-play --headless --registry ${video_registry} ${PREFIX}/missing.webm
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE errors)
file(READ ${video_registry} registered)
if(NOT status EQUAL 1 OR NOT errors MATCHES "Cannot render the specified media file" OR
   NOT registered MATCHES "${video_module}")
  message(FATAL_ERROR "the installed kestravion-play did not drive the installed video controls (${status}): "
                      "${out}${errors}")
endif()
execute_process(COMMAND ${PREFIX}/bin/ocx-register --registry ${registry} no_such_module
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE errors)
if(NOT status EQUAL 2 OR NOT errors MATCHES "no_such_module: no such module file, nor a module installed in")
  message(FATAL_ERROR "an unknown module name was not refused (${status}): ${out}${errors}")
endif()
execute_process(COMMAND ${PREFIX}/bin/ocx-register -u --registry ${registry} sample_control
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT out MATCHES "control SAMPLE.SampleCtrl.1")
  message(FATAL_ERROR "the installed ocx-register did not unregister sample_control (${status}): ${out}${errors}")
endif()
# The ocx Python module, in builds that have it: imported from where it was
# installed (not from the build tree), it finds the installed libraries and
# control modules and makes a control.
if(PYTHON_DIR)
  file(GLOB python_modules ${PREFIX}/${PYTHON_DIR}/ocx*.so)
  if(NOT python_modules)
    message(FATAL_ERROR "the ocx module is not in ${PREFIX}/${PYTHON_DIR}")
  endif()
  set(ENV{PYTHONPATH} ${PREFIX}/${PYTHON_DIR})
  set(ENV{XDG_DATA_HOME} ${PREFIX}/python-data)
  execute_process(
    COMMAND ${PYTHON} -c
      "import ocx; print(ocx.__file__); ocx.RegisterModule('orvalis'); print(ocx.Dispatch('ORVALIS.OrvalisCtrl.1').GetSongTempo())"
    WORKING_DIRECTORY ${PREFIX}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE errors)
  if(NOT status EQUAL 0 OR NOT out MATCHES "^${PREFIX}/[^\n]*\n120.0")
    message(FATAL_ERROR "the installed ocx module does not work (${status}): ${out}${errors}")
  endif()
endif()
file(REMOVE_RECURSE ${PREFIX})
