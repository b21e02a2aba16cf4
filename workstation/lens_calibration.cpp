#include "workstation/lens_calibration.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "markers/grey_picture.h"

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

double BoardCoverage(const std::vector<std::vector<cv::Point2f>>& views, cv::Size size) {
  if (size.empty()) return 0.0;
  // A quarter-size mask is plenty for a percentage.
  constexpr double kScale = 0.25;
  cv::Mat mask(std::max(1, cvRound(size.height * kScale)),
               std::max(1, cvRound(size.width * kScale)), CV_8UC1, cv::Scalar(0));
  for (const auto& view : views) {
    if (view.size() < 3) continue;
    std::vector<cv::Point> scaled;
    scaled.reserve(view.size());
    for (const cv::Point2f& p : view) {
      scaled.emplace_back(cvRound(p.x * kScale), cvRound(p.y * kScale));
    }
    std::vector<cv::Point> hull;
    cv::convexHull(scaled, hull);
    cv::fillConvexPoly(mask, hull, cv::Scalar(255));
  }
  return static_cast<double>(cv::countNonZero(mask)) / static_cast<double>(mask.total());
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
