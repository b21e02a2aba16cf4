#include "video/table_scene.h"

#include <json/json.h>
#ifdef VELDRIN_HAVE_QRENCODE
#include <qrencode.h>
#endif

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "video/scene_json.h"
#include "video/scene_params.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
double Radians(double degrees) { return degrees * kPi / 180.0; }

// Chart drawing helpers work in millimetres on a picture of `ppm` pixels per millimetre.
struct CChartPen {
  cv::Mat& chart;
  double ppm;
  cv::Point P(double xMm, double yMm) const {
    return cv::Point(static_cast<int>(std::lround(xMm * ppm)),
                     static_cast<int>(std::lround(yMm * ppm)));
  }
  void Box(double x, double y, double w, double h, const cv::Scalar& colour) const {
    cv::rectangle(chart, P(x, y), P(x + w, y + h) - cv::Point(1, 1), colour, cv::FILLED);
  }
  void Line(double x0, double y0, double x1, double y1, double widthMm) const {
    cv::line(chart, P(x0, y0), P(x1, y1), cv::Scalar(20, 20, 20),
             std::max(1, static_cast<int>(std::lround(widthMm * ppm))), cv::LINE_AA);
  }
  void Text(const std::string& text, double x, double y, double heightMm) const {
    const double scale = heightMm * ppm / 22.0;  // Hershey simplex capitals are ~22 px at 1.0
    cv::putText(chart, text, P(x, y), cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(20, 20, 20),
                std::max(1, static_cast<int>(std::lround(scale * 2))), cv::LINE_AA);
  }
};

#ifdef VELDRIN_HAVE_QRENCODE
struct QRcodeDeleter {
  void operator()(QRcode* code) const { QRcode_free(code); }
};
using QRcodePtr = std::unique_ptr<QRcode, QRcodeDeleter>;

QRcodePtr EncodeQR(const std::string& text) {
  return QRcodePtr(QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1));
}
#endif

// The eight corners of the box in table millimetres: bottom 0..3, top 4..7, counter-clockwise.
std::array<cv::Vec3d, 8> BoxCorners(const SSceneBox& b) {
  const double a = Radians(b.rotationDeg), c = std::cos(a), s = std::sin(a);
  const double hx = b.sizeMm[0] / 2, hy = b.sizeMm[1] / 2;
  const double local[4][2] = {{-hx, -hy}, {hx, -hy}, {hx, hy}, {-hx, hy}};
  std::array<cv::Vec3d, 8> corners;
  for (int i = 0; i < 4; ++i) {
    const double x = b.centreMm[0] + c * local[i][0] - s * local[i][1];
    const double y = b.centreMm[1] + s * local[i][0] + c * local[i][1];
    corners[i] = cv::Vec3d(x, y, 0.0);
    corners[i + 4] = cv::Vec3d(x, y, b.sizeMm[2]);
  }
  return corners;
}

