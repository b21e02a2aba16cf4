#pragma once

#include <opencv2/core/types.hpp>

#include <memory>
#include <string>
#include <vector>

struct SLensModel;

namespace veldrin {

// What the host's data folder keeps for the main camera, read back when it becomes the main
// camera or when the operator is done with a dialog that may have changed it.

// The lens correction of `camera` from its lens file in `folder`, or null when there is none,
// it cannot be read, or it was measured on another camera (a copied file). A file that is there
// but cannot be used is named in `problem` (when given).
std::shared_ptr<SLensModel> LoadLensForCamera(const std::string& folder, const std::string& camera,
                                              std::string* problem = nullptr);

// The lens file whose correction applies to frames of `frameSize` ("" when none does).
std::string ActiveLensName(const SLensModel* lens, cv::Size frameSize);

// The corners saved on the empty table (the 2D plane file in `folder`); false when there are
// none.
bool LoadPlaneCorners(const std::string& folder, std::vector<cv::Point2f>& corners);

}  // namespace veldrin
