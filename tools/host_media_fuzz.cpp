// Any content of the host simulator's media-size file: refused, or a size within the bounds.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/host_media.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  int width = -1, height = -1;
  if (!veldrin::ParseMediaSize(text, width, height)) {
    if (width != -1 || height != -1) std::abort();  // a refusal changes nothing
    return 0;
  }
  if (width <= 0 || height <= 0 || width > 1000000 || height > 1000000) std::abort();
  return 0;
}
