#pragma once

// Measuring a camera's lens from pictures of a printed chessboard in different positions.

#include <opencv2/core.hpp>

#include <string>
#include <vector>

#include "workstation/lens.h"

// A chessboard by its inner corners (where four squares meet): `nColumns` across, `nRows` down.
struct SLensBoard {
  int columns = 0;
  int rows = 0;
  double squareMm = 0.0;
};

namespace veldrin {

// Fewer views than this do not pin the distortion down.
inline constexpr int kMinLensViews = 5;

// "CxR", for example "9x6": both at least 2 and at most 64.
[[nodiscard]] bool ParseBoardSize(const std::string& text, SLensBoard& board);

// The board's inner corners in the picture (8-bit, one or three channels), refined to sub-pixel
// accuracy, row by row. False when the picture does not show the whole board.
bool FindBoardCorners(const cv::Mat& picture, const SLensBoard& board,
                      std::vector<cv::Point2f>& corners);

// The share (0 to 1) of a picture of `size` that the boards of the views cover together: the
// corners of the picture, where the distortion is strongest, need views too.
double BoardCoverage(const std::vector<std::vector<cv::Point2f>>& views, cv::Size size);

// The camera matrix and distortion from the corners of at least kMinLensViews views of one board
// in pictures of `size`; `lens.camera` is kept. False with a one-line reason otherwise.
[[nodiscard]] bool CalibrateLens(const std::vector<std::vector<cv::Point2f>>& views,
                                 const SLensBoard& board, cv::Size size, SLensModel& lens,
                                 std::string& error);

}  // namespace veldrin
