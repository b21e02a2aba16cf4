// Any lens file: refused with a message naming it, or a lens within the bounds whose correction
// can be computed, and writing that lens out and reading it again gives the same lens.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "testing/fuzz_input.h"
#include "workstation/lens.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = veldrin_test::WriteFuzzInput("camera.lens", data, size);
  SLensModel lens;
  std::string error;
  if (!veldrin::ReadLensFile(path, lens, error)) {
    if (error.find(path) == std::string::npos) std::abort();
    return 0;
  }
  if (!veldrin::IsUsableLens(lens) || !std::isfinite(veldrin::MonotonicRadius2(lens))) {
    std::abort();
  }
  veldrin::DistortPixel(lens, cv::Point2d(lens.size.width / 2.0, lens.size.height / 2.0));
  const std::string text = veldrin::SerializeLens(lens);
  const std::string again = veldrin_test::WriteFuzzInput(
      "again.lens", reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  SLensModel reread;
  if (!veldrin::ReadLensFile(again, reread, error)) std::abort();
  if (reread.camera != lens.camera || reread.size != lens.size || reread.matrix != lens.matrix ||
      reread.distortion != lens.distortion || reread.rmsPx != lens.rmsPx) {
    std::abort();
  }
  return 0;
}
