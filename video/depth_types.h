#pragma once

// The point of a depth delivery's cloud: our own record, so that no vendor header reaches the
// headers of this library. It has the depth library's vertex layout (three 32-bit floats), so a
// back-end hands the library's arrays through unchanged; the optional librealsense2 back-end's
// source checks that with a static_assert against the vendor's type (see video/CMakeLists.txt).
struct SVertex {
  float xyz[3];  // metres, depth-camera coordinates: x right, y down, z away from the camera
};
static_assert(sizeof(SVertex) == 12, "a cloud is handed through as an array of 12-byte points");
