#pragma once

// The point type of depth deliveries. With librealsense2 present it is the library's own, so
// depth code can hand the library's arrays through unchanged; without it, the same layout.
#ifdef VELDRIN_HAVE_REALSENSE2
#include <librealsense2/h/rs_types.h>
#else
struct rs2_vertex {
  float xyz[3];  // metres, depth-camera coordinates: x right, y down, z away from the camera
};
#endif
