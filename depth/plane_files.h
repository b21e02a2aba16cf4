#pragma once

// The two table-geometry files of the depth side, each a bare record of little-endian floats:
// "<folder>2DPlane.pt3" holds the four calibration corners in colour-frame pixels (32 bytes),
// "<folder>3DPlane.pt3" the four table corners in depth-camera metres (48 bytes). The folder
// is joined directly, without a separator, as the host's folder string ends with one.

#include <opencv2/core/types.hpp>

#include <array>
#include <string>

using Plane2D = std::array<cv::Point2f, 4>;

using Plane3D = std::array<cv::Point3f, 4>;

namespace veldrin {

constexpr size_t kPlane2DRecordSize = 32;
constexpr size_t kPlane3DRecordSize = 48;

// Empty for an empty folder: reading and writing an empty path fail.
std::string Plane2DPath(const std::string& folder);
std::string Plane3DPath(const std::string& folder);

// True when a whole record was read; otherwise `corners` is untouched. Files written by a
// Windows text stream (every 0x0A stored as 0x0D 0x0A) are read back unchanged.
[[nodiscard]] bool ReadPlane2D(const std::string& path, Plane2D& corners);
[[nodiscard]] bool ReadPlane3D(const std::string& path, Plane3D& corners);

// The depth range a stored table may lie in, in metres from the camera.
constexpr float kMinPlaneDepthM = 0.1f;
constexpr float kMaxPlaneDepthM = 10.0f;

// Whether the four corners can be a table the depth camera sees: every coordinate finite, every
// corner in front of the camera within the depth range and no further to the side than twice its
// depth (a view of 127 degrees), and the four not all on one line. A plane behind the camera or
// far beyond its range would only give absurd heights and corners.
bool IsPlausiblePlane3D(const Plane3D& corners);

// ReadPlane3D that also refuses an implausible record; `error` then names the file. A missing
// file is an error too ("no 3D plane file ...").
bool ReadPlane3D(const std::string& path, Plane3D& corners, std::string& error);

// Writes the record as binary, replacing any previous file atomically.
[[nodiscard]] bool WritePlane2D(const std::string& path, const Plane2D& corners);
[[nodiscard]] bool WritePlane3D(const std::string& path, const Plane3D& corners);

}  // namespace veldrin
