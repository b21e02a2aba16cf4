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

// The colour camera's coordinates (mm) of a table point.
cv::Vec3d TableToColorCamera(const veldrin::TABLE_SCENE_CAMERA& camera, const cv::Vec3d& q) {
  const cv::Vec3d d(q[0] - camera.centre[0], q[1] - camera.centre[1], q[2] - camera.centre[2]);
  return RowsOf(camera.rotation) * d;
}

cv::Point2f ColorPixel(const TABLE_SCENE_PARAMS& p, const veldrin::TABLE_SCENE_CAMERA& camera,
                       const cv::Vec3d& q, cv::Size size) {
  const cv::Vec3d c = TableToColorCamera(camera, q);
  const double u = camera.focal * c[0] / c[2] + p.nWidth / 2.0;
  const double v = camera.focal * c[1] / c[2] + p.nHeight / 2.0;
  return {static_cast<float>(u * size.width / p.nWidth),
          static_cast<float>(v * size.height / p.nHeight)};
}

// The eight corners of the box in table millimetres: bottom 0..3, top 4..7, counter-clockwise.
std::array<cv::Vec3d, 8> BoxCorners(const SCENE_BOX& b) {
  const double a = b.rotationDeg * kPi / 180.0, c = std::cos(a), s = std::sin(a);
  const double hx = b.sizeMm[0] / 2, hy = b.sizeMm[1] / 2;
  const double local[4][2] = {{-hx, -hy}, {hx, -hy}, {hx, hy}, {-hx, hy}};
  std::array<cv::Vec3d, 8> corners;
  for (int i = 0; i < 4; ++i) {
    const double x = b.centreMm[0] + c * local[i][0] - s * local[i][1];
    const double y = b.centreMm[1] + s * local[i][0] + c * local[i][1];
    corners[i] = cv::Vec3d(x, y, 0.0);
    corners[i + 4] = cv::Vec3d(x, y, b.sizeMm[2]);
  }
  return corners;
}

}  // namespace

CSceneWorld::CSceneWorld(const TABLE_SCENE_PARAMS& params)
    : m_params(params), m_color(veldrin::TableSceneCamera(params)) {
  const int w = params.depth.nWidth, h = params.depth.nHeight;
  const auto f = static_cast<float>(kDepthFocal640 * w / 640.0);
  m_depthIntrinsics = {w, h, w / 2.f, h / 2.f, f, f, EDistortion::BrownConrady, {}};

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

CAMERA_INTRINSICS CSceneWorld::ColorIntrinsics(cv::Size size) const {
  const double sx = static_cast<double>(size.width) / m_params.nWidth;
  const double sy = static_cast<double>(size.height) / m_params.nHeight;
  CAMERA_INTRINSICS in;
  in.width = size.width;
  in.height = size.height;
  in.fx = static_cast<float>(m_color.focal * sx);
  in.fy = static_cast<float>(m_color.focal * sy);
  in.ppx = static_cast<float>(m_params.nWidth / 2.0 * sx);
  in.ppy = static_cast<float>(m_params.nHeight / 2.0 * sy);
  in.model = EDistortion::InverseBrownConrady;
  return in;
}

CAMERA_EXTRINSICS CSceneWorld::ColorToDepth() const {
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
  return ColorPixel(m_params, m_color, cv::Vec3d(point.x, point.y, point.z), size);
}

double CSceneWorld::Trace(const cv::Vec3d& d, const std::vector<SCENE_BOX>& boxes) const {
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
  for (const SCENE_BOX& b : boxes) {
    const SCENE_BOX* box = &b;
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

void CSceneWorld::RenderDepth(const std::vector<SCENE_BOX>& boxes, cv::Mat& depthMm) const {
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

namespace veldrin {

void DrawSceneBox(const TABLE_SCENE_PARAMS& params, const SCENE_BOX& box, cv::Mat& picture) {
  const TABLE_SCENE_CAMERA camera = TableSceneCamera(params);
  const std::array<cv::Vec3d, 8> q = BoxCorners(box);
  const cv::Vec3d eye(camera.centre[0], camera.centre[1], camera.centre[2]);
  // Faces as corner indices, outward normals by the right-hand rule.
  static const int kFaces[5][4] = {
      {4, 5, 6, 7}, {0, 1, 5, 4}, {1, 2, 6, 5}, {2, 3, 7, 6}, {3, 0, 4, 7}};
  static const cv::Scalar kShades[5] = {
      {60, 150, 220}, {40, 105, 160}, {35, 90, 140}, {40, 105, 160}, {35, 90, 140}};
  for (int f = 0; f < 5; ++f) {
    const cv::Vec3d& a = q[kFaces[f][0]];
    const cv::Vec3d normal = (q[kFaces[f][1]] - a).cross(q[kFaces[f][3]] - a);
    if (normal.dot(eye - a) <= 0.0) continue;  // turned away: hidden behind the others
    cv::Point polygon[4];
    bool inFront = true;
    for (int i = 0; i < 4; ++i) {
      const cv::Vec3d& corner = q[kFaces[f][i]];
      inFront = inFront && TableToColorCamera(camera, corner)[2] > 1.0;
      const cv::Point2f p = ColorPixel(params, camera, corner, picture.size());
      // Sub-pixel vertices keep the edges where the depth side measures them.
      polygon[i] = cv::Point(static_cast<int>(std::lround(p.x * 16)),
                             static_cast<int>(std::lround(p.y * 16)));
    }
    if (inFront) cv::fillConvexPoly(picture, polygon, 4, kShades[f], cv::LINE_AA, 4);
  }
  if (!box.mark) return;
  // The disc on the top face (turned towards the camera whenever the camera is above the box).
  const SCENE_MARK& mark = *box.mark;
  constexpr int kSteps = 64;
  std::vector<cv::Point> disc;
  for (int i = 0; i < kSteps; ++i) {
    const double a = 2.0 * kPi * i / kSteps, r = mark.diameterMm / 2.0;
    const cv::Vec3d q3(box.centreMm[0] + r * std::cos(a), box.centreMm[1] + r * std::sin(a),
                       box.sizeMm[2]);
    if (TableToColorCamera(camera, q3)[2] <= 1.0) return;
    const cv::Point2f p = ColorPixel(params, camera, q3, picture.size());
    disc.emplace_back(static_cast<int>(std::lround(p.x * 16)),
                      static_cast<int>(std::lround(p.y * 16)));
  }
  cv::fillConvexPoly(picture, disc, cv::Scalar(mark.rgb[2], mark.rgb[1], mark.rgb[0]), cv::LINE_AA,
                     4);
}

void DrawSceneBoxes(const TABLE_SCENE_PARAMS& params, const std::vector<SCENE_BOX>& boxes,
                    cv::Mat& picture) {
  const TABLE_SCENE_CAMERA camera = TableSceneCamera(params);
  std::vector<std::pair<double, const SCENE_BOX*>> order;
  for (const SCENE_BOX& box : boxes) {
    const double dx = box.centreMm[0] - camera.centre[0], dy = box.centreMm[1] - camera.centre[1];
    order.emplace_back(-(dx * dx + dy * dy), &box);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [distance, box] : order) DrawSceneBox(params, *box, picture);
}

}  // namespace veldrin
