#pragma once

// The height-true picture: every output pixel is the media point seen straight from above. Its
// surface height comes from the height map; the point at that height is projected into the colour
// camera and sampled there. So every object's top appears where it stands and at its true size,
// and the table keeps its place. Output pixels whose surface point the colour camera cannot see
// (behind a taller object) take kHiddenFill.
//
// The lookup tables have the fixed-point form of CRectification's, so a frame goes through them
// as fast as through the plain warp; they are rebuilt only when the height map changes.

#include <opencv2/core.hpp>

#include <array>
#include <vector>

#include "depth/media_height_map.h"
#include "geometry/pixel_mapping.h"
#include "workstation/lens.h"

// Blue, green, red: magenta, which neither a table nor a printed sheet shows in bulk.
inline const cv::Vec3b kHiddenFill(255, 0, 255);

// The colour camera as the picture sees it: the depth camera's colour intrinsics, or the
// operator's lens when one applies to the frame (the corners are then positions in the corrected
// picture, and samples are taken through the lens's distortion).
struct SHeightTrueCamera {
  SDepthColorCalibration calibration;
  const SLensModel* lens = nullptr;
};

struct SHeightTrueTables {
  cv::Size frameSize;
  cv::Mat map1, map2;  // as BuildRemapTables makes them
  // Runs of hidden output pixels: row, first column, one past the last.
  std::vector<cv::Vec3i> hiddenRuns;
};

namespace veldrin {

// The corners' lines of sight in colour-camera coordinates (P.1 to P.4).
std::array<cv::Vec3d, 4> CornerRays(const SHeightTrueCamera& camera,
                                    const std::vector<cv::Point2f>& corners);

// Where a colour-camera point (metres) appears in the camera frame.
cv::Point2d ColorCameraPointToFramePixel(const SHeightTrueCamera& camera, const cv::Vec3d& point);

// The tables for an output of `outSize` over the media of `frame`, from frames of `frameSize`.
// Heights are read from `map` (an empty map is the bare table).
void BuildHeightTrueTables(const SMediaFrame& frame, const SMediaHeightMap& map,
                           const SHeightTrueCamera& camera, cv::Size frameSize, cv::Size outSize,
                           SHeightTrueTables& tables);

// One frame through the tables into `out` (reused when it fits), hidden pixels filled.
void RemapHeightTrue(const cv::Mat& frame, const SHeightTrueTables& tables, cv::Mat& out);

}  // namespace veldrin
