#include "video/sim/scene_world.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFloorMm = 750.0;        // floor below the table top
constexpr double kDepthFocal640 = 385.0;  // pixels at 640 columns
// The depth camera sits a little turned against the colour camera, as assembled cameras do.
constexpr double kMountYawRad = 0.0045;
constexpr double kMountRollRad = 0.0025;

cv::Matx33d RowsOf(const double m[3][3]) {
  return cv::Matx33d(m[0][0], m[0][1], m[0][2], m[1][0], m[1][1], m[1][2], m[2][0], m[2][1],
                     m[2][2]);
}

}  // namespace

CSceneWorld::CSceneWorld(const STableSceneParams& params)
    : m_params(params), m_color(veldrin::TableSceneCamera(params)) {
  const int w = params.depth.width, h = params.depth.height;
  const auto f = static_cast<float>(kDepthFocal640 * w / 640.0);
  m_depthIntrinsics = {w, h, w / 2.f, h / 2.f, f, f, EDistortion::kBrownConrady, {}};

  // depth -> colour: a small yaw and roll, and the baseline along the colour camera's x.
  const double cy = std::cos(kMountYawRad), sy = std::sin(kMountYawRad);
  const double cr = std::cos(kMountRollRad), sr = std::sin(kMountRollRad);
  const cv::Matx33d yaw(cy, 0, sy, 0, 1, 0, -sy, 0, cy);
  const cv::Matx33d roll(cr, -sr, 0, sr, cr, 0, 0, 0, 1);
  const cv::Matx33d depthToColor = roll * yaw;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      m_depthToColor.rotation[3 * j + i] = static_cast<float>(depthToColor(i, j));
    }
  }
  m_depthToColor.translation[0] = static_cast<float>(params.depth.baselineMm / 1000.0);
  m_depthToColor.translation[1] = 0.f;
  m_depthToColor.translation[2] = 0.f;

  // Table frame from the colour camera: q = R^T c + centre. The float extrinsics are the ones
  // the camera reports, so the world is built from them, not from the doubles above.
  cv::Matx33d stored;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) stored(i, j) = m_depthToColor.rotation[3 * j + i];
  }
  const cv::Matx33d colorToTable = RowsOf(m_color.rotation).t();
  m_depthToTable = colorToTable * stored;
  const cv::Vec3d baseline(m_depthToColor.translation[0] * 1000.0,
                           m_depthToColor.translation[1] * 1000.0,
                           m_depthToColor.translation[2] * 1000.0);
  m_depthOrigin =
      colorToTable * baseline + cv::Vec3d(m_color.centre[0], m_color.centre[1], m_color.centre[2]);
  m_rays.Update(m_depthIntrinsics);
}

SCameraIntrinsics CSceneWorld::ColorIntrinsics(cv::Size size) const {
  const double sx = static_cast<double>(size.width) / m_params.width;
  const double sy = static_cast<double>(size.height) / m_params.height;
  SCameraIntrinsics in;
  in.width = size.width;
  in.height = size.height;
  in.fx = static_cast<float>(m_color.focal * sx);
  in.fy = static_cast<float>(m_color.focal * sy);
  in.ppx = static_cast<float>(m_params.width / 2.0 * sx);
  in.ppy = static_cast<float>(m_params.height / 2.0 * sy);
  in.model = EDistortion::kInverseBrownConrady;
  return in;
}

SCameraExtrinsics CSceneWorld::ColorToDepth() const {
  return veldrin::InverseExtrinsics(m_depthToColor);
}

cv::Point3d CSceneWorld::DepthToTable(const cv::Point3f& point) const {
  const cv::Vec3d q =
      m_depthToTable * cv::Vec3d(point.x * 1000.0, point.y * 1000.0, point.z * 1000.0) +
      m_depthOrigin;
  return {q[0], q[1], q[2]};
}

cv::Point3f CSceneWorld::TableToDepth(const cv::Point3d& point) const {
  const cv::Vec3d p = m_depthToTable.t() * (cv::Vec3d(point.x, point.y, point.z) - m_depthOrigin);
  return {static_cast<float>(p[0] / 1000.0), static_cast<float>(p[1] / 1000.0),
          static_cast<float>(p[2] / 1000.0)};
}

cv::Point2f CSceneWorld::TableToColorPixel(const cv::Point3d& point, cv::Size size) const {
  return veldrin::TableToColorPixel(m_params, m_color, cv::Vec3d(point.x, point.y, point.z), size);
}

double CSceneWorld::Trace(const cv::Vec3d& d, const std::vector<SSceneBox>& boxes) const {
  const cv::Vec3d& o = m_depthOrigin;
  double best = 0.0;
  if (d[2] < 0.0) {
    const double s = -o[2] / d[2];
    const double x = o[0] + s * d[0], y = o[1] + s * d[1];
    if (std::fabs(x) <= m_params.tableWidthMm / 2 && std::fabs(y) <= m_params.tableDepthMm / 2) {
      best = s;
    } else {
      best = (-kFloorMm - o[2]) / d[2];
    }
  }
  for (const SSceneBox& b : boxes) {
    const SSceneBox* box = &b;
    // Slabs in the box's own frame.
    const double a = -box->rotationDeg * kPi / 180.0, c = std::cos(a), s = std::sin(a);
    const double ox = o[0] - box->centreMm[0], oy = o[1] - box->centreMm[1];
    const double lo[3] = {c * ox - s * oy, s * ox + c * oy, o[2]};
    const double ld[3] = {c * d[0] - s * d[1], s * d[0] + c * d[1], d[2]};
    const double low[3] = {-box->sizeMm[0] / 2, -box->sizeMm[1] / 2, 0.0};
    const double high[3] = {box->sizeMm[0] / 2, box->sizeMm[1] / 2, box->sizeMm[2]};
    double enter = 0.0, leave = std::numeric_limits<double>::infinity();
    for (int i = 0; i < 3 && enter <= leave; ++i) {
      if (ld[i] == 0.0) {
        if (lo[i] < low[i] || lo[i] > high[i]) leave = -1.0;
        continue;
      }
      double t0 = (low[i] - lo[i]) / ld[i], t1 = (high[i] - lo[i]) / ld[i];
      if (t0 > t1) std::swap(t0, t1);
      enter = std::max(enter, t0);
      leave = std::min(leave, t1);
    }
    if (enter <= leave && enter > 0.0 && (best == 0.0 || enter < best)) best = enter;
  }
  return best;
}

void CSceneWorld::RenderDepth(const std::vector<SSceneBox>& boxes, cv::Mat& depthMm) const {
  const int w = m_depthIntrinsics.width, h = m_depthIntrinsics.height;
  depthMm.create(h, w, CV_32F);
  const float* ray = m_rays.Data();
  for (int y = 0; y < h; ++y) {
    float* out = depthMm.ptr<float>(y);
    for (int x = 0; x < w; ++x, ray += 2) {
      const cv::Vec3d direction = m_depthToTable * cv::Vec3d(ray[0], ray[1], 1.0);
      out[x] = static_cast<float>(Trace(direction, boxes));
    }
  }
}
