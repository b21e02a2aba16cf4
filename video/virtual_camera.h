#pragma once

#include <opencv2/core/types.hpp>

#include <memory>
#include <string>
#include <vector>

#include "video/device_enumerator.h"
#include "video/frame_source.h"

struct SVirtualCameraEntry {
  std::string name;
  std::string source;
};

namespace veldrin {

// Splits a VELDRIN_CAMERAS value into NAME=SOURCE entries. Malformed entries (no "=", empty
// source) are left out and described, one line each, in `rejected`; empty entries are ignored.
std::vector<SVirtualCameraEntry> ParseVirtualCameras(const std::string& text,
                                                     std::vector<std::string>& rejected);

// The sizes a virtual device lists: its native size first, then the usual camera sizes that
// differ from it.
std::vector<cv::Point> VirtualResolutions(cv::Size native);

// True when `pattern` has exactly one integer conversion (%d, %05d, ...) and no other
// conversion but "%%", so it can be formatted with an index and nothing else.
bool IsSequencePattern(const std::string& pattern);

// Opens a virtual source: "scene:NAME", "bag:FILE" (a depth camera's recording, its colour
// stream), a pattern with one %d (an image sequence), an image file or a video file. A source that
// cannot be read gives a closed CFrameSource.
std::unique_ptr<CFrameSource> OpenVirtualSource(const std::string& source);

}  // namespace veldrin

// The device list VELDRIN_CAMERAS describes.
class CVirtualDeviceEnumerator : public CDeviceEnumerator {
 public:
  explicit CVirtualDeviceEnumerator(std::string cameras) : m_cameras(std::move(cameras)) {}
  std::vector<SFoundDevice> Enumerate() override;

 private:
  std::string m_cameras;
};