// Draws the box and its mark into the colour picture (any size: the native picture scaled).
void DrawSceneBox(const STableSceneParams& params, const SSceneBox& box, cv::Mat& picture) {
  const STableSceneCamera camera = veldrin::TableSceneCamera(params);
  const std::array<cv::Vec3d, 8> q = BoxCorners(box);
  const cv::Vec3d eye(camera.centre[0], camera.centre[1], camera.centre[2]);
  // Faces as corner indices, outward normals by the right-hand rule.
  static const int kFaces[5][4] = {
      {4, 5, 6, 7}, {0, 1, 5, 4}, {1, 2, 6, 5}, {2, 3, 7, 6}, {3, 0, 4, 7}};
  static const cv::Scalar kShades[5] = {
      {60, 150, 220}, {40, 105, 160}, {35, 90, 140}, {40, 105, 160}, {35, 90, 140}};
  for (int f = 0; f < 5; ++f) {
    const cv::Vec3d& a = q[kFaces[f][0]];
    const cv::Vec3d normal = (q[kFaces[f][1]] - a).cross(q[kFaces[f][3]] - a);
    if (normal.dot(eye - a) <= 0.0) continue;  // turned away: hidden behind the others
    cv::Point polygon[4];
    bool inFront = true;
    for (int i = 0; i < 4; ++i) {
      const cv::Vec3d& corner = q[kFaces[f][i]];
      inFront = inFront && veldrin::TableToColorCamera(camera, corner)[2] > 1.0;
      const cv::Point2f p = veldrin::TableToColorPixel(params, camera, corner, picture.size());
      // Sub-pixel vertices keep the edges where the depth side measures them.
      polygon[i] = cv::Point(static_cast<int>(std::lround(p.x * 16)),
                             static_cast<int>(std::lround(p.y * 16)));
    }
    if (inFront) cv::fillConvexPoly(picture, polygon, 4, kShades[f], cv::LINE_AA, 4);
  }
  if (!box.mark) return;
  // The disc on the top face (turned towards the camera whenever the camera is above the box).
  const SSceneMark& mark = *box.mark;
  constexpr int kSteps = 64;
  std::vector<cv::Point> disc;
  for (int i = 0; i < kSteps; ++i) {
    const double a = 2.0 * kPi * i / kSteps, r = mark.diameterMm / 2.0;
    const cv::Vec3d q3(box.centreMm[0] + r * std::cos(a), box.centreMm[1] + r * std::sin(a),
                       box.sizeMm[2]);
    if (veldrin::TableToColorCamera(camera, q3)[2] <= 1.0) return;
    const cv::Point2f p = veldrin::TableToColorPixel(params, camera, q3, picture.size());
    disc.emplace_back(static_cast<int>(std::lround(p.x * 16)),
                      static_cast<int>(std::lround(p.y * 16)));
  }
  cv::fillConvexPoly(picture, disc, cv::Scalar(mark.rgb[2], mark.rgb[1], mark.rgb[0]), cv::LINE_AA,
                     4);
}

// All boxes, the farthest from the camera first, so nearer ones cover what they hide.
void DrawSceneBoxes(const STableSceneParams& params, const std::vector<SSceneBox>& boxes,
                    cv::Mat& picture) {
  const STableSceneCamera camera = veldrin::TableSceneCamera(params);
  std::vector<std::pair<double, const SSceneBox*>> order;
  for (const SSceneBox& box : boxes) {
    const double dx = box.centreMm[0] - camera.centre[0], dy = box.centreMm[1] - camera.centre[1];
    order.emplace_back(-(dx * dx + dy * dy), &box);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [distance, box] : order) DrawSceneBox(params, *box, picture);
}

}  // namespace

CTableScene::CTableScene(const STableSceneParams& params) : m_params(params) {
  const STableSceneCamera camera = veldrin::TableSceneCamera(m_params);
  std::copy(&camera.rotation[0][0], &camera.rotation[0][0] + 9, &m_rotation[0][0]);
  std::copy(camera.centre, camera.centre + 3, m_centre);
}

cv::Point2f CTableScene::Project(double xMm, double yMm, cv::Size size) const {
  const double d[3] = {xMm - m_centre[0], yMm - m_centre[1], -m_centre[2]};
  double c[3];
  for (int i = 0; i < 3; ++i) {
    c[i] = m_rotation[i][0] * d[0] + m_rotation[i][1] * d[1] + m_rotation[i][2] * d[2];
  }
  // Intrinsics of the native size; other sizes are the native picture scaled.
  const double f = veldrin::SceneFocalLength(m_params);
  const double u = f * c[0] / c[2] + m_params.width / 2.0;
  const double v = f * c[1] / c[2] + m_params.height / 2.0;
  return cv::Point2f(static_cast<float>(u * size.width / m_params.width),
                     static_cast<float>(v * size.height / m_params.height));
}

