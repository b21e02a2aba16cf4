#pragma once

#include <opencv2/core/mat.hpp>

#include <string>

#include "markers/camera_reference.h"

// Watches for a bumped camera while a stored calibration is in use. When a calibration is saved,
// a reference of the camera's picture is written beside its file; while that calibration is in
// use, live pictures are compared with it. UI thread only (the owner hands in copies of frames).
class CCameraWatch {
 public:
  // The calibration `name` in `directory` was saved with the camera showing `frame`: its
  // reference is written (a stale one removed when that fails) and watched from now on.
  // False when no reference could be kept.
  [[nodiscard]] bool Saved(const std::string& directory, const std::string& name,
                           const cv::Mat& frame);
  // The stored calibration `name` is in use: its reference, when there is one, is watched.
  void Applied(const std::string& directory, const std::string& name);
  // No stored calibration is in use ("Default", or the corners were changed by hand).
  void Clear();
  bool IsWatching() const { return !m_reference.IsEmpty(); }
  const std::string& Name() const { return m_strName; }

  // The status-line message for this live frame: the camera-moved warning while the picture has
  // moved by more than CCameraReference::kMovedPixels, otherwise empty (also when it cannot tell).
  std::string Check(const cv::Mat& frame) const;

 private:
  CCameraReference m_reference;
  std::string m_strName;
};
