#include "markers/sheet_finder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "testing/sheet_test_pattern.h"
#include "video/table_scene.h"

namespace {

using veldrin::FindSheet;
using veldrin_test::RenderSheetPicture;
using veldrin_test::SheetInView;
using veldrin_test::SSheetPicture;

double LargestError(const std::vector<cv::Point2f>& found, const std::vector<cv::Point2f>& truth) {
  double worst = 0;
  for (size_t i = 0; i < 4; ++i) worst = std::max(worst, cv::norm(found[i] - truth[i]));
  return worst;
}

// The whole range the finder is meant for: turned sheets, tilted cameras, blur, sensor noise, a
// textured table and smaller objects beside the sheet. The true corners are given in the sheet's
// own order (top-left first, clockwise), which for turns up to 30 degrees is also the order as
// seen, so the order is checked too.
TEST(SheetFinder, CornersWithinHalfAPixelAcrossTurnsTiltsAndBlur) {
  double sum = 0, worst = 0;
  int count = 0;
  unsigned seed = 1;
  for (double rotation : {-30.0, -12.0, 0.0, 7.0, 30.0}) {
    for (double tilt : {0.0, 18.0, 30.0}) {
      for (double blur : {0.6, 1.5}) {
        SSheetPicture s;
        s.size = {960, 600};
        s.seed = seed++;
        s.blurSigma = blur;
        s.corners = SheetInView({450, 290}, 470, rotation, tilt);
        const cv::Mat picture = RenderSheetPicture(s);
        std::vector<cv::Point2f> found;
        ASSERT_TRUE(FindSheet(picture, found))
            << "rotation " << rotation << " tilt " << tilt << " blur " << blur;
        ASSERT_EQ(found.size(), 4u);
        for (size_t i = 0; i < 4; ++i) {
          const double error = cv::norm(found[i] - s.corners[i]);
          sum += error;
          ++count;
          worst = std::max(worst, error);
          EXPECT_LE(error, 0.5) << "corner " << i + 1 << " rotation " << rotation << " tilt "
                                << tilt << " blur " << blur;
        }
      }
    }
  }
  std::printf("corner error over %d corners: mean %.3f px, largest %.3f px\n", count, sum / count,
              worst);
}

TEST(SheetFinder, FindsTheTableScenesSheet) {
  STableSceneParams params;
  for (double rotation : {3.0, -25.0}) {
    params.sheetRotationDeg = rotation;
    CTableScene scene(params);
    cv::Mat picture;
    scene.Render(scene.NativeSize(), 7, picture);
    std::vector<cv::Point2f> found;
    ASSERT_TRUE(FindSheet(picture, found)) << rotation;
    EXPECT_LE(LargestError(found, scene.SheetCorners(scene.NativeSize())), 0.5) << rotation;
  }
}

TEST(SheetFinder, PortraitSheetAndDarkTableAreOrderedAsSeen) {
  SSheetPicture s;
  s.size = {800, 800};
  s.tableGrey = 50;
  s.corners = SheetInView({400, 400}, 500, -20, 10, 210, 297);
  std::vector<cv::Point2f> found;
  ASSERT_TRUE(FindSheet(RenderSheetPicture(s), found));
  EXPECT_LE(LargestError(found, s.corners), 0.5);
}

// When nothing is convincingly the sheet, nothing is reported and the corners are untouched.
TEST(SheetFinder, NoSheetLeavesTheCornersAlone) {
  const std::vector<cv::Point2f> before = {{1, 2}, {3, 4}, {5, 6}, {7, 8}};
  std::vector<cv::Point2f> corners = before;

  SSheetPicture s;
  s.size = {640, 480};
  s.distractors = false;  // the light card among them is a sheet of its own
  // A sheet that runs off the picture: its corners cannot be measured.
  s.corners = {{-40, 100}, {400, 90}, {410, 400}, {-30, 410}};
  EXPECT_FALSE(FindSheet(RenderSheetPicture(s), corners));

  // A light round object the size of a sheet.
  cv::Mat round(480, 640, CV_8UC3, cv::Scalar::all(100));
  cv::circle(round, {320, 240}, 150, cv::Scalar::all(235), cv::FILLED, cv::LINE_AA);
  EXPECT_FALSE(FindSheet(round, corners));

  // Bare textured table, a flat grey picture, and pictures that are not camera frames.
  s.corners = {{-10, -10}, {-5, -10}, {-5, -5}, {-10, -5}};
  EXPECT_FALSE(FindSheet(RenderSheetPicture(s), corners));
  EXPECT_FALSE(FindSheet(cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(128)), corners));
  EXPECT_FALSE(FindSheet(cv::Mat(), corners));
  EXPECT_FALSE(FindSheet(cv::Mat(480, 640, CV_32FC3, cv::Scalar::all(1)), corners));
  EXPECT_EQ(corners, before);
}

TEST(SheetFinder, OrderStartsTopLeftAndTurnsClockwise) {
  std::vector<cv::Point2f> corners = {{400, 300}, {100, 80}, {90, 310}, {420, 60}};
  veldrin::OrderCornersClockwise(corners);
  EXPECT_EQ(corners, (std::vector<cv::Point2f>{{100, 80}, {420, 60}, {400, 300}, {90, 310}}));
}

}  // namespace
