#include "workstation/camera_watch.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "testing/scratch_dir.h"
#include "video/table_scene.h"

namespace {

cv::Mat Frame(double rollDeg, std::uint64_t number) {
  STableSceneParams params;
  params.cameraRollDeg += rollDeg;
  CTableScene scene(params);
  cv::Mat picture;
  scene.Render(scene.NativeSize(), number, picture);
  return picture;
}

TEST(CameraWatch, WarnsAboutTheCalibrationInUseOnlyWhenTheCameraMoved) {
  veldrin_test::CScratchDir scratch("watch");
  const std::string dir = scratch.Path().string() + "/";
  CCameraWatch watch;
  std::string error;
  ASSERT_TRUE(watch.Saved(dir, "Demo sheet", Frame(0, 1), error));
  EXPECT_TRUE(std::filesystem::exists(dir + "Demo sheet.ref.png"));
  EXPECT_EQ(watch.Check(Frame(0, 250)), "");
  EXPECT_EQ(watch.Check(Frame(0.5, 251)),
            "The camera has moved since \"Demo sheet\" was saved: check the corners.");

  // Chosen again later (after a restart): the reference on disk is watched.
  CCameraWatch later;
  later.Applied(dir, "Demo sheet");
  EXPECT_TRUE(later.IsWatching());
  EXPECT_NE(later.Check(Frame(0.5, 3)), "");
  later.Clear();
  EXPECT_EQ(later.Check(Frame(0.5, 3)), "");
  // A calibration saved before references existed has none: nothing is said.
  later.Applied(dir, "Older");
  EXPECT_FALSE(later.IsWatching());
  EXPECT_EQ(later.Check(Frame(0.5, 3)), "");

  // Saved again without a usable picture: the old reference must not outlive it.
  EXPECT_FALSE(watch.Saved(dir, "Demo sheet", cv::Mat(), error));
  EXPECT_EQ(error, "");  // nothing failed to be written
  EXPECT_FALSE(std::filesystem::exists(dir + "Demo sheet.ref.png"));
  EXPECT_EQ(watch.Check(Frame(0.5, 3)), "");

  // A reference that cannot be written names its file.
  std::filesystem::create_directory(dir + "Blocked.ref.png");
  EXPECT_FALSE(watch.Saved(dir, "Blocked", Frame(0, 1), error));
  EXPECT_NE(error.find(dir + "Blocked.ref.png"), std::string::npos) << error;
  EXPECT_FALSE(watch.IsWatching());
}

}  // namespace
