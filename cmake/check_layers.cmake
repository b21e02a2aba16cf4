# Fails when a folder includes one above it. Run as a test (see the top-level CMakeLists.txt):
#   cmake -DSOURCE_DIR=<repo> -P cmake/check_layers.cmake
# The layers, bottom to top (docs/architecture.md explains them). Folders of one layer may include
# each other; a windowed sub-folder sits above its core. testing/ is for tests, fuzz targets and
# benchmarks only.
set(_layers
  "resources"
  "platform"
  "hostlink"
  "geometry"
  "video markers display"
  "depth"
  "depth/view"
  "workstation"
  "workstation/windows"
  "app tools"
  "bench")
set(_testing_rank 2)  # testing/ may include the host link and below

set(_rank 0)
set(_folders "")
foreach(_layer IN LISTS _layers)
  string(REPLACE " " ";" _names "${_layer}")
  foreach(_name IN LISTS _names)
    set(_rank_${_name} ${_rank})
    list(APPEND _folders ${_name})
  endforeach()
  math(EXPR _rank "${_rank} + 1")
endforeach()
set(_rank_testing ${_testing_rank})
list(APPEND _folders testing)
# Longest names first, so that a sub-folder wins over its parent.
list(SORT _folders COMPARE NATURAL ORDER DESCENDING)

# The folder a repository path lies in (its longest known prefix), or "" when none.
function(_folder_of path out)
  set(${out} "" PARENT_SCOPE)
  foreach(_f IN LISTS _folders)
    string(LENGTH "${_f}/" _n)
    string(SUBSTRING "${path}" 0 ${_n} _head)
    if(_head STREQUAL "${_f}/")
      set(${out} "${_f}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

set(_failures "")
foreach(_top IN LISTS _folders)
  if(NOT IS_DIRECTORY "${SOURCE_DIR}/${_top}")
    continue()
  endif()
  file(GLOB_RECURSE _files RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/${_top}/*.h"
    "${SOURCE_DIR}/${_top}/*.cpp")
  foreach(_file IN LISTS _files)
    _folder_of("${_file}" _from)
    if(NOT _from STREQUAL _top)
      continue()  # counted with its own (deeper) folder
    endif()
    get_filename_component(_base "${_file}" NAME)
    set(_is_test FALSE)
    if(_base MATCHES "_test\\.cpp$|_fuzz\\.cpp$|_test_fixture\\.h$" OR _from STREQUAL "bench"
       OR _from STREQUAL "testing")
      set(_is_test TRUE)
    endif()
    file(STRINGS "${SOURCE_DIR}/${_file}" _lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(_line IN LISTS _lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*$" "\\1" _target "${_line}")
      _folder_of("${_target}" _to)
      if(_to STREQUAL "")
        continue()
      endif()
      if(_to STREQUAL "testing")
        if(NOT _is_test)
          list(APPEND _failures "${_file}: includes ${_target}, but testing/ is for tests only")
        endif()
        continue()
      endif()
      if(_rank_${_to} GREATER _rank_${_from})
        list(APPEND _failures "${_file}: includes ${_target} from a layer above ${_from}/")
      endif()
    endforeach()
  endforeach()
endforeach()

if(_failures)
  list(JOIN _failures "\n  " _text)
  message(FATAL_ERROR "layering: a folder includes one above it:\n  ${_text}")
endif()
message(STATUS "layering: no folder includes one above it")
