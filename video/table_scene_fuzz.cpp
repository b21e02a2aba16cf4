// Any scene file: it is refused with a reason, or gives a scene that renders a colour frame and a
// depth frame.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "testing/fuzz_input.h"
#include "video/sim/scene_world.h"
#include "video/table_scene.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = veldrin_test::WriteFuzzInput("scene.json", data, size);
  STableSceneParams params;
  std::string error;
  if (!veldrin::LoadTableSceneParams(path, params, error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  // Small frames keep the fuzzer fast; the geometry is the same at every size.
  params.depth.width = std::min(params.depth.width, 64);
  params.depth.height = std::min(params.depth.height, 48);
  CTableScene scene(params);
  scene.SheetCorners(cv::Size(64, 48));
  scene.CounterArea(cv::Size(64, 48));
  cv::Mat picture;
  scene.Render(cv::Size(64, 48), 7, picture);
  if (picture.size() != cv::Size(64, 48) || picture.type() != CV_8UC3) std::abort();

  const CSceneWorld world(params);
  cv::Mat depthMm;
  world.RenderDepth(params.box, depthMm);
  if (depthMm.size() != cv::Size(params.depth.width, params.depth.height)) std::abort();
  return 0;
}
