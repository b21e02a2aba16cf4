#pragma once

#include <memory>

#include "video/depth_device.h"

// A session on the first RealSense camera through librealsense2 (built only when the library is
// found). The library's errors come out as our CDepthDeviceError kinds.
std::unique_ptr<CDepthDevice> OpenRealSenseDepthDevice();
