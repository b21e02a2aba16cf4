#include "video/virtual_camera.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <opencv2/videoio/registry.hpp>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>

#include "platform/picture_size.h"
#include "video/depth_device.h"
#include "video/realsense/realsense_depth_device.h"
#include "video/table_scene.h"

namespace {

// A pattern split around its one integer conversion.
struct SSequencePattern {
  std::string prefix;
  std::string suffix;
  int width = 0;
  bool zeroPad = false;
};

std::optional<SSequencePattern> ParsePattern(const std::string& pattern) {
  SSequencePattern parsed;
  bool found = false;
  std::string* out = &parsed.prefix;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      *out += pattern[i];
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      *out += '%';
      ++i;
      continue;
    }
    if (found) return std::nullopt;
    size_t j = i + 1;
    if (j < pattern.size() && pattern[j] == '0') {
      parsed.zeroPad = true;
      ++j;
    }
    while (j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9') {
      parsed.width = parsed.width * 10 + (pattern[j] - '0');
      if (parsed.width > 32) return std::nullopt;
      ++j;
    }
    if (j >= pattern.size() || pattern[j] != 'd') return std::nullopt;
    found = true;
    out = &parsed.suffix;
    i = j;
  }
  if (!found) return std::nullopt;
  return parsed;
}

// imread complains on stderr about missing files; a sequence probes for them routinely.
// The size is checked from the header first: a small file may claim a picture of gigabytes.
cv::Mat ReadImageFile(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return cv::Mat();
  std::string refused;
  if (veldrin::CheckPictureFile(path, refused) != EPictureCheck::kFits) return cv::Mat();
  try {
    return cv::imread(path, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    return cv::Mat();
  }
}

std::string FormatPattern(const SSequencePattern& pattern, int index) {
  std::string number = std::to_string(index);
  if (static_cast<int>(number.size()) < pattern.width) {
    number.insert(0, pattern.width - number.size(), pattern.zeroPad ? '0' : ' ');
  }
  return pattern.prefix + number + pattern.suffix;
}

// Common part of the virtual sources: size negotiation and scaling. A requested size that the
// device lists is delivered; any other request gets the native size.
class CVirtualSource : public CFrameSource {
 public:
  bool IsOpened() const override { return m_open; }
  void RequestSize(int width, int height) override { m_requested = cv::Size(width, height); }
  cv::Size GetSize() const override { return m_open ? EffectiveSize() : cv::Size(); }
  void Read(cv::Mat& frame) override {
    if (!m_open) {
      frame.release();
      return;
    }
    ReadAt(EffectiveSize(), frame);
  }
  void Release() override {
    m_open = false;
    ReleaseSource();
  }

 protected:
  virtual void ReadAt(cv::Size size, cv::Mat& frame) = 0;
  virtual void ReleaseSource() {}

  void SetOpened(cv::Size native) {
    m_native = native;
    m_open = native.width > 0 && native.height > 0;
  }

  // Copies or scales into the caller's buffer: listeners may draw on the frame they get, which
  // must not reach the picture kept here.
  static void Deliver(const cv::Mat& picture, cv::Size size, cv::Mat& frame) {
    if (picture.empty()) {
      frame.release();
    } else if (picture.size() == size) {
      picture.copyTo(frame);
    } else {
      cv::resize(picture, frame, size, 0, 0, cv::INTER_AREA);
    }
  }

 private:
  cv::Size EffectiveSize() const {
    for (const cv::Point& r : veldrin::VirtualResolutions(m_native)) {
      if (r.x == m_requested.width && r.y == m_requested.height) return m_requested;
    }
    return m_native;
  }

  bool m_open = false;
  cv::Size m_native;
  cv::Size m_requested;
};

class CImageSource : public CVirtualSource {
 public:
  explicit CImageSource(const std::string& path) {
    m_image = ReadImageFile(path);
    SetOpened(m_image.size());
  }

 protected:
  void ReadAt(cv::Size size, cv::Mat& frame) override { Deliver(m_image, size, frame); }

 private:
  cv::Mat m_image;
};

class CSequenceSource : public CVirtualSource {
 public:
  explicit CSequenceSource(const SSequencePattern& pattern) : m_pattern(pattern) {
    // Sequences commonly start at 0 or 1; allow a few more so a trimmed start still plays.
    for (int index = 0; index < 1000; ++index) {
      cv::Mat first = ReadImageFile(FormatPattern(m_pattern, index));
      if (!first.empty()) {
        m_first = index;
        m_next = index + 1;
        m_pending = first;
        SetOpened(first.size());
        return;
      }
    }
  }

 protected:
  void ReadAt(cv::Size size, cv::Mat& frame) override {
    cv::Mat picture;
    if (!m_pending.empty()) {
      std::swap(picture, m_pending);
    } else {
      picture = ReadImageFile(FormatPattern(m_pattern, m_next++));
      if (picture.empty()) {  // past the end (or a gap): loop
        m_next = m_first;
        picture = ReadImageFile(FormatPattern(m_pattern, m_next++));
      }
    }
    Deliver(picture, size, frame);
  }

 private:
  SSequencePattern m_pattern;
  int m_first = 0;
  int m_next = 0;
  cv::Mat m_pending;
};

// FFmpeg reads every common container; trying all back-ends instead lets GStreamer and the
// camera plug-ins probe (and leak) on every file that is not a video.
int FileBackend() {
  static const int backend =
      cv::videoio_registry::hasBackend(cv::CAP_FFMPEG) ? cv::CAP_FFMPEG : cv::CAP_ANY;
  return backend;
}

class CVideoFileSource : public CVirtualSource {
 public:
  explicit CVideoFileSource(const std::string& path) : m_path(path) {
    if (m_capture.open(path, FileBackend()) && m_capture.read(m_pending) && !m_pending.empty()) {
      SetOpened(m_pending.size());
    }
  }

 protected:
  void ReadAt(cv::Size size, cv::Mat& frame) override {
    cv::Mat picture;
    if (!m_pending.empty()) {
      std::swap(picture, m_pending);
    } else if (!m_capture.read(picture) || picture.empty()) {
      // Reopening loops reliably where seeking back depends on the container.
      if (!m_capture.open(m_path, FileBackend()) || !m_capture.read(picture)) picture.release();
    }
    Deliver(picture, size, frame);
  }
  void ReleaseSource() override { m_capture.release(); }

 private:
  std::string m_path;
  cv::VideoCapture m_capture;
  cv::Mat m_pending;
};

class CSceneSource : public CVirtualSource {
 public:
  explicit CSceneSource(const STableSceneParams& params) : m_scene(params) {
    SetOpened(m_scene.NativeSize());
  }

 protected:
  void ReadAt(cv::Size size, cv::Mat& frame) override {
    m_scene.Render(size, m_frameNumber++, frame);
  }

 private:
  CTableScene m_scene;
  std::uint64_t m_frameNumber = 0;
};

// Enumeration runs whenever an engine is made; say each complaint once per process.
void ReportOnce(const std::string& line) {
  static std::mutex mutex;
  static std::set<std::string> reported;
  std::lock_guard lock(mutex);
  if (reported.insert(line).second) std::cerr << line << '\n';
}

}  // namespace

