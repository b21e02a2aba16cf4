#include "markers/camera_reference.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <fstream>

#include "testing/scratch_dir.h"
#include "video/table_scene.h"

namespace {

cv::Mat SceneFrame(const STableSceneParams& params, std::uint64_t frame, double noise = 0) {
  CTableScene scene(params);
  cv::Mat picture;
  scene.Render(scene.NativeSize(), frame, picture);
  if (noise > 0) {
    cv::Mat n(picture.size(), CV_16SC3);
    cv::RNG(static_cast<unsigned>(frame)).fill(n, cv::RNG::NORMAL, 0, noise);
    picture.convertTo(picture, CV_16SC3);
    picture += n;
    picture.convertTo(picture, CV_8UC3);
  }
  return picture;
}

cv::Mat Shifted(const cv::Mat& picture, double dx, double dy) {
  cv::Mat out;
  const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, dx, 0, 1, dy);
  cv::warpAffine(picture, out, shift, picture.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return out;
}

// The scene's own frame counter and sensor noise never count as a moved camera; a camera turned
// by half a degree, or a picture shifted by 3 pixels, always does.
TEST(CameraReference, NoticesAMovedCameraAndNothingElse) {
  const STableSceneParams params;
  CCameraReference reference;
  ASSERT_TRUE(reference.Make(SceneFrame(params, 1)));
  for (std::uint64_t frame : {2, 77, 500, 123456}) {
    const double d = reference.Displacement(SceneFrame(params, frame, 4));
    EXPECT_GE(d, 0) << frame;
    EXPECT_LT(d, 0.5) << frame;
  }
  const cv::Mat still = SceneFrame(params, 9, 4);
  EXPECT_FALSE(reference.HasMoved(Shifted(still, 1.0, -0.8)));
  EXPECT_TRUE(reference.HasMoved(Shifted(still, 0, 3)));

  STableSceneParams rolled = params;
  rolled.cameraRollDeg += 0.5;
  const double d = reference.Displacement(SceneFrame(rolled, 9, 4));
  EXPECT_GT(d, CCameraReference::kMovedPixels);
  EXPECT_LT(d, 10);
  // The same view at half the resolution is the same view, and the figure stays in pixels of
  // the frame compared.
  cv::Mat half;
  cv::resize(SceneFrame(rolled, 9), half, {640, 360}, 0, 0, cv::INTER_AREA);
  EXPECT_NEAR(reference.Displacement(half), d / 2, 0.6);
}

TEST(CameraReference, SurvivesTheFileAndRefusesWhatItCannotCompare) {
  veldrin_test::CScratchDir dir("reference");
  const std::string path = veldrin::CameraReferencePath(dir.Path().string() + "/", "Demo sheet");
  EXPECT_EQ(path, dir.Path().string() + "/Demo sheet.ref.png");

  STableSceneParams rolled;
  rolled.cameraRollDeg += 0.5;
  CCameraReference saved, loaded;
  ASSERT_TRUE(saved.Make(SceneFrame(STableSceneParams{}, 1)));
  ASSERT_TRUE(saved.Save(path));
  ASSERT_TRUE(loaded.Load(path));
  EXPECT_NEAR(loaded.Displacement(SceneFrame(rolled, 2)), saved.Displacement(SceneFrame(rolled, 2)),
              1e-6);

  // Nothing to compare with, or nothing to compare.
  CCameraReference empty;
  EXPECT_LT(empty.Displacement(SceneFrame(rolled, 2)), 0);
  EXPECT_FALSE(empty.HasMoved(SceneFrame(rolled, 2)));
  EXPECT_FALSE(empty.Save(path + ".other"));
  EXPECT_FALSE(empty.Make(cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(128))));
  EXPECT_LT(loaded.Displacement(cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(128))), 0);
  EXPECT_LT(loaded.Displacement(cv::Mat(720, 720, CV_8UC3, cv::Scalar::all(128))), 0);
  EXPECT_LT(loaded.Displacement(cv::Mat()), 0);

  EXPECT_FALSE(loaded.Load(path + ".missing"));
  EXPECT_TRUE(loaded.IsEmpty());
  std::ofstream(path, std::ios::trunc) << "not a picture";
  EXPECT_FALSE(loaded.Load(path));
}

}  // namespace
