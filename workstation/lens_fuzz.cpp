// Any lens file: reading never fails, a lens it accepts can be used, and writing that lens out and
// reading it again gives the same lens.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "testing/fuzz_input.h"
#include "workstation/lens.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = veldrin_test::WriteFuzzInput("fuzz.lens", data, size);
  LENS_MODEL lens;
  std::string error;
  if (!veldrin::ReadLensFile(path, lens, error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (!veldrin::IsUsableLens(lens) || !std::isfinite(veldrin::MonotonicRadius2(lens))) {
    std::abort();
  }
  const std::string text = veldrin::SerializeLens(lens);
  const std::string again = veldrin_test::WriteFuzzInput(
      "again.lens", reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  LENS_MODEL reread;
  if (!veldrin::ReadLensFile(again, reread, error)) std::abort();
  if (reread.strCamera != lens.strCamera || reread.size != lens.size ||
      reread.matrix != lens.matrix || reread.distortion != lens.distortion ||
      reread.rmsPx != lens.rmsPx) {
    std::abort();
  }
  return 0;
}
