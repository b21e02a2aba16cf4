#include "video/table_scene.h"

#include <json/json.h>
#ifdef VELDRIN_HAVE_QRENCODE
#include <qrencode.h>
#endif

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/file_io.h"
#include "platform/json_reader.h"
#include "video/scene_json.h"
#include "video/sim/scene_world.h"

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

// Table -> camera rotation and the camera centre for the parameters' pose.
void CameraPose(const TABLE_SCENE_PARAMS& p, double rotation[3][3], double centre[3]) {
  const double t = Radians(p.cameraTiltDeg), r = Radians(p.cameraRollDeg);
  const double ct = std::cos(t), st = std::sin(t), cr = std::cos(r), sr = std::sin(r);
  // Looking straight down: camera x = table x, camera y = -table y (far is up in the picture),
  // camera z = -table z; then tilted about x to aim at the origin from the near side, then rolled.
  const double base[3][3] = {{1, 0, 0}, {0, -ct, -st}, {0, st, -ct}};
  const double roll[3][3] = {{cr, -sr, 0}, {sr, cr, 0}, {0, 0, 1}};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      rotation[i][j] = 0;
      for (int k = 0; k < 3; ++k) rotation[i][j] += roll[i][k] * base[k][j];
    }
  }
  centre[0] = 0;
  centre[1] = -p.cameraDistanceMm * st;
  centre[2] = p.cameraDistanceMm * ct;
}

double DepthOf(const TABLE_SCENE_PARAMS& p, double x, double y) {
  double rotation[3][3], centre[3];
  CameraPose(p, rotation, centre);
  const double d[3] = {x - centre[0], y - centre[1], -centre[2]};
  return rotation[2][0] * d[0] + rotation[2][1] * d[1] + rotation[2][2] * d[2];
}

// Corners of a w x h rectangle centred at (cx, cy), rotated by `deg`: top-left, top-right,
// bottom-right, bottom-left, with "top" toward +y (away from the camera).
std::vector<cv::Point2d> RectangleOnTable(double w, double h, double deg, double cx, double cy) {
  const double a = Radians(deg), c = std::cos(a), s = std::sin(a);
  const double local[4][2] = {{-w / 2, h / 2}, {w / 2, h / 2}, {w / 2, -h / 2}, {-w / 2, -h / 2}};
  std::vector<cv::Point2d> corners;
  for (const auto& q : local) {
    corners.emplace_back(cx + c * q[0] - s * q[1], cy + s * q[0] + c * q[1]);
  }
  return corners;
}

std::vector<cv::Point2d> SheetOnTable(const TABLE_SCENE_PARAMS& p) {
  return RectangleOnTable(p.sheetWidthMm, p.sheetHeightMm, p.sheetRotationDeg, p.sheetOffsetXMm,
                          p.sheetOffsetYMm);
}

std::vector<cv::Point2d> TableOnTable(const TABLE_SCENE_PARAMS& p) {
  return RectangleOnTable(p.tableWidthMm, p.tableDepthMm, 0, 0, 0);
}

double FocalLength(const TABLE_SCENE_PARAMS& p) {
  return p.nWidth / 2.0 / std::tan(Radians(p.horizontalFovDeg) / 2.0);
}

// The radial factor's effect r * (1 + k1 r^2 + k2 r^4) and its derivative.
double RadialImage(const TABLE_SCENE_PARAMS& p, double r) {
  const double r2 = r * r;
  return r * (1.0 + r2 * (p.cameraK1 + r2 * p.cameraK2));
}
double RadialSlope(const TABLE_SCENE_PARAMS& p, double r) {
  const double r2 = r * r;
  return 1.0 + r2 * (3.0 * p.cameraK1 + r2 * 5.0 * p.cameraK2);
}

// Every pixel of the picture, out to its corners, must come from one point of the scene: the
// distortion must keep growing with the radius until it has covered the picture's corners.
bool RadialStaysMonotonic(const TABLE_SCENE_PARAMS& p) {
  const double corner = std::hypot(p.nWidth / 2.0, p.nHeight / 2.0) / FocalLength(p);
  for (double r = 0.0; r < 10.0; r += 1e-3) {
    if (RadialSlope(p, r) <= 0.0) return false;
    if (RadialImage(p, r) >= corner) return true;
  }
  return false;
}

