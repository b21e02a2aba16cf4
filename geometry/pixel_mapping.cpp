#include "geometry/pixel_mapping.h"

#include <cmath>

namespace veldrin {

bool TruncateToInt(float value, int& out) {
  // +-2^31 are exact floats; anything strictly inside truncates into the int range.
  if (!(value > -2147483648.f && value < 2147483648.f)) return false;
  out = static_cast<int>(value);
  return true;
}

namespace {

bool TruncatePixel(cv::Point2f p, int& outX, int& outY) {
  int x = 0, y = 0;
  if (!TruncateToInt(p.x, x) || !TruncateToInt(p.y, y)) return false;
  outX = x;
  outY = y;
  return true;
}

}  // namespace

int ColorPixelToDepthPixel(const SDepthColorCalibration& c, const std::uint16_t* depthData, int x,
                           int y, int& outX, int& outY) {
  cv::Point2f found(0.f, 0.f);
  // Nothing found leaves (0, 0): the answer for a pixel that no depth pixel sees.
  (void)ProjectColorPixelToDepthPixel(found, depthData, c.depthScale, kColorSearchMinDepth,
                                      kColorSearchMaxDepth, c.depthIntrinsics, c.colorIntrinsics,
                                      c.colorToDepth, c.depthToColor,
                                      cv::Point2f(static_cast<float>(x), static_cast<float>(y)));
  // The search only visits pixels inside the depth frame, so truncation cannot fail.
  outX = static_cast<int>(found.x);
  outY = static_cast<int>(found.y);
  return 1;
}

int ProjectPointToColorPixel(const SDepthColorCalibration& c, float x, float y, float z, int& outX,
                             int& outY) {
  const cv::Point3f inColor = TransformPointToPoint(c.depthToColor, cv::Point3f(x, y, z));
  return TruncatePixel(ProjectPointToPixel(c.colorIntrinsics, inColor), outX, outY) ? 1 : 0;
}

int DepthPixelToColorPixel(const SDepthColorCalibration& c, int x, int y, int& outX, int& outY,
                           float depth) {
  if (depth < 0) return 0;
  const cv::Point3f point = DeprojectPixelToPoint(
      c.depthIntrinsics, cv::Point2f(static_cast<float>(x), static_cast<float>(y)), depth);
  const cv::Point3f inColor = TransformPointToPoint(c.depthToColor, point);
  return TruncatePixel(ProjectPointToPixel(c.colorIntrinsics, inColor), outX, outY) ? 1 : 0;
}

}  // namespace veldrin
