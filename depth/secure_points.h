#pragma once

// Secure points: colour pixels that see a surface within the tolerance of the highest one, so the
// operator can tell in the picture which parts of an object the measured height belongs to.

#include <opencv2/core/mat.hpp>

#include "depth/table_measure.h"
#include "geometry/pixel_mapping.h"

namespace veldrin {

// The mark's colour (blue, green, red).
inline constexpr unsigned char kSecurePointColor[3] = {25, 255, 125};

// Marks, in the 8-bit BGR `colorFrame`, the colour pixel of every depth pixel whose height lies
// less than `tolerance` metres below `maxHeight`. The heights and the depth (metres) are
// depthCols x depthRows arrays of the same frame. Positions on row 0, column 0 or outside the
// frame (its own size, whatever was configured) are skipped, as are negative depths. With
// `maxHeight` below `tolerance` (an empty table) nothing is marked.
void DrawSecurePoints(const SDepthColorCalibration& calibration, int depthCols, int depthRows,
                      const float* heightMap, const double* depthCopy, cv::Mat& colorFrame,
                      float maxHeight, float tolerance);

// The same over a published measurement (its heights and depth are one frame's).
void DrawSecurePoints(const SDepthColorCalibration& calibration,
                      const SDepthMeasurement& measurement, cv::Mat& colorFrame, float maxHeight,
                      float tolerance);

}  // namespace veldrin
