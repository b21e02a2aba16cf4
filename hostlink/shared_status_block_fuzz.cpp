// Any block content (and any block size) under the name: the tool's accessors answer without
// reading past the block, and the folder is valid UTF-8.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hostlink/shared_status_block.h"
#include "platform/shared_memory.h"

namespace {

bool IsUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const int n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (int k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

const std::string& Name() {
  static const std::string name = "veldrin-fuzz-block-" + std::to_string(getpid());
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Inputs shorter than the block make a short block: the tool must refuse it, not read past it.
  const std::size_t blockSize = std::clamp<std::size_t>(size, 1, sizeof(STATUS_BLOCK));
  CSharedMemory::Unlink(Name());
  {
    CSharedMemory host(Name(), blockSize, true);
    if (!host.IsMapped()) return 0;
    std::memset(host.GetView(), 0, blockSize);
    if (size > 0) std::memcpy(host.GetView(), data, std::min(size, blockSize));
    CSharedStatusBlock tool(Name(), 0);
    if (blockSize < sizeof(STATUS_BLOCK) && tool.IsOpen()) std::abort();
    int height = 0, width = 0;
    (void)tool.GetMediaSize(height, width);  // any answer will do; reading must not crash
    tool.GetHostCount();
    tool.IsImageReady();
    if (!IsUtf8(tool.GetFolder())) std::abort();
    tool.GetImagePath();
  }
  CSharedMemory::Unlink(Name());
  return 0;
}
