#pragma once

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include <vector>

namespace veldrin {

// Finds the media sheet (a light quadrilateral lying wholly inside the picture) in an 8-bit BGR
// or grey camera picture. On success `corners` holds its four corners in picture pixels (pixel
// centres at whole numbers), the one at the picture's top-left first and then clockwise as seen,
// so they can be used as P.1 to P.4 directly. When no convincing quadrilateral is found the
// result is false and `corners` is left as it was.
//
// Each edge is located to a fraction of a pixel from the grey-level gradient across it, a line is
// fitted to those edge points, and the corners are the intersections of neighbouring lines; the
// corners themselves (rounded by blur) are never measured directly. Among several candidates
// (other objects on the table) the largest of the lightest is the sheet.
// Plain function of its inputs: safe to call from any thread.
bool FindSheet(const cv::Mat& picture, std::vector<cv::Point2f>& corners);

// Puts four corners in the order FindSheet reports: the corner nearest the top-left direction
// from their centre first, then clockwise on the screen. Other counts are left alone.
void OrderCornersClockwise(std::vector<cv::Point2f>& corners);

}  // namespace veldrin
