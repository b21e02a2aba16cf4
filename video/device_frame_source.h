#pragma once

#include <memory>

#include "video/device_locator.h"
#include "video/frame_source.h"

namespace veldrin {

// Opens what the locator names: a V4L2 node through OpenCV's capture, or a virtual source. Never
// null: a device that does not open gives a closed source.
std::unique_ptr<CFrameSource> OpenFrameSource(const SDeviceLocator& locator);

}  // namespace veldrin
