#include "video/device_frame_source.h"

#include <opencv2/videoio.hpp>

#include "video/virtual_camera.h"

namespace {

// A real camera through OpenCV's capture, with the back-end chosen automatically.
class CDeviceFrameSource : public CFrameSource {
 public:
  explicit CDeviceFrameSource(int node) : m_capture(node, cv::CAP_ANY) {}
  bool IsOpened() const override { return m_capture.isOpened(); }
  void RequestSize(int width, int height) override {
    // Width first, then height; the device may refuse either, which GetSize shows.
    m_capture.set(cv::CAP_PROP_FRAME_WIDTH, static_cast<double>(width));
    m_capture.set(cv::CAP_PROP_FRAME_HEIGHT, static_cast<double>(height));
  }
  cv::Size GetSize() const override {
    return cv::Size(static_cast<int>(m_capture.get(cv::CAP_PROP_FRAME_WIDTH)),
                    static_cast<int>(m_capture.get(cv::CAP_PROP_FRAME_HEIGHT)));
  }
  void Read(cv::Mat& frame) override {
    if (!m_capture.read(frame)) frame.release();
  }
  void Release() override { m_capture.release(); }

 private:
  cv::VideoCapture m_capture;
};

}  // namespace

std::unique_ptr<CFrameSource> veldrin::OpenFrameSource(const SDeviceLocator& locator) {
  switch (locator.kind) {
    case SDeviceLocator::EKind::kV4L2:
      return std::make_unique<CDeviceFrameSource>(locator.node);
    case SDeviceLocator::EKind::kVirtual:
      return veldrin::OpenVirtualSource(locator.source);
    case SDeviceLocator::EKind::kNone:
      break;
  }
  return veldrin::MakeClosedFrameSource();
}
