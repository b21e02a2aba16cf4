#include "video/frame_source.h"

namespace {

class CNoDevice : public CFrameSource {
 public:
  bool IsOpened() const override { return false; }
  void RequestSize(int, int) override {}
  cv::Size GetSize() const override { return cv::Size(); }
  void Read(cv::Mat& frame) override { frame.release(); }
  void Release() override {}
};

}  // namespace

std::unique_ptr<CFrameSource> veldrin::MakeClosedFrameSource() {
  return std::make_unique<CNoDevice>();
}
