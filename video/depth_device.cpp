#include "video/depth_device.h"

#include "video/sim/simulated_depth_device.h"
#include "video/table_scene.h"
#ifdef VELDRIN_HAVE_REALSENSE2
#include "video/realsense/realsense_depth_device.h"
#endif

std::unique_ptr<CDepthDevice> OpenDepthDevice(const DEVICE_LOCATOR& locator) {
  if (locator.kind == DEVICE_LOCATOR::EKind::Virtual) {
    if (locator.strSource != "scene:table") {
      throw CNoDepthDeviceError("the camera source " + locator.strSource + " has no depth");
    }
    TABLE_SCENE_PARAMS params;
    std::string error;
    if (!veldrin::CurrentTableSceneParams(params, error)) throw CNoDepthDeviceError(error);
    return std::make_unique<CSimulatedDepthDevice>(params);
  }
#ifdef VELDRIN_HAVE_REALSENSE2
  if (locator.kind == DEVICE_LOCATOR::EKind::V4L2) return OpenRealSenseDepthDevice();
#endif
  throw CNoDepthDeviceError("no RealSense device connected");
}
