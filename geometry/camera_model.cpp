#include "geometry/camera_model.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

bool operator==(const SCameraIntrinsics& a, const SCameraIntrinsics& b) {
  return a.width == b.width && a.height == b.height && a.ppx == b.ppx && a.ppy == b.ppy &&
         a.fx == b.fx && a.fy == b.fy && a.model == b.model &&
         std::equal(a.coeffs, a.coeffs + 5, b.coeffs);
}

namespace veldrin {
namespace {

bool AllCoefficientsNegligible(const float* c) {
  return std::all_of(c, c + 5, [](float k) { return std::fabs(k) < FLT_EPSILON; });
}

// The fixed-point undistortion shared by the two invertible Brown-Conrady models. The inverse
// model's tangential term was applied after the radial scaling, so it is evaluated at the scaled
// point; the plain model applied it to the undistorted point.
void UndistortBrownConrady(const float* c, bool tangentialAfterRadial, float& x, float& y) {
  if (AllCoefficientsNegligible(c)) return;
  const float x0 = x, y0 = y;
  for (int i = 0; i < 10; ++i) {
    const float r2 = x * x + y * y;
    const float s = 1.f / (1.f + ((c[4] * r2 + c[1]) * r2 + c[0]) * r2);
    const float xq = tangentialAfterRadial ? x / s : x;
    const float yq = tangentialAfterRadial ? y / s : y;
    const float dx = 2 * c[2] * xq * yq + c[3] * (r2 + 2 * xq * xq);
    const float dy = 2 * c[3] * xq * yq + c[2] * (r2 + 2 * yq * yq);
    x = (x0 - dx) * s;
    y = (y0 - dy) * s;
  }
}

}  // namespace

cv::Point2f ProjectPointToPixel(const SCameraIntrinsics& in, const cv::Point3f& point) {
  float x = point.x / point.z, y = point.y / point.z;
  const float* c = in.coeffs;
  switch (in.model) {
    case EDistortion::kModifiedBrownConrady:
    case EDistortion::kInverseBrownConrady: {
      const float r2 = x * x + y * y;
      const float f = 1 + c[0] * r2 + c[1] * r2 * r2 + c[4] * r2 * r2 * r2;
      x *= f;
      y *= f;
      const float dx = x + 2 * c[2] * x * y + c[3] * (r2 + 2 * x * x);
      const float dy = y + 2 * c[3] * x * y + c[2] * (r2 + 2 * y * y);
      x = dx;
      y = dy;
      break;
    }
    case EDistortion::kBrownConrady: {
      const float r2 = x * x + y * y;
      const float f = 1 + c[0] * r2 + c[1] * r2 * r2 + c[4] * r2 * r2 * r2;
      const float dx = x * f + 2 * c[2] * x * y + c[3] * (r2 + 2 * x * x);
      const float dy = y * f + 2 * c[3] * x * y + c[2] * (r2 + 2 * y * y);
      x = dx;
      y = dy;
      break;
    }
    case EDistortion::kFTheta: {
      const float r = std::max(std::sqrt(x * x + y * y), FLT_EPSILON);
      const float rd = static_cast<float>(1.0f / c[0] * std::atan(2 * r * std::tan(c[0] / 2.0f)));
      x *= rd / r;
      y *= rd / r;
      break;
    }
    case EDistortion::kKannalaBrandt4: {
      const float r = std::sqrt(x * x + y * y);
      if (r != 0.f) {
        const float theta = std::atan(r);
        const float t2 = theta * theta;
        const float series = 1 + t2 * (c[0] + t2 * (c[1] + t2 * (c[2] + t2 * c[3])));
        const float rd = theta * series;
        x *= rd / r;
        y *= rd / r;
      }
      break;
    }
    case EDistortion::kNone:
      break;
  }
  return {x * in.fx + in.ppx, y * in.fy + in.ppy};
}

cv::Point3f DeprojectPixelToPoint(const SCameraIntrinsics& in, cv::Point2f pixel, float depth) {
  float x = (pixel.x - in.ppx) / in.fx;
  float y = (pixel.y - in.ppy) / in.fy;
  const float* c = in.coeffs;
  switch (in.model) {
    case EDistortion::kInverseBrownConrady:
      UndistortBrownConrady(c, true, x, y);
      break;
    case EDistortion::kBrownConrady:
      UndistortBrownConrady(c, false, x, y);
      break;
    case EDistortion::kKannalaBrandt4: {
      const float rd = std::max(std::sqrt(x * x + y * y), FLT_EPSILON);
      float theta = rd, t2 = rd * rd;
      for (int i = 0; i < 4; ++i) {
        const float f = theta * (1 + t2 * (c[0] + t2 * (c[1] + t2 * (c[2] + t2 * c[3])))) - rd;
        if (std::fabs(f) < FLT_EPSILON) break;
        const float df = 1 + t2 * (3 * c[0] + t2 * (5 * c[1] + t2 * (7 * c[2] + 9 * t2 * c[3])));
        theta -= f / df;
        t2 = theta * theta;
      }
      const float r = std::tan(theta);
      x *= r / rd;
      y *= r / rd;
      break;
    }
    case EDistortion::kFTheta: {
      // The principal point itself would otherwise scale by 0/0.
      const float rd = std::max(std::sqrt(x * x + y * y), FLT_EPSILON);
      const float r =
          static_cast<float>(std::tan(c[0] * rd) / std::atan(2 * std::tan(c[0] / 2.0f)));
      x *= r / rd;
      y *= r / rd;
      break;
    }
    case EDistortion::kNone:
    case EDistortion::kModifiedBrownConrady:
      break;
  }
  return {depth * x, depth * y, depth};
}

cv::Point3f TransformPointToPoint(const SCameraExtrinsics& e, const cv::Point3f& p) {
  const float* r = e.rotation;
  return {r[0] * p.x + r[3] * p.y + r[6] * p.z + e.translation[0],
          r[1] * p.x + r[4] * p.y + r[7] * p.z + e.translation[1],
          r[2] * p.x + r[5] * p.y + r[8] * p.z + e.translation[2]};
}

SCameraExtrinsics InverseExtrinsics(const SCameraExtrinsics& e) {
  SCameraExtrinsics inverse;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) inverse.rotation[3 * j + i] = e.rotation[3 * i + j];
  }
  // t' = -R^T t
  for (int i = 0; i < 3; ++i) {
    inverse.translation[i] =
        -(e.rotation[3 * i + 0] * e.translation[0] + e.rotation[3 * i + 1] * e.translation[1] +
          e.rotation[3 * i + 2] * e.translation[2]);
  }
  return inverse;
}

