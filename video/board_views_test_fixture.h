#pragma once

// Pictures of a printed chessboard lying on the table, seen by the table scene's camera from
// several positions, for measuring the lens. Tests that use them link veldrin_video.

#include <opencv2/core.hpp>

#include <vector>

#include "video/table_scene.h"

namespace veldrin_test {

// 9 x 6 inner corners of 20 mm on an A4 sheet.
constexpr int kBoardColumns = 9;
constexpr int kBoardRows = 6;
constexpr double kBoardSquareMm = 20.0;

// The scene of view `index` (0 to 15): the camera tilts and rolls, the sheet turns and moves
// toward the picture's edges; views 12 to 15 put the board into the picture's four corners, where
// the distortion is strongest.
inline STableSceneParams BoardViewParams(int index, cv::Size size, double k1, double k2) {
  struct SPose {
    double tilt, roll, rotation, x, y;
  };
  static const SPose kPoses[16] = {
      {0, 0, 0, 0, 0},         {25, 5, 10, -110, 40},   {30, -20, -15, 120, -30},
      {35, 15, 30, -60, -60},  {15, -30, -35, 90, 60},  {20, 25, 5, -130, -50},
      {40, -10, 20, 40, 70},   {10, 35, -25, 130, 30},  {30, 0, 45, -20, 10},
      {25, -25, -5, -120, 55}, {35, 30, 15, 110, -60},  {5, 10, -40, 0, -70},
      {5, 5, 10, 200, 100},    {5, -5, -10, -200, 100}, {0, 0, 0, 160, -80},
      {0, 5, 0, -160, -80}};
  const SPose& pose = kPoses[index % 16];
  STableSceneParams p;
  p.width = size.width;
  p.height = size.height;
  p.cameraDistanceMm = 480.0;
  p.cameraTiltDeg = pose.tilt;
  p.cameraRollDeg = pose.roll;
  p.sheetRotationDeg = pose.rotation;
  p.sheetOffsetXMm = pose.x;
  p.sheetOffsetYMm = pose.y;
  p.cameraK1 = k1;
  p.cameraK2 = k2;
  p.boardColumns = kBoardColumns;
  p.boardRows = kBoardRows;
  p.boardSquareMm = kBoardSquareMm;
  return p;
}

inline cv::Mat RenderBoardView(int index, cv::Size size, double k1, double k2) {
  CTableScene scene(BoardViewParams(index, size, k1, k2));
  cv::Mat picture;
  scene.Render(size, 0, picture);
  return picture;
}

}  // namespace veldrin_test
