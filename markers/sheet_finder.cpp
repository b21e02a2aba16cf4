#include "markers/sheet_finder.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

#include "markers/grey_picture.h"

namespace veldrin {

namespace {

using Quad = std::array<cv::Point2f, 4>;

// Coarse search runs on a picture of at most this width; the edges are then measured at full
// resolution, so the reduction costs no accuracy.
constexpr int kCoarseWidth = 720;
// Smallest sheet worth reporting, as a share of the picture's area.
constexpr double kMinAreaShare = 0.01;
// Shortest side, in picture pixels: fewer edge points would not pin a line down.
constexpr double kMinSide = 40.0;
// Profiles across an edge are sampled every half pixel.
constexpr float kStep = 0.5f;
// Edge points are taken this far (pixels) from the corners, where blur rounds the edges off.
constexpr float kCornerClearance = 14.0f;
// Weakest step across the sheet's edge that counts, in grey levels per pixel.
constexpr float kMinGradient = 4.0f;
// A side must be found along at least this share of its length...
constexpr double kMinSupport = 0.6;
// ...and its edge points must lie this close (RMS, pixels) to the fitted line.
constexpr double kMaxLineRms = 0.8;
// Least difference in grey level between the sheet and what lies around it.
constexpr float kMinStep = 12.0f;
// Candidates within this many grey levels of the lightest one count as light.
constexpr float kLightTolerance = 35.0f;

double Cross(cv::Point2f a, cv::Point2f b) { return double(a.x) * b.y - double(a.y) * b.x; }

double Area(const Quad& q) {
  double twice = 0;
  for (int i = 0; i < 4; ++i) twice += Cross(q[i], q[(i + 1) % 4]);
  return std::abs(twice) / 2;
}

bool IsConvex(const Quad& q) {
  int sign = 0;
  for (int i = 0; i < 4; ++i) {
    const double c = Cross(q[(i + 1) % 4] - q[i], q[(i + 2) % 4] - q[(i + 1) % 4]);
    const int s = c > 0 ? 1 : (c < 0 ? -1 : 0);
    if (s == 0 || (sign != 0 && s != sign)) return false;
    sign = s;
  }
  return true;
}

// Bilinear grey level; (x, y) must lie within [0, cols - 1) x [0, rows - 1).
inline float Sample(const cv::Mat& grey, float x, float y) {
  const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
  const float fx = x - static_cast<float>(x0), fy = y - static_cast<float>(y0);
  const uchar* r0 = grey.ptr<uchar>(y0) + x0;
  const uchar* r1 = r0 + grey.step[0];
  const float top = float(r0[0]) + fx * (float(r0[1]) - float(r0[0]));
  const float bottom = float(r1[0]) + fx * (float(r1[1]) - float(r1[0]));
  return top + fy * (bottom - top);
}

struct SLine {
  cv::Point2d point;
  cv::Point2d normal;  // unit
};

bool Intersect(const SLine& a, const SLine& b, cv::Point2f& out) {
  // n_a . p = c_a and n_b . p = c_b.
  const double ca = a.normal.dot(a.point), cb = b.normal.dot(b.point);
  const double det = a.normal.x * b.normal.y - a.normal.y * b.normal.x;
  if (std::abs(det) < 1e-6) return false;
  out = cv::Point2f(static_cast<float>((ca * b.normal.y - cb * a.normal.y) / det),
                    static_cast<float>((a.normal.x * cb - b.normal.x * ca) / det));
  return true;
}

struct SEdgePoint {
  cv::Point2d p;
  float strength;
  float inside;  // grey level just inside the edge
};

struct SSideFit {
  SLine line;
  double support = 0;  // share of the samples that lie on the line
  double rms = 0;
  float inside = 0;  // median grey level just inside
  bool ok = false;
};

// Weighted total least squares with the worst points dropped until the rest agree.
SSideFit FitLine(std::vector<SEdgePoint>& points, size_t samples) {
  SSideFit fit;
  std::vector<char> keep(points.size(), 1);
  std::vector<double> residual(points.size());
  for (int round = 0; round < 4; ++round) {
    double w = 0, mx = 0, my = 0;
    for (size_t i = 0; i < points.size(); ++i) {
      if (!keep[i]) continue;
      w += points[i].strength;
      mx += points[i].strength * points[i].p.x;
      my += points[i].strength * points[i].p.y;
    }
    if (w <= 0) return fit;
    mx /= w;
    my /= w;
    double sxx = 0, sxy = 0, syy = 0;
    for (size_t i = 0; i < points.size(); ++i) {
      if (!keep[i]) continue;
      const double dx = points[i].p.x - mx, dy = points[i].p.y - my;
      sxx += points[i].strength * dx * dx;
      sxy += points[i].strength * dx * dy;
      syy += points[i].strength * dy * dy;
    }
    // The normal is the eigenvector of the smaller eigenvalue.
    const double angle = 0.5 * std::atan2(2 * sxy, sxx - syy);
    fit.line.point = {mx, my};
    fit.line.normal = {-std::sin(angle), std::cos(angle)};
    std::vector<double> abs;
    for (size_t i = 0; i < points.size(); ++i) {
      residual[i] = std::abs(fit.line.normal.dot(points[i].p - fit.line.point));
      if (keep[i]) abs.push_back(residual[i]);
    }
    std::nth_element(abs.begin(), abs.begin() + abs.size() / 2, abs.end());
    const double sigma = 1.4826 * abs[abs.size() / 2];
    const double limit = std::max(3.0 * sigma, 0.35);
    size_t changed = 0;
    for (size_t i = 0; i < points.size(); ++i) {
      const char k = residual[i] <= limit ? 1 : 0;
      changed += k != keep[i];
      keep[i] = k;
    }
    if (changed == 0 && round > 0) break;
  }
  double sum = 0;
  size_t inliers = 0;
  std::vector<float> inside;
  for (size_t i = 0; i < points.size(); ++i) {
    if (!keep[i]) continue;
    sum += residual[i] * residual[i];
    inside.push_back(points[i].inside);
    ++inliers;
  }
  if (inliers < 8) return fit;
  fit.rms = std::sqrt(sum / double(inliers));
  fit.support = double(inliers) / double(std::max<size_t>(samples, 1));
  std::nth_element(inside.begin(), inside.begin() + inside.size() / 2, inside.end());
  fit.inside = inside[inside.size() / 2];
  fit.ok = true;
  return fit;
}

// Measures the edge from a to b (the quad's interior on the side `inward` points to) along
// profiles of half-length `reach` and fits a line to it.
SSideFit MeasureSide(const cv::Mat& grey, cv::Point2f a, cv::Point2f b, cv::Point2f inward,
                     float reach, std::vector<SEdgePoint>& points, std::vector<float>& profile) {
  const cv::Point2f along = b - a;
  const float length = static_cast<float>(cv::norm(along));
  if (!(length > 2 * kCornerClearance)) return SSideFit{};
  cv::Point2f n(along.y / length, -along.x / length);  // outward unit normal
  if (n.dot(inward) > 0) n = -n;
  const float clearance = std::max(kCornerClearance, 0.04f * length);
  const int steps = static_cast<int>(reach / kStep);
  const int count = 2 * steps + 1;
  const float maxX = static_cast<float>(grey.cols - 1) - 1e-3f;
  const float maxY = static_cast<float>(grey.rows - 1) - 1e-3f;
  points.clear();
  profile.resize(static_cast<size_t>(count));
  size_t samples = 0;
  const float spacing = 1.5f;
  for (float s = clearance; s <= length - clearance; s += spacing) {
    ++samples;
    const cv::Point2f base = a + along * (s / length);
    const cv::Point2f first = base - n * reach, last = base + n * reach;
    // Written so that a non-number fails too.
    if (!(std::min(first.x, last.x) >= 0 && std::min(first.y, last.y) >= 0 &&
          std::max(first.x, last.x) < maxX && std::max(first.y, last.y) < maxY)) {
      continue;
    }
    for (int k = 0; k < count; ++k) {
      const cv::Point2f q = base + n * (static_cast<float>(k - steps) * kStep);
      profile[static_cast<size_t>(k)] = Sample(grey, q.x, q.y);
    }
    // The grey level falls going outward: light sheet, darker surroundings.
    int best = -1;
    float peak = 0;
    for (int k = 1; k + 1 < count; ++k) {
      const float g = (profile[k - 1] - profile[k + 1]) / (2 * kStep);
      if (g > peak) {
        peak = g;
        best = k;
      }
    }
    if (best < 0 || peak < kMinGradient) continue;
    // Centre of the gradient over the run of samples around the peak: unbiased for a blurred
    // step whatever its width, and for a sharp area-sampled one. The run ends where the
    // gradient has nearly died away, so neighbouring print or noise stays out.
    double wsum = 0, ksum = 0;
    const float floor = 0.12f * peak;
    int lo = best, hi = best;
    while (lo > 1 && (profile[lo - 2] - profile[lo]) / (2 * kStep) > floor) --lo;
    while (hi < count - 2 && (profile[hi] - profile[hi + 2]) / (2 * kStep) > floor) ++hi;
    for (int k = lo; k <= hi; ++k) {
      const float g = (profile[k - 1] - profile[k + 1]) / (2 * kStep);
      wsum += g;
      ksum += g * k;
    }
    if (wsum <= 0) continue;
    const double offset = (ksum / wsum - steps) * kStep;
    const float inside = profile[static_cast<size_t>(std::max(0, best - 6))];
    points.push_back({cv::Point2d(base.x + n.x * offset, base.y + n.y * offset), peak, inside});
  }
  return FitLine(points, samples);
}

// Median grey level a few pixels outside the side from a to b: a sheet lies on something darker,
// while a frame printed on paper has paper again just beyond its line.
float OutsideLevel(const cv::Mat& grey, cv::Point2f a, cv::Point2f b, cv::Point2f inward) {
  constexpr float kOut = 7.0f;
  const cv::Point2f along = b - a;
  const float length = static_cast<float>(cv::norm(along));
  if (!(length > 2 * kCornerClearance)) return 255;
  cv::Point2f n(along.y / length, -along.x / length);
  if (n.dot(inward) > 0) n = -n;
  std::vector<float> levels;
  for (float s = kCornerClearance; s <= length - kCornerClearance; s += 3.0f) {
    const cv::Point2f q = a + along * (s / length) + n * kOut;
    if (!(q.x >= 0 && q.y >= 0 && q.x < float(grey.cols - 1) && q.y < float(grey.rows - 1))) {
      continue;
    }
    levels.push_back(Sample(grey, q.x, q.y));
  }
  if (levels.empty()) return 255;
  std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
  return levels[levels.size() / 2];
}

struct SCandidate {
  Quad corners;
  double area = 0;
  float inside = 0;
};

// Moves a rough quadrilateral onto the picture's edges. False when its sides are not convincing
// edges of one light quadrilateral. `reach0`: how far (pixels) the rough sides may lie from the
// true edges.
bool Refine(const cv::Mat& grey, const Quad& rough, float reach0, SCandidate& result) {
  Quad q = rough;
  std::vector<SEdgePoint> points;
  std::vector<float> profile;
  const float reaches[] = {reach0, 4.0f, 3.0f};
  std::array<SSideFit, 4> fits;
  for (float reach : reaches) {
    const cv::Point2f centre = (q[0] + q[1] + q[2] + q[3]) * 0.25f;
    for (int i = 0; i < 4; ++i) {
      const cv::Point2f a = q[i], b = q[(i + 1) % 4];
      fits[i] = MeasureSide(grey, a, b, centre - (a + b) * 0.5f, reach, points, profile);
      if (!fits[i].ok) return false;
    }
    Quad next;
    for (int i = 0; i < 4; ++i) {
      if (!Intersect(fits[(i + 3) % 4].line, fits[i].line, next[i])) return false;
    }
    q = next;
    if (!IsConvex(q)) return false;
  }
  float inside = 255;
  const cv::Point2f centre = (q[0] + q[1] + q[2] + q[3]) * 0.25f;
  for (int i = 0; i < 4; ++i) {
    const SSideFit& fit = fits[i];
    if (fit.support < kMinSupport || fit.rms > kMaxLineRms) return false;
    const cv::Point2f a = q[i], b = q[(i + 1) % 4];
    if (OutsideLevel(grey, a, b, centre - (a + b) * 0.5f) > fit.inside - kMinStep) return false;
    inside = std::min(inside, fit.inside);
  }
  for (const cv::Point2f& p : q) {
    if (p.x < 1 || p.y < 1 || p.x > float(grey.cols - 2) || p.y > float(grey.rows - 2)) {
      return false;
    }
  }
  for (int i = 0; i < 4; ++i) {
    if (cv::norm(q[i] - q[(i + 1) % 4]) < kMinSide) return false;
  }
  result.corners = q;
  result.area = Area(q);
  result.inside = inside;
  return true;
}

// Rough quadrilaterals from the outlines of light regions at several grey levels, in the
// coordinates of `small`.
std::vector<Quad> RoughQuads(const cv::Mat& small, double minArea) {
  cv::Mat blurred, binary;
  cv::GaussianBlur(small, blurred, cv::Size(5, 5), 1.0);
  std::vector<double> levels;
  levels.push_back(cv::threshold(blurred, binary, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU));
  for (int level = 40; level <= 232; level += 24) levels.push_back(level);
  std::vector<Quad> quads;
  std::vector<std::vector<cv::Point>> contours;
  std::vector<cv::Point> hull, polygon;
  const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
  for (double level : levels) {
    cv::threshold(blurred, binary, level, 255, cv::THRESH_BINARY);
    // Opening cuts thin bridges of light texture that would join the sheet to its surroundings.
    cv::morphologyEx(binary, binary, cv::MORPH_OPEN, kernel);
    cv::findContours(binary, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    for (const auto& contour : contours) {
      const double area = cv::contourArea(contour);
      if (area < minArea) continue;
      cv::convexHull(contour, hull);
      cv::approxPolyDP(hull, polygon, 0.02 * cv::arcLength(hull, true), true);
      if (polygon.size() != 4) continue;
      // The region must fill its quadrilateral: not an L-shape or a blob with a corner missing.
      if (area < 0.85 * cv::contourArea(polygon)) continue;
      Quad quad;
      for (int i = 0; i < 4; ++i) quad[i] = cv::Point2f(polygon[i]);
      const bool seen = std::any_of(quads.begin(), quads.end(), [&](const Quad& other) {
        for (const cv::Point2f& p : quad) {
          const bool near = std::any_of(other.begin(), other.end(),
                                        [&](cv::Point2f o) { return cv::norm(o - p) < 3.0; });
          if (!near) return false;
        }
        return true;
      });
      if (!seen) quads.push_back(quad);
    }
  }
  return quads;
}

}  // namespace

void OrderCornersClockwise(std::vector<cv::Point2f>& corners) {
  if (corners.size() != 4) return;
  const cv::Point2f centre = (corners[0] + corners[1] + corners[2] + corners[3]) * 0.25f;
  auto angle = [&](cv::Point2f p) { return std::atan2(p.y - centre.y, p.x - centre.x); };
  // With y pointing down, a growing angle turns clockwise on the screen.
  std::sort(corners.begin(), corners.end(),
            [&](cv::Point2f a, cv::Point2f b) { return angle(a) < angle(b); });
  size_t first = 0;
  double best = -1e9;
  for (size_t i = 0; i < 4; ++i) {
    const cv::Point2f d = corners[i] - centre;
    const double toward = -(d.x + d.y) / std::max(1e-9, cv::norm(d));
    if (toward > best) {
      best = toward;
      first = i;
    }
  }
  std::rotate(corners.begin(), corners.begin() + static_cast<long>(first), corners.end());
}

bool FindSheet(const cv::Mat& picture, std::vector<cv::Point2f>& corners) {
  cv::Mat grey;
  if (!GreyPicture(picture, grey)) return false;
  if (grey.cols < 16 || grey.rows < 16) return false;

  double factor = 1.0;
  cv::Mat small = grey;
  if (grey.cols > kCoarseWidth) {
    factor = double(grey.cols) / kCoarseWidth;
    cv::resize(grey, small, cv::Size(kCoarseWidth, int(std::lround(grey.rows / factor))), 0, 0,
               cv::INTER_AREA);
  }
  const double pictureArea = double(grey.cols) * grey.rows;
  const std::vector<Quad> rough =
      RoughQuads(small, kMinAreaShare * pictureArea / (factor * factor));

  std::vector<SCandidate> found;
  for (const Quad& coarse : rough) {
    Quad full;
    for (int i = 0; i < 4; ++i) {
      // Pixel centres: centre i of the reduced picture covers full pixels around (i + 0.5) f.
      full[i] = (coarse[i] + cv::Point2f(0.5f, 0.5f)) * static_cast<float>(factor) -
                cv::Point2f(0.5f, 0.5f);
    }
    SCandidate candidate;
    // The rough outline is good to a pixel or two of the reduced picture; a wider search would
    // only risk meeting print near the sheet's edge.
    if (!Refine(grey, full, 3.0f + 3.0f * static_cast<float>(factor), candidate)) continue;
    if (candidate.area < kMinAreaShare * pictureArea) continue;
    found.push_back(candidate);
  }
  if (found.empty()) return false;

  float lightest = 0;
  for (const SCandidate& c : found) lightest = std::max(lightest, c.inside);
  const SCandidate* best = nullptr;
  for (const SCandidate& c : found) {
    if (c.inside < lightest - kLightTolerance) continue;
    if (best == nullptr || c.area > best->area) best = &c;
  }
  corners.assign(best->corners.begin(), best->corners.end());
  OrderCornersClockwise(corners);
  return true;
}

}  // namespace veldrin
