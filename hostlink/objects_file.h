#pragma once

// The objects file the tool writes for the host beside the published picture:
// "<folder>objects.json", the objects standing on the table in media millimetres (origin at the
// media's top-left corner, x to the right, y down, as in the picture). See docs/host-protocol.md.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct SMediaObject {
  std::array<double, 2> centreMm{};
  double heightMm = 0.0;  // the median over its top, above the table
  double areaMm2 = 0.0;
  std::vector<std::array<double, 2>> outlineMm;  // simplified polygon, in order round it
};

namespace veldrin {

inline constexpr const char* kObjectsFileName = "objects.json";

// The file's exact bytes for the picture numbered `frame` (the count of pictures announced).
std::string SerializeObjects(std::uint64_t frame, const std::vector<SMediaObject>& objects);

// Replaces `<folder>objects.json` as the picture is replaced: a whole file or the previous one.
[[nodiscard]] bool WriteObjectsFile(const std::string& folder, std::uint64_t frame,
                                    const std::vector<SMediaObject>& objects);

// False with a one-line reason for a missing, unreadable or malformed file.
[[nodiscard]] bool ReadObjectsFile(const std::string& path, std::uint64_t& frame,
                                   std::vector<SMediaObject>& objects, std::string& error);

}  // namespace veldrin
