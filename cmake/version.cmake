# The one version of the programs and the package: the project version, with the git revision
# appended when the source tree is a git checkout of its own: "0.1.0+git312.4005279" (commits on
# the branch, so a later build sorts later for apt, then the short hash).
#
# Included at configure time it sets VELDRIN_VERSION. Run as a script at every build, it writes
# the version into OUTPUT, touching the file only when the text changed:
#   cmake -DBASE=0.1.0 -DSOURCE_DIR=<repo> -DGIT=<git> -DOUTPUT=<file.cpp> -P cmake/version.cmake

function(veldrin_compute_version base source_dir git out)
  set(version "${base}")
  if(git)
    execute_process(COMMAND "${git}" -C "${source_dir}" rev-parse --show-toplevel
      OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
    # A source tarball unpacked inside some other checkout takes nothing from it.
    if(NOT failed AND top)
      file(REAL_PATH "${top}" top)
      file(REAL_PATH "${source_dir}" source_dir)
    endif()
    if(NOT failed AND top STREQUAL source_dir)
      execute_process(COMMAND "${git}" -C "${source_dir}" rev-list --count HEAD
        OUTPUT_VARIABLE count OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      execute_process(COMMAND "${git}" -C "${source_dir}" rev-parse --short=7 HEAD
        OUTPUT_VARIABLE hash OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(count MATCHES "^[0-9]+$" AND hash MATCHES "^[0-9a-f]+$")
        set(version "${base}+git${count}.${hash}")
      endif()
    endif()
  endif()
  set(${out} "${version}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  veldrin_compute_version("${BASE}" "${SOURCE_DIR}" "${GIT}" version)
  file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT [[
#include "platform/version.h"

const char* veldrin::VersionText() { return "@version@"; }
]] @ONLY)
else()
  find_package(Git QUIET)
  veldrin_compute_version("${PROJECT_VERSION}" "${PROJECT_SOURCE_DIR}" "${GIT_EXECUTABLE}"
    VELDRIN_VERSION)
  set(_veldrin_version_cpp ${PROJECT_BINARY_DIR}/generated/version.cpp)
  # Runs at every build, so the programs follow new commits without a new configure step.
  add_custom_target(veldrin_version_stamp
    COMMAND ${CMAKE_COMMAND} -DBASE=${PROJECT_VERSION} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
      -DGIT=${GIT_EXECUTABLE} -DOUTPUT=${_veldrin_version_cpp} -P ${CMAKE_CURRENT_LIST_FILE}
    BYPRODUCTS ${_veldrin_version_cpp}
    COMMENT "" VERBATIM)
  # Only the programs link it, so a new commit relinks them and nothing else.
  add_library(veldrin_version STATIC ${_veldrin_version_cpp})
  add_dependencies(veldrin_version veldrin_version_stamp)
  target_include_directories(veldrin_version PUBLIC ${PROJECT_SOURCE_DIR})
endif()
