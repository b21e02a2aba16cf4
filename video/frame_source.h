#pragma once

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include <memory>

// The capture object an engine reads from: a real device or a virtual one. Mirrors the part of
// cv::VideoCapture the engine uses. Not thread-safe: one thread at a time.
class CFrameSource {
 public:
  virtual ~CFrameSource() = default;
  virtual bool IsOpened() const = 0;
  // Asks for a size; the source may choose another, which GetSize then reports.
  virtual void RequestSize(int width, int height) = 0;
  virtual cv::Size GetSize() const = 0;
  // Reads the next frame into `frame` (8-bit BGR); leaves it empty when nothing came.
  virtual void Read(cv::Mat& frame) = 0;
  virtual void Release() = 0;
};

namespace veldrin {

// A source that never opened: reads give empty frames.
std::unique_ptr<CFrameSource> MakeClosedFrameSource();

}  // namespace veldrin
