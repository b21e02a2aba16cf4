// The vendor back-end's entry points in a build without librealsense2: each says so.
#include "video/depth_recording.h"
#include "video/realsense/realsense_depth_device.h"

bool HasRealSenseSupport() { return false; }

std::unique_ptr<CDepthDevice> OpenRealSenseDepthDevice(const std::string&) {
  throw CNoDepthDeviceError(kNoRealSenseSupport);
}

std::unique_ptr<CDepthDevice> OpenRealSenseRecording(const std::string&, bool) {
  throw CNoDepthDeviceError(kNoRealSenseSupport);
}

// No recording can be read: the source stays closed (unavailable), as a missing file's does.
std::unique_ptr<CFrameSource> OpenRealSenseRecordingColor(const std::string&) { return nullptr; }

void RecordTableScene(const STableSceneParams&, const std::string&, int) {
  throw CNoDepthDeviceError(kNoRealSenseSupport);
}

void RecordDepthCamera(const std::string&, const std::string&, int) {
  throw CNoDepthDeviceError(kNoRealSenseSupport);
}
