#include "workstation/plane_lens_loader.h"

#include "depth/plane_files.h"
#include "workstation/lens.h"

namespace veldrin {

std::shared_ptr<SLensModel> LoadLensForCamera(const std::string& folder, const std::string& camera,
                                              std::string* problem) {
  const std::string file = LensFileName(camera);
  if (file.empty()) return nullptr;
  auto lens = std::make_shared<SLensModel>();
  std::string error;
  if (!ReadLensFile(folder + file, *lens, error)) {
    if (problem && error.rfind("no lens file", 0) != 0) *problem = error;
    return nullptr;
  }
  if (lens->camera != camera) return nullptr;
  return lens;
}

std::string ActiveLensName(const SLensModel* lens, cv::Size frameSize) {
  return lens && lens->size == frameSize ? LensFileName(lens->camera) : std::string();
}

bool LoadPlaneCorners(const std::string& folder, std::vector<cv::Point2f>& corners) {
  Plane2D plane;
  if (!ReadPlane2D(Plane2DPath(folder), plane)) return false;
  corners.assign(plane.begin(), plane.end());
  return true;
}

}  // namespace veldrin
