#include "video/table_scene.h"

#include "testing/scratch_dir.h"
#include "testing/test_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <filesystem>

namespace {

double Brightness(const cv::Mat& picture, cv::Point2f at) {
  const cv::Vec3b& p = picture.at<cv::Vec3b>(cvRound(at.y), cvRound(at.x));
  return (p[0] + p[1] + p[2]) / 3.0;
}

cv::Point2f Centre(const std::vector<cv::Point2f>& q) {
  return (q[0] + q[1] + q[2] + q[3]) * 0.25f;
}

TEST(TableSceneTest, CornersAreTheSheetAsSeenFromTheNearSide) {
  CTableScene scene{STableSceneParams{}};
  const cv::Size size = scene.NativeSize();
  const std::vector<cv::Point2f> c = scene.SheetCorners(size);
  ASSERT_EQ(c.size(), 4u);
  for (const cv::Point2f& p : c) {
    EXPECT_TRUE(cv::Rect2f(0, 0, size.width, size.height).contains(p)) << p;
  }
  // Top-left, top-right, bottom-right, bottom-left in the picture.
  EXPECT_LT(c[0].x, c[1].x);
  EXPECT_LT(c[3].x, c[2].x);
  EXPECT_LT(c[0].y, c[3].y);
  EXPECT_LT(c[1].y, c[2].y);
  EXPECT_TRUE(cv::isContourConvex(c));
  // Tilted toward the far edge: the top edge looks shorter than the bottom one.
  EXPECT_LT(cv::norm(c[1] - c[0]), cv::norm(c[2] - c[3]));
  // The sheet fills a fair part of the picture.
  const double share = cv::contourArea(c) / size.area();
  EXPECT_GT(share, 0.1);
  EXPECT_LT(share, 0.6);

  // Other sizes are the native picture scaled.
  const std::vector<cv::Point2f> small = scene.SheetCorners(cv::Size(640, 480));
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(small[i].x, c[i].x * 640 / size.width, 1e-3);
    EXPECT_NEAR(small[i].y, c[i].y * 480 / size.height, 1e-3);
  }
}

TEST(TableSceneTest, PictureShowsThePaperInsideTheCornersAndTheTableOutside) {
  CTableScene scene{STableSceneParams{}};
  for (const cv::Size size : {cv::Size(1280, 720), cv::Size(640, 480), cv::Size(1920, 1080)}) {
    cv::Mat picture;
    scene.Render(size, 0, picture);
    ASSERT_EQ(picture.size(), size);
    ASSERT_EQ(picture.type(), CV_8UC3);
    const std::vector<cv::Point2f> c = scene.SheetCorners(size);
    const cv::Point2f centre = Centre(c);
    for (const cv::Point2f& corner : c) {
      const cv::Point2f inward =
          (centre - corner) * (1.f / static_cast<float>(cv::norm(centre - corner)));
      EXPECT_GT(Brightness(picture, corner + inward * 6.f), 200) << size << corner;
      EXPECT_LT(Brightness(picture, corner - inward * 6.f), 190) << size << corner;
    }
  }
}

TEST(TableSceneTest, FramesDifferOnlyInTheCounterAndRepeatExactly) {
  CTableScene scene{STableSceneParams{}};
  const cv::Size size(640, 480);
  cv::Mat a, b, again;
  scene.Render(size, 7, a);
  scene.Render(size, 8, b);
  scene.Render(size, 7, again);
  EXPECT_EQ(cv::norm(a, again, cv::NORM_INF), 0);

  const cv::Rect counter = scene.CounterArea(size);
  cv::Mat diff;
  cv::absdiff(a, b, diff);
  EXPECT_GT(cv::norm(diff(counter), cv::NORM_L1), 0);
  diff(counter).setTo(cv::Scalar::all(0));
  EXPECT_EQ(cv::norm(diff, cv::NORM_INF), 0);

  // The counter stays off the sheet.
  std::vector<cv::Point2f> box = {cv::Point2f(counter.tl()), cv::Point2f(counter.br())};
  for (const cv::Point2f& p : box) {
    EXPECT_LT(cv::pointPolygonTest(scene.SheetCorners(size), p, false), 0);
  }
}

class SceneFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& json) {
    std::string path = (m_scratch.Path() / "scene.json").string();
    veldrin_test::WriteFileBytes(path, json);
    return path;
  }
  veldrin_test::CScratchDir m_scratch{"scene"};
};

TEST_F(SceneFileTest, KeysOverrideDefaults) {
  STableSceneParams params;
  std::string error;
  ASSERT_TRUE(veldrin::LoadTableSceneParams(
      Write(R"({"size": [800, 600], "sheet": {"width_mm": 210, "height_mm": 297,
               "rotation_deg": -5, "offset_mm": [10, -20]},
               "table": {"width_mm": 1200}, "camera": {"tilt_deg": 0, "distance_mm": 900},
               "qr": {"enabled": true, "text": "job 42", "size_mm": 30}})"),
      params, error))
      << error;
  EXPECT_EQ(params.width, 800);
  EXPECT_EQ(params.height, 600);
  EXPECT_EQ(params.sheetWidthMm, 210);
  EXPECT_EQ(params.sheetRotationDeg, -5);
  EXPECT_EQ(params.sheetOffsetYMm, -20);
  EXPECT_EQ(params.tableWidthMm, 1200);
  EXPECT_EQ(params.tableDepthMm, STableSceneParams{}.tableDepthMm);
  EXPECT_EQ(params.cameraTiltDeg, 0);
  EXPECT_TRUE(params.qrCode);
  EXPECT_EQ(params.qrText, "job 42");

  // Straight down, portrait sheet: taller than wide, and a QR code darkens its top-right.
  CTableScene scene(params);
  const std::vector<cv::Point2f> c = scene.SheetCorners(scene.NativeSize());
  EXPECT_GT(cv::norm(c[3] - c[0]), cv::norm(c[1] - c[0]));
  cv::Mat with, without;
  scene.Render(scene.NativeSize(), 0, with);
  params.qrCode = false;
  CTableScene(params).Render(scene.NativeSize(), 0, without);
  const cv::Point2f qrArea = c[1] + (c[3] - c[1]) * 0.12f;
  const cv::Rect around(cv::Point(qrArea) - cv::Point(10, 10), cv::Size(20, 20));
  EXPECT_LT(cv::mean(with(around))[0], cv::mean(without(around))[0] - 20);
}

