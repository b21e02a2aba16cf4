#pragma once

#include <opencv2/core/types.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "video/device_enumerator.h"

// What the V4L2 queries of one node returned, kept as plain data so the listing rules can be
// checked on recorded answers without a device.
struct SV4L2FrameSize {
  bool discrete = true;  // stepwise and continuous ranges carry no fixed size
  int width = 0;
  int height = 0;
  int intervals = 0;  // discrete frame intervals reported; 0 when the driver lists none
};

struct SV4L2FormatInfo {
  std::uint32_t pixelFormat = 0;  // fourcc
  std::vector<SV4L2FrameSize> sizes;
};

struct SV4L2DeviceInfo {
  std::string card;
  std::uint32_t capabilities = 0;  // the node's own capabilities (device_caps when offered)
  std::vector<SV4L2FormatInfo> formats;
};

// The ioctl of one open node: (request, argument) -> 0 or -1 with errno set.
using V4L2Ioctl = std::function<int(unsigned long request, void* arg)>;

namespace veldrin {

bool IsVideoCaptureNode(std::uint32_t capabilities);
bool Is16BitPixelFormat(std::uint32_t fourcc);
// A depth camera's depth or infrared node: it offers a depth format or an infrared pair, or only
// grey formats. Such a node is no colour camera and is not listed (its camera's colour node is).
bool IsDepthOrInfraredNode(const std::vector<SV4L2FormatInfo>& formats);
// The serial number of the USB device a node belongs to, from sysfs under `sysRoot` ("/sys");
// empty when it has none.
std::string UsbSerialOfNode(const std::string& sysRoot, int node);

// The sizes a device lists: discrete sizes of its 16-bit formats, once per frame interval
// (once when the driver gives none), in the driver's order, duplicates kept.
std::vector<cv::Point> ListV4L2Resolutions(const std::vector<SV4L2FormatInfo>& formats);

// Walks QUERYCAP, ENUM_FMT, ENUM_FRAMESIZES and ENUM_FRAMEINTERVALS; nullopt when QUERYCAP fails.
[[nodiscard]] std::optional<SV4L2DeviceInfo> QueryV4L2Device(const V4L2Ioctl& ioctl);

// Node numbers of /dev/videoN entries in `names`, ascending.
std::vector<int> VideoNodeNumbers(const std::vector<std::string>& names);

}  // namespace veldrin

// Capture nodes under /dev, in node-number order.
class CV4L2DeviceEnumerator : public CDeviceEnumerator {
 public:
  std::vector<SFoundDevice> Enumerate() override;
};
