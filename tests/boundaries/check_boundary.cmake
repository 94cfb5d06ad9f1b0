# Run by the LayerBoundaries cases: cmake -DCXX=<compiler> -DCASES=<generated
# file> -DWORK_DIR=<scratch folder> -P check_boundary.cmake. CASES sets
# SCAN_DIRS and FORBIDDEN and calls probe() once per target.

set(failures "")

# Preprocesses a file holding only `#include "<header>"` with the given
# include folders. Sets <ok> to whether it succeeded and <output> to what the
# compiler said.
function(preprocess header includes ok output)
  string(MAKE_C_IDENTIFIER "${header}" name)
  set(source ${WORK_DIR}/${name}.cpp)
  file(WRITE ${source} "#include \"${header}\"\n")
  set(flags "")
  foreach(dir IN LISTS includes)
    list(APPEND flags "-I${dir}")
  endforeach()
  execute_process(COMMAND ${CXX} -std=c++20 -E -o /dev/null ${flags} ${source}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(status EQUAL 0)
    set(${ok} TRUE PARENT_SCOPE)
  else()
    set(${ok} FALSE PARENT_SCOPE)
  endif()
  set(${output} "${out}" PARENT_SCOPE)
endfunction()

function(probe target seen includes)
  preprocess(${seen} "${includes}" ok out)
  if(NOT ok)
    set(failures "${failures}${target} does not find its own ${seen}:\n${out}\n" PARENT_SCOPE)
    return()
  endif()
  foreach(header IN LISTS FORBIDDEN)
    preprocess(${header} "${includes}" ok out)
    # The header itself must be missing, not something it includes in turn
    # (gcc: "error: a/b.h: No such file", clang: "error: 'a/b.h' file not found").
    string(REPLACE "." "\\." pattern "${header}")
    if(ok)
      string(APPEND failures "${target} can include ${header}\n")
    elseif(NOT out MATCHES "error: '?${pattern}'?:? (No such file|file not found)")
      string(APPEND failures "${target} including ${header} fails for another reason than not finding it:\n${out}\n")
    endif()
  endforeach()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
include(${CASES})

# Include folders keep out only what is looked up through them; a relative
# path would slip past. Every include line of the layer's own sources that
# names a forbidden layer's folder is reported.
set(prefixes "")
foreach(header IN LISTS FORBIDDEN)
  get_filename_component(folder ${header} DIRECTORY)
  list(APPEND prefixes "${folder}")
endforeach()
list(JOIN prefixes "|" alternatives)
foreach(dir IN LISTS SCAN_DIRS)
  file(GLOB_RECURSE sources ${dir}/*.h ${dir}/*.hpp ${dir}/*.cpp ${dir}/*.cc ${dir}/*.c)
  foreach(source IN LISTS sources)
    file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line IN LISTS lines)
      if(line MATCHES "[\"<]([^\">]*/)?(${alternatives})/[^\">]*[\">]")
        file(RELATIVE_PATH shown ${dir}/.. ${source})
        string(APPEND failures "${shown}: ${line}\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "layer boundary broken:\n${failures}")
endif()
