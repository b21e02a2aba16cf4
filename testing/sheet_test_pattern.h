#pragma once

// Synthetic camera pictures of a sheet on a table with exactly known corners, for the sheet
// finder's tests and benchmark. The sheet's edges are area-sampled (rendered at four times the
// size and reduced), so a corner's true position is known to well under a tenth of a pixel;
// then blur and sensor noise are added as a camera would.

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

namespace veldrin_test {

struct SSheetPicture {
  cv::Size size{1280, 720};
  std::vector<cv::Point2f> corners;  // the sheet's corners in picture pixels, any order
  double blurSigma = 1.0;            // pixels; 0 for none
  double noiseSigma = 4.0;           // grey levels
  bool texturedTable = true;
  bool distractors = true;  // smaller objects on the table, away from the sheet
  int sheetGrey = 235;
  int tableGrey = 120;
  unsigned seed = 1;
};

// Corners of a `widthMm` x `heightMm` sheet lying on a table, turned by `rotationDeg` about the
// table's normal and seen by a camera tilted by `tiltDeg` from straight down, centred at
// `centre` and scaled so that its longer side spans about `spanPx` pixels. Order: the sheet's
// top-left, top-right, bottom-right, bottom-left before any turn.
inline std::vector<cv::Point2f> SheetInView(cv::Point2f centre, double spanPx, double rotationDeg,
                                            double tiltDeg, double widthMm = 297,
                                            double heightMm = 210) {
  const double pi = 3.14159265358979323846;
  const double r = rotationDeg * pi / 180, t = tiltDeg * pi / 180;
  const double distance = 2.5 * std::max(widthMm, heightMm);
  const double focal = spanPx * distance / std::max(widthMm, heightMm);
  std::vector<cv::Point2f> corners;
  const double local[4][2] = {{-widthMm / 2, -heightMm / 2},
                              {widthMm / 2, -heightMm / 2},
                              {widthMm / 2, heightMm / 2},
                              {-widthMm / 2, heightMm / 2}};
  for (const auto& q : local) {
    // Turn on the table (x right, y toward the viewer's bottom), then tilt about x: points on
    // the far (upper) side move away from the camera.
    const double x = std::cos(r) * q[0] - std::sin(r) * q[1];
    const double y = std::sin(r) * q[0] + std::cos(r) * q[1];
    const double yc = y * std::cos(t), zc = distance + y * std::sin(t) * -1.0;
    corners.emplace_back(static_cast<float>(centre.x + focal * x / zc),
                         static_cast<float>(centre.y + focal * yc / zc));
  }
  return corners;
}

// Area coverage (0..1) of a convex polygon; pixel (i, j) covers [i - 0.5, i + 0.5] x
// [j - 0.5, j + 0.5]. Exact across each of 16 scan lines per pixel row, so an edge's position
// is true to a few thousandths of a pixel.
inline cv::Mat PolygonCoverage(cv::Size size, const std::vector<cv::Point2f>& polygon) {
  constexpr int kLines = 16;
  cv::Mat cover(size, CV_32F, cv::Scalar(0));
  const size_t n = polygon.size();
  for (int row = 0; row < size.height; ++row) {
    float* out = cover.ptr<float>(row);
    for (int k = 0; k < kLines; ++k) {
      const double y = row - 0.5 + (k + 0.5) / kLines;
      double left = 1e30, right = -1e30;
      for (size_t i = 0; i < n; ++i) {
        const cv::Point2d a = polygon[i], b = polygon[(i + 1) % n];
        if ((a.y <= y) == (b.y <= y)) continue;
        const double x = a.x + (y - a.y) * (b.x - a.x) / (b.y - a.y);
        left = std::min(left, x);
        right = std::max(right, x);
      }
      if (left >= right) continue;
      const int first = std::max(0, static_cast<int>(std::floor(left + 0.5)));
      const int last = std::min(size.width - 1, static_cast<int>(std::floor(right + 0.5)));
      for (int col = first; col <= last; ++col) {
        const double covered = std::min(right, col + 0.5) - std::max(left, col - 0.5);
        if (covered > 0) out[col] += static_cast<float>(covered / kLines);
      }
    }
  }
  return cover;
}

inline cv::Mat RenderSheetPicture(const SSheetPicture& s) {
  cv::RNG rng(s.seed);
  cv::Mat table(s.size, CV_32F, cv::Scalar(s.tableGrey));
  if (s.texturedTable) {
    // Wood-like grain: smooth blotches stretched sideways, plus fine streaks.
    cv::Mat coarse(std::max(2, s.size.height / 40), std::max(2, s.size.width / 160), CV_32F);
    rng.fill(coarse, cv::RNG::NORMAL, 0, 22);
    cv::Mat grain;
    cv::resize(coarse, grain, s.size, 0, 0, cv::INTER_CUBIC);
    table += grain;
    cv::Mat streaks(s.size.height, 1, CV_32F);
    rng.fill(streaks, cv::RNG::NORMAL, 0, 10);
    table += cv::repeat(streaks, 1, s.size.width);
    for (int i = 0; i < 40; ++i) {
      const cv::Point a(rng.uniform(0, s.size.width), rng.uniform(0, s.size.height));
      cv::line(table, a, a + cv::Point(rng.uniform(20, 200), rng.uniform(-6, 6)),
               cv::Scalar(s.tableGrey + rng.uniform(-50, 40)), 1, cv::LINE_AA);
    }
  }
  cv::Mat sheet(s.size, CV_32F, cv::Scalar(s.sheetGrey));
  // Printed content well inside the sheet: blocks and lines in its inner part.
  cv::Point2f c(0, 0);
  for (const cv::Point2f& p : s.corners) c += p * 0.25f;
  auto inner = [&](float k) {
    std::vector<cv::Point> q;
    for (const cv::Point2f& p : s.corners) q.emplace_back(c + (p - c) * k);
    return q;
  };
  cv::polylines(sheet, std::vector<std::vector<cv::Point>>{inner(0.8f)}, true, cv::Scalar(40), 2,
                cv::LINE_AA);
  cv::fillConvexPoly(sheet, inner(0.3f), cv::Scalar(60), cv::LINE_AA);

  if (s.distractors) {
    // A light card, a dark box and a round tape reel, all smaller than the sheet, placed on the
    // far side of the picture from it.
    const float span = static_cast<float>(
        std::max(cv::norm(s.corners[0] - s.corners[2]), cv::norm(s.corners[1] - s.corners[3])));
    const cv::Point2f away(c.x < s.size.width / 2.f ? s.size.width * 0.85f : s.size.width * 0.15f,
                           c.y < s.size.height / 2.f ? s.size.height * 0.8f : s.size.height * 0.2f);
    const float r = std::max(6.f, 0.08f * span);
    std::vector<cv::Point2f> card = {away + cv::Point2f(-r, -0.7f * r),
                                     away + cv::Point2f(r * 1.1f, -r),
                                     away + cv::Point2f(r, 0.6f * r), away + cv::Point2f(-r, r)};
    // Objects that would touch the sheet are left out: the sheet lies free on the table.
    cv::Rect sheetBox = cv::boundingRect(s.corners);
    sheetBox -= cv::Point(12, 12);
    sheetBox += cv::Size(24, 24);
    if ((cv::boundingRect(card) & sheetBox).empty()) {
      const cv::Mat cover = PolygonCoverage(s.size, card);
      table = table.mul(1 - cover) + cover * (s.sheetGrey - 10);
    }
    const int radius = static_cast<int>(r * 0.7f);
    const cv::Point reel(static_cast<int>(away.x), static_cast<int>(c.y));
    if ((cv::Rect(reel - cv::Point(radius, radius), cv::Size(2 * radius, 2 * radius)) & sheetBox)
            .empty()) {
      cv::circle(table, reel, radius, cv::Scalar(30), cv::FILLED, cv::LINE_AA);
    }
    const cv::Rect box(static_cast<int>(c.x - r), static_cast<int>(away.y - r / 2),
                       static_cast<int>(r), static_cast<int>(r * 0.6f));
    if ((box & sheetBox).empty()) {
      cv::rectangle(table, box, cv::Scalar(s.tableGrey + 60), cv::FILLED);
    }
  }

  const cv::Mat cover = PolygonCoverage(s.size, s.corners);
  cv::Mat grey = table.mul(1 - cover) + sheet.mul(cover);
  if (s.blurSigma > 0) cv::GaussianBlur(grey, grey, cv::Size(0, 0), s.blurSigma);
  if (s.noiseSigma > 0) {
    cv::Mat noise(s.size, CV_32F);
    rng.fill(noise, cv::RNG::NORMAL, 0, s.noiseSigma);
    grey += noise;
  }
  cv::Mat out, bgr;
  grey.convertTo(out, CV_8U);
  cv::cvtColor(out, bgr, cv::COLOR_GRAY2BGR);
  return bgr;
}

}  // namespace veldrin_test
