// The media frame on the simulated camera's table against the world.

#include "depth/media_height_map.h"

#include <gtest/gtest.h>

#include "depth/media_rig_test_fixture.h"

namespace {

// Auto calibration's corners, raised onto a box top from the colour corners themselves, land
// within a pixel of where the colour camera sees the points above the corners' table points.
TEST(MediaHeightMapTest, RaisedCornersAreSeenWhereTheWorldPutsThem) {
  const cv::Size size(1280, 720);
  const veldrin_test::CMediaRig rig({SSceneBox{{90, 70, 50}, {10, -5}, 20}}, size);
  const SDepthColorCalibration& c = rig.Calibration();
  const auto latest = rig.Measure().Published();
  std::array<cv::Vec3d, 4> rays;
  for (std::size_t i = 0; i < 4; ++i)
    rays[i] = veldrin::ColorPixelRay(c.colorIntrinsics, rig.Corners()[i]);
  std::array<cv::Vec3d, 4> raised;
  ASSERT_TRUE(veldrin::RaisedCornerPoints(c, latest->plane, rays, 50.0, raised));
  const CSceneWorld& world = rig.World();
  for (std::size_t i = 0; i < 4; ++i) {
    // Truth: the corner's line of sight meets the table top (z = 0), and 50 mm above that point.
    const auto toTable = [&](float depth) {
      return world.DepthToTable(veldrin::TransformPointToPoint(
          c.colorToDepth,
          veldrin::DeprojectPixelToPoint(c.colorIntrinsics, rig.Corners()[i], depth)));
    };
    const cv::Point3d a = toTable(0.4f), b = toTable(0.9f);
    const cv::Point3d onTable = a + (a.z / (a.z - b.z)) * (b - a);
    const cv::Point2f truth = world.TableToColorPixel(onTable + cv::Point3d(0, 0, 50), size);
    const cv::Point3f p(static_cast<float>(raised[i][0]), static_cast<float>(raised[i][1]),
                        static_cast<float>(raised[i][2]));
    const cv::Point2f seen = veldrin::ProjectPointToPixel(c.colorIntrinsics, p);
    EXPECT_LT(cv::norm(seen - truth), 1.0) << i << ": " << seen << " truth " << truth;
  }
}

}  // namespace
