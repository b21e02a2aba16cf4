#include "depth/secure_points.h"

namespace veldrin {

void DrawSecurePoints(const DEPTH_COLOR_CALIBRATION& calibration, int depthCols, int depthRows,
                      const float* heightMap, const double* depthCopy, cv::Mat& colorFrame,
                      float maxHeight, float tolerance) {
  if (heightMap == nullptr || depthCopy == nullptr || colorFrame.type() != CV_8UC3) return;
  const int cols = colorFrame.cols, rows = colorFrame.rows;
  // Row by row: a pixel marked twice gets the same mark, so the order does not matter.
  for (int y = 0; y < depthRows; ++y) {
    for (int x = 0; x < depthCols; ++x) {
      const std::size_t k = static_cast<std::size_t>(y) * depthCols + x;
      // Written as "not less than" so that a height that is not a number is skipped too.
      if (!(maxHeight - heightMap[k] < tolerance)) continue;
      int cx = 0, cy = 0;
      if (!DepthPixelToColorPixel(calibration, x, y, cx, cy, static_cast<float>(depthCopy[k]))) {
        continue;
      }
      if (cy < 1 || cy >= rows || cx < 1 || cx >= cols) continue;
      unsigned char* p = colorFrame.ptr<unsigned char>(cy) + 3 * cx;
      p[0] = kSecurePointColor[0];
      p[1] = kSecurePointColor[1];
      p[2] = kSecurePointColor[2];
    }
  }
}

void DrawSecurePoints(const DEPTH_COLOR_CALIBRATION& calibration,
                      const DEPTH_MEASUREMENT& measurement, cv::Mat& colorFrame, float maxHeight,
                      float tolerance) {
  const std::size_t pixels =
      static_cast<std::size_t>(measurement.nCols) * static_cast<std::size_t>(measurement.nRows);
  if (measurement.heights.size() < pixels || measurement.depth.size() < pixels) return;
  DrawSecurePoints(calibration, measurement.nCols, measurement.nRows, measurement.heights.data(),
                   measurement.depth.data(), colorFrame, maxHeight, tolerance);
}

}  // namespace veldrin
