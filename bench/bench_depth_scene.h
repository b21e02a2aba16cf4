#pragma once

// The depth benchmarks' camera: the simulated depth camera at 640x480 looking at a 50 mm box on
// the table, with the calibration between its depth and colour sides.

#include <chrono>
#include <vector>

#include "geometry/camera_model.h"
#include "video/realsense_video_engine.h"
#include "video/sim/simulated_depth_device.h"

namespace veldrin_bench {

constexpr int kDepthWidth = 640;
constexpr int kDepthHeight = 480;
constexpr std::size_t kDepthPixels = std::size_t{kDepthWidth} * kDepthHeight;

inline STableSceneParams BoxScene() {
  STableSceneParams params;
  params.box = SSceneBox{};
  return params;
}

class CBoxCamera {
 public:
  CBoxCamera() : m_device(BoxScene(), false) {
    SDepthStreamRequest request;
    request.colorWidth = kDepthWidth;
    request.colorHeight = kDepthHeight;
    m_device.Start(request);
    const CSceneWorld& world = m_device.World();
    m_calibration.depthIntrinsics = world.DepthIntrinsics();
    m_calibration.colorIntrinsics = world.ColorIntrinsics({kDepthWidth, kDepthHeight});
    m_calibration.depthToColor = world.DepthToColor();
    m_calibration.colorToDepth = world.ColorToDepth();
    m_rays.Update(m_calibration.depthIntrinsics);
  }
  // The next frame, converted as the engine converts it.
  void Next(SDepthFrameset& frameset, std::vector<SVertex>& cloud, cv::Mat& meters) {
    m_device.TryWaitForFrameset(std::chrono::milliseconds(100), frameset);
    cloud.resize(kDepthPixels);
    CKivRealSenseVideoEngine::DepthFrameToCloud(frameset.depth, m_rays, cloud.data());
    CKivRealSenseVideoEngine::DepthFrameToMeters(frameset.depth, meters);
  }
  const SDepthColorCalibration& Calibration() const { return m_calibration; }
  const CPixelRays& Rays() const { return m_rays; }

 private:
  CSimulatedDepthDevice m_device;
  SDepthColorCalibration m_calibration;
  CPixelRays m_rays;
};

}  // namespace veldrin_bench
