#include "video/depth_device.h"

#include "video/depth_recording.h"
#include "video/sim/simulated_depth_device.h"
#include "video/table_scene.h"
#ifdef VELDRIN_HAVE_REALSENSE2
#include "video/realsense/realsense_depth_device.h"
#endif

std::unique_ptr<CDepthDevice> OpenDepthDevice(const DEVICE_LOCATOR& locator) {
  if (locator.kind == DEVICE_LOCATOR::EKind::Virtual) {
    if (locator.strSource.starts_with(kRecordingSourcePrefix)) {
      return OpenDepthRecording(locator.strSource.substr(kRecordingSourcePrefix.size()));
    }
    if (locator.strSource != "scene:table") {
      throw CNoDepthDeviceError("the camera source " + locator.strSource + " has no depth");
    }
    TABLE_SCENE_PARAMS params;
    std::string error;
    if (!veldrin::CurrentTableSceneParams(params, error)) throw CNoDepthDeviceError(error);
    return std::make_unique<CSimulatedDepthDevice>(params);
  }
#ifdef VELDRIN_HAVE_REALSENSE2
  if (locator.kind == DEVICE_LOCATOR::EKind::V4L2) {
    return OpenRealSenseDepthDevice(locator.strSerial);
  }
  throw CNoDepthDeviceError("no RealSense device connected");
#else
  throw CNoDepthDeviceError(kNoRealSenseSupport);
#endif
}

std::unique_ptr<CDepthDevice> OpenDepthRecording(const std::string& file, bool bPaced) {
#ifdef VELDRIN_HAVE_REALSENSE2
  return OpenRealSenseRecording(file, bPaced);
#else
  (void)file;
  (void)bPaced;
  throw CNoDepthDeviceError(kNoRealSenseSupport);
#endif
}

bool HasRealSenseSupport() {
#ifdef VELDRIN_HAVE_REALSENSE2
  return true;
#else
  return false;
#endif
}

#ifndef VELDRIN_HAVE_REALSENSE2
void RecordTableScene(const TABLE_SCENE_PARAMS&, const std::string&, int) {
  throw CNoDepthDeviceError(kNoRealSenseSupport);
}
void RecordDepthCamera(const std::string&, const std::string&, int) {
  throw CNoDepthDeviceError(kNoRealSenseSupport);
}
#endif
