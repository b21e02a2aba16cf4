#include "depth/plane_files.h"

#include <opencv2/core.hpp>

#include <cmath>
#include <cstdint>
#include <optional>

#include "platform/byte_order.h"
#include "platform/file_io.h"

namespace veldrin {
namespace {

// The record's bytes, or nothing when the file cannot be read or holds less than a record.
// A file of exactly the record's size is binary as written here. A longer one is taken as a
// Windows text stream, where each 0x0A of the record was stored as 0x0D 0x0A; in a binary
// record the pair may be genuine data, which is why the exact size is not decoded.
std::optional<std::string> ReadRecord(const std::string& path, size_t size) {
  // A text-mode record at most doubles in size.
  auto raw = ReadFilePrefix(path, 2 * size);
  if (!raw || raw->size() < size) return std::nullopt;
  if (raw->size() == size) return raw;
  std::string record;
  for (size_t i = 0; i < raw->size() && record.size() < size; ++i) {
    if ((*raw)[i] == '\r' && i + 1 < raw->size() && (*raw)[i + 1] == '\n') ++i;
    record += (*raw)[i];
  }
  if (record.size() < size) return std::nullopt;
  return record;
}

}  // namespace

// No folder gives no path, so nothing is read from or written to the working directory.
std::string Plane2DPath(const std::string& folder) {
  return folder.empty() ? std::string() : folder + "2DPlane.pt3";
}
std::string Plane3DPath(const std::string& folder) {
  return folder.empty() ? std::string() : folder + "3DPlane.pt3";
}

bool ReadPlane2D(const std::string& path, Plane2D& corners) {
  const auto record = ReadRecord(path, kPlane2DRecordSize);
  if (!record) return false;
  for (size_t i = 0; i < corners.size(); ++i) {
    corners[i] = {ReadLEFloat(record->data() + 8 * i), ReadLEFloat(record->data() + 8 * i + 4)};
  }
  return true;
}

bool ReadPlane3D(const std::string& path, Plane3D& corners) {
  const auto record = ReadRecord(path, kPlane3DRecordSize);
  if (!record) return false;
  for (size_t i = 0; i < corners.size(); ++i) {
    corners[i] = {ReadLEFloat(record->data() + 12 * i), ReadLEFloat(record->data() + 12 * i + 4),
                  ReadLEFloat(record->data() + 12 * i + 8)};
  }
  return true;
}

bool IsPlausiblePlane3D(const Plane3D& corners) {
  for (const auto& p : corners) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) return false;
    if (p.z < kMinPlaneDepthM || p.z > kMaxPlaneDepthM) return false;
    if (std::fabs(p.x) > 2 * p.z || std::fabs(p.y) > 2 * p.z) return false;
  }
  // Twice the quadrilateral's area, as a vector: zero when the corners lie on one line.
  const cv::Point3f diagonal1 = corners[2] - corners[0];
  const cv::Point3f diagonal2 = corners[3] - corners[1];
  constexpr double kMinAreaM2 = 1e-4;  // one centimetre square
  return cv::norm(diagonal1.cross(diagonal2)) / 2 >= kMinAreaM2;
}

bool ReadPlane3D(const std::string& path, Plane3D& corners, std::string& error) {
  Plane3D read;
  if (!ReadPlane3D(path, read)) {
    error = (ReadFilePrefix(path, 1) ? "not a 3D plane file: " : "no 3D plane file ") + path;
    return false;
  }
  if (!IsPlausiblePlane3D(read)) {
    error = path + ": the plane it holds is not in front of the camera within " +
            std::to_string(static_cast<int>(kMaxPlaneDepthM)) + " m";
    return false;
  }
  corners = read;
  return true;
}

bool WritePlane2D(const std::string& path, const Plane2D& corners) {
  std::string bytes;
  for (const auto& p : corners) {
    AppendLEFloat(bytes, p.x);
    AppendLEFloat(bytes, p.y);
  }
  return WriteFileAtomically(path, bytes);
}

bool WritePlane3D(const std::string& path, const Plane3D& corners) {
  std::string bytes;
  for (const auto& p : corners) {
    AppendLEFloat(bytes, p.x);
    AppendLEFloat(bytes, p.y);
    AppendLEFloat(bytes, p.z);
  }
  return WriteFileAtomically(path, bytes);
}

}  // namespace veldrin
