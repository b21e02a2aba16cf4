#include "workstation/lens_calibration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/board_views.h"
#include "video/table_scene.h"

namespace {

using veldrin_test::BoardViewParams;
using veldrin_test::RenderBoardView;

constexpr double kK1 = -0.2;
constexpr double kK2 = 0.05;
const cv::Size kSize(960, 540);

LENS_BOARD Board() {
  return LENS_BOARD{veldrin_test::kBoardColumns, veldrin_test::kBoardRows,
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
  EXPECT_GT(veldrin::BoardCoverage(views, kSize), 0.4);

  LENS_MODEL lens;
  lens.strCamera = "Scene";
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
  EXPECT_EQ(lens.strCamera, "Scene");
}

TEST(LensCalibration, RefusesTooFewViewsAndPicturesWithoutABoard) {
  std::vector<std::vector<cv::Point2f>> views = FindInViews(4);
  ASSERT_EQ(views.size(), 4u);
  LENS_MODEL lens;
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
  EXPECT_FALSE(veldrin::FindBoardCorners(view, LENS_BOARD{7, 5, 20}, corners));
  EXPECT_TRUE(corners.empty());
}

TEST(LensCalibration, BoardSizeText) {
  LENS_BOARD board;
  ASSERT_TRUE(veldrin::ParseBoardSize("9x6", board));
  EXPECT_EQ(board.nColumns, 9);
  EXPECT_EQ(board.nRows, 6);
  ASSERT_TRUE(veldrin::ParseBoardSize("7X5", board));
  EXPECT_EQ(board.nColumns, 7);
  for (const char* bad :
       {"", "9", "9x", "x6", "1x6", "9x1", "9x6x2", "-9x6", "9 x6", "65x6", "ax6"}) {
    EXPECT_FALSE(veldrin::ParseBoardSize(bad, board)) << bad;
  }
  EXPECT_EQ(board.nColumns, 7);
}

}  // namespace
