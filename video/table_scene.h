#pragma once

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "video/scene_params.h"

// A printer table seen from above at a slight angle, with a media sheet carrying a test chart, a
// millimetre scale, an arrow pointing to the sheet's top edge and optionally a QR code. The
// picture at any size is the native one scaled; a frame counter is drawn on the table so
// consecutive frames differ, and the same frame number always gives the same picture.
// Not thread-safe (it caches the static part per size).
class CTableScene {
 public:
  explicit CTableScene(const STableSceneParams& params);

  cv::Size NativeSize() const { return cv::Size(m_params.width, m_params.height); }
  // The sheet's corners in picture pixels: top-left, top-right, bottom-right, bottom-left of the
  // sheet (top = the edge the arrow points to). With lens distortion, where they appear.
  std::vector<cv::Point2f> SheetCorners(cv::Size size) const;
  // The camera matrix of the picture at `size` (the distortion is cameraK1, cameraK2).
  cv::Matx33d CameraMatrix(cv::Size size) const;
  void Render(cv::Size size, std::uint64_t frameNumber, cv::Mat& picture);
  // Where the frame counter is drawn: outside the sheet, so the sheet is the same every frame.
  cv::Rect CounterArea(cv::Size size) const;

 private:
  cv::Point2f Project(double xMm, double yMm, cv::Size size) const;
  cv::Point2f Distort(cv::Point2f ideal, cv::Size size) const;
  bool HasDistortion() const { return m_params.cameraK1 != 0.0 || m_params.cameraK2 != 0.0; }
  // The picture as a distortion-free camera sees it, shifted by `offset` on a canvas of `canvas`.
  cv::Mat RenderIdeal(cv::Size size, cv::Size canvas, cv::Point2f offset) const;
  void RenderStatic(cv::Size size);
  cv::Mat MakeChart(double pixelsPerMm) const;
  void DrawBoard(cv::Mat& chart) const;

  STableSceneParams m_params;
  double m_rotation[3][3] = {};  // table -> camera
  double m_centre[3] = {};       // camera position on the table frame
  cv::Size m_cachedSize;
  cv::Mat m_static;
};
