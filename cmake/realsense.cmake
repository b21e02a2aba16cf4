# The librealsense2 back-end of the depth engine, switched here and nowhere else:
#   VELDRIN_REALSENSE=AUTO  built when CMake finds the library (the default)
#   VELDRIN_REALSENSE=ON    required: configuring fails without it
#   VELDRIN_REALSENSE=OFF   never built; the simulated depth camera only
# ./run puts ../shared/third_party/librealsense2 on CMAKE_PREFIX_PATH when that folder exists.
set(VELDRIN_REALSENSE AUTO CACHE STRING "librealsense2 depth back-end: AUTO, ON or OFF")
set_property(CACHE VELDRIN_REALSENSE PROPERTY STRINGS AUTO ON OFF)
string(TOUPPER "${VELDRIN_REALSENSE}" _veldrin_rs)
if(_veldrin_rs STREQUAL "ON")
  find_package(realsense2 CONFIG)
  if(NOT TARGET realsense2::realsense2)
    message(FATAL_ERROR "VELDRIN_REALSENSE=ON but librealsense2 was not found: install the "
      "vendor's development package (docs/depth-camera.md) or put the folder holding "
      "lib/cmake/realsense2 on CMAKE_PREFIX_PATH")
  endif()
elseif(_veldrin_rs STREQUAL "AUTO")
  find_package(realsense2 CONFIG QUIET)
elseif(NOT _veldrin_rs STREQUAL "OFF")
  message(FATAL_ERROR "VELDRIN_REALSENSE must be AUTO, ON or OFF, not '${VELDRIN_REALSENSE}'")
endif()

# A copy of the library folder that lost its symbolic links holds the soname as a small text
# file, which the loader refuses. The programs then load the library through links of our own in
# the build's lib folder (which is on their run path).
if(TARGET realsense2::realsense2)
  get_target_property(_veldrin_rs_lib realsense2::realsense2 IMPORTED_LOCATION_RELEASE)
  get_target_property(_veldrin_rs_soname realsense2::realsense2 IMPORTED_SONAME_RELEASE)
  if(_veldrin_rs_lib AND _veldrin_rs_soname)
    get_filename_component(_veldrin_rs_dir "${_veldrin_rs_lib}" DIRECTORY)
    set(_veldrin_rs_link "${_veldrin_rs_dir}/${_veldrin_rs_soname}")
    if(EXISTS "${_veldrin_rs_link}" AND NOT IS_SYMLINK "${_veldrin_rs_link}")
      file(SIZE "${_veldrin_rs_link}" _veldrin_rs_size)
      if(_veldrin_rs_size LESS 1024)
        get_filename_component(_veldrin_rs_name "${_veldrin_rs_lib}" NAME)
        set(_veldrin_rs_out "${CMAKE_BINARY_DIR}/lib")
        file(MAKE_DIRECTORY "${_veldrin_rs_out}")
        file(CREATE_LINK "${_veldrin_rs_lib}" "${_veldrin_rs_out}/${_veldrin_rs_name}" SYMBOLIC)
        file(CREATE_LINK "${_veldrin_rs_name}" "${_veldrin_rs_out}/${_veldrin_rs_soname}" SYMBOLIC)
        set_target_properties(realsense2::realsense2 PROPERTIES
          IMPORTED_LOCATION_RELEASE "${_veldrin_rs_out}/${_veldrin_rs_name}")
      endif()
    endif()
  endif()
endif()
