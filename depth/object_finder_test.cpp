// Objects found on the simulated camera's sheet against the world's boxes.

#include "depth/object_finder.h"

#include <gtest/gtest.h>

#include "depth/media_rig_test_fixture.h"

namespace {

using veldrin_test::CMediaRig;

// The objects of a measurement over the rig's sheet.
std::vector<SMediaObject> Objects(const CMediaRig& rig) {
  const auto latest = rig.Measure().Published();
  SMediaFrame frame;
  std::array<cv::Vec3d, 4> rays;
  for (std::size_t i = 0; i < 4; ++i) {
    rays[i] = veldrin::ColorPixelRay(rig.Calibration().colorIntrinsics, rig.Corners()[i]);
  }
  EXPECT_TRUE(veldrin::MakeMediaFrame(rig.Calibration(), latest->plane, rays, rig.MediaWidth(),
                                      rig.MediaHeight(), frame));
  SMediaHeightMap map;
  EXPECT_TRUE(veldrin::BuildMediaHeightMap(*latest, rig.Calibration().depthIntrinsics, frame, map));
  return veldrin::FindObjects(map, 4.0);
}

TEST(ObjectFinderTest, FindsEachBoxStandingAboveTheToleranceWhereItStands) {
  const std::vector<SSceneBox> boxes = veldrin_test::ThreeMarkedBoxes();
  const CMediaRig rig(boxes, cv::Size(640, 480));
  const std::vector<SMediaObject> objects = Objects(rig);
  // The 1.5 mm box is below the least object height; the others come largest first.
  ASSERT_EQ(objects.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const SSceneBox& box = boxes[i];
    const cv::Point2d centre = rig.TableToMedia(box.centreMm[0], box.centreMm[1]);
    EXPECT_NEAR(objects[i].centreMm[0], centre.x, 2.0);
    EXPECT_NEAR(objects[i].centreMm[1], centre.y, 2.0);
    EXPECT_NEAR(objects[i].heightMm, box.sizeMm[2], 2.0);
    const double area = box.sizeMm[0] * box.sizeMm[1];
    EXPECT_NEAR(objects[i].areaMm2, area, 0.1 * area);
    // The outline goes round the centre, within the box's reach.
    ASSERT_GE(objects[i].outlineMm.size(), 4u);
    for (const auto& p : objects[i].outlineMm) {
      EXPECT_LT(std::hypot(p[0] - centre.x, p[1] - centre.y),
                std::hypot(box.sizeMm[0], box.sizeMm[1]) / 2 + 4);
    }
  }
}

TEST(ObjectFinderTest, AnEmptyTableHasNoObject) {
  const CMediaRig rig({}, cv::Size(640, 480));
  EXPECT_TRUE(Objects(rig).empty());
}

}  // namespace
