#pragma once

// Mappings between colour pixels, depth pixels and depth-camera points over one depth camera's
// calibration. Pixel results are truncated toward zero, as everywhere in the tool.

#include <cstdint>

#include "geometry/camera_model.h"

// What a depth camera reports about its two streams once they are configured.
struct SDepthColorCalibration {
  SCameraIntrinsics depthIntrinsics;
  SCameraIntrinsics colorIntrinsics;
  SCameraExtrinsics depthToColor;
  SCameraExtrinsics colorToDepth;
  float depthScale = 0.001f;  // metres per raw depth unit
};

namespace veldrin {

// The depth range searched along a colour pixel's line of sight, metres.
inline constexpr float kColorSearchMinDepth = 0.11f;
inline constexpr float kColorSearchMaxDepth = 1.0f;

// The depth pixel that sees the surface point under colour pixel (x, y), searched in the raw
// depth frame `depthData` (depth width x height units). (0, 0) when no pixel on the line has
// depth or there is no depth frame yet. Returns 1.
int ColorPixelToDepthPixel(const SDepthColorCalibration& calibration,
                           const std::uint16_t* depthData, int x, int y, int& outX, int& outY);

// A depth-camera point (metres) -> colour pixel. Returns 1, or 0 with the outputs untouched when
// the projection is no number an int can hold (a point on the colour camera's own plane).
[[nodiscard]] int ProjectPointToColorPixel(const SDepthColorCalibration& calibration, float x,
                                           float y, float z, int& outX, int& outY);

// Depth pixel (x, y) seen at `depth` metres -> colour pixel. Returns 0 with the outputs
// untouched for a negative depth or when the point has no pixel (a depth of 0 has none), else 1.
[[nodiscard]] int DepthPixelToColorPixel(const SDepthColorCalibration& calibration, int x, int y,
                                         int& outX, int& outY, float depth);

// Truncates toward zero; false for values an int cannot hold (NaN, infinities, huge values).
[[nodiscard]] bool TruncateToInt(float value, int& out);

}  // namespace veldrin
