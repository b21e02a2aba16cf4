// The height-true worker on a measured sheet: what it rebuilds, and when.

#include "workstation/height_true_warp.h"

#include <gtest/gtest.h>

#include <chrono>

#include "depth/media_rig_test_fixture.h"
#include "testing/waiting.h"
#include "workstation/rectification.h"

namespace {

using namespace std::chrono_literals;

using veldrin_test::WaitUntil;

TEST(HeightTrueWarpTest, RebuildsForNewHeightsAndGeometryButNotForNoise) {
  const SSceneBox box{{90, 70, 40}, {10, -5}, 20};
  veldrin_test::CMediaRig rig({box}, cv::Size(640, 480));
  CRectification rectification;
  rectification.ApplyCameraSettings(640, 480);
  ASSERT_TRUE(rectification.SetCorners(rig.Corners()));
  rectification.UpdateMediaSize(297, 210);
  const CTableMeasure& measure = rig.Measure();
  CHeightTrueWarp warp(
      rectification, rig.Calibration(), [&measure] { return measure.Published(); },
      [] { return 5.0; });

  // The objects come whether the picture is on or not; the tables only when it is.
  ASSERT_TRUE(WaitUntil([&] { return warp.Objects() != nullptr; }));
  ASSERT_EQ(warp.Objects()->size(), 1u);
  EXPECT_NEAR(warp.Objects()->front().heightMm, 40, 2);
  cv::Mat out;
  EXPECT_FALSE(warp.Rectify(rig.Picture(), out));
  EXPECT_EQ(warp.TableBuilds(), 0u);
  warp.SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return warp.TableBuilds() == 1; }));
  ASSERT_TRUE(warp.Rectify(rig.Picture(), out));
  EXPECT_EQ(out.size(), rectification.GetOutputSize());
  // A frame of another size is not one the tables were made for.
  EXPECT_FALSE(warp.Rectify(cv::Mat(240, 320, CV_8UC3), out));

  // New measurements of the same scene differ by their noise only: no rebuild.
  rig.MoveBoxes({box});
  EXPECT_TRUE(veldrin_test::NothingHappensFor(500ms, [&] { return warp.TableBuilds() != 1; }));
  // The box grows: rebuilt (as the average follows, perhaps more than once), and the objects
  // follow.
  SSceneBox taller = box;
  taller.sizeMm[2] = 45;
  rig.MoveBoxes({taller});
  ASSERT_TRUE(WaitUntil([&] { return warp.TableBuilds() >= 2; }));
  ASSERT_TRUE(WaitUntil([&] { return std::abs(warp.Objects()->front().heightMm - 45) < 2; }));
  // Another media size: new tables, from the same measurement. The average settles first, so
  // that the only rebuild left to come is the media size's.
  std::uint64_t builds = warp.TableBuilds();
  while (!veldrin_test::NothingHappensFor(500ms, [&] { return warp.TableBuilds() != builds; })) {
    builds = warp.TableBuilds();
  }
  rectification.UpdateMediaSize(300, 210);
  ASSERT_TRUE(WaitUntil([&] { return warp.TableBuilds() == builds + 1; }));
  EXPECT_EQ(warp.MediaSize(), cv::Size2d(300, 210));
}

}  // namespace
