#pragma once

// Where the media lies on the table plane, and the table's heights in media millimetres. The
// media frame ties the four corners the operator placed in the colour picture to the measured
// plane: each corner's line of sight meets the plane at a media corner, and the homography
// through those four points gives every media point (x to the right, y down from P.1, like the
// picture) its place on the table. The height map resamples the averaged cloud onto a grid over
// the media, so both the object finder and the height-true picture read heights by media
// position.

#include <opencv2/core.hpp>

#include <array>

#include "depth/table_measure.h"
#include "geometry/pixel_mapping.h"

struct SMediaFrame {
  cv::Vec3d origin;  // a point of the plane, depth-camera metres
  cv::Vec3d axisU;   // unit vectors in the plane
  cv::Vec3d axisV;
  cv::Vec3d up;              // unit normal towards the camera: heights are positive along it
  cv::Matx33d mediaToPlane;  // media millimetres -> plane (u, v) metres
  cv::Matx33d planeToMedia;  // its inverse
  cv::Vec3d colorCentre;     // the colour camera's centre, depth-camera metres
  double widthMm = 0.0;
  double heightMm = 0.0;
};

// Heights above the table over the media, millimetres. Cell (row i, column j) covers media
// x in [j * cellMm, (j + 1) * cellMm), y likewise.
struct SMediaHeightMap {
  double cellMm = 0.0;
  cv::Mat heights;  // CV_32F
  float maxMm = 0.f;
  bool Empty() const { return heights.empty(); }
  // The cell's height at media (x, y); 0 outside the map.
  float At(double xMm, double yMm) const;
};

namespace veldrin {

// Where colour pixel `pixel` looks, in colour-camera coordinates (a point at depth 1).
cv::Vec3d ColorPixelRay(const SCameraIntrinsics& color, cv::Point2f pixel);

// The media frame from the plane A x + B y + C z + D = 0 (depth-camera metres, heights on the side
// where A x + B y + C z + D is negative, as the table measure has it), the four corners' lines of
// sight (colour-camera directions, P.1 to P.4) and the media size. False when a line of sight
// misses the plane in front of the camera or the corners do not make a quadrilateral.
[[nodiscard]] bool MakeMediaFrame(const SDepthColorCalibration& calibration, const float plane[4],
                                  const std::array<cv::Vec3d, 4>& cornerRays, double widthMm,
                                  double heightMm, SMediaFrame& frame);

// Media (x, y) millimetres at `heightMm` above the table -> depth-camera metres.
cv::Vec3d MediaToDepthPoint(const SMediaFrame& frame, double xMm, double yMm, double heightMm);
// Depth-camera metres -> media x, y and height, millimetres.
cv::Point3d DepthPointToMedia(const SMediaFrame& frame, const cv::Vec3d& point);

// The corners' points on the plane raised `heightMm` along its normal, in colour-camera
// coordinates (metres): where auto calibration's corners are seen, to a fraction of a pixel
// (whole-pixel depth corners would put them pixels off). False as MakeMediaFrame.
[[nodiscard]] bool RaisedCornerPoints(const SDepthColorCalibration& calibration,
                                      const float plane[4],
                                      const std::array<cv::Vec3d, 4>& cornerRays, double heightMm,
                                      std::array<cv::Vec3d, 4>& points);

// Resamples the measurement's averaged cloud onto the media: each depth pixel with a usable point
// lands in the cell under it, a cell takes the mean of its pixels, narrow gaps (pixels without
// depth along edges) take the nearer side's height, and what no pixel sees (behind a tall
// object) takes the lowest surface around it, as it lies below the line of sight that passed
// over it.
// Heights up to `deadBandMm` read as the table, and from there up to twice the band they ramp up to
// their full value; nothing lies below the table. The cell is about one depth pixel
// wide on the table. False when the measurement has no cloud.
[[nodiscard]] bool BuildMediaHeightMap(const SDepthMeasurement& measurement,
                                       const SCameraIntrinsics& depth, const SMediaFrame& frame,
                                       SMediaHeightMap& map, double deadBandMm = 1.0);

}  // namespace veldrin
