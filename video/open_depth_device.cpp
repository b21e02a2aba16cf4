#include "video/depth_device.h"

#include "video/realsense/realsense_depth_device.h"
#include "video/sim/simulated_depth_device.h"
#include "video/table_scene.h"

// The one place that knows both back-ends; without the vendor library its entry points throw
// veldrin::kNoRealSenseSupport (no_realsense.cpp).
std::unique_ptr<CDepthDevice> veldrin::OpenDepthDevice(const SDeviceLocator& locator) {
  if (locator.kind == SDeviceLocator::EKind::kVirtual) {
    if (locator.source.starts_with(veldrin::kRecordingSourcePrefix)) {
      return veldrin::OpenDepthRecording(
          locator.source.substr(veldrin::kRecordingSourcePrefix.size()));
    }
    if (locator.source != "scene:table") {
      throw CNoDepthDeviceError("the camera source " + locator.source + " has no depth");
    }
    STableSceneParams params;
    std::string error;
    if (!veldrin::CurrentTableSceneParams(params, error)) throw CNoDepthDeviceError(error);
    return std::make_unique<CSimulatedDepthDevice>(params);
  }
  if (locator.kind == SDeviceLocator::EKind::kV4L2 || !veldrin::HasRealSenseSupport()) {
    return veldrin::OpenRealSenseDepthDevice(locator.serial);
  }
  throw CNoDepthDeviceError("no RealSense device connected");
}

std::unique_ptr<CDepthDevice> veldrin::OpenDepthRecording(const std::string& file, bool bPaced) {
  return veldrin::OpenRealSenseRecording(file, bPaced);
}