cv::Matx33d CTableScene::CameraMatrix(cv::Size size) const {
  const double f = veldrin::SceneFocalLength(m_params);
  const double sx = static_cast<double>(size.width) / m_params.width;
  const double sy = static_cast<double>(size.height) / m_params.height;
  return cv::Matx33d(f * sx, 0, m_params.width / 2.0 * sx, 0, f * sy, m_params.height / 2.0 * sy, 0,
                     0, 1);
}

cv::Point2f CTableScene::Distort(cv::Point2f ideal, cv::Size size) const {
  const cv::Matx33d k = CameraMatrix(size);
  const double x = (ideal.x - k(0, 2)) / k(0, 0), y = (ideal.y - k(1, 2)) / k(1, 1);
  const double r = std::hypot(x, y);
  const double scale = r > 0 ? veldrin::SceneRadialImage(m_params, r) / r : 1.0;
  return cv::Point2f(static_cast<float>(k(0, 0) * x * scale + k(0, 2)),
                     static_cast<float>(k(1, 1) * y * scale + k(1, 2)));
}

std::vector<cv::Point2f> CTableScene::SheetCorners(cv::Size size) const {
  std::vector<cv::Point2f> corners;
  for (const cv::Point2d& q : veldrin::SheetOnTable(m_params)) {
    const cv::Point2f ideal = Project(q.x, q.y, size);
    corners.push_back(HasDistortion() ? Distort(ideal, size) : ideal);
  }
  return corners;
}

cv::Rect CTableScene::CounterArea(cv::Size size) const {
  const int h = std::max(12, size.height / 20);
  return cv::Rect(size.width / 50, size.height - h - size.height / 50,
                  std::min(size.width / 3, h * 8), h);
}

void CTableScene::DrawBoard(cv::Mat& chart) const {
  // n inner corners lie between n + 1 squares.
  const int columns = m_params.boardColumns + 1, rows = m_params.boardRows + 1;
  const double s = m_params.boardSquareMm;
  const double x0 = (m_params.sheetWidthMm - columns * s) / 2;
  const double y0 = (m_params.sheetHeightMm - rows * s) / 2;
  // Chart pixel centres sit at whole numbers and the chart's outer edges at -0.5, so a point
  // x mm from the sheet's left edge is at x * cols / width - 0.5. Squares are drawn from these
  // exact positions with sub-pixel vertices, so the printed grid is true to the millimetre.
  constexpr int kShift = 6;
  const double sx = chart.cols / m_params.sheetWidthMm, sy = chart.rows / m_params.sheetHeightMm;
  auto at = [&](double xMm, double yMm) {
    return cv::Point(static_cast<int>(std::lround((xMm * sx - 0.5) * (1 << kShift))),
                     static_cast<int>(std::lround((yMm * sy - 0.5) * (1 << kShift))));
  };
  auto box = [&](double x, double y, double w, double h, const cv::Scalar& colour) {
    const cv::Point q[4] = {at(x, y), at(x + w, y), at(x + w, y + h), at(x, y + h)};
    cv::fillConvexPoly(chart, q, 4, colour, cv::LINE_AA, kShift);
  };
  for (int row = 0; row < rows; ++row) {
    for (int col = 0; col < columns; ++col) {
      if ((row + col) % 2 == 0) box(x0 + col * s, y0 + row * s, s, s, cv::Scalar(20, 20, 20));
    }
  }
}

