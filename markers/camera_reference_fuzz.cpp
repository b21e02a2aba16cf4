// Any camera reference picture: its size comes from the header before anything is decoded; a
// reference is taken only within the size limit.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "markers/camera_reference.h"
#include "platform/picture_size.h"
#include "testing/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto stated = veldrin::ReadPictureSize(bytes);
  if (stated && (stated->width <= 0 || stated->height <= 0)) std::abort();

  const std::string path = veldrin_test::WriteFuzzInput("calibration.ref.png", data, size);
  CCameraReference reference;
  if (reference.Load(path) && !stated) std::abort();  // decoded without a size known first
  return 0;
}
