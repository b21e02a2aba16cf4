#include "depth/secure_points.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <cmath>
#include <vector>

namespace {

SDepthColorCalibration Calibration(EDistortion colorModel, float k1) {
  SDepthColorCalibration c;
  c.depthIntrinsics = {64, 48, 32.f, 24.f, 40.f, 40.f, EDistortion::kBrownConrady, {}};
  c.colorIntrinsics = {128, 96, 64.f, 48.f, 110.f, 108.f, colorModel, {k1}};
  c.depthToColor.rotation[1] = 0.003f;
  c.depthToColor.rotation[3] = -0.003f;
  c.depthToColor.translation[0] = 0.015f;
  return c;
}

// The marking rule pixel by pixel in the order of its definition: columns outer, mapping each
// passing depth pixel and bounds-checking against the frame itself.
cv::Mat Reference(const SDepthColorCalibration& c, const std::vector<float>& heights,
                  const std::vector<double>& depth, cv::Mat frame, float maxHeight, float tol) {
  const int w = c.depthIntrinsics.width, h = c.depthIntrinsics.height;
  if (!(maxHeight >= tol)) return frame;  // nothing stands out of the table
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) {
      const int k = y * w + x;
      if (!(maxHeight - heights[k] < tol)) continue;
      int cx = 0, cy = 0;
      if (!veldrin::DepthPixelToColorPixel(c, x, y, cx, cy, static_cast<float>(depth[k]))) {
        continue;
      }
      if (cy >= 1 && cy < frame.rows && cx >= 1 && cx < frame.cols) {
        frame.at<cv::Vec3b>(cy, cx) = cv::Vec3b(25, 255, 125);
      }
    }
  }
  return frame;
}

TEST(SecurePointsTest, MarksTheColourPixelsOfTheTopSurface) {
  // A table 0.5 m away with a 20 mm step over part of it, a few holes and odd values.
  const int w = 64, h = 48;
  std::vector<float> heights(static_cast<std::size_t>(w) * h, 0.f);
  std::vector<double> depth(static_cast<std::size_t>(w) * h, 0.5);
  for (int y = 10; y < 30; ++y) {
    for (int x = 20; x < 44; ++x) {
      heights[y * w + x] = 0.02f;
      depth[y * w + x] = 0.48;
    }
  }
  depth[12 * w + 25] = 0.0;    // no depth: no point, no mark
  depth[13 * w + 25] = -0.1;   // negative: skipped
  heights[14 * w + 25] = NAN;  // not a number: skipped
  // A box as large as the picture: every pixel is its top.
  std::vector<float> raised(heights.size(), 0.02f);
  const struct {
    const char* name;
    SDepthColorCalibration calibration;
    cv::Size frame;
    const std::vector<float>* heights;
  } cases[] = {
      {"plain models", Calibration(EDistortion::kInverseBrownConrady, 0.f), {128, 96}, &heights},
      {"distorted colour", Calibration(EDistortion::kKannalaBrandt4, 0.05f), {128, 96}, &heights},
      {"whole picture passes",
       Calibration(EDistortion::kInverseBrownConrady, 0.f),
       {128, 96},
       &raised},
      // A frame smaller than the configured colour size: marks stay inside it.
      {"small frame", Calibration(EDistortion::kInverseBrownConrady, 0.f), {50, 40}, &raised},
      {"one-pixel frame", Calibration(EDistortion::kNone, 0.f), {1, 1}, &raised},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const cv::Mat blank(c.frame, CV_8UC3, cv::Scalar::all(0));
    cv::Mat marked = blank.clone();
    veldrin::DrawSecurePoints(c.calibration, w, h, c.heights->data(), depth.data(), marked, 0.02f,
                              0.003f);
    const cv::Mat expected =
        Reference(c.calibration, *c.heights, depth, blank.clone(), 0.02f, 0.003f);
    EXPECT_EQ(cv::norm(marked, expected, cv::NORM_INF), 0);
    // Row 0 and column 0 are never marked.
    EXPECT_EQ(cv::countNonZero(marked.row(0).reshape(1)), 0);
    EXPECT_EQ(cv::countNonZero(marked.col(0).reshape(1)), 0);
    if (c.frame.width > 1) {
      EXPECT_GT(cv::countNonZero(marked.reshape(1)), 0);
    }
  }
}

// An empty table: its highest point is noise below the tolerance, and nothing is its top.
TEST(SecurePointsTest, NothingStandsOutOfAnEmptyTable) {
  const int w = 64, h = 48;
  std::vector<float> heights(static_cast<std::size_t>(w) * h, 0.f);
  heights[20 * w + 30] = 0.002f;
  const std::vector<double> depth(heights.size(), 0.5);
  cv::Mat frame(96, 128, CV_8UC3, cv::Scalar::all(0));
  veldrin::DrawSecurePoints(Calibration(EDistortion::kNone, 0.f), w, h, heights.data(),
                            depth.data(), frame, 0.002f, 0.004f);
  EXPECT_EQ(cv::countNonZero(frame.reshape(1)), 0);
}

}  // namespace
