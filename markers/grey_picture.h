#pragma once

#include <opencv2/core/mat.hpp>

namespace veldrin {

// The grey version of an 8-bit camera picture: BGR is converted into `grey`, a grey picture is
// shared without a copy. Empty pictures and other types (16-bit, float, BGRA) are refused with
// false, so finders never guess at a layout they were not written for.
[[nodiscard]] bool GreyPicture(const cv::Mat& picture, cv::Mat& grey);

}  // namespace veldrin
