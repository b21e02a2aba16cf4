#include "markers/accuracy_check.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cstdio>

#include "video/table_scene.h"

namespace {

using veldrin::CheckAccuracy;

// The scene's sheet with a printed board, rectified onto its own corners at the tool's output
// size for the given media; returns the millimetres per output pixel in `mmPerPixel`.
cv::Mat RectifiedScene(double rotationDeg, double mediaWidthMm, double mediaHeightMm,
                       cv::Point2d& mmPerPixel) {
  STableSceneParams params;
  params.sheetRotationDeg = rotationDeg;
  params.boardColumns = 8;  // inner corners: a board of 9 x 6 squares
  params.boardRows = 5;
  params.boardSquareMm = 20;
  CTableScene scene(params);
  cv::Mat picture, out;
  scene.Render(scene.NativeSize(), 3, picture);
  const int w = picture.cols;
  const int h = static_cast<int>(w * mediaHeightMm / mediaWidthMm);
  const std::vector<cv::Point2f> target = {
      {0, 0}, {float(w), 0}, {float(w), float(h)}, {0, float(h)}};
  cv::warpPerspective(picture, out,
                      cv::getPerspectiveTransform(scene.SheetCorners(scene.NativeSize()), target),
                      cv::Size(w, h));
  mmPerPixel = {mediaWidthMm / w, mediaHeightMm / h};
  return out;
}

TEST(AccuracyCheck, TrueCornersMeasureTrueToAFractionOfAMillimetre) {
  for (double rotation : {3.0, -20.0}) {
    cv::Point2d mm;
    const cv::Mat rectified = RectifiedScene(rotation, 297, 210, mm);
    SAccuracyReport report;
    ASSERT_TRUE(CheckAccuracy(rectified, mm.x, mm.y, {9, 6, 20}, report)) << rotation;
    std::printf("rotation %.0f: scale %+.3f %%, RMS %.3f mm, max %.3f mm\n", rotation,
                report.scaleErrorPercent, report.rmsMm, report.maxMm);
    EXPECT_LT(report.rmsMm, 0.5) << rotation;
    EXPECT_LT(std::abs(report.scaleErrorPercent), 0.2) << rotation;
    EXPECT_GE(report.maxMm, report.rmsMm);
    EXPECT_EQ(report.measured.size(), 8u * 5u);
    EXPECT_EQ(report.ideal.size(), report.measured.size());
    // The same board described by its inner corners is measured alike.
    SAccuracyReport inner;
    ASSERT_TRUE(CheckAccuracy(rectified, mm.x, mm.y, {8, 5, 20}, inner));
    EXPECT_NEAR(inner.rmsMm, report.rmsMm, 0.05);
  }
}

// Media declared 2 % larger than the sheet: everything in the output is 2 % too large, and the
// fixed-scale fit leaves deviations that grow toward the board's edges.
TEST(AccuracyCheck, AKnownScaleErrorIsReported) {
  cv::Point2d mm;
  const cv::Mat rectified = RectifiedScene(3, 297 * 1.02, 210 * 1.02, mm);
  SAccuracyReport report;
  ASSERT_TRUE(CheckAccuracy(rectified, mm.x, mm.y, {9, 6, 20}, report));
  EXPECT_NEAR(report.scaleErrorPercent, 2.0, 0.2);
  // The corners farthest from the board's centre are 2 % of about 89 mm out.
  EXPECT_NEAR(report.maxMm, 0.02 * std::hypot(80, 50), 0.4);
  EXPECT_GT(report.rmsMm, 0.5);

  const cv::Mat picture = veldrin::DrawDeviations(rectified, report);
  EXPECT_EQ(picture.size(), rectified.size());
  EXPECT_EQ(picture.type(), CV_8UC3);
}

TEST(AccuracyCheck, NoBoardNoReport) {
  cv::Point2d mm;
  const cv::Mat rectified = RectifiedScene(3, 297, 210, mm);
  SAccuracyReport report;
  report.rmsMm = 42;
  // A board with other numbers of squares, a blank picture, nonsense scales.
  EXPECT_FALSE(CheckAccuracy(rectified, mm.x, mm.y, {12, 3, 20}, report));
  EXPECT_FALSE(CheckAccuracy(cv::Mat(400, 600, CV_8UC3, cv::Scalar::all(230)), 0.5, 0.5, {9, 6, 20},
                             report));
  EXPECT_FALSE(CheckAccuracy(rectified, 0, mm.y, {9, 6, 20}, report));
  EXPECT_FALSE(CheckAccuracy(rectified, mm.x, mm.y, {9, 6, 0}, report));
  EXPECT_EQ(report.rmsMm, 42);
}

}  // namespace
