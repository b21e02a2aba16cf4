// Any VELDRIN_CAMERAS value: split into entries with a name and a source, the rest described.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "video/virtual_camera.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> rejected;
  const std::vector<SVirtualCameraEntry> entries = veldrin::ParseVirtualCameras(text, rejected);
  for (const SVirtualCameraEntry& entry : entries) {
    if (entry.source.empty()) std::abort();
    veldrin::IsSequencePattern(entry.source);
  }
  for (const std::string& line : rejected) {
    if (line.empty()) std::abort();
  }
  return 0;
}
