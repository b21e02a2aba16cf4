#pragma once

#include <memory>
#include <string>

#include "video/depth_device.h"
#include "video/frame_source.h"

// Sessions through librealsense2 (built only when the library is found). The library's errors
// come out as our CDepthDeviceError kinds, with the library's text.

namespace veldrin {

// A connected camera: the one with `serial`; with an empty serial, or when no camera has it and
// exactly one is connected, that one.
std::unique_ptr<CDepthDevice> OpenRealSenseDepthDevice(const std::string& serial);
// A recording (.bag) played back in a loop, as its camera streamed it; unpaced, as fast as its
// frames are asked for.
std::unique_ptr<CDepthDevice> OpenRealSenseRecording(const std::string& file, bool bPaced);
// The colour pictures of a recording (8-bit BGR, its recorded size), looped; a closed source
// when the file holds no readable colour stream.
std::unique_ptr<CFrameSource> OpenRealSenseRecordingColor(const std::string& file);

}  // namespace veldrin
