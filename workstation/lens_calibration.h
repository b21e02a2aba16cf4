#pragma once

// Measuring a camera's lens from pictures of a printed chessboard in different positions.

#include <opencv2/core.hpp>

#include <string>
#include <vector>

#include "workstation/lens.h"

// A chessboard by its inner corners (where four squares meet): `columns` across, `rows` down.
struct SLensBoard {
  int columns = 0;
  int rows = 0;
  double squareMm = 0.0;
};

// Where in the picture the views' board corners fell: a grid over the picture, each cell counting
// the corners in it. The outer distortion coefficients are only as good as the corners near the
// picture's edges, so this shows the operator where views are still missing.
struct SCoverageMap {
  static constexpr int kColumns = 8;
  static constexpr int kRows = 6;
  std::vector<int> counts =
      std::vector<int>(static_cast<std::size_t>(kColumns) * kRows, 0);  // row by row

  int Count(int column, int row) const { return counts[row * kColumns + column]; }
  int CoveredCells() const;
  // Whether a corner fell in the region of picture corner `corner` (0 top left, 1 top right,
  // 2 bottom left, 3 bottom right): its SCoverageRule::kCornerCells square of cells.
  bool CornerReached(int corner) const;
  double CoveredShare() const { return static_cast<double>(CoveredCells()) / counts.size(); }
};

// A lens is trusted only from views whose corners reach into each of the picture's four corner
// regions (the kCornerCells x kCornerCells cells at each corner of the map: the outer quarter of
// the width and third of the height) and fill at least kMinCoveredShare of the map's cells.
// Central views alone fit the middle well and leave the outer coefficients to guesswork, which
// then bends the picture's edges.
struct SCoverageRule {
  static constexpr int kCornerCells = 2;
  static constexpr double kMinCoveredShare = 0.5;
};

namespace veldrin {

// Fewer views than this do not pin the distortion down.
inline constexpr int kMinLensViews = 5;

// The board the lens dialog and the accuracy check start from until the operator gives another.
inline constexpr SLensBoard kDefaultLensBoard{9, 6, 25.0};

// "CxR", for example "9x6": both at least 2 and at most 64.
[[nodiscard]] bool ParseBoardSize(const std::string& text, SLensBoard& board);

// The board's inner corners in the picture (8-bit, one or three channels), refined to sub-pixel
// accuracy, row by row. False when the picture does not show the whole board.
bool FindBoardCorners(const cv::Mat& picture, const SLensBoard& board,
                      std::vector<cv::Point2f>& corners);

SCoverageMap CoverageMap(const std::vector<std::vector<cv::Point2f>>& views, cv::Size size);

// Whether `map` meets SCoverageRule; otherwise `why` tells the operator what is missing and what
// to do, in a sentence or two.
[[nodiscard]] bool IsCoverageEnough(const SCoverageMap& map, std::string& why);

// The camera matrix and distortion from the corners of at least kMinLensViews views of one board
// in pictures of `size`; `lens.camera` is kept. False with a one-line reason otherwise.
[[nodiscard]] bool CalibrateLens(const std::vector<std::vector<cv::Point2f>>& views,
                                 const SLensBoard& board, cv::Size size, SLensModel& lens,
                                 std::string& error);

}  // namespace veldrin
