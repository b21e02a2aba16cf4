#include "depth/media_height_map.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

// Averaged points outside this range are no surface: the average of a pixel that had no depth
// drifts towards 10 m (see CTableMeasure::AverageCloud).
constexpr double kNearestM = 0.3;
constexpr double kFarthestM = 5.0;
// Bounds the grid for huge media; the cell then grows instead.
constexpr double kMostCells = 1 << 20;
// Gaps up to about this many cells wide are holes along an edge; wider ones are shadows.
constexpr int kGapCells = 2;

cv::Vec3d ToVec(const cv::Point3f& p) { return {p.x, p.y, p.z}; }

const int kSteps[4][2] = {{1, 0}, {0, 1}, {1, 1}, {1, -1}};

// The nearest filled cell from (x, y) along (dx, dy), at most `reach` cells away (any distance
// for reach 0): its distance, or 0 for none, and its height in `value`.
int Nearest(const cv::Mat& h, int x, int y, int dx, int dy, int reach, float& value) {
  for (int k = 1; reach == 0 || k <= reach; ++k) {
    const int xx = x + k * dx, yy = y + k * dy;
    if (xx < 0 || yy < 0 || xx >= h.cols || yy >= h.rows) return 0;
    const float v = h.at<float>(yy, xx);
    if (!std::isnan(v)) {
      value = v;
      return k;
    }
  }
  return 0;
}

// Narrow gaps, with filled cells close by on two opposite sides, are the holes a depth camera
// leaves along an edge: each cell takes the nearer side (the lower one on a tie), so the edge
// stays where it was.
void CloseGaps(cv::Mat& h) {
  const cv::Mat before = h.clone();
  for (int y = 0; y < h.rows; ++y) {
    for (int x = 0; x < h.cols; ++x) {
      if (!std::isnan(before.at<float>(y, x))) continue;
      int bestSpan = 0;
      float best = 0.f;
      for (const auto& step : kSteps) {
        float a = 0.f, b = 0.f;
        const int da = Nearest(before, x, y, step[0], step[1], kGapCells, a);
        const int db = Nearest(before, x, y, -step[0], -step[1], kGapCells, b);
        if (da == 0 || db == 0 || (bestSpan != 0 && da + db >= bestSpan)) continue;
        bestSpan = da + db;
        best = da < db ? a : (db < da ? b : std::min(a, b));
      }
      if (bestSpan != 0) h.at<float>(y, x) = best;
    }
  }
}

// What is left lies where the depth camera's lines of sight passed over a taller surface. Its
// first cells beside a surface are the holes along that surface's edge and take the highest
// neighbour (so a top keeps its far edge); the rest takes the lowest surface found around it, or
// the table.
void FillShadows(cv::Mat& h) {
  cv::Mat edge = h.clone();
  for (int y = 0; y < h.rows; ++y) {
    for (int x = 0; x < h.cols; ++x) {
      if (!std::isnan(h.at<float>(y, x))) continue;
      float highest = std::numeric_limits<float>::quiet_NaN();
      for (const auto& step : kSteps) {
        if (step[0] != 0 && step[1] != 0) continue;
        for (const int sign : {1, -1}) {
          const int xx = x + sign * step[0], yy = y + sign * step[1];
          if (xx < 0 || yy < 0 || xx >= h.cols || yy >= h.rows) continue;
          const float v = h.at<float>(yy, xx);
          if (!std::isnan(v) && !(v <= highest)) highest = v;
        }
      }
      edge.at<float>(y, x) = highest;
    }
  }
  h = edge;
  const cv::Mat before = h.clone();
  for (int y = 0; y < h.rows; ++y) {
    for (int x = 0; x < h.cols; ++x) {
      if (!std::isnan(before.at<float>(y, x))) continue;
      float lowest = std::numeric_limits<float>::infinity();
      for (const auto& step : kSteps) {
        if (step[0] != 0 && step[1] != 0) continue;
        for (const int sign : {1, -1}) {
          float v = 0.f;
          if (Nearest(before, x, y, sign * step[0], sign * step[1], 0, v) != 0) {
            lowest = std::min(lowest, v);
          }
        }
      }
      h.at<float>(y, x) = std::isfinite(lowest) ? lowest : 0.f;
    }
  }
}

}  // namespace