cv::Mat CTableScene::MakeChart(double ppm) const {
  const double w = m_params.sheetWidthMm, h = m_params.sheetHeightMm;
  const double m = std::min(w, h);
  const double margin = 0.06 * m;
  cv::Mat chart(static_cast<int>(std::lround(h * ppm)), static_cast<int>(std::lround(w * ppm)),
                CV_8UC3, cv::Scalar(242, 244, 245));
  if (m_params.boardColumns > 0) {
    DrawBoard(chart);
    return chart;
  }
  const CChartPen pen{chart, ppm};

  // Colour patches, a grey ramp and a checkerboard in the left half.
  static const cv::Scalar kPatches[12] = {{68, 82, 115},  {130, 150, 194}, {157, 122, 98},
                                          {67, 108, 87},  {177, 128, 133}, {170, 189, 103},
                                          {44, 126, 214}, {166, 91, 80},   {99, 90, 193},
                                          {108, 60, 94},  {64, 188, 157},  {46, 163, 224}};
  const double areaW = 0.5 * w - margin;
  const double patch = std::min(areaW / 6, 0.14 * h);
  for (int i = 0; i < 12; ++i) {
    const int column = i % 6;
    const int row = i / 6;
    pen.Box(margin + column * patch, margin + row * patch, patch * 0.92, patch * 0.92, kPatches[i]);
  }
  const double rampY = margin + 2.2 * patch;
  for (int i = 0; i < 8; ++i) {
    const double grey = 255.0 * i / 7;
    pen.Box(margin + i * areaW / 8, rampY, areaW / 8, 0.6 * patch, cv::Scalar::all(grey));
  }
  const double boardY = rampY + 0.9 * patch;
  const double square = std::min(areaW / 6, (h - margin - 0.12 * m - boardY) / 4);
  for (int row = 0; row < 4 && square > 0; ++row) {
    for (int col = 0; col < 6; ++col) {
      if ((row + col) % 2 == 0) {
        pen.Box(margin + col * square, boardY + row * square, square, square,
                cv::Scalar(20, 20, 20));
      }
    }
  }

  // The arrow points at the sheet's top edge.
  const double ax = 0.62 * w, tip = margin, tail = h - 0.2 * m;
  const double head = 0.12 * m, shaft = 0.035 * m;
  pen.Box(ax - shaft / 2, tip + head * 0.9, shaft, tail - tip - head * 0.9, cv::Scalar(20, 20, 20));
  const cv::Point arrowHead[3] = {pen.P(ax, tip), pen.P(ax - head / 2, tip + head),
                                  pen.P(ax + head / 2, tip + head)};
  cv::fillConvexPoly(chart, arrowHead, 3, cv::Scalar(20, 20, 20), cv::LINE_AA);
  pen.Text("UP", ax + shaft, tail - 0.02 * m, 0.05 * m);

  // Millimetre scale along the bottom edge, labelled every centimetre.
  const double baseY = h - margin * 0.6;
  const double length = std::floor(w - 2 * margin);
  pen.Line(margin, baseY, margin + length, baseY, 0.3);
  for (int mm = 0; mm <= static_cast<int>(length); ++mm) {
    const double tick = mm % 10 == 0 ? 4.0 : (mm % 5 == 0 ? 2.5 : 1.5);
    pen.Line(margin + mm, baseY, margin + mm, baseY - tick, 0.2);
    if (mm % 10 == 0 && mm + 6 < length) {
      pen.Text(std::to_string(mm / 10), margin + mm + 0.5, baseY - 4.5, 2.5);
    }
  }

#ifdef VELDRIN_HAVE_QRENCODE
  if (m_params.qrCode) {
    if (QRcodePtr code = EncodeQR(m_params.qrText)) {
      const double size = std::min(m_params.qrSizeMm, 0.45 * m);
      const double module = size / code->width;
      const double x0 = w - margin - size, y0 = margin;
      // Quiet zone of four modules kept white whatever else is near.
      pen.Box(x0 - 4 * module, y0 - 4 * module, size + 8 * module, size + 8 * module,
              cv::Scalar::all(255));
      for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
          if (code->data[y * code->width + x] & 1) {
            pen.Box(x0 + x * module, y0 + y * module, module, module, cv::Scalar::all(0));
          }
        }
      }
    }
  }
#endif
  return chart;
}

