#include "depth/secure_points.h"

#include <cfloat>
#include <cmath>

namespace veldrin {
namespace {

// Models whose deprojection leaves the normalised coordinates as they are with these
// coefficients (the undistortion iterations are skipped below FLT_EPSILON).
bool DeprojectsPlainly(const SCameraIntrinsics& in) {
  switch (in.model) {
    case EDistortion::kNone:
    case EDistortion::kModifiedBrownConrady:
      return true;
    case EDistortion::kBrownConrady:
    case EDistortion::kInverseBrownConrady:
      for (float c : in.coeffs) {
        if (!(std::fabs(c) < FLT_EPSILON)) return false;
      }
      return true;
    default:
      return false;
  }
}

// Models whose projection leaves finite normalised coordinates exactly as they are.
bool ProjectsPlainly(const SCameraIntrinsics& in) {
  switch (in.model) {
    case EDistortion::kNone:
      return true;
    case EDistortion::kBrownConrady:
    case EDistortion::kInverseBrownConrady:
    case EDistortion::kModifiedBrownConrady:
      for (float c : in.coeffs) {
        if (c != 0.f) return false;
      }
      return true;
    default:
      return false;
  }
}

void Mark(cv::Mat& frame, int x, int y) {
  unsigned char* p = frame.ptr<unsigned char>(y) + 3 * static_cast<std::size_t>(x);
  p[0] = kSecurePointColor[0];
  p[1] = kSecurePointColor[1];
  p[2] = kSecurePointColor[2];
}

}  // namespace

void DrawSecurePoints(const SDepthColorCalibration& calibration, int depthCols, int depthRows,
                      const float* heightMap, const double* depthCopy, cv::Mat& colorFrame,
                      float maxHeight, float tolerance) {
  if (heightMap == nullptr || depthCopy == nullptr || colorFrame.type() != CV_8UC3) return;
  // With nothing standing out of the table by the tolerance, the "top" would be the table itself
  // and the whole picture would be marked.
  if (!(maxHeight >= tolerance)) return;
  const int cols = colorFrame.cols, rows = colorFrame.rows;
  const SCameraIntrinsics& din = calibration.depthIntrinsics;
  const SCameraIntrinsics& cin = calibration.colorIntrinsics;
  const bool plain = DeprojectsPlainly(din) && ProjectsPlainly(cin);
  const float* r = calibration.depthToColor.rotation;
  const float* t = calibration.depthToColor.translation;
  const auto fcols = static_cast<float>(cols), frows = static_cast<float>(rows);
  // Row by row: a pixel marked twice gets the same mark, so the order does not matter.
  for (int y = 0; y < depthRows; ++y) {
    const float* heights = heightMap + static_cast<std::size_t>(y) * depthCols;
    const double* depth = depthCopy + static_cast<std::size_t>(y) * depthCols;
    const float b = (static_cast<float>(y) - din.ppy) / din.fy;
    for (int x = 0; x < depthCols; ++x) {
      // Written as "not less than" so that a height that is not a number is skipped too.
      if (!(maxHeight - heights[x] < tolerance)) continue;
      const auto d = static_cast<float>(depth[x]);
      if (!plain) {
        int cx = 0, cy = 0;
        if (!DepthPixelToColorPixel(calibration, x, y, cx, cy, d)) continue;
        if (cy >= 1 && cy < rows && cx >= 1 && cx < cols) Mark(colorFrame, cx, cy);
        continue;
      }
      // The same arithmetic as DepthPixelToColorPixel for these models, without the calls.
      if (d < 0) continue;
      const float a = (static_cast<float>(x) - din.ppx) / din.fx;
      const float px = d * a, py = d * b, pz = d;
      const float qx = r[0] * px + r[3] * py + r[6] * pz + t[0];
      const float qy = r[1] * px + r[4] * py + r[7] * pz + t[1];
      const float qz = r[2] * px + r[5] * py + r[8] * pz + t[2];
      const float u = qx / qz * cin.fx + cin.ppx;
      const float v = qy / qz * cin.fy + cin.ppy;
      // Truncated toward zero, 1 <= u < cols exactly when the pixel column is 1..cols-1; NaN
      // and infinities fail the test.
      if (u >= 1.f && u < fcols && v >= 1.f && v < frows) {
        Mark(colorFrame, static_cast<int>(u), static_cast<int>(v));
      }
    }
  }
}

void DrawSecurePoints(const SDepthColorCalibration& calibration,
                      const SDepthMeasurement& measurement, cv::Mat& colorFrame, float maxHeight,
                      float tolerance) {
  const std::size_t pixels =
      static_cast<std::size_t>(measurement.cols) * static_cast<std::size_t>(measurement.rows);
  if (measurement.heights.size() < pixels || measurement.depth.size() < pixels) return;
  DrawSecurePoints(calibration, measurement.cols, measurement.rows, measurement.heights.data(),
                   measurement.depth.data(), colorFrame, maxHeight, tolerance);
}

}  // namespace veldrin
