#include "depth/plane_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <optional>

#include "platform/file_io.h"

namespace veldrin {
namespace {

// Reads at most `limit` bytes from the start of a regular file.
std::optional<std::string> ReadPrefix(const std::string& path, size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string bytes(limit, '\0');
  size_t got = 0;
  while (got < limit) {
    const ssize_t n = ::read(fd, bytes.data() + got, limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  bytes.resize(got);
  return bytes;
}

// The record's bytes, or nothing when the file cannot be read or holds less than a record.
// A file of exactly the record's size is binary as written here. A longer one is taken as a
// Windows text stream, where each 0x0A of the record was stored as 0x0D 0x0A; in a binary
// record the pair may be genuine data, which is why the exact size is not decoded.
std::optional<std::string> ReadRecord(const std::string& path, size_t size) {
  // A text-mode record at most doubles in size.
  auto raw = ReadPrefix(path, 2 * size);
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

float FloatAt(const std::string& bytes, size_t offset) {
  uint32_t bits = 0;
  for (size_t i = 4; i-- > 0;) bits = (bits << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return std::bit_cast<float>(bits);
}

void AppendFloat(std::string& bytes, float value) {
  const auto bits = std::bit_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((bits >> (8 * i)) & 0xFF);
}

}  // namespace

std::string Plane2DPath(const std::string& folder) { return folder + "2DPlane.pt3"; }
std::string Plane3DPath(const std::string& folder) { return folder + "3DPlane.pt3"; }

bool ReadPlane2D(const std::string& path, Plane2D& corners) {
  const auto record = ReadRecord(path, kPlane2DRecordSize);
  if (!record) return false;
  for (size_t i = 0; i < corners.size(); ++i) {
    corners[i] = {FloatAt(*record, 8 * i), FloatAt(*record, 8 * i + 4)};
  }
  return true;
}

bool ReadPlane3D(const std::string& path, Plane3D& corners) {
  const auto record = ReadRecord(path, kPlane3DRecordSize);
  if (!record) return false;
  for (size_t i = 0; i < corners.size(); ++i) {
    corners[i] = {FloatAt(*record, 12 * i), FloatAt(*record, 12 * i + 4),
                  FloatAt(*record, 12 * i + 8)};
  }
  return true;
}

bool WritePlane2D(const std::string& path, const Plane2D& corners) {
  std::string bytes;
  for (const auto& p : corners) {
    AppendFloat(bytes, p.x);
    AppendFloat(bytes, p.y);
  }
  return WriteFileAtomically(path, bytes);
}

bool WritePlane3D(const std::string& path, const Plane3D& corners) {
  std::string bytes;
  for (const auto& p : corners) {
    AppendFloat(bytes, p.x);
    AppendFloat(bytes, p.y);
    AppendFloat(bytes, p.z);
  }
  return WriteFileAtomically(path, bytes);
}

}  // namespace veldrin