TEST_F(SceneFileTest, BadFilesAreRefusedAndLeaveParamsAlone) {
  for (const char* json : {
           R"({"sheet": {"widht_mm": 200}})",  // unknown key
           R"({"sheet": {"width_mm": "wide"}})", R"({"size": [640]})",
           R"({"camera": {"tilt_deg": 85}})", R"({"sheet": {"width_mm": -3}})",
           R"({"table": {"depth_mm": 19000}, "camera": {"tilt_deg": 60}})",  // behind the camera
           R"({"qr": {"enabled": "yes"}})", R"([1, 2])", R"({"size": [800, 600],)",
           R"({"camera": {"k1": -0.6}})",
           R"({"camera": {"k1": -0.5, "k2": -0.5}})",  // folds before the picture's corners
           R"({"sheet": {"board": {"cols": 9, "rows": 6}}})",
           R"({"sheet": {"board": {"cols": 9.5, "rows": 6, "square_mm": 20}}})",
           R"({"sheet": {"board": {"cols": 0, "rows": 6, "square_mm": 20}}})",
           R"({"sheet": {"board": {"cols": 20, "rows": 6, "square_mm": 20}}})",  // too wide
       }) {
    STableSceneParams params;
    std::string error;
    EXPECT_FALSE(veldrin::LoadTableSceneParams(Write(json), params, error)) << json;
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(params.width, STableSceneParams{}.width) << json;
  }
  STableSceneParams params;
  std::string error;
  EXPECT_FALSE(veldrin::LoadTableSceneParams("/nonexistent/scene.json", params, error));
  // Nesting deeper than the reader goes makes it throw: still only a refused file.
  const std::string deep = Write(std::string(100000, '[') + std::string(100000, ']'));
  EXPECT_FALSE(veldrin::LoadTableSceneParams(deep, params, error));
  EXPECT_NE(error.find(deep), std::string::npos) << error;
}

// With k1 < 0 the sheet's straight edges bow outward: the middle of an edge lies outside the
// line through its two corners, by several pixels, and the corners move toward the centre.
TEST_F(SceneFileTest, LensDistortionBendsTheSheetsEdges) {
  STableSceneParams params;
  std::string error;
  ASSERT_TRUE(veldrin::LoadTableSceneParams(
      Write(R"({"camera": {"tilt_deg": 0, "roll_deg": 0, "k1": -0.2, "k2": 0.02},
               "sheet": {"rotation_deg": 0, "width_mm": 400, "height_mm": 280,
                         "board": {"cols": 9, "rows": 6, "square_mm": 25}}})"),
      params, error))
      << error;
  EXPECT_EQ(params.cameraK1, -0.2);
  EXPECT_EQ(params.boardRows, 6);
  EXPECT_EQ(params.boardSquareMm, 25);
  CTableScene bent(params);
  STableSceneParams straightParams = params;
  straightParams.cameraK1 = straightParams.cameraK2 = 0;
  CTableScene straight(straightParams);
  const cv::Size size = bent.NativeSize();
  const std::vector<cv::Point2f> ideal = straight.SheetCorners(size);
  const std::vector<cv::Point2f> seen = bent.SheetCorners(size);
  const cv::Point2f centre(size.width / 2.0f, size.height / 2.0f);
  EXPECT_LT(cv::norm(seen[0] - centre), cv::norm(ideal[0] - centre) - 5);

  // The top edge's middle column: scan down to the sheet in both pictures.
  cv::Mat bentPicture, straightPicture;
  bent.Render(size, 0, bentPicture);
  straight.Render(size, 0, straightPicture);
  const auto edgeRow = [](const cv::Mat& picture, int x) {
    for (int y = 1; y < picture.rows; ++y) {
      if (picture.at<cv::Vec3b>(y, x)[0] > 200) return y;
    }
    return -1;
  };
  const int x = cvRound((seen[0].x + seen[1].x) / 2);
  const float chord = (seen[0].y + seen[1].y) / 2;
  EXPECT_LT(edgeRow(bentPicture, x), chord - 3);
  EXPECT_NEAR(edgeRow(straightPicture, x), (ideal[0].y + ideal[1].y) / 2, 1.5);
  // The board replaces the chart: its middle is black and white squares.
  const cv::Mat middle =
      straightPicture(cv::Rect(cvRound(centre.x) - 40, cvRound(centre.y) - 40, 80, 80));
  double low = 0, high = 0;
  cv::minMaxLoc(middle.reshape(1), &low, &high);
  EXPECT_LT(low, 40);
  EXPECT_GT(high, 200);
}

}  // namespace
