# Fails when a folder includes one above it, or two files (a file and its header counting as
# one) include each other. Run as a test (see the top-level CMakeLists.txt):
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
# Sub-layers of a folder, bottom to top: each may include its parent's headers and the sub-layers
# below it. The parent's headers never include a sub-layer (only its sources do, where they put
# the back-ends together), so no header of the parent depends on a back-end.
set(_sublayers_video "video/sim" "video/realsense")
set(_parents video)

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
foreach(_parent IN LISTS _parents)
  set(_order 0)
  foreach(_sub IN LISTS _sublayers_${_parent})
    set(_rank_${_sub} ${_rank_${_parent}})
    set(_parent_${_sub} ${_parent})
    set(_order_${_sub} ${_order})
    math(EXPR _order "${_order} + 1")
    list(APPEND _folders ${_sub})
  endforeach()
endforeach()
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
set(_edges "")
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
      # A file and its header are one unit; two units that include each other are a cycle.
      string(REGEX REPLACE "\\.(h|cpp)$" "" _unit_from "${_file}")
      string(REGEX REPLACE "\\.(h|cpp)$" "" _unit_to "${_target}")
      if(NOT _unit_from STREQUAL _unit_to)
        set("_dep_${_unit_from}>${_unit_to}" TRUE)
        list(APPEND _edges "${_unit_from}>${_unit_to}")
      endif()
      if(_to STREQUAL "testing")
        if(NOT _is_test)
          list(APPEND _failures "${_file}: includes ${_target}, but testing/ is for tests only")
        endif()
        continue()
      endif()
      if(_rank_${_to} GREATER _rank_${_from})
        list(APPEND _failures "${_file}: includes ${_target} from a layer above ${_from}/")
      elseif(DEFINED _parent_${_to} AND _from STREQUAL _parent_${_to} AND _file MATCHES "\\.h$")
        list(APPEND _failures "${_file}: a header of ${_from}/ includes its sub-layer ${_to}/")
      elseif(DEFINED _parent_${_to} AND DEFINED _parent_${_from}
             AND _parent_${_to} STREQUAL _parent_${_from}
             AND _order_${_to} GREATER _order_${_from})
        list(APPEND _failures "${_file}: includes ${_target} from a sub-layer above ${_from}/")
      endif()
    endforeach()
  endforeach()
endforeach()

list(REMOVE_DUPLICATES _edges)
foreach(_edge IN LISTS _edges)
  string(REPLACE ">" ";" _ends "${_edge}")
  list(GET _ends 0 _a)
  list(GET _ends 1 _b)
  if(_a STRLESS _b AND DEFINED "_dep_${_b}>${_a}")
    list(APPEND _failures "${_a} and ${_b} include each other")
  endif()
endforeach()

if(_failures)
  list(JOIN _failures "\n  " _text)
  message(FATAL_ERROR "layering: a folder includes one above it:\n  ${_text}")
endif()
message(STATUS "layering: no folder includes one above it, no two files include each other")
