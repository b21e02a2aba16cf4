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
  explicit CSceneWorld(const TABLE_SCENE_PARAMS& params);

  const TABLE_SCENE_PARAMS& Params() const { return m_params; }
  // The depth camera at its configured size: 1 mm units, about 80 degrees across.
  CAMERA_INTRINSICS DepthIntrinsics() const { return m_depthIntrinsics; }
  // The colour camera at `size`, which is the native picture scaled.
  CAMERA_INTRINSICS ColorIntrinsics(cv::Size size) const;
  CAMERA_EXTRINSICS DepthToColor() const { return m_depthToColor; }
  CAMERA_EXTRINSICS ColorToDepth() const;

  // A depth-camera point (metres) in table millimetres (z up from the table top), and back.
  cv::Point3d DepthToTable(const cv::Point3f& point) const;
  cv::Point3f TableToDepth(const cv::Point3d& point) const;
  // Where a table point (millimetres) appears in the colour picture at `size`.
  cv::Point2f TableToColorPixel(const cv::Point3d& point, cv::Size size) const;

  // The exact depth (millimetres along the optical axis) each depth pixel sees, row by row, as
  // CV_32F of the depth size; 0 where the ray meets nothing.
  void RenderDepth(const std::vector<SCENE_BOX>& boxes, cv::Mat& depthMm) const;
  void RenderDepth(const std::optional<SCENE_BOX>& box, cv::Mat& depthMm) const {
    RenderDepth(box ? std::vector<SCENE_BOX>{*box} : std::vector<SCENE_BOX>{}, depthMm);
  }

 private:
  // Distance along a pixel's ray (scaled so that its depth-camera z is 1 mm per unit) to the
  // first surface; 0 for none.
  double Trace(const cv::Vec3d& direction, const std::vector<SCENE_BOX>& boxes) const;

  TABLE_SCENE_PARAMS m_params;
  veldrin::TABLE_SCENE_CAMERA m_color;
  CAMERA_INTRINSICS m_depthIntrinsics;
  CAMERA_EXTRINSICS m_depthToColor;
  cv::Matx33d m_depthToTable;  // rotation of depth-camera directions into the table frame
  cv::Vec3d m_depthOrigin;     // depth camera centre, table millimetres
  veldrin::CPixelRays m_rays;
};
