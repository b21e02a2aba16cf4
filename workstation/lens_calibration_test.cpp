#include "workstation/lens_calibration.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <memory>

#include <string>
#include <vector>

#include "video/board_views_test_fixture.h"
#include "video/table_scene.h"
#include "workstation/rectification.h"

namespace {

using veldrin_test::BoardViewParams;
using veldrin_test::RenderBoardView;

constexpr double kK1 = -0.2;
constexpr double kK2 = 0.05;
const cv::Size kSize(960, 540);

SLensBoard Board() {
  return SLensBoard{veldrin_test::kBoardColumns, veldrin_test::kBoardRows,
                    veldrin_test::kBoardSquareMm};
}

// The board's corners in every view of the scene camera that shows the whole board.
std::vector<std::vector<cv::Point2f>> FindInViews(int count) {
  std::vector<std::vector<cv::Point2f>> views;
  for (int i = 0; i < count; ++i) {
    std::vector<cv::Point2f> corners;
    if (veldrin::FindBoardCorners(RenderBoardView(i, kSize, kK1, kK2), Board(), corners)) {
      views.push_back(corners);
    }
  }
  return views;
}

TEST(LensCalibration, RecoversTheCameraThatTookTheViews) {
  const std::vector<std::vector<cv::Point2f>> views = FindInViews(12);
  ASSERT_GE(views.size(), 10u);
  EXPECT_GT(veldrin::CoverageMap(views, kSize).CoveredShare(), 0.5);

  SLensModel lens;
  lens.camera = "Scene";
  std::string error;
  ASSERT_TRUE(veldrin::CalibrateLens(views, Board(), kSize, lens, error)) << error;
  const cv::Matx33d truth = CTableScene(BoardViewParams(0, kSize, kK1, kK2)).CameraMatrix(kSize);
  EXPECT_NEAR(lens.matrix(0, 0), truth(0, 0), 0.01 * truth(0, 0));
  EXPECT_NEAR(lens.matrix(1, 1), truth(1, 1), 0.01 * truth(1, 1));
  EXPECT_NEAR(lens.matrix(0, 2), truth(0, 2), 5.0);
  EXPECT_NEAR(lens.matrix(1, 2), truth(1, 2), 5.0);
  EXPECT_NEAR(lens.distortion[0], kK1, 0.02);
  EXPECT_LT(lens.rmsPx, 0.5);
  EXPECT_EQ(lens.size, kSize);
  EXPECT_EQ(lens.camera, "Scene");
}

// Six views of the board near the middle of the picture, turned and tilted as the operator might
// hold it without thinking of the corners.
std::vector<std::vector<cv::Point2f>> FindInCentralViews() {
  std::vector<std::vector<cv::Point2f>> views;
  for (int i = 0; i < 6; ++i) {
    STableSceneParams p = BoardViewParams(i, kSize, kK1, kK2);
    p.sheetOffsetXMm = p.sheetOffsetYMm = 0;
    cv::Mat picture;
    CTableScene(p).Render(kSize, 0, picture);
    std::vector<cv::Point2f> corners;
    if (veldrin::FindBoardCorners(picture, Board(), corners)) views.push_back(corners);
  }
  return views;
}

TEST(LensCalibration, CoverageMapCountsCornersPerCell) {
  // Cells are 120 x 90 pixels; corners outside the picture count nowhere.
  const std::vector<std::vector<cv::Point2f>> views{
      {{0, 0}, {119.9f, 89.9f}, {120, 0}, {959.9f, 539.9f}},
      {{5, 5}, {-1, 10}, {960, 10}, {10, 540}, {std::nanf(""), 3}}};
  const SCoverageMap map = veldrin::CoverageMap(views, kSize);
  EXPECT_EQ(map.Count(0, 0), 3);
  EXPECT_EQ(map.Count(1, 0), 1);
  EXPECT_EQ(map.Count(7, 5), 1);
  EXPECT_EQ(map.CoveredCells(), 3);
  EXPECT_EQ(veldrin::CoverageMap(views, cv::Size()).CoveredCells(), 0);
}

// Central views fit the middle of the picture and leave the outer coefficients to chance: such a
// lens is refused, one from views that reach the corners is kept.
TEST(LensCalibration, CoverageRuleWantsThePicturesCorners) {
  const std::vector<std::vector<cv::Point2f>> central = FindInCentralViews();
  ASSERT_EQ(central.size(), 6u);
  SLensModel lens;
  std::string error, why;
  ASSERT_TRUE(veldrin::CalibrateLens(central, Board(), kSize, lens, error)) << error;
  EXPECT_FALSE(veldrin::IsCoverageEnough(veldrin::CoverageMap(central, kSize), why));
  EXPECT_EQ(why.rfind("The views do not reach the picture's top left, top right, bottom left and "
                      "bottom right corners",
                      0),
            0u)
      << why;

  // The sixteen views reach every corner, the first six not the bottom right.
  const std::vector<std::vector<cv::Point2f>> all = FindInViews(16);
  EXPECT_TRUE(veldrin::IsCoverageEnough(veldrin::CoverageMap(all, kSize), why)) << why;
  EXPECT_TRUE(why.empty());
  const std::vector<std::vector<cv::Point2f>> views = FindInViews(6);
  EXPECT_FALSE(veldrin::IsCoverageEnough(veldrin::CoverageMap(views, kSize), why));
  EXPECT_NE(why.find("picture's bottom right corner,"), std::string::npos) << why;

  // Every corner reached, but by four small spots: too little of the picture.
  std::vector<std::vector<cv::Point2f>> spots;
  for (cv::Point2f p :
       {cv::Point2f(10, 10), cv::Point2f(950, 10), cv::Point2f(10, 530), cv::Point2f(950, 530)}) {
    spots.push_back({p});
  }
  EXPECT_FALSE(veldrin::IsCoverageEnough(veldrin::CoverageMap(spots, kSize), why));
  EXPECT_EQ(why.rfind("The views cover 8 % of the picture; at least 50 % is needed.", 0), 0u)
      << why;
}

TEST(LensCalibration, RefusesTooFewViewsAndPicturesWithoutABoard) {
  std::vector<std::vector<cv::Point2f>> views = FindInViews(4);
  ASSERT_EQ(views.size(), 4u);
  SLensModel lens;
  std::string error;
  EXPECT_FALSE(veldrin::CalibrateLens(views, Board(), kSize, lens, error));
  EXPECT_NE(error.find("at least 5"), std::string::npos) << error;
  // A view with a different corner count is not counted as one.
  views.push_back(std::vector<cv::Point2f>(10, cv::Point2f(5, 5)));
  EXPECT_FALSE(veldrin::CalibrateLens(views, Board(), kSize, lens, error));
  EXPECT_EQ(lens.matrix, cv::Matx33d::eye());

  std::vector<cv::Point2f> corners;
  const cv::Mat blank(kSize, CV_8UC3, cv::Scalar::all(200));
  EXPECT_FALSE(veldrin::FindBoardCorners(blank, Board(), corners));
  EXPECT_FALSE(veldrin::FindBoardCorners(cv::Mat(), Board(), corners));
  EXPECT_FALSE(
      veldrin::FindBoardCorners(cv::Mat(kSize, CV_32FC1, cv::Scalar(1)), Board(), corners));
  // A board of another size is not this one.
  const cv::Mat view = RenderBoardView(0, kSize, kK1, kK2);
  EXPECT_FALSE(veldrin::FindBoardCorners(view, SLensBoard{7, 5, 20}, corners));
  EXPECT_TRUE(corners.empty());
}

TEST(LensCalibration, BoardSizeText) {
  SLensBoard board;
  ASSERT_TRUE(veldrin::ParseBoardSize("9x6", board));
  EXPECT_EQ(board.columns, 9);
  EXPECT_EQ(board.rows, 6);
  ASSERT_TRUE(veldrin::ParseBoardSize("7X5", board));
  EXPECT_EQ(board.columns, 7);
  for (const char* bad :
       {"", "9", "9x", "x6", "1x6", "9x1", "9x6x2", "-9x6", "9 x6", "65x6", "ax6"}) {
    EXPECT_FALSE(veldrin::ParseBoardSize(bad, board)) << bad;
  }
  EXPECT_EQ(board.columns, 7);
}

// The largest distance, in pixels, of the sheet's four edges from straight lines, measured over
// the middle three quarters of each edge where the sheet (bright) meets the table (darker).
double EdgeBowPx(const cv::Mat& picture) {
  cv::Mat blue;
  cv::extractChannel(picture, blue, 0);
  constexpr double kLevel = 200.0;
  constexpr int kHalf = 4;  // the ramp from table to sheet lies within this of the crossing
  double worst = 0.0;
  // Along each line of the picture (rows for the left and right edges, columns for the top and
  // bottom), from the outside in: the edge is where the area under the ramp puts it, which does
  // not depend on where the pixel grid samples the ramp.
  for (int edge = 0; edge < 4; ++edge) {
    const cv::Mat lines = edge < 2 ? blue : cv::Mat(blue.t());
    const bool fromEnd = edge % 2 == 1;
    std::vector<cv::Point2f> points;
    for (int i = lines.rows * 12 / 100; i < lines.rows * 88 / 100; i += 2) {
      std::vector<double> v(lines.cols);
      for (int k = 0; k < lines.cols; ++k) {
        v[k] = lines.at<uchar>(i, fromEnd ? lines.cols - 1 - k : k);
      }
      int k = 2 * kHalf;
      while (k < lines.cols / 2 && !(v[k - 1] < kLevel && v[k] >= kLevel)) ++k;
      if (k >= lines.cols / 2) continue;
      const double low = v[k - 2 * kHalf], high = v[k + 2 * kHalf];
      double position = k - kHalf - 0.5;
      for (int j = k - kHalf; j <= k + kHalf; ++j) {
        position += 1.0 - std::clamp((v[j] - low) / (high - low), 0.0, 1.0);
      }
      points.emplace_back(static_cast<float>(i), static_cast<float>(position));
    }
    EXPECT_GT(points.size(), 100u) << "edge " << edge;
    cv::Vec4f line;
    cv::fitLine(points, line, cv::DIST_L2, 0, 0.01, 0.01);
    double bow = 0.0;
    for (const cv::Point2f& q : points) {
      bow = std::max(bow, std::abs(static_cast<double>((q.x - line[2]) * line[1] -
                                                       (q.y - line[3]) * line[0])));
    }
    worst = std::max(worst, bow);
  }
  return worst;
}

TEST(LensCalibration, CorrectedSheetEdgesAreStraight) {
  SLensModel lens;
  std::string error;
  ASSERT_TRUE(veldrin::CalibrateLens(FindInViews(12), Board(), kSize, lens, error)) << error;

  // An A3 sheet, large in the picture, where the distortion bends its edges.
  STableSceneParams p;
  p.width = kSize.width;
  p.height = kSize.height;
  p.sheetWidthMm = 420;
  p.sheetHeightMm = 297;
  p.cameraK1 = kK1;
  p.cameraK2 = kK2;
  cv::Mat frame;
  CTableScene(p).Render(kSize, 0, frame);
  // The corners of a rectangle 25 mm around the sheet, as the distortion-free camera sees them.
  STableSceneParams around = p;
  around.sheetWidthMm += 50;
  around.sheetHeightMm += 50;
  around.cameraK1 = around.cameraK2 = 0;

  CRectification r;
  r.ApplyCameraSettings(kSize.width, kSize.height);
  r.UpdateMediaSize(470, 347);
  ASSERT_TRUE(r.SetCorners(CTableScene(around).SheetCorners(kSize)));
  cv::Mat out;
  ASSERT_TRUE(r.Rectify(frame, out));
  EXPECT_GT(EdgeBowPx(out), 2.0);  // uncorrected, the edges bow

  r.SetLens(std::make_shared<SLensModel>(lens));
  ASSERT_TRUE(r.Rectify(frame, out));
  EXPECT_LT(EdgeBowPx(out), 0.5);
}

}  // namespace
