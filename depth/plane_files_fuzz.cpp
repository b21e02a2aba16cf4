// Any plane file: a record is read whole or not at all.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "depth/plane_files.h"
#include "testing/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = veldrin_test::WriteFuzzInput("2DPlane.pt3", data, size);
  Plane2D plane2d{};
  // Only that reading survives any input; whether it accepts it does not matter here.
  (void)veldrin::ReadPlane2D(path, plane2d);
  Plane3D plane3d{};
  (void)veldrin::ReadPlane3D(path, plane3d);
  return 0;
}
