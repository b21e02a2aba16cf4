#pragma once

// The two table-geometry files of the depth side, each a bare record of little-endian floats:
// "<folder>2DPlane.pt3" holds the four calibration corners in colour-frame pixels (32 bytes),
// "<folder>3DPlane.pt3" the four table corners in depth-camera metres (48 bytes). The folder
// is joined directly, without a separator, as the host's folder string ends with one.

#include <opencv2/core/types.hpp>

#include <array>
#include <string>

namespace veldrin {

using Plane2D = std::array<cv::Point2f, 4>;
using Plane3D = std::array<cv::Point3f, 4>;

constexpr size_t kPlane2DRecordSize = 32;
constexpr size_t kPlane3DRecordSize = 48;

// Empty for an empty folder: reading and writing an empty path fail.
std::string Plane2DPath(const std::string& folder);
std::string Plane3DPath(const std::string& folder);

// True when a whole record was read; otherwise `corners` is untouched. Files written by a
// Windows text stream (every 0x0A stored as 0x0D 0x0A) are read back unchanged.
[[nodiscard]] bool ReadPlane2D(const std::string& path, Plane2D& corners);
[[nodiscard]] bool ReadPlane3D(const std::string& path, Plane3D& corners);

// Writes the record as binary, replacing any previous file atomically.
[[nodiscard]] bool WritePlane2D(const std::string& path, const Plane2D& corners);
[[nodiscard]] bool WritePlane3D(const std::string& path, const Plane3D& corners);

}  // namespace veldrin
