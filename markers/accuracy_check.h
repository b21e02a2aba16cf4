#pragma once

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include <vector>

// A printed chessboard: cols x rows squares of squareMm millimetres.
struct SBoardSpec {
  int cols = 0;
  int rows = 0;
  double squareMm = 0.0;
};

// How far a rectified picture is from true millimetres, measured on a printed chessboard.
struct SAccuracyReport {
  // Size of the board as measured against its true size, in percent: positive when the output
  // shows things larger than they are.
  double scaleErrorPercent = 0.0;
  // Deviation of the inner corners from the ideal grid laid at the nominal scale (turned and
  // moved to fit best, never stretched).
  double rmsMm = 0.0;
  double maxMm = 0.0;
  // Inner corners as found and the fitted ideal grid, in rectified-picture pixels, pairwise.
  std::vector<cv::Point2f> measured;
  std::vector<cv::Point2f> ideal;
};

namespace veldrin {

// Finds the board's inner corners in a rectified picture (8-bit BGR or grey) whose pixels are
// mmPerPixelX x mmPerPixelY millimetres, and compares them with the ideal grid. False when no
// board is found; `report` is then untouched. Plain function: safe on any thread.
[[nodiscard]] bool CheckAccuracy(const cv::Mat& rectified, double mmPerPixelX, double mmPerPixelY,
                                 const SBoardSpec& board, SAccuracyReport& report);

// The rectified picture with each corner's deviation drawn as an arrow from its ideal place,
// lengthened so that the largest is clearly visible; the enlargement and the figures are written
// in the picture's top-left corner.
cv::Mat DrawDeviations(const cv::Mat& rectified, const SAccuracyReport& report);

}  // namespace veldrin
