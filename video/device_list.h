#pragma once

#include <opencv2/core/types.hpp>

#include <memory>
#include <string>
#include <vector>

#include "video/device_enumerator.h"
#include "video/device_locator.h"

inline constexpr int MAX_VIDEO_DEVICES = 5;

// One device slot: the display name (made unique against the previous slot) and the sizes the
// device offers, in the platform's order, duplicates kept (x = width, y = height).
struct VIDEO_DEVICE_DATA {
  std::string strName;
  std::vector<cv::Point> resolutions;
};

namespace veldrin {

// Virtual cameras when VELDRIN_CAMERAS is set (even to nothing), V4L2 otherwise.
std::unique_ptr<CDeviceEnumerator> CreateDeviceEnumerator();

// The name stored in slot `index`: "%s_%d" of name and index when the name equals the name in
// the previous slot (for slot 0, its own emptied name), the plain name otherwise.
std::string MakeSlotName(const std::string& name, const std::string& previousSlotName, int index);

// Writes the found devices into the slots (names emptied first, at most MAX_VIDEO_DEVICES;
// later devices are ignored) and returns the count. An empty list leaves the slots untouched.
int FillDeviceSlots(const std::vector<SFoundDevice>& found, VIDEO_DEVICE_DATA* slots,
                    SDeviceLocator* locators);

// 1 / 0 / -1 as CKivVideoEngine::IsRealSense, on a slot array holding `count` devices.
int IsRealSenseSlot(const VIDEO_DEVICE_DATA* slots, unsigned int count, int index);

}  // namespace veldrin
