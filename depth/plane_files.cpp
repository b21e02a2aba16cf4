#include "depth/plane_files.h"

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
