#pragma once

#include <opencv2/core.hpp>

namespace veldrin {

// Rows [top, bottom) of cv::remap(src, dst, map1, map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT, 0)
// with fixed-point tables (map1 CV_16SC2, map2 CV_16UC1, both dst's size), written into dst,
// which already has the tables' size and src's type. The result is cv::remap's bit for bit.
//
// Camera frames (8-bit, three channels) take a loop of our own: cv::remap's general one spends
// about twice the time per pixel on them. Anything else, and processors without SSE4.1, go
// through cv::remap.
void RemapRows(const cv::Mat& src, cv::Mat& dst, const cv::Mat& map1, const cv::Mat& map2, int top,
               int bottom);

}  // namespace veldrin