// The undistorted radius whose image is `distorted` (Newton's method; the slope stays positive
// over the picture, as validated).
double UndistortRadius(const TABLE_SCENE_PARAMS& p, double distorted) {
  double r = distorted;
  for (int i = 0; i < 20; ++i) {
    const double step = (RadialImage(p, r) - distorted) / RadialSlope(p, r);
    r -= step;
    if (std::abs(step) < 1e-12) break;
  }
  return r;
}

bool Validate(const TABLE_SCENE_PARAMS& p, std::string& error) {
  struct SRange {
    const char* key;
    double value, low, high;
  };
  const SRange ranges[] = {
      {"size", double(std::min(p.nWidth, p.nHeight)), 16, 8192},
      {"size", double(std::max(p.nWidth, p.nHeight)), 16, 8192},
      {"sheet.width_mm", p.sheetWidthMm, 10, 5000},
      {"sheet.height_mm", p.sheetHeightMm, 10, 5000},
      {"sheet.rotation_deg", p.sheetRotationDeg, -180, 180},
      {"table.width_mm", p.tableWidthMm, 10, 20000},
      {"table.depth_mm", p.tableDepthMm, 10, 20000},
      {"camera.distance_mm", p.cameraDistanceMm, 50, 20000},
      {"camera.tilt_deg", p.cameraTiltDeg, 0, 60},
      {"camera.roll_deg", p.cameraRollDeg, -45, 45},
      {"camera.fov_deg", p.horizontalFovDeg, 10, 120},
      {"qr.size_mm", p.qrSizeMm, 5, 1000},
      {"camera.k1", p.cameraK1, -0.5, 0.5},
      {"camera.k2", p.cameraK2, -0.5, 0.5},
  };
  for (const SRange& r : ranges) {
    if (!(r.value >= r.low && r.value <= r.high)) {
      error = std::string(r.key) + " out of range";
      return false;
    }
  }
  if (p.nBoardColumns != 0) {
    if (p.nBoardColumns < 2 || p.nBoardColumns > 64 || p.nBoardRows < 2 || p.nBoardRows > 64) {
      error = "sheet.board needs 2 to 64 cols and rows";
      return false;
    }
    if (!(p.boardSquareMm >= 1 && p.boardSquareMm <= 1000)) {
      error = "sheet.board.square_mm out of range";
      return false;
    }
    // A white border of at least one square keeps the board findable.
    if ((p.nBoardColumns + 3) * p.boardSquareMm > p.sheetWidthMm ||
        (p.nBoardRows + 3) * p.boardSquareMm > p.sheetHeightMm) {
      error = "sheet.board does not fit on the sheet";
      return false;
    }
  }
  if (!RadialStaysMonotonic(p)) {
    error = "camera.k1 and camera.k2 fold the picture over";
    return false;
  }
  std::vector<cv::Point2d> points = TableOnTable(p);
  for (const cv::Point2d& q : SheetOnTable(p)) points.push_back(q);
  for (const cv::Point2d& q : points) {
    if (DepthOf(p, q.x, q.y) < 1.0) {
      error = "the table or sheet reaches behind the camera";
      return false;
    }
  }
  if (p.bQRCode) {
#ifdef VELDRIN_HAVE_QRENCODE
    if (p.strQRText.empty() || !EncodeQR(p.strQRText)) {
      error = "qr.text cannot be encoded";
      return false;
    }
#else
    error = "qr codes need libqrencode";
    return false;
#endif
  }
  return true;
}

