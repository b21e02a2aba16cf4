#pragma once

// Camera geometry of the depth side: how colour pixels, depth pixels and 3-D points relate.
// The conventions are those of common depth cameras, so a vendor back-end's own numbers can be
// used unchanged: pixel (u, v) is the point (u, v) (no half-pixel offset), camera coordinates in
// metres with x right, y down, z away from the camera, depth = z along the optical axis.

#include <opencv2/core/types.hpp>

#include <cstdint>
#include <vector>

// Distortion models with the numbers the depth cameras report them under.
enum class EDistortion : int {
  kNone = 0,
  kModifiedBrownConrady = 1,
  kInverseBrownConrady = 2,
  kFTheta = 3,
  kBrownConrady = 4,
  kKannalaBrandt4 = 5,
};

// Brown-Conrady family: coeffs = k1, k2, p1, p2, k3. Kannala-Brandt: k1..k4 in coeffs[0..3].
// F-Theta: coeffs[0] = w.
struct SCameraIntrinsics {
  int width = 0;
  int height = 0;
  float ppx = 0.f;  // principal point, pixels
  float ppy = 0.f;
  float fx = 0.f;  // focal lengths, pixels
  float fy = 0.f;
  EDistortion model = EDistortion::kNone;
  float coeffs[5] = {0.f, 0.f, 0.f, 0.f, 0.f};
};

// to = R * from + t, with R stored column-major: to[i] = sum_j rotation[3j + i] * from[j].
struct SCameraExtrinsics {
  float rotation[9] = {1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f};
  float translation[3] = {0.f, 0.f, 0.f};  // metres
};

bool operator==(const SCameraIntrinsics& a, const SCameraIntrinsics& b);

// The deprojection of every pixel at depth 1, row by row: a pixel's point at depth d is its ray
// times d (exactly, as deprojection is linear in d). Computed once per intrinsics, not per frame.
class CPixelRays {
 public:
  // Recomputes only when the intrinsics differ from the last ones.
  void Update(const SCameraIntrinsics& intrinsics);
  bool Empty() const { return m_rays.empty(); }
  const SCameraIntrinsics& Intrinsics() const { return m_intrinsics; }
  // Ray of pixel k = y * width + x: x and y components (z is 1).
  const float* Data() const { return m_rays.data(); }

 private:
  SCameraIntrinsics m_intrinsics;
  std::vector<float> m_rays;  // 2 floats per pixel
};

namespace veldrin {

// Point in camera coordinates -> pixel. Points at z <= 0 are the caller's to keep away.
cv::Point2f ProjectPointToPixel(const SCameraIntrinsics& intrinsics, const cv::Point3f& point);

// Pixel at `depth` (metres, along z) -> point in camera coordinates.
cv::Point3f DeprojectPixelToPoint(const SCameraIntrinsics& intrinsics, cv::Point2f pixel,
                                  float depth);

cv::Point3f TransformPointToPoint(const SCameraExtrinsics& extrinsics, const cv::Point3f& point);

// The inverse transform (rotation transposed), for building one direction from the other.
SCameraExtrinsics InverseExtrinsics(const SCameraExtrinsics& extrinsics);

// Searches the depth pixels that can see `colorPixel` (depths dmin..dmax metres along the
// epipolar line) for the one whose surface point projects closest to it. `depthData` holds
// depth.width x depth.height raw units, `depthScale` metres per unit. Returns false and leaves
// `result` as the caller set it when no pixel on the line has depth.
[[nodiscard]] bool ProjectColorPixelToDepthPixel(
    cv::Point2f& result, const std::uint16_t* depthData, float depthScale, float dmin, float dmax,
    const SCameraIntrinsics& depth, const SCameraIntrinsics& color,
    const SCameraExtrinsics& colorToDepth, const SCameraExtrinsics& depthToColor,
    cv::Point2f colorPixel);

}  // namespace veldrin
