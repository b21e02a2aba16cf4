#pragma once

// The depth side on the simulated camera with several boxes on the sheet, measured against the
// plane stored from the empty table, and the colour picture of the same scene: the world gives
// the truth of every media position and height.

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <cmath>
#include <vector>

#include "depth/media_height_map.h"
#include "depth/table_measure.h"
#include "video/realsense_video_engine.h"
#include "video/sim/simulated_depth_device.h"
#include "video/table_scene.h"

namespace veldrin_test {

class CMediaRig {
 public:
  static constexpr int kSettleFrames = 150;

  CMediaRig(const std::vector<SSceneBox>& boxes, cv::Size colorSize)
      : m_colorSize(colorSize), m_device(m_params, false) {
    SDepthStreamRequest request;
    request.colorWidth = colorSize.width;
    request.colorHeight = colorSize.height;
    m_device.Start(request);
    const CSceneWorld& world = m_device.World();
    m_calibration.depthIntrinsics = world.DepthIntrinsics();
    m_calibration.colorIntrinsics = world.ColorIntrinsics(colorSize);
    m_calibration.depthToColor = world.DepthToColor();
    m_calibration.colorToDepth = world.ColorToDepth();
    m_calibration.depthScale = m_device.GetDepthScale();
    m_rays.Update(m_calibration.depthIntrinsics);
    m_corners = CTableScene(m_params).SheetCorners(colorSize);
    // "Save Plane" on the empty table, then the boxes.
    veldrin::SetLiveSceneBoxes({});
    Settle();
    Plane3D plane;
    EXPECT_TRUE(m_measure.CurrentPlaneCorners(plane));
    m_measure.SetPlaneCorners(plane);
    veldrin::SetLiveSceneBoxes(boxes);
    Settle();
    CTableScene(m_params).Render(colorSize, 0, m_picture);
    veldrin::ResetLiveScene();
  }

  const SDepthColorCalibration& Calibration() const { return m_calibration; }
  const std::vector<cv::Point2f>& Corners() const { return m_corners; }
  const cv::Mat& Picture() const { return m_picture; }
  const CTableMeasure& Measure() const { return m_measure; }
  const CSceneWorld& World() const { return m_device.World(); }
  double MediaWidth() const { return m_params.sheetWidthMm; }
  double MediaHeight() const { return m_params.sheetHeightMm; }

  // The boxes become `boxes`, measured until the average has settled.
  void MoveBoxes(const std::vector<SSceneBox>& boxes) {
    veldrin::SetLiveSceneBoxes(boxes);
    Settle();
    veldrin::ResetLiveScene();
  }

  // A table point's place on the media: from the sheet's top-left corner, x along its top edge,
  // y down towards its bottom edge.
  cv::Point2d TableToMedia(double x, double y) const {
    const double a = m_params.sheetRotationDeg * CV_PI / 180.0;
    const double dx = x - m_params.sheetOffsetXMm, dy = y - m_params.sheetOffsetYMm;
    const double u = std::cos(a) * dx + std::sin(a) * dy, v = -std::sin(a) * dx + std::cos(a) * dy;
    return {u + m_params.sheetWidthMm / 2, m_params.sheetHeightMm / 2 - v};
  }

 private:
  void Settle() {
    SDepthFrameset frameset;
    for (int i = 0; i < kSettleFrames; ++i) {
      ASSERT_TRUE(m_device.TryWaitForFrameset(std::chrono::milliseconds(100), frameset));
      const SDepthDeviceFrame& depth = frameset.depth;
      const auto* data = static_cast<const std::uint16_t*>(depth.data);
      m_cloud.resize(static_cast<size_t>(depth.width) * depth.height);
      CKivRealSenseVideoEngine::DepthFrameToCloud(depth, m_rays, m_cloud.data());
      CKivRealSenseVideoEngine::DepthFrameToMeters(depth, m_meters);
      int d[8];
      for (std::size_t c = 0; c < 4; ++c) {
        veldrin::ColorPixelToDepthPixel(m_calibration, data, static_cast<int>(m_corners[c].x),
                                        static_cast<int>(m_corners[c].y), d[2 * c], d[2 * c + 1]);
      }
      m_measure.UpdateDepthView(m_meters, m_cloud.data(), d[0], d[1], d[2], d[3], d[4], d[5], d[6],
                                d[7], nullptr);
    }
  }

  cv::Size m_colorSize;
  STableSceneParams m_params;
  CSimulatedDepthDevice m_device;
  SDepthColorCalibration m_calibration;
  CPixelRays m_rays;
  std::vector<cv::Point2f> m_corners;
  std::vector<SVertex> m_cloud;
  cv::Mat m_meters;
  cv::Mat m_picture;
  CTableMeasure m_measure;
};

// Three marked boxes of different heights across the sheet; the lowest, 1.5 mm, stands for the
// table itself.
inline std::vector<SSceneBox> ThreeMarkedBoxes() {
  SSceneBox tall{{80, 60, 60}, {-80, 40}, 0};
  tall.mark = SSceneMark{20, {230, 20, 20}};
  SSceneBox middle{{70, 50, 25}, {70, -40}, 10};
  middle.mark = SSceneMark{16, {20, 200, 20}};
  SSceneBox flat{{50, 50, 1.5}, {60, 55}, 0};
  flat.mark = SSceneMark{16, {20, 20, 230}};
  return {tall, middle, flat};
}

}  // namespace veldrin_test