bool ParseParams(const Json::Value& root, TABLE_SCENE_PARAMS& p, std::string& error) {
  if (!veldrin::CheckSceneKeys(
          root, {"size", "sheet", "table", "camera", "qr", "box", "boxes", "depth"}, "", error)) {
    return false;
  }
  if (!veldrin::ParseSceneDepthKeys(root, p.box, p.depth, error)) return false;
  if (!veldrin::ParseSceneBoxes(root, p.boxes, error)) return false;
  if (root.isMember("size")) {
    const Json::Value& size = root["size"];
    if (!size.isArray() || size.size() != 2 || !size[0].isInt() || !size[1].isInt()) {
      error = "size must be [width, height]";
      return false;
    }
    p.nWidth = size[0].asInt();
    p.nHeight = size[1].asInt();
  }
  bool ok = true;
  if (root.isMember("sheet")) {
    const Json::Value& s = root["sheet"];
    if (!veldrin::CheckSceneKeys(s, {"width_mm", "height_mm", "rotation_deg", "offset_mm", "board"},
                                 "sheet", error)) {
      return false;
    }
    if (s.isMember("board")) {
      const Json::Value& b = s["board"];
      if (!veldrin::CheckSceneKeys(b, {"cols", "rows", "square_mm"}, "sheet.board", error))
        return false;
      if (!b["cols"].isInt() || !b["rows"].isInt() || !b["square_mm"].isNumeric()) {
        error = "sheet.board needs whole cols and rows and a square_mm";
        return false;
      }
      p.nBoardColumns = b["cols"].asInt();
      p.nBoardRows = b["rows"].asInt();
      p.boardSquareMm = b["square_mm"].asDouble();
      if (p.nBoardColumns == 0) p.nBoardColumns = -1;  // refused below, not taken as "no board"
    }
    ok = ok && veldrin::ReadSceneNumber(s, "width_mm", p.sheetWidthMm) &&
         veldrin::ReadSceneNumber(s, "height_mm", p.sheetHeightMm) &&
         veldrin::ReadSceneNumber(s, "rotation_deg", p.sheetRotationDeg);
    if (s.isMember("offset_mm")) {
      double offset[2];
      if (!veldrin::ReadSceneNumbers(s["offset_mm"], 2, offset)) {
        error = "sheet.offset_mm must be [x, y]";
        return false;
      }
      p.sheetOffsetXMm = offset[0];
      p.sheetOffsetYMm = offset[1];
    }
  }
  if (root.isMember("table")) {
    const Json::Value& t = root["table"];
    if (!veldrin::CheckSceneKeys(t, {"width_mm", "depth_mm"}, "table", error)) return false;
    ok = ok && veldrin::ReadSceneNumber(t, "width_mm", p.tableWidthMm) &&
         veldrin::ReadSceneNumber(t, "depth_mm", p.tableDepthMm);
  }
  if (root.isMember("camera")) {
    const Json::Value& c = root["camera"];
    if (!veldrin::CheckSceneKeys(c, {"distance_mm", "tilt_deg", "roll_deg", "fov_deg", "k1", "k2"},
                                 "camera", error)) {
      return false;
    }
    ok = ok && veldrin::ReadSceneNumber(c, "distance_mm", p.cameraDistanceMm) &&
         veldrin::ReadSceneNumber(c, "tilt_deg", p.cameraTiltDeg) &&
         veldrin::ReadSceneNumber(c, "roll_deg", p.cameraRollDeg) &&
         veldrin::ReadSceneNumber(c, "fov_deg", p.horizontalFovDeg) &&
         veldrin::ReadSceneNumber(c, "k1", p.cameraK1) &&
         veldrin::ReadSceneNumber(c, "k2", p.cameraK2);
  }
  if (root.isMember("qr")) {
    const Json::Value& q = root["qr"];
    if (!veldrin::CheckSceneKeys(q, {"enabled", "text", "size_mm"}, "qr", error)) return false;
    if (q.isMember("enabled")) {
      if (!q["enabled"].isBool()) {
        error = "qr.enabled must be true or false";
        return false;
      }
      p.bQRCode = q["enabled"].asBool();
    }
    if (q.isMember("text")) {
      if (!q["text"].isString()) {
        error = "qr.text must be a string";
        return false;
      }
      p.strQRText = q["text"].asString();
    }
    ok = ok && veldrin::ReadSceneNumber(q, "size_mm", p.qrSizeMm);
  }
  if (!ok) {
    error = "a number was expected";
    return false;
  }
  return Validate(p, error);
}

}  // namespace