float SMediaHeightMap::At(double xMm, double yMm) const {
  if (heights.empty() || !(xMm >= 0.0) || !(yMm >= 0.0)) return 0.f;
  const auto j = static_cast<int>(xMm / cellMm), i = static_cast<int>(yMm / cellMm);
  if (i >= heights.rows || j >= heights.cols) return 0.f;
  return heights.at<float>(i, j);
}

namespace veldrin {

cv::Vec3d ColorPixelRay(const SCameraIntrinsics& color, cv::Point2f pixel) {
  return ToVec(DeprojectPixelToPoint(color, pixel, 1.f));
}

bool MakeMediaFrame(const SDepthColorCalibration& calibration, const float plane[4],
                    const std::array<cv::Vec3d, 4>& cornerRays, double widthMm, double heightMm,
                    SMediaFrame& frame) {
  const cv::Vec3d normal(plane[0], plane[1], plane[2]);
  const double norm = cv::norm(normal);
  if (!(norm > 0.0) || !(widthMm > 0.0) || !(heightMm > 0.0)) return false;
  const double d = plane[3] / norm;
  const cv::Vec3d n = normal / norm;
  // Colour-camera directions into the depth camera's frame: the transform of the point minus
  // the transform of the centre (double precision from here on).
  const cv::Vec3d centre = ToVec(TransformPointToPoint(calibration.colorToDepth, {0, 0, 0}));
  std::array<cv::Vec3d, 4> corners;
  for (std::size_t i = 0; i < 4; ++i) {
    const cv::Vec3d& r = cornerRays[i];
    const cv::Vec3d far = ToVec(TransformPointToPoint(
        calibration.colorToDepth,
        cv::Point3f(static_cast<float>(r[0]), static_cast<float>(r[1]), static_cast<float>(r[2]))));
    const cv::Vec3d direction = far - centre;
    const double along = n.dot(direction);
    if (along == 0.0) return false;
    const double t = -(n.dot(centre) + d) / along;
    if (!(t > 0.0) || !std::isfinite(t)) return false;
    corners[i] = centre + t * direction;
  }
  frame.origin = corners[0];
  frame.up = -n;
  cv::Vec3d u = corners[1] - corners[0];
  u -= u.dot(n) * n;
  if (!(cv::norm(u) > 0.0)) return false;
  frame.axisU = u / cv::norm(u);
  frame.axisV = frame.up.cross(frame.axisU);
  std::vector<cv::Point2f> media = {{0.f, 0.f},
                                    {static_cast<float>(widthMm), 0.f},
                                    {static_cast<float>(widthMm), static_cast<float>(heightMm)},
                                    {0.f, static_cast<float>(heightMm)}};
  std::vector<cv::Point2f> onPlane;
  for (const cv::Vec3d& c : corners) {
    const cv::Vec3d q = c - frame.origin;
    onPlane.emplace_back(static_cast<float>(q.dot(frame.axisU)),
                         static_cast<float>(q.dot(frame.axisV)));
  }
  const cv::Mat m = cv::getPerspectiveTransform(media, onPlane, cv::DECOMP_LU);
  if (!cv::checkRange(m) || cv::determinant(m) == 0.0) return false;
  frame.mediaToPlane = cv::Matx33d(m);
  frame.planeToMedia = frame.mediaToPlane.inv();
  if (!cv::checkRange(cv::Mat(frame.planeToMedia))) return false;
  frame.colorCentre = centre;
  frame.widthMm = widthMm;
  frame.heightMm = heightMm;
  return true;
}

bool RaisedCornerPoints(const SDepthColorCalibration& calibration, const float plane[4],
                        const std::array<cv::Vec3d, 4>& cornerRays, double heightMm,
                        std::array<cv::Vec3d, 4>& points) {
  SMediaFrame frame;
  if (!MakeMediaFrame(calibration, plane, cornerRays, 1.0, 1.0, frame)) return false;
  const SCameraExtrinsics& e = calibration.depthToColor;
  const cv::Matx33d r(e.rotation[0], e.rotation[3], e.rotation[6], e.rotation[1], e.rotation[4],
                      e.rotation[7], e.rotation[2], e.rotation[5], e.rotation[8]);
  const cv::Vec3d t(e.translation[0], e.translation[1], e.translation[2]);
  const double media[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
  for (std::size_t i = 0; i < 4; ++i) {
    points[i] = r * MediaToDepthPoint(frame, media[i][0], media[i][1], heightMm) + t;
  }
  return true;
}

cv::Vec3d MediaToDepthPoint(const SMediaFrame& frame, double xMm, double yMm, double heightMm) {
  const cv::Vec3d q = frame.mediaToPlane * cv::Vec3d(xMm, yMm, 1.0);
  return frame.origin + (q[0] / q[2]) * frame.axisU + (q[1] / q[2]) * frame.axisV +
         (heightMm / 1000.0) * frame.up;
}

cv::Point3d DepthPointToMedia(const SMediaFrame& frame, const cv::Vec3d& point) {
  const cv::Vec3d q = point - frame.origin;
  const cv::Vec3d m = frame.planeToMedia * cv::Vec3d(q.dot(frame.axisU), q.dot(frame.axisV), 1.0);
  return {m[0] / m[2], m[1] / m[2], q.dot(frame.up) * 1000.0};
}

bool BuildMediaHeightMap(const SDepthMeasurement& measurement, const SCameraIntrinsics& depth,
                         const SMediaFrame& frame, SMediaHeightMap& map, double deadBandMm) {
  const std::size_t pixels =
      static_cast<std::size_t>(measurement.cols) * static_cast<std::size_t>(measurement.rows);
  if (pixels == 0 || measurement.averagedCloud.size() < 3 * pixels || !(depth.fx > 0.f)) {
    return false;
  }
  const float* cloud = measurement.averagedCloud.data();
  // One cell is about one depth pixel on the table (the media corners' distance), so most cells
  // get a pixel of their own.
  double z = 0.0;
  for (const cv::Vec3d& corner : {MediaToDepthPoint(frame, 0, 0, 0),
                                  MediaToDepthPoint(frame, frame.widthMm, frame.heightMm, 0)}) {
    z += corner[2] / 2.0;
  }
  if (!(z > 0.0)) return false;
  double cell = std::max(1.0, 1.2 * 1000.0 * z / depth.fx);
  cell = std::max(cell, std::sqrt(frame.widthMm * frame.heightMm / kMostCells));
  const int cols = std::max(1, static_cast<int>(std::ceil(frame.widthMm / cell)));
  const int rows = std::max(1, static_cast<int>(std::ceil(frame.heightMm / cell)));

  cv::Mat sum(rows, cols, CV_64F, cv::Scalar(0)), count(rows, cols, CV_32S, cv::Scalar(0));
  for (std::size_t k = 0; k < pixels; ++k) {
    const float* p = cloud + 3 * k;
    if (!(p[2] >= kNearestM && p[2] <= kFarthestM)) continue;
    const cv::Point3d m = DepthPointToMedia(frame, cv::Vec3d(p[0], p[1], p[2]));
    if (!(m.x >= 0.0 && m.y >= 0.0)) continue;
    const auto j = static_cast<int>(m.x / cell), i = static_cast<int>(m.y / cell);
    if (i >= rows || j >= cols) continue;
    sum.at<double>(i, j) += m.z;
    ++count.at<int>(i, j);
  }
  map.cellMm = cell;
  map.heights.create(rows, cols, CV_32F);
  for (int i = 0; i < rows; ++i) {
    float* h = map.heights.ptr<float>(i);
    for (int j = 0; j < cols; ++j) {
      const int n = count.at<int>(i, j);
      h[j] = n > 0 ? static_cast<float>(sum.at<double>(i, j) / n)
                   : std::numeric_limits<float>::quiet_NaN();
    }
  }
  CloseGaps(map.heights);
  FillShadows(map.heights);
  float maxMm = 0.f;
  const auto band = static_cast<float>(deadBandMm);
  for (int i = 0; i < rows; ++i) {
    float* h = map.heights.ptr<float>(i);
    for (int j = 0; j < cols; ++j) {
      // Nothing lies below the table; the band ramps up to full height over its own width, so
      // noise at its edge moves a height a little, never by the band's width at once.
      const float v = std::isnan(h[j]) ? 0.f : h[j];
      h[j] = v <= band ? 0.f : (v < 2.f * band ? 2.f * (v - band) : v);
      maxMm = std::max(maxMm, h[j]);
    }
  }
  map.maxMm = maxMm;
  return true;
}

}  // namespace veldrin