namespace veldrin {

std::vector<SVirtualCameraEntry> ParseVirtualCameras(const std::string& text,
                                                     std::vector<std::string>& rejected) {
  std::vector<SVirtualCameraEntry> entries;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    const std::string entry = text.substr(start, end - start);
    start = end + 1;
    if (entry.empty()) continue;
    const size_t equals = entry.find('=');
    if (equals == std::string::npos || equals + 1 == entry.size()) {
      rejected.push_back("VELDRIN_CAMERAS: skipped \"" + entry + "\" (expected NAME=SOURCE)");
      continue;
    }
    entries.push_back({entry.substr(0, equals), entry.substr(equals + 1)});
  }
  return entries;
}

std::vector<cv::Point> VirtualResolutions(cv::Size native) {
  std::vector<cv::Point> list = {cv::Point(native.width, native.height)};
  for (const cv::Point common :
       {cv::Point(640, 480), cv::Point(1280, 720), cv::Point(1920, 1080)}) {
    if (common != list.front()) list.push_back(common);
  }
  return list;
}

bool IsSequencePattern(const std::string& pattern) { return ParsePattern(pattern).has_value(); }

}  // namespace veldrin

std::unique_ptr<CFrameSource> veldrin::OpenVirtualSource(const std::string& source) {
  std::unique_ptr<CFrameSource> opened;
  static constexpr std::string_view kScene = "scene:";
  if (source.compare(0, kScene.size(), kScene) == 0) {
    STableSceneParams params;
    std::string error;
    if (source.substr(kScene.size()) == "table" &&
        veldrin::CurrentTableSceneParams(params, error)) {
      opened = std::make_unique<CSceneSource>(params);
    }
  } else if (source.starts_with(veldrin::kRecordingSourcePrefix)) {
    // A recording's colour stream; without the library the source stays closed (unavailable).
    opened =
        veldrin::OpenRealSenseRecordingColor(source.substr(veldrin::kRecordingSourcePrefix.size()));
  } else if (std::optional<SSequencePattern> pattern = ParsePattern(source)) {
    opened = std::make_unique<CSequenceSource>(*pattern);
  } else {
    std::error_code error;
    if (std::filesystem::is_regular_file(source, error)) {
      if (cv::haveImageReader(source)) {
        opened = std::make_unique<CImageSource>(source);
      } else {
        opened = std::make_unique<CVideoFileSource>(source);
      }
    }
  }
  if (!opened) opened = veldrin::MakeClosedFrameSource();
  return opened;
}

std::vector<SFoundDevice> CVirtualDeviceEnumerator::Enumerate() {
  std::vector<std::string> rejected;
  const std::vector<SVirtualCameraEntry> entries =
      veldrin::ParseVirtualCameras(m_cameras, rejected);
  for (const std::string& line : rejected) ReportOnce(line);
  std::vector<SFoundDevice> devices;
  for (const SVirtualCameraEntry& entry : entries) {
    SFoundDevice device;
    device.name = entry.name;
    device.locator.kind = SDeviceLocator::EKind::kVirtual;
    device.locator.source = entry.source;
    // Only the first MAX_VIDEO_DEVICES are kept, but probing the rest is cheap and keeps the
    // enumerator free of slot rules.
    std::unique_ptr<CFrameSource> probe = veldrin::OpenVirtualSource(entry.source);
    if (probe->IsOpened()) {
      const cv::Size size = probe->GetSize();
      // A recording has the one colour size it was recorded at.
      device.resolutions = entry.source.starts_with(veldrin::kRecordingSourcePrefix)
                               ? std::vector<cv::Point>{cv::Point(size.width, size.height)}
                               : veldrin::VirtualResolutions(size);
    }
    probe->Release();
    devices.push_back(std::move(device));
  }
  return devices;
}
