#include "video/device_list.h"

#include <algorithm>
#include <cstdlib>

#include "video/v4l2_devices.h"
#include "video/virtual_camera.h"

std::unique_ptr<CDeviceEnumerator> veldrin::CreateDeviceEnumerator() {
  if (const char* cameras = std::getenv("VELDRIN_CAMERAS")) {
    return std::make_unique<CVirtualDeviceEnumerator>(cameras);
  }
  return std::make_unique<CV4L2DeviceEnumerator>();
}

namespace veldrin {

std::string MakeSlotName(const std::string& name, const std::string& previousSlotName, int index) {
  if (name == previousSlotName) return name + "_" + std::to_string(index);
  return name;
}

int FillDeviceSlots(const std::vector<SFoundDevice>& found, VIDEO_DEVICE_DATA* slots,
                    SDeviceLocator* locators) {
  if (found.empty()) return 0;
  for (int i = 0; i < MAX_VIDEO_DEVICES; ++i) {
    slots[i] = VIDEO_DEVICE_DATA{};
    locators[i] = SDeviceLocator{};
  }
  const int count = static_cast<int>(std::min<size_t>(found.size(), MAX_VIDEO_DEVICES));
  for (int i = 0; i < count; ++i) {
    // Slot 0 compares with its own emptied name, so an empty first name gets "_0".
    const std::string& previous = slots[std::max(i - 1, 0)].strName;
    slots[i].strName = MakeSlotName(found[i].name, previous, i);
    slots[i].resolutions = found[i].resolutions;
    locators[i] = found[i].locator;
  }
  return count;
}

int IsRealSenseSlot(const VIDEO_DEVICE_DATA* slots, unsigned int count, int index) {
  if (static_cast<unsigned int>(index) >= count) return -1;
  return slots[index].strName.find("RealSense") != std::string::npos ? 1 : 0;
}

}  // namespace veldrin
