#include "video/depth_device.h"

#include "video/realsense/realsense_depth_device.h"
#include "video/sim/simulated_depth_device.h"
#include "video/table_scene.h"

// The one place that knows both back-ends; without the vendor library its entry points throw
// kNoRealSenseSupport (no_realsense.cpp).
std::unique_ptr<CDepthDevice> OpenDepthDevice(const SDeviceLocator& locator) {
  if (locator.kind == SDeviceLocator::EKind::kVirtual) {
    if (locator.source.starts_with(kRecordingSourcePrefix)) {
      return OpenDepthRecording(locator.source.substr(kRecordingSourcePrefix.size()));
    }
    if (locator.source != "scene:table") {
      throw CNoDepthDeviceError("the camera source " + locator.source + " has no depth");
    }
    STableSceneParams params;
    std::string error;
    if (!veldrin::CurrentTableSceneParams(params, error)) throw CNoDepthDeviceError(error);
    return std::make_unique<CSimulatedDepthDevice>(params);
  }
  if (locator.kind == SDeviceLocator::EKind::kV4L2 || !HasRealSenseSupport()) {
    return OpenRealSenseDepthDevice(locator.serial);
  }
  throw CNoDepthDeviceError("no RealSense device connected");
}

std::unique_ptr<CDepthDevice> OpenDepthRecording(const std::string& file, bool bPaced) {
  return OpenRealSenseRecording(file, bPaced);
}
