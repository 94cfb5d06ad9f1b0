# Run with -DBUILD_DIR=<build tree> -DPREFIX=<scratch prefix>
# -DPYTHON_DIR=<the module's folder, relative to the prefix> -DPYTHON=<interpreter>.
# The installed ocx module loads from its folder, finds the installed platform
# libraries and control modules, and makes a control.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${errors}")
endif()
file(GLOB modules ${PREFIX}/${PYTHON_DIR}/ocx*.so)
if(NOT modules)
  message(FATAL_ERROR "the ocx module is not in ${PREFIX}/${PYTHON_DIR}")
endif()
set(ENV{PYTHONPATH} ${PREFIX}/${PYTHON_DIR})
set(ENV{XDG_DATA_HOME} ${PREFIX}/data)
execute_process(
  COMMAND ${PYTHON} -c "import ocx; print(ocx.__file__); ocx.RegisterModule('orvalis'); print(ocx.Dispatch('ORVALIS.OrvalisCtrl.1').GetSongTempo())"
  WORKING_DIRECTORY ${PREFIX}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT out MATCHES "^${PREFIX}/[^\n]*\n120.0")
  message(FATAL_ERROR "the installed ocx module does not work (${status}): ${out}${errors}")
endif()