namespace {

cv::Point2f LineEnd(const SCameraIntrinsics& depth, const SCameraIntrinsics& color,
                    const SCameraExtrinsics& colorToDepth, cv::Point2f pixel, float at) {
  const cv::Point3f inColor = DeprojectPixelToPoint(color, pixel, at);
  const cv::Point2f p = ProjectPointToPixel(depth, TransformPointToPoint(colorToDepth, inColor));
  // NaN stays NaN here and fails the line test below.
  const float maxX = static_cast<float>(depth.width - 1),
              maxY = static_cast<float>(depth.height - 1);
  return {std::isnan(p.x) ? p.x : std::clamp(p.x, 0.f, maxX),
          std::isnan(p.y) ? p.y : std::clamp(p.y, 0.f, maxY)};
}

bool Between(float v, float a, float b) { return v >= std::min(a, b) && v <= std::max(a, b); }

}  // namespace

bool ProjectColorPixelToDepthPixel(cv::Point2f& result, const std::uint16_t* depthData,
                                   float depthScale, float dmin, float dmax,
                                   const SCameraIntrinsics& depth, const SCameraIntrinsics& color,
                                   const SCameraExtrinsics& colorToDepth,
                                   const SCameraExtrinsics& depthToColor, cv::Point2f from) {
  if (depthData == nullptr || depth.width <= 0 || depth.height <= 0) return false;
  const cv::Point2f start = LineEnd(depth, color, colorToDepth, from, dmin);
  const cv::Point2f end = LineEnd(depth, color, colorToDepth, from, dmax);
  const float slope = (end.y - start.y) / (end.x - start.x);
  const bool single = start == end;

  bool found = false;
  float best = 0.f;
  for (cv::Point2f p = start; Between(p.x, start.x, end.x) && Between(p.y, start.y, end.y);) {
    // Inside the clamped box, so the truncated pixel lies inside the buffer.
    const int k = static_cast<int>(p.y) * depth.width + static_cast<int>(p.x);
    const float d = depthScale * static_cast<float>(depthData[k]);
    if (d != 0.f) {
      const cv::Point3f point = DeprojectPixelToPoint(depth, p, d);
      const cv::Point2f seen =
          ProjectPointToPixel(color, TransformPointToPoint(depthToColor, point));
      const float dist =
          (seen.y - from.y) * (seen.y - from.y) + (seen.x - from.x) * (seen.x - from.x);
      if (!found || dist < best) {
        found = true;
        best = dist;
        result = p;
      }
    }
    if (single) break;
    if (std::fabs(end.x - p.x) > std::fabs(end.y - p.y)) {
      p.x += end.x > p.x ? 1.f : -1.f;
      p.y = end.y - slope * (end.x - p.x);
    } else {
      p.y += end.y > p.y ? 1.f : -1.f;
      p.x = end.x - (end.y - p.y) / slope;
    }
  }
  return found;
}

}  // namespace veldrin

void CPixelRays::Update(const SCameraIntrinsics& intrinsics) {
  if (!m_rays.empty() && intrinsics == m_intrinsics) return;
  m_intrinsics = intrinsics;
  const int w = std::max(0, intrinsics.width), h = std::max(0, intrinsics.height);
  m_rays.resize(static_cast<size_t>(w) * static_cast<size_t>(h) * 2);
  float* out = m_rays.data();
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const cv::Point3f ray = veldrin::DeprojectPixelToPoint(
          intrinsics, cv::Point2f(static_cast<float>(x), static_cast<float>(y)), 1.f);
      *out++ = ray.x;
      *out++ = ray.y;
    }
  }
}