namespace veldrin {

bool LoadTableSceneParams(const std::string& path, TABLE_SCENE_PARAMS& params, std::string& error) {
  // A scene is a few hundred bytes; a file far larger is not one.
  constexpr std::size_t kMaxSceneBytes = std::size_t{1} << 20;
  std::string text;
  if (ReadWholeFile(path, text, kMaxSceneBytes) != EFileRead::kRead) {
    error = "cannot read " + path;
    return false;
  }
  Json::Value root;
  if (!ParseJsonText(text, root)) {
    error = path + ": not valid JSON";
    return false;
  }
  TABLE_SCENE_PARAMS loaded = params;
  if (!ParseParams(root, loaded, error)) {
    error = path + ": " + error;
    return false;
  }
  params = loaded;
  return true;
}

bool CurrentTableSceneParams(TABLE_SCENE_PARAMS& params, std::string& error) {
  params = TABLE_SCENE_PARAMS{};
  const char* path = std::getenv("VELDRIN_SCENE");
  if (path == nullptr || *path == '\0') return true;
  return LoadTableSceneParams(path, params, error);
}

TABLE_SCENE_CAMERA TableSceneCamera(const TABLE_SCENE_PARAMS& params) {
  TABLE_SCENE_CAMERA camera;
  CameraPose(params, camera.rotation, camera.centre);
  camera.focal = params.nWidth / 2.0 / std::tan(Radians(params.horizontalFovDeg) / 2.0);
  return camera;
}

}  // namespace veldrin

CTableScene::CTableScene(const TABLE_SCENE_PARAMS& params) : m_params(params) {
  CameraPose(m_params, m_rotation, m_centre);
}

cv::Point2f CTableScene::Project(double xMm, double yMm, cv::Size size) const {
  const double d[3] = {xMm - m_centre[0], yMm - m_centre[1], -m_centre[2]};
  double c[3];
  for (int i = 0; i < 3; ++i) {
    c[i] = m_rotation[i][0] * d[0] + m_rotation[i][1] * d[1] + m_rotation[i][2] * d[2];
  }
  // Intrinsics of the native size; other sizes are the native picture scaled.
  const double f = FocalLength(m_params);
  const double u = f * c[0] / c[2] + m_params.nWidth / 2.0;
  const double v = f * c[1] / c[2] + m_params.nHeight / 2.0;
  return cv::Point2f(static_cast<float>(u * size.width / m_params.nWidth),
                     static_cast<float>(v * size.height / m_params.nHeight));
}

cv::Matx33d CTableScene::CameraMatrix(cv::Size size) const {
  const double f = FocalLength(m_params);
  const double sx = static_cast<double>(size.width) / m_params.nWidth;
  const double sy = static_cast<double>(size.height) / m_params.nHeight;
  return cv::Matx33d(f * sx, 0, m_params.nWidth / 2.0 * sx, 0, f * sy, m_params.nHeight / 2.0 * sy,
                     0, 0, 1);
}

cv::Point2f CTableScene::Distort(cv::Point2f ideal, cv::Size size) const {
  const cv::Matx33d k = CameraMatrix(size);
  const double x = (ideal.x - k(0, 2)) / k(0, 0), y = (ideal.y - k(1, 2)) / k(1, 1);
  const double r = std::hypot(x, y);
  const double scale = r > 0 ? RadialImage(m_params, r) / r : 1.0;
  return cv::Point2f(static_cast<float>(k(0, 0) * x * scale + k(0, 2)),
                     static_cast<float>(k(1, 1) * y * scale + k(1, 2)));
}

std::vector<cv::Point2f> CTableScene::SheetCorners(cv::Size size) const {
  std::vector<cv::Point2f> corners;
  for (const cv::Point2d& q : SheetOnTable(m_params)) {
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
  const int columns = m_params.nBoardColumns + 1, rows = m_params.nBoardRows + 1;
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
  if (m_params.nBoardColumns > 0) {
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
  if (m_params.bQRCode) {
    if (QRcodePtr code = EncodeQR(m_params.strQRText)) {
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
  for (const cv::Point2d& q : TableOnTable(m_params)) {
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
  for (const cv::Point2d& q : SheetOnTable(m_params)) corners.push_back(at(q.x, q.y));
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
      const double scale = rd > 0 ? UndistortRadius(m_params, rd) / rd : 1.0;
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
  veldrin::DrawSceneBoxes(
      m_params, veldrin::EffectiveSceneBoxes(veldrin::SceneBoxList(m_params.box, m_params.boxes)),
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
