#pragma once

#include <opencv2/core/types.hpp>

#include <string>
#include <vector>

#include "video/device_locator.h"

// One device as a back-end reports it, before the slot rules apply.
struct SFoundDevice {
  std::string name;
  std::vector<cv::Point> resolutions;
  SDeviceLocator locator;
};

// A source of the device list: V4L2 nodes or virtual cameras. Chosen at run time by
// veldrin::CreateDeviceEnumerator (video/device_list.h).
class CDeviceEnumerator {
 public:
  virtual ~CDeviceEnumerator() = default;
  // The devices in index order; empty when there are none.
  virtual std::vector<SFoundDevice> Enumerate() = 0;
};
