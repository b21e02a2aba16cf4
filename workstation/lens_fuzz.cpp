// Any lens file: refused with a message naming it, or a lens within the bounds whose correction
// can be computed.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "testing/fuzz_input.h"
#include "workstation/lens.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = veldrin_test::WriteFuzzInput("camera.lens", data, size);
  LENS_MODEL lens;
  std::string error;
  if (!veldrin::ReadLensFile(path, lens, error)) {
    if (error.find(path) == std::string::npos) std::abort();
    return 0;
  }
  if (!veldrin::IsUsableLens(lens)) std::abort();
  veldrin::MonotonicRadius2(lens);
  veldrin::DistortPixel(lens, cv::Point2d(lens.size.width / 2.0, lens.size.height / 2.0));
  return 0;
}
