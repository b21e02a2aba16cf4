#include "video/v4l2_devices.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace veldrin {

bool IsVideoCaptureNode(std::uint32_t capabilities) {
  return (capabilities & V4L2_CAP_VIDEO_CAPTURE) != 0;
}

bool Is16BitPixelFormat(std::uint32_t fourcc) {
  // Packed single-plane formats with 16 bits per pixel; planar 4:2:2 and compressed formats
  // are not listed.
  static constexpr std::uint32_t kFormats[] = {
      V4L2_PIX_FMT_YUYV,    V4L2_PIX_FMT_YYUV,    V4L2_PIX_FMT_YVYU,     V4L2_PIX_FMT_UYVY,
      V4L2_PIX_FMT_VYUY,    V4L2_PIX_FMT_YUV444,  V4L2_PIX_FMT_YUV555,   V4L2_PIX_FMT_YUV565,
      V4L2_PIX_FMT_RGB565,  V4L2_PIX_FMT_RGB565X, V4L2_PIX_FMT_RGB555,   V4L2_PIX_FMT_RGB555X,
      V4L2_PIX_FMT_ARGB555, V4L2_PIX_FMT_XRGB555, V4L2_PIX_FMT_ARGB555X, V4L2_PIX_FMT_XRGB555X,
      V4L2_PIX_FMT_RGBA555, V4L2_PIX_FMT_RGBX555, V4L2_PIX_FMT_ABGR555,  V4L2_PIX_FMT_XBGR555,
      V4L2_PIX_FMT_BGRA555, V4L2_PIX_FMT_BGRX555, V4L2_PIX_FMT_RGB444,   V4L2_PIX_FMT_ARGB444,
      V4L2_PIX_FMT_XRGB444, V4L2_PIX_FMT_RGBA444, V4L2_PIX_FMT_RGBX444,  V4L2_PIX_FMT_ABGR444,
      V4L2_PIX_FMT_XBGR444, V4L2_PIX_FMT_BGRA444, V4L2_PIX_FMT_BGRX444,  V4L2_PIX_FMT_Y16,
      V4L2_PIX_FMT_Y16_BE,  V4L2_PIX_FMT_Z16,
  };
  return std::find(std::begin(kFormats), std::end(kFormats), fourcc) != std::end(kFormats);
}

bool IsDepthOrInfraredNode(const std::vector<SV4L2FormatInfo>& formats) {
  // Not every kernel names the depth camera formats; their codes are fixed.
  static constexpr std::uint32_t kDepth[] = {
      v4l2_fourcc('Z', '1', '6', ' '), v4l2_fourcc('Y', '8', 'I', ' '),
      v4l2_fourcc('Y', '1', '2', 'I'), v4l2_fourcc('I', 'N', 'Z', 'I'),
      v4l2_fourcc('I', 'N', 'V', 'Z'), v4l2_fourcc('C', 'N', 'F', '4'),
  };
  static constexpr std::uint32_t kGrey[] = {
      V4L2_PIX_FMT_GREY, V4L2_PIX_FMT_Y10, V4L2_PIX_FMT_Y12, V4L2_PIX_FMT_Y16, V4L2_PIX_FMT_Y16_BE,
  };
  const auto in = [](const auto& list, std::uint32_t fourcc) {
    return std::find(std::begin(list), std::end(list), fourcc) != std::end(list);
  };
  bool allGrey = !formats.empty();
  for (const SV4L2FormatInfo& format : formats) {
    if (in(kDepth, format.pixelFormat)) return true;
    allGrey = allGrey && in(kGrey, format.pixelFormat);
  }
  return allGrey;
}

std::string UsbSerialOfNode(const std::string& sysRoot, int node) {
  // The node's device is a USB interface; the serial number belongs to the device above it.
  const std::filesystem::path path = std::filesystem::path(sysRoot) / "class/video4linux" /
                                     ("video" + std::to_string(node)) / "device/../serial";
  std::ifstream file(path);
  std::string serial;
  if (!std::getline(file, serial)) return {};
  while (!serial.empty() && std::isspace(static_cast<unsigned char>(serial.back()))) {
    serial.pop_back();
  }
  return serial;
}

std::vector<cv::Point> ListV4L2Resolutions(const std::vector<SV4L2FormatInfo>& formats) {
  std::vector<cv::Point> list;
  for (const SV4L2FormatInfo& format : formats) {
    if (!Is16BitPixelFormat(format.pixelFormat)) continue;
    for (const SV4L2FrameSize& size : format.sizes) {
      if (!size.discrete || size.width <= 0 || size.height <= 0) continue;
      const int entries = std::max(size.intervals, 1);
      for (int k = 0; k < entries; ++k) list.emplace_back(size.width, size.height);
    }
  }
  return list;
}