cv::Mat CTableScene::RenderIdeal(cv::Size size, cv::Size canvas, cv::Point2f offset) const {
  const auto at = [&](double x, double y) { return Project(x, y, size) + offset; };
  cv::Mat picture(canvas, CV_8UC3, cv::Scalar(58, 62, 70));  // floor

  // The table top with a 100 mm grid.
  std::vector<cv::Point> table;
  for (const cv::Point2d& q : veldrin::TableOnTable(m_params)) {
    const cv::Point2f p = at(q.x, q.y);
    table.emplace_back(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)));
  }
  cv::fillConvexPoly(picture, table, cv::Scalar(150, 165, 172), cv::LINE_AA);
  const double hw = m_params.tableWidthMm / 2, hd = m_params.tableDepthMm / 2;
  for (double x = -std::floor(hw / 100) * 100; x <= hw; x += 100) {
    cv::line(picture, at(x, -hd), at(x, hd), cv::Scalar(135, 150, 158), 1, cv::LINE_AA);
  }
  for (double y = -std::floor(hd / 100) * 100; y <= hd; y += 100) {
    cv::line(picture, at(-hw, y), at(hw, y), cv::Scalar(135, 150, 158), 1, cv::LINE_AA);
  }

  // The sheet: a flat chart mapped onto its projected corners, blended through a warped
  // coverage mask so the edges are anti-aliased.
  std::vector<cv::Point2f> corners;
  for (const cv::Point2d& q : veldrin::SheetOnTable(m_params)) corners.push_back(at(q.x, q.y));
  double longest = 0;
  for (int i = 0; i < 4; ++i)
    longest = std::max(longest, cv::norm(corners[i] - corners[(i + 1) % 4]));
  const double ppm = std::clamp(
      1.25 * longest / std::max(m_params.sheetWidthMm, m_params.sheetHeightMm), 2.0, 8.0);
  const cv::Mat chart = MakeChart(ppm);
  const float cw = static_cast<float>(chart.cols), ch = static_cast<float>(chart.rows);
  const std::vector<cv::Point2f> chartCorners = {
      {-0.5f, -0.5f}, {cw - 0.5f, -0.5f}, {cw - 0.5f, ch - 0.5f}, {-0.5f, ch - 0.5f}};
  const cv::Mat homography = cv::getPerspectiveTransform(chartCorners, corners);
  cv::Mat warped, coverage;
  // The chart's colours run on past its edge, so that only the coverage decides how much of
  // the sheet a pixel shows. The coverage comes from each pixel's distance to the sheet's edges
  // (a one-pixel ramp centred on the edge): sampled from the chart's pixels instead, the edge
  // steps from sheet to table within less than a pixel and straight edges look like staircases.
  cv::warpPerspective(chart, warped, homography, canvas, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  coverage.create(canvas, CV_32F);
  double area = 0;
  for (int i = 0; i < 4; ++i) area += corners[i].cross(corners[(i + 1) % 4]);
  const double inward = area > 0 ? 1.0 : -1.0;
  struct SEdge {
    double nx, ny, d;  // inward unit normal and offset: distance = nx x + ny y + d
  };
  SEdge edges[4];
  for (int i = 0; i < 4; ++i) {
    const cv::Point2d a = corners[i], b = corners[(i + 1) % 4];
    const double length = std::max(1e-9, cv::norm(b - a));
    edges[i].nx = -(b.y - a.y) / length * inward;
    edges[i].ny = (b.x - a.x) / length * inward;
    edges[i].d = -(edges[i].nx * a.x + edges[i].ny * a.y);
  }
  for (int y = 0; y < canvas.height; ++y) {
    float* c = coverage.ptr<float>(y);
    for (int x = 0; x < canvas.width; ++x) {
      double inside = 1e9;
      for (const SEdge& e : edges) inside = std::min(inside, e.nx * x + e.ny * y + e.d);
      c[x] = static_cast<float>(std::clamp(inside + 0.5, 0.0, 1.0));
    }
  }
  for (int y = 0; y < canvas.height; ++y) {
    const float* a = coverage.ptr<float>(y);
    const cv::Vec3b* s = warped.ptr<cv::Vec3b>(y);
    cv::Vec3b* d = picture.ptr<cv::Vec3b>(y);
    for (int x = 0; x < canvas.width; ++x) {
      if (a[x] <= 0.f) continue;
      for (int c = 0; c < 3; ++c) {
        d[x][c] = cv::saturate_cast<uchar>(a[x] * s[x][c] + (1.f - a[x]) * d[x][c]);
      }
    }
  }
  return picture;
}

