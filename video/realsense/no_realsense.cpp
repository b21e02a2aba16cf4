// The vendor back-end's entry points in a build without librealsense2: each says so.
#include "video/depth_recording.h"
#include "video/realsense/realsense_depth_device.h"

bool veldrin::HasRealSenseSupport() { return false; }

std::unique_ptr<CDepthDevice> veldrin::OpenRealSenseDepthDevice(const std::string&) {
  throw CNoDepthDeviceError(veldrin::kNoRealSenseSupport);
}

std::unique_ptr<CDepthDevice> veldrin::OpenRealSenseRecording(const std::string&, bool) {
  throw CNoDepthDeviceError(veldrin::kNoRealSenseSupport);
}

// No recording can be read: the source stays closed (unavailable), as a missing file's does.
std::unique_ptr<CFrameSource> veldrin::OpenRealSenseRecordingColor(const std::string&) {
  return nullptr;
}

void veldrin::RecordTableScene(const STableSceneParams&, const std::string&, int) {
  throw CNoDepthDeviceError(veldrin::kNoRealSenseSupport);
}

void veldrin::RecordDepthCamera(const std::string&, const std::string&, int) {
  throw CNoDepthDeviceError(veldrin::kNoRealSenseSupport);
}