namespace {

int CountFrameIntervals(const V4L2Ioctl& ioctl, std::uint32_t fourcc, int width, int height) {
  int count = 0;
  for (std::uint32_t index = 0;; ++index) {
    v4l2_frmivalenum interval{};
    interval.index = index;
    interval.pixel_format = fourcc;
    interval.width = static_cast<std::uint32_t>(width);
    interval.height = static_cast<std::uint32_t>(height);
    if (ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &interval) != 0) break;
    ++count;
    // A range is one entry: it has no list of rates to repeat the size for.
    if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE) break;
  }
  return count;
}

std::vector<SV4L2FrameSize> QueryFrameSizes(const V4L2Ioctl& ioctl, std::uint32_t fourcc) {
  std::vector<SV4L2FrameSize> sizes;
  for (std::uint32_t index = 0;; ++index) {
    v4l2_frmsizeenum frame{};
    frame.index = index;
    frame.pixel_format = fourcc;
    if (ioctl(VIDIOC_ENUM_FRAMESIZES, &frame) != 0) break;
    SV4L2FrameSize size;
    if (frame.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
      size.width = static_cast<int>(frame.discrete.width);
      size.height = static_cast<int>(frame.discrete.height);
      size.intervals = CountFrameIntervals(ioctl, fourcc, size.width, size.height);
      sizes.push_back(size);
    } else {
      size.discrete = false;
      size.width = static_cast<int>(frame.stepwise.max_width);
      size.height = static_cast<int>(frame.stepwise.max_height);
      sizes.push_back(size);
      break;  // a range is reported once, at index 0
    }
  }
  return sizes;
}

}  // namespace

std::optional<SV4L2DeviceInfo> QueryV4L2Device(const V4L2Ioctl& ioctl) {
  v4l2_capability caps{};
  if (ioctl(VIDIOC_QUERYCAP, &caps) != 0) return std::nullopt;
  SV4L2DeviceInfo info;
  const char* card = reinterpret_cast<const char*>(caps.card);
  info.card.assign(card, strnlen(card, sizeof(caps.card)));
  info.capabilities =
      (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
  if (!IsVideoCaptureNode(info.capabilities)) return info;
  for (std::uint32_t index = 0;; ++index) {
    v4l2_fmtdesc desc{};
    desc.index = index;
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (ioctl(VIDIOC_ENUM_FMT, &desc) != 0) break;
    info.formats.push_back(
        SV4L2FormatInfo{desc.pixelformat, QueryFrameSizes(ioctl, desc.pixelformat)});
  }
  return info;
}

std::vector<int> VideoNodeNumbers(const std::vector<std::string>& names) {
  std::vector<int> numbers;
  for (const std::string& name : names) {
    static constexpr std::string_view kPrefix = "video";
    if (name.size() <= kPrefix.size() || name.compare(0, kPrefix.size(), kPrefix) != 0) continue;
    const char* first = name.data() + kPrefix.size();
    const char* last = name.data() + name.size();
    int number = 0;
    auto [end, error] = std::from_chars(first, last, number);
    if (error == std::errc() && end == last && number >= 0) numbers.push_back(number);
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

}  // namespace veldrin

std::vector<SFoundDevice> CV4L2DeviceEnumerator::Enumerate() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
    names.push_back(entry.path().filename().string());
  }
  std::vector<SFoundDevice> devices;
  for (int node : veldrin::VideoNodeNumbers(names)) {
    const std::string path = "/dev/video" + std::to_string(node);
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    const V4L2Ioctl ioctl = [fd](unsigned long request, void* arg) {
      int result;
      do {
        result = ::ioctl(fd, request, arg);
      } while (result == -1 && errno == EINTR);
      return result;
    };
    std::optional<SV4L2DeviceInfo> info = veldrin::QueryV4L2Device(ioctl);
    ::close(fd);
    if (!info || !veldrin::IsVideoCaptureNode(info->capabilities) ||
        veldrin::IsDepthOrInfraredNode(info->formats)) {
      continue;
    }
    SFoundDevice device;
    device.name = info->card;
    device.resolutions = veldrin::ListV4L2Resolutions(info->formats);
    device.locator.kind = SDeviceLocator::EKind::kV4L2;
    device.locator.node = node;
    device.locator.serial = veldrin::UsbSerialOfNode("/sys", node);
    devices.push_back(std::move(device));
  }
  return devices;
}
