#pragma once
// Our camera records and the library's, both ways. For this folder's sources only: the library's
// types stay out of every other header.
#include <librealsense2/rs.hpp>

#include <algorithm>

#include "geometry/camera_model.h"

namespace veldrin {

inline SCameraIntrinsics FromLibrary(const rs2_intrinsics& in) {
  SCameraIntrinsics out;
  out.width = in.width;
  out.height = in.height;
  out.ppx = in.ppx;
  out.ppy = in.ppy;
  out.fx = in.fx;
  out.fy = in.fy;
  out.model = static_cast<EDistortion>(in.model);
  std::copy(in.coeffs, in.coeffs + 5, out.coeffs);
  return out;
}

inline rs2_intrinsics ToLibrary(const SCameraIntrinsics& in) {
  rs2_intrinsics out{};
  out.width = in.width;
  out.height = in.height;
  out.ppx = in.ppx;
  out.ppy = in.ppy;
  out.fx = in.fx;
  out.fy = in.fy;
  out.model = static_cast<rs2_distortion>(in.model);
  std::copy(in.coeffs, in.coeffs + 5, out.coeffs);
  return out;
}

inline SCameraExtrinsics FromLibrary(const rs2_extrinsics& e) {
  SCameraExtrinsics out;
  std::copy(e.rotation, e.rotation + 9, out.rotation);
  std::copy(e.translation, e.translation + 3, out.translation);
  return out;
}

inline rs2_extrinsics ToLibrary(const SCameraExtrinsics& e) {
  rs2_extrinsics out{};
  std::copy(e.rotation, e.rotation + 9, out.rotation);
  std::copy(e.translation, e.translation + 3, out.translation);
  return out;
}

}  // namespace veldrin
