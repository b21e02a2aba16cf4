#include "markers/accuracy_check.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "markers/grey_picture.h"

namespace veldrin {

namespace {

// Inner corners of a board of the given inner-corner count, row by row; empty when not found.
std::vector<cv::Point2f> FindInnerCorners(const cv::Mat& grey, cv::Size inner) {
  std::vector<cv::Point2f> corners;
  if (inner.width < 2 || inner.height < 2) return corners;
  try {
    // The sector-based search is the more accurate; it needs three corners each way.
    if (inner.width >= 3 && inner.height >= 3 &&
        cv::findChessboardCornersSB(grey, inner, corners, cv::CALIB_CB_NORMALIZE_IMAGE)) {
      return corners;
    }
    corners.clear();
    if (cv::findChessboardCorners(grey, inner, corners,
                                  cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE |
                                      cv::CALIB_CB_FAST_CHECK)) {
      cv::cornerSubPix(grey, corners, cv::Size(5, 5), cv::Size(-1, -1),
                       cv::TermCriteria(cv::TermCriteria::EPS | cv::TermCriteria::COUNT, 40, 0.01));
      return corners;
    }
  } catch (const cv::Exception&) {
    // A pattern size the detectors refuse: no board.
  }
  corners.clear();
  return corners;
}

struct SFit {
  double scale = 1.0;
  double rms = 0.0;
  double max = 0.0;
  std::vector<cv::Point2d> fitted;  // ideal grid placed at the nominal scale, in mm
};

// Best rotation and offset of `ideal` onto `measured` at the nominal scale; the free-scale fit
// shares the rotation, so its scale comes from the same sums.
SFit FitGrid(const std::vector<cv::Point2d>& ideal, const std::vector<cv::Point2d>& measured) {
  const size_t n = ideal.size();
  cv::Point2d gi(0, 0), gm(0, 0);
  for (size_t k = 0; k < n; ++k) {
    gi += ideal[k];
    gm += measured[k];
  }
  gi *= 1.0 / double(n);
  gm *= 1.0 / double(n);
  double dot = 0, cross = 0, norm = 0;
  for (size_t k = 0; k < n; ++k) {
    const cv::Point2d a = ideal[k] - gi, b = measured[k] - gm;
    dot += a.dot(b);
    cross += a.x * b.y - a.y * b.x;
    norm += a.dot(a);
  }
  const double angle = std::atan2(cross, dot), c = std::cos(angle), s = std::sin(angle);
  SFit fit;
  fit.scale = norm > 0 ? (c * dot + s * cross) / norm : 1.0;
  double sum = 0;
  for (size_t k = 0; k < n; ++k) {
    const cv::Point2d a = ideal[k] - gi;
    const cv::Point2d f(gm.x + c * a.x - s * a.y, gm.y + s * a.x + c * a.y);
    const double e = cv::norm(measured[k] - f);
    sum += e * e;
    fit.max = std::max(fit.max, e);
    fit.fitted.push_back(f);
  }
  fit.rms = std::sqrt(sum / double(n));
  return fit;
}

}  // namespace

bool CheckAccuracy(const cv::Mat& rectified, double mmPerPixelX, double mmPerPixelY,
                   const SBoardSpec& board, SAccuracyReport& report) {
  cv::Mat grey;
  if (!(mmPerPixelX > 0) || !(mmPerPixelY > 0) || !(board.squareMm > 0) || board.cols < 2 ||
      board.rows < 2 || !GreyPicture(rectified, grey)) {
    return false;
  }
  // A board of C x R squares has (C - 1) x (R - 1) inner corners. Should the numbers given be
  // the inner corners themselves, the second search finds them: any part of a true grid
  // measures the same scale.
  cv::Size inner(board.cols - 1, board.rows - 1);
  std::vector<cv::Point2f> corners = FindInnerCorners(grey, inner);
  if (corners.empty()) {
    inner = cv::Size(board.cols, board.rows);
    corners = FindInnerCorners(grey, inner);
  }
  if (corners.size() != size_t(inner.area())) return false;

  std::vector<cv::Point2d> measured;
  measured.reserve(corners.size());
  for (const cv::Point2f& p : corners) measured.emplace_back(p.x * mmPerPixelX, p.y * mmPerPixelY);
  // The detector may number the corners from any corner of the board, and along either axis
  // first; the grid or its mirror image then fits by a rotation alone.
  SFit best;
  bool first = true;
  for (int mirror = 0; mirror < 2; ++mirror) {
    std::vector<cv::Point2d> ideal;
    ideal.reserve(corners.size());
    for (int j = 0; j < inner.height; ++j) {
      for (int i = 0; i < inner.width; ++i) {
        const int column = mirror ? inner.width - 1 - i : i;
        ideal.emplace_back(column * board.squareMm, j * board.squareMm);
      }
    }
    SFit fit = FitGrid(ideal, measured);
    if (first || fit.rms < best.rms) best = std::move(fit);
    first = false;
  }
  report.scaleErrorPercent = (best.scale - 1.0) * 100.0;
  report.rmsMm = best.rms;
  report.maxMm = best.max;
  report.measured = corners;
  report.ideal.clear();
  report.ideal.reserve(best.fitted.size());
  for (const cv::Point2d& f : best.fitted) {
    report.ideal.emplace_back(static_cast<float>(f.x / mmPerPixelX),
                              static_cast<float>(f.y / mmPerPixelY));
  }
  return true;
}

cv::Mat DrawDeviations(const cv::Mat& rectified, const SAccuracyReport& report) {
  cv::Mat out;
  if (rectified.channels() == 1) {
    cv::cvtColor(rectified, out, cv::COLOR_GRAY2BGR);
  } else {
    out = rectified.clone();
  }
  if (out.empty()) return out;
  // Faded, so the arrows stand out on any print.
  out = out * 0.5 + cv::Scalar::all(110);
  double largest = 0, spacing = 0;
  for (size_t k = 0; k < report.measured.size(); ++k) {
    largest = std::max(largest, cv::norm(report.measured[k] - report.ideal[k]));
    if (k > 0) spacing = std::max(spacing, cv::norm(report.ideal[k] - report.ideal[k - 1]));
  }
  // The largest arrow spans about half the distance between neighbouring corners.
  const double wanted = largest > 1e-6 ? 0.5 * std::max(spacing, 20.0) / largest : 1.0;
  double gain = 1;
  for (double step : {2.0, 5.0, 10.0, 20.0, 50.0, 100.0, 200.0, 500.0, 1000.0}) {
    if (step <= wanted) gain = step;
  }
  const int thickness = std::max(1, out.cols / 600);
  for (size_t k = 0; k < report.measured.size(); ++k) {
    const cv::Point2f from = report.ideal[k];
    const cv::Point2f to = from + (report.measured[k] - from) * static_cast<float>(gain);
    cv::circle(out, from, 2 * thickness, cv::Scalar(200, 120, 0), cv::FILLED, cv::LINE_AA);
    cv::arrowedLine(out, from, to, cv::Scalar(0, 0, 230), thickness, cv::LINE_AA, 0, 0.25);
  }
  char text[96];
  std::snprintf(text, sizeof text, "x%g  scale %+.2f%%  RMS %.2f mm  max %.2f mm", gain,
                report.scaleErrorPercent, report.rmsMm, report.maxMm);
  const double fontScale = std::max(0.4, out.cols / 1600.0);
  cv::putText(out, text, cv::Point(8, static_cast<int>(24 * fontScale / 0.6)),
              cv::FONT_HERSHEY_SIMPLEX, fontScale, cv::Scalar(0, 0, 160), thickness + 1,
              cv::LINE_AA);
  return out;
}

}  // namespace veldrin
