#pragma once

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include <string>
#include <vector>

// A small picture of what the camera saw when a calibration was saved, to notice later that the
// camera has been bumped and the calibration's corners no longer sit on the media. It holds a
// grey thumbnail (kept on disk as a PNG) and the thumbnail's strongest corner features, found
// again from the thumbnail when it is read back. Comparing tracks those features into a live
// picture and fits one turn, shift and scale to them, so a frame counter, a moving hand or an
// object put down on the table disagrees with the fit and is left out.
// Not thread-safe; the owner calls it from one thread.
class CCameraReference {
 public:
  // Largest movement of the picture, in camera pixels, that still counts as not moved.
  static constexpr double kMovedPixels = 2.0;

  // Builds the reference from a camera frame (8-bit BGR or grey); false for an empty or
  // featureless picture, and the reference is then empty.
  [[nodiscard]] bool Make(const cv::Mat& frame);
  // Writes the thumbnail as a PNG, replacing the file atomically.
  [[nodiscard]] bool Save(const std::string& path) const;
  // False (and empty) when the file is missing or not a usable thumbnail.
  [[nodiscard]] bool Load(const std::string& path);
  bool IsEmpty() const { return m_thumbnail.empty(); }

  // How far the live frame's picture has moved against the reference: the largest shift, in
  // the frame's pixels, of the picture's corners and centre under the fitted motion. Negative
  // when it cannot tell (no reference, another aspect ratio, too few features agree).
  double Displacement(const cv::Mat& frame) const;
  bool HasMoved(const cv::Mat& frame) const { return Displacement(frame) > kMovedPixels; }

 private:
  [[nodiscard]] bool Adopt(cv::Mat thumbnail);

  cv::Mat m_thumbnail;  // 8-bit grey
  std::vector<cv::Point2f> m_features;
};

namespace veldrin {

// Where the reference of calibration file "<directory><name>.clb" is kept.
std::string CameraReferencePath(const std::string& directory, const std::string& name);

}  // namespace veldrin
