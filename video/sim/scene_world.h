#pragma once

// The table scene as one 3-D world seen by two cameras: the scene's colour camera and a depth
// camera mounted beside it. Colour pixels, depth pixels and 3-D points of the two agree, so tests
// can check the depth side against what the world really holds.

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include <optional>
#include <vector>

#include "geometry/camera_model.h"
#include "video/scene_params.h"

class CSceneWorld {
 public:
  explicit CSceneWorld(const STableSceneParams& params);

  const STableSceneParams& Params() const { return m_params; }
  // The depth camera at its configured size: 1 mm units, about 80 degrees across.
  SCameraIntrinsics DepthIntrinsics() const { return m_depthIntrinsics; }
  // The colour camera at `size`, which is the native picture scaled.
  SCameraIntrinsics ColorIntrinsics(cv::Size size) const;
  SCameraExtrinsics DepthToColor() const { return m_depthToColor; }
  SCameraExtrinsics ColorToDepth() const;

  // A depth-camera point (metres) in table millimetres (z up from the table top), and back.
  cv::Point3d DepthToTable(const cv::Point3f& point) const;
  cv::Point3f TableToDepth(const cv::Point3d& point) const;
  // Where a table point (millimetres) appears in the colour picture at `size`.
  cv::Point2f TableToColorPixel(const cv::Point3d& point, cv::Size size) const;

  // The exact depth (millimetres along the optical axis) each depth pixel sees, row by row, as
  // CV_32F of the depth size; 0 where the ray meets nothing.
  void RenderDepth(const std::vector<SSceneBox>& boxes, cv::Mat& depthMm) const;
  void RenderDepth(const std::optional<SSceneBox>& box, cv::Mat& depthMm) const {
    RenderDepth(box ? std::vector<SSceneBox>{*box} : std::vector<SSceneBox>{}, depthMm);
  }

 private:
  // Distance along a pixel's ray (scaled so that its depth-camera z is 1 mm per unit) to the
  // first surface; 0 for none.
  double Trace(const cv::Vec3d& direction, const std::vector<SSceneBox>& boxes) const;

  STableSceneParams m_params;
  STableSceneCamera m_color;
  SCameraIntrinsics m_depthIntrinsics;
  SCameraExtrinsics m_depthToColor;
  cv::Matx33d m_depthToTable;  // rotation of depth-camera directions into the table frame
  cv::Vec3d m_depthOrigin;     // depth camera centre, table millimetres
  CPixelRays m_rays;
};