void CTableScene::RenderStatic(cv::Size size) {
  m_cachedSize = size;
  if (!HasDistortion()) {
    m_static = RenderIdeal(size, size, cv::Point2f(0, 0));
    return;
  }
  // Each pixel of the distorted picture samples the ideal one where the lens would have taken it
  // from; barrel distortion shows more than the ideal frame, so the ideal picture is drawn on a
  // canvas large enough for every pixel's source.
  const cv::Matx33d k = CameraMatrix(size);
  cv::Mat map(size, CV_32FC2);
  float minX = 0, minY = 0, maxX = 0, maxY = 0;
  for (int y = 0; y < size.height; ++y) {
    auto* row = map.ptr<cv::Vec2f>(y);
    for (int x = 0; x < size.width; ++x) {
      const double nx = (x - k(0, 2)) / k(0, 0), ny = (y - k(1, 2)) / k(1, 1);
      const double rd = std::hypot(nx, ny);
      const double scale = rd > 0 ? veldrin::SceneUndistortRadius(m_params, rd) / rd : 1.0;
      const float u = static_cast<float>(k(0, 0) * nx * scale + k(0, 2));
      const float v = static_cast<float>(k(1, 1) * ny * scale + k(1, 2));
      row[x] = cv::Vec2f(u, v);
      minX = std::min(minX, u);
      minY = std::min(minY, v);
      maxX = std::max(maxX, u);
      maxY = std::max(maxY, v);
    }
  }
  const cv::Point2f offset(std::ceil(-minX) + 2, std::ceil(-minY) + 2);
  const cv::Size canvas(static_cast<int>(std::ceil(maxX + offset.x)) + 2,
                        static_cast<int>(std::ceil(maxY + offset.y)) + 2);
  const cv::Mat ideal = RenderIdeal(size, canvas, offset);
  map += cv::Scalar(offset.x, offset.y);
  cv::remap(ideal, m_static, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
            cv::Scalar(58, 62, 70));
}

void CTableScene::Render(cv::Size size, std::uint64_t frameNumber, cv::Mat& picture) {
  if (size.width <= 0 || size.height <= 0) size = NativeSize();
  if (size != m_cachedSize) RenderStatic(size);
  m_static.copyTo(picture);
  DrawSceneBoxes(m_params,
                 veldrin::EffectiveSceneBoxes(veldrin::SceneBoxList(m_params.box, m_params.boxes)),
                 picture);
  const cv::Rect area = CounterArea(size);
  cv::rectangle(picture, area, cv::Scalar(30, 30, 30), cv::FILLED);
  char text[32];
  std::snprintf(text, sizeof text, "%06llu", static_cast<unsigned long long>(frameNumber));
  const double scale = area.height / 30.0;
  cv::putText(picture, text, area.tl() + cv::Point(area.height / 4, area.height * 3 / 4),
              cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(90, 230, 90),
              std::max(1, static_cast<int>(scale * 2)), cv::LINE_AA);
  // A dot that walks along the box: motion that is visible at a glance.
  const int radius = std::max(2, area.height / 6);
  const int travel = std::max(1, area.width / 3 - 2 * radius);
  const int x = area.x + area.width * 2 / 3 + radius + static_cast<int>(frameNumber % travel);
  cv::circle(picture, cv::Point(std::min(x, area.br().x - radius), area.y + area.height / 2),
             radius, cv::Scalar(60, 60, 230), cv::FILLED, cv::LINE_AA);
}
