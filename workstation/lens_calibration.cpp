#include "workstation/lens_calibration.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "markers/grey_picture.h"

int SCoverageMap::CoveredCells() const {
  return static_cast<int>(std::count_if(counts.begin(), counts.end(), [](int n) { return n > 0; }));
}

bool SCoverageMap::CornerReached(int corner) const {
  constexpr int n = SCoverageRule::kCornerCells;
  const int column0 = corner % 2 == 0 ? 0 : kColumns - n;
  const int row0 = corner < 2 ? 0 : kRows - n;
  for (int r = row0; r < row0 + n; ++r) {
    for (int c = column0; c < column0 + n; ++c) {
      if (Count(c, r) > 0) return true;
    }
  }
  return false;
}

namespace veldrin {

bool ParseBoardSize(const std::string& text, SLensBoard& board) {
  const std::size_t x = text.find_first_of("xX");
  if (x == std::string::npos) return false;
  const auto parse = [](const char* begin, const char* end, int& out) {
    const auto result = std::from_chars(begin, end, out);
    return result.ec == std::errc() && result.ptr == end && out >= 2 && out <= 64;
  };
  int columns = 0, rows = 0;
  if (!parse(text.data(), text.data() + x, columns) ||
      !parse(text.data() + x + 1, text.data() + text.size(), rows)) {
    return false;
  }
  board.columns = columns;
  board.rows = rows;
  return true;
}

bool FindBoardCorners(const cv::Mat& picture, const SLensBoard& board,
                      std::vector<cv::Point2f>& corners) {
  corners.clear();
  cv::Mat grey;
  if (!GreyPicture(picture, grey)) return false;
  const cv::Size pattern(board.columns, board.rows);
  std::vector<cv::Point2f> found;
  if (!cv::findChessboardCorners(
          grey, pattern, found,
          cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE | cv::CALIB_CB_FAST_CHECK)) {
    return false;
  }
  // The search window must stay inside one square: half the closest corner spacing at most.
  double spacing = 1e9;
  for (int r = 0; r < board.rows; ++r) {
    for (int c = 0; c + 1 < board.columns; ++c) {
      const int i = r * board.columns + c;
      spacing = std::min(spacing, cv::norm(found[i + 1] - found[i]));
    }
  }
  const int half = std::clamp(static_cast<int>(spacing * 0.4), 2, 11);
  cv::cornerSubPix(grey, found, cv::Size(half, half), cv::Size(-1, -1),
                   cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT, 50, 0.001));
  corners = std::move(found);
  return true;
}

SCoverageMap CoverageMap(const std::vector<std::vector<cv::Point2f>>& views, cv::Size size) {
  SCoverageMap map;
  if (size.empty()) return map;
  for (const auto& view : views) {
    for (const cv::Point2f& p : view) {
      if (!(p.x >= 0 && p.y >= 0 && p.x < size.width && p.y < size.height)) continue;
      const int column = std::min(SCoverageMap::kColumns - 1,
                                  static_cast<int>(p.x * SCoverageMap::kColumns / size.width));
      const int row = std::min(SCoverageMap::kRows - 1,
                               static_cast<int>(p.y * SCoverageMap::kRows / size.height));
      ++map.counts[row * SCoverageMap::kColumns + column];
    }
  }
  return map;
}

bool IsCoverageEnough(const SCoverageMap& map, std::string& why) {
  why.clear();
  static const char* const kCornerNames[4] = {"top left", "top right", "bottom left",
                                              "bottom right"};
  std::vector<std::string> missing;
  for (int corner = 0; corner < 4; ++corner) {
    if (!map.CornerReached(corner)) missing.emplace_back(kCornerNames[corner]);
  }
  if (!missing.empty()) {
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
      list += (i == 0 ? "" : i + 1 == missing.size() ? " and " : ", ") + missing[i];
    }
    why = "The views do not reach the picture's " + list +
          (missing.size() == 1 ? " corner" : " corners") +
          ", so the lens's outer distortion is not known. Show the board near the picture's "
          "corners (tilted is fine, but all of it in view) and capture more views.";
    return false;
  }
  const int share = static_cast<int>(std::lround(map.CoveredShare() * 100));
  if (map.CoveredShare() < SCoverageRule::kMinCoveredShare) {
    why = "The views cover " + std::to_string(share) + " % of the picture; at least " +
          std::to_string(static_cast<int>(SCoverageRule::kMinCoveredShare * 100)) +
          " % is needed. Show the board where the map is still empty and capture more views.";
    return false;
  }
  return true;
}

bool CalibrateLens(const std::vector<std::vector<cv::Point2f>>& views, const SLensBoard& board,
                   cv::Size size, SLensModel& lens, std::string& error) {
  const std::size_t corners = static_cast<std::size_t>(board.columns) * board.rows;
  if (board.columns < 2 || board.rows < 2 || !(board.squareMm > 0)) {
    error = "the board needs at least 2 x 2 inner corners and a square size";
    return false;
  }
  std::vector<std::vector<cv::Point3f>> objectPoints;
  std::vector<std::vector<cv::Point2f>> imagePoints;
  std::vector<cv::Point3f> model;
  for (int r = 0; r < board.rows; ++r) {
    for (int c = 0; c < board.columns; ++c) {
      model.emplace_back(static_cast<float>(c * board.squareMm),
                         static_cast<float>(r * board.squareMm), 0.0f);
    }
  }
  for (const auto& view : views) {
    if (view.size() != corners) continue;
    objectPoints.push_back(model);
    imagePoints.push_back(view);
  }
  if (static_cast<int>(imagePoints.size()) < kMinLensViews) {
    error = std::to_string(imagePoints.size()) + " usable pictures of the board; at least " +
            std::to_string(kMinLensViews) + " are needed";
    return false;
  }
  if (size.empty()) {
    error = "no picture size";
    return false;
  }
  cv::Mat matrix, distortion;
  std::vector<cv::Mat> rotations, translations;
  double rms = 0.0;
  try {
    rms = cv::calibrateCamera(
        objectPoints, imagePoints, size, matrix, distortion, rotations, translations, 0,
        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-12));
  } catch (const cv::Exception&) {
    error = "the board positions do not determine the lens";
    return false;
  }
  SLensModel result;
  result.camera = lens.camera;
  result.size = size;
  result.matrix = cv::Matx33d(matrix);
  for (int i = 0; i < 5; ++i) result.distortion[i] = distortion.at<double>(i);
  result.rmsPx = rms;
  if (!std::isfinite(rms) || !IsUsableLens(result)) {
    error = "the board positions do not determine the lens";
    return false;
  }
  lens = result;
  return true;
}

}  // namespace veldrin
