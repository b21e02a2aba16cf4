// Any scene file: it is refused with a reason, or gives parameters the scene can be built from.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "testing/fuzz_input.h"
#include "video/table_scene.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = veldrin_test::WriteFuzzInput("scene.json", data, size);
  TABLE_SCENE_PARAMS params;
  std::string error;
  if (!veldrin::LoadTableSceneParams(path, params, error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  const CTableScene scene(params);
  scene.SheetCorners(cv::Size(64, 48));
  scene.CounterArea(cv::Size(64, 48));
  return 0;
}
