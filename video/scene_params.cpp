#include "video/scene_params.h"

#include <json/json.h>
#ifdef VELDRIN_HAVE_QRENCODE
#include <qrencode.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "platform/file_io.h"
#include "platform/json_reader.h"
#include "video/scene_json.h"

namespace veldrin {
namespace {

constexpr double kPi = 3.14159265358979323846;
double Radians(double degrees) { return degrees * kPi / 180.0; }

cv::Matx33d RowsOf(const double m[3][3]) {
  return cv::Matx33d(m[0][0], m[0][1], m[0][2], m[1][0], m[1][1], m[1][2], m[2][0], m[2][1],
                     m[2][2]);
}

// Table -> camera rotation and the camera centre for the parameters' pose.
void CameraPose(const STableSceneParams& p, double rotation[3][3], double centre[3]) {
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

double DepthOf(const STableSceneParams& p, double x, double y) {
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

// The derivative of SceneRadialImage.
double RadialSlope(const STableSceneParams& p, double r) {
  const double r2 = r * r;
  return 1.0 + r2 * (3.0 * p.cameraK1 + r2 * 5.0 * p.cameraK2);
}

// Every pixel of the picture, out to its corners, must come from one point of the scene: the
// distortion must keep growing with the radius until it has covered the picture's corners.
bool RadialStaysMonotonic(const STableSceneParams& p) {
  const double corner = std::hypot(p.width / 2.0, p.height / 2.0) / SceneFocalLength(p);
  for (double r = 0.0; r < 10.0; r += 1e-3) {
    if (RadialSlope(p, r) <= 0.0) return false;
    if (SceneRadialImage(p, r) >= corner) return true;
  }
  return false;
}

#ifdef VELDRIN_HAVE_QRENCODE
bool QREncodable(const std::string& text) {
  QRcode* code = QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
  if (code == nullptr) return false;
  QRcode_free(code);
  return true;
}
#endif

struct CLiveScene {
  std::mutex mutex;
  bool overridden = false;       // guarded by mutex
  std::vector<SSceneBox> boxes;  // guarded by mutex
  std::atomic<unsigned> generation{0};
};

CLiveScene& Live() {
  static CLiveScene live;
  return live;
}

bool ParseMark(const Json::Value& m, SSceneBox& box, std::string& error) {
  if (!CheckSceneKeys(m, {"diameter_mm", "rgb"}, "box.mark", error)) return false;
  SSceneMark mark;
  if (!ReadSceneNumber(m, "diameter_mm", mark.diameterMm) ||
      !(mark.diameterMm >= 1.0 && mark.diameterMm <= std::min(box.sizeMm[0], box.sizeMm[1]))) {
    error = "box.mark.diameter_mm must be a number from 1 to the box's smaller side";
    return false;
  }
  if (m.isMember("rgb")) {
    const Json::Value& rgb = m["rgb"];
    if (!rgb.isArray() || rgb.size() != 3) {
      error = "box.mark.rgb must be [r, g, b]";
      return false;
    }
    for (Json::ArrayIndex i = 0; i < 3; ++i) {
      if (!rgb[i].isInt() || rgb[i].asInt() < 0 || rgb[i].asInt() > 255) {
        error = "box.mark.rgb must be three whole numbers from 0 to 255";
        return false;
      }
      mark.rgb[i] = rgb[i].asInt();
    }
  }
  box.mark = mark;
  return true;
}

bool ParseBox(const Json::Value& b, SSceneBox& box, std::string& error) {
  if (!b.isObject()) {
    error = "box must be null or an object";
    return false;
  }
  if (!CheckSceneKeys(b, {"size_mm", "center_mm", "rotation_deg", "mark"}, "box", error)) {
    return false;
  }
  if (b.isMember("size_mm") && !ReadSceneNumbers(b["size_mm"], 3, box.sizeMm)) {
    error = "box.size_mm must be [x, y, z]";
    return false;
  }
  if (b.isMember("center_mm") && !ReadSceneNumbers(b["center_mm"], 2, box.centreMm)) {
    error = "box.center_mm must be [x, y]";
    return false;
  }
  if (!ReadSceneNumber(b, "rotation_deg", box.rotationDeg)) {
    error = "box.rotation_deg must be a number";
    return false;
  }
  for (double s : box.sizeMm) {
    if (!(s >= 1.0 && s <= 5000.0)) {
      error = "box.size_mm out of range";
      return false;
    }
  }
  if (!(box.rotationDeg >= -180.0 && box.rotationDeg <= 180.0)) {
    error = "box.rotation_deg out of range";
    return false;
  }
  return !b.isMember("mark") || ParseMark(b["mark"], box, error);
}

bool ParseDepth(const Json::Value& d, SDepthSimParams& depth, std::string& error) {
  if (!CheckSceneKeys(d, {"size", "baseline_mm", "noise", "holes"}, "depth", error)) return false;
  if (d.isMember("size")) {
    const Json::Value& s = d["size"];
    if (!s.isArray() || s.size() != 2 || !s[0].isInt() || !s[1].isInt()) {
      error = "depth.size must be [width, height]";
      return false;
    }
    depth.width = s[0].asInt();
    depth.height = s[1].asInt();
    if (depth.width < 16 || depth.height < 16 || depth.width > 4096 || depth.height > 4096) {
      error = "depth.size out of range";
      return false;
    }
  }
  if (!ReadSceneNumber(d, "baseline_mm", depth.baselineMm)) {
    error = "depth.baseline_mm must be a number";
    return false;
  }
  if (!(depth.baselineMm >= 0.0 && depth.baselineMm <= 200.0)) {
    error = "depth.baseline_mm out of range";
    return false;
  }
  for (const char* key : {"noise", "holes"}) {
    if (!d.isMember(key)) continue;
    if (!d[key].isBool()) {
      error = std::string("depth.") + key + " must be true or false";
      return false;
    }
    (std::string(key) == "noise" ? depth.noise : depth.holes) = d[key].asBool();
  }
  return true;
}

// Reads the "box" and "depth" keys of a scene file; false with the reason in `error`.
bool ParseSceneDepthKeys(const Json::Value& root, std::optional<SSceneBox>& box,
                         SDepthSimParams& depth, std::string& error) {
  if (root.isMember("box")) {
    if (root["box"].isNull()) {
      box.reset();
    } else {
      SSceneBox parsed;
      if (!ParseBox(root["box"], parsed, error)) return false;
      box = parsed;
    }
  }
  return !root.isMember("depth") || ParseDepth(root["depth"], depth, error);
}

// Reads the "boxes" key of a scene file (a list of boxes, each as "box").
bool ParseSceneBoxes(const Json::Value& root, std::vector<SSceneBox>& boxes, std::string& error) {
  if (!root.isMember("boxes")) return true;
  const Json::Value& list = root["boxes"];
  if (!list.isArray()) {
    error = "boxes must be a list of boxes";
    return false;
  }
  std::vector<SSceneBox> parsed;
  for (const Json::Value& b : list) {
    SSceneBox box;
    if (!ParseBox(b, box, error)) return false;
    parsed.push_back(box);
  }
  boxes = std::move(parsed);
  return true;
}

bool Validate(const STableSceneParams& p, std::string& error) {
  struct SRange {
    const char* key;
    double value, low, high;
  };
  const SRange ranges[] = {
      {"size", double(std::min(p.width, p.height)), 16, 8192},
      {"size", double(std::max(p.width, p.height)), 16, 8192},
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
  if (p.boardColumns != 0) {
    if (p.boardColumns < 2 || p.boardColumns > 64 || p.boardRows < 2 || p.boardRows > 64) {
      error = "sheet.board needs 2 to 64 cols and rows";
      return false;
    }
    if (!(p.boardSquareMm >= 1 && p.boardSquareMm <= 1000)) {
      error = "sheet.board.square_mm out of range";
      return false;
    }
    // A white border of at least one square keeps the board findable.
    if ((p.boardColumns + 3) * p.boardSquareMm > p.sheetWidthMm ||
        (p.boardRows + 3) * p.boardSquareMm > p.sheetHeightMm) {
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
  if (p.qrCode) {
#ifdef VELDRIN_HAVE_QRENCODE
    if (p.qrText.empty() || !QREncodable(p.qrText)) {
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

bool ParseParams(const Json::Value& root, STableSceneParams& p, std::string& error) {
  if (!veldrin::CheckSceneKeys(
          root, {"size", "sheet", "table", "camera", "qr", "box", "boxes", "depth"}, "", error)) {
    return false;
  }
  if (!ParseSceneDepthKeys(root, p.box, p.depth, error)) return false;
  if (!ParseSceneBoxes(root, p.boxes, error)) return false;
  if (root.isMember("size")) {
    const Json::Value& size = root["size"];
    if (!size.isArray() || size.size() != 2 || !size[0].isInt() || !size[1].isInt()) {
      error = "size must be [width, height]";
      return false;
    }
    p.width = size[0].asInt();
    p.height = size[1].asInt();
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
      p.boardColumns = b["cols"].asInt();
      p.boardRows = b["rows"].asInt();
      p.boardSquareMm = b["square_mm"].asDouble();
      if (p.boardColumns == 0) p.boardColumns = -1;  // refused below, not taken as "no board"
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
      p.qrCode = q["enabled"].asBool();
    }
    if (q.isMember("text")) {
      if (!q["text"].isString()) {
        error = "qr.text must be a string";
        return false;
      }
      p.qrText = q["text"].asString();
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

std::vector<cv::Point2d> SheetOnTable(const STableSceneParams& p) {
  return RectangleOnTable(p.sheetWidthMm, p.sheetHeightMm, p.sheetRotationDeg, p.sheetOffsetXMm,
                          p.sheetOffsetYMm);
}

std::vector<cv::Point2d> TableOnTable(const STableSceneParams& p) {
  return RectangleOnTable(p.tableWidthMm, p.tableDepthMm, 0, 0, 0);
}

double SceneFocalLength(const STableSceneParams& p) {
  return p.width / 2.0 / std::tan(Radians(p.horizontalFovDeg) / 2.0);
}

double SceneRadialImage(const STableSceneParams& p, double r) {
  const double r2 = r * r;
  return r * (1.0 + r2 * (p.cameraK1 + r2 * p.cameraK2));
}

// The undistorted radius whose image is `distorted` (Newton's method; the slope stays positive
// over the picture, as validated).
double SceneUndistortRadius(const STableSceneParams& p, double distorted) {
  double r = distorted;
  for (int i = 0; i < 20; ++i) {
    const double step = (SceneRadialImage(p, r) - distorted) / RadialSlope(p, r);
    r -= step;
    if (std::abs(step) < 1e-12) break;
  }
  return r;
}

bool LoadTableSceneParams(const std::string& path, STableSceneParams& params, std::string& error) {
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
  STableSceneParams loaded = params;
  if (!ParseParams(root, loaded, error)) {
    error = path + ": " + error;
    return false;
  }
  params = loaded;
  return true;
}

bool CurrentTableSceneParams(STableSceneParams& params, std::string& error) {
  params = STableSceneParams{};
  const char* path = std::getenv("VELDRIN_SCENE");
  if (path == nullptr || *path == '\0') return true;
  return LoadTableSceneParams(path, params, error);
}

STableSceneCamera TableSceneCamera(const STableSceneParams& params) {
  STableSceneCamera camera;
  CameraPose(params, camera.rotation, camera.centre);
  camera.focal = params.width / 2.0 / std::tan(Radians(params.horizontalFovDeg) / 2.0);
  return camera;
}

// The colour camera's coordinates (mm) of a table point.
cv::Vec3d TableToColorCamera(const STableSceneCamera& camera, const cv::Vec3d& q) {
  const cv::Vec3d d(q[0] - camera.centre[0], q[1] - camera.centre[1], q[2] - camera.centre[2]);
  return RowsOf(camera.rotation) * d;
}

cv::Point2f TableToColorPixel(const STableSceneParams& p, const STableSceneCamera& camera,
                              const cv::Vec3d& q, cv::Size size) {
  const cv::Vec3d c = TableToColorCamera(camera, q);
  const double u = camera.focal * c[0] / c[2] + p.width / 2.0;
  const double v = camera.focal * c[1] / c[2] + p.height / 2.0;
  return {static_cast<float>(u * size.width / p.width),
          static_cast<float>(v * size.height / p.height)};
}

std::vector<SSceneBox> SceneBoxList(const std::optional<SSceneBox>& box,
                                    const std::vector<SSceneBox>& boxes) {
  std::vector<SSceneBox> all;
  if (box) all.push_back(*box);
  all.insert(all.end(), boxes.begin(), boxes.end());
  return all;
}

void SetLiveSceneBox(const std::optional<SSceneBox>& box) {
  SetLiveSceneBoxes(box ? std::vector<SSceneBox>{*box} : std::vector<SSceneBox>{});
}

void SetLiveSceneBoxes(const std::vector<SSceneBox>& boxes) {
  CLiveScene& live = Live();
  std::lock_guard lock(live.mutex);
  live.overridden = true;
  live.boxes = boxes;
  ++live.generation;
}

void ResetLiveScene() {
  CLiveScene& live = Live();
  std::lock_guard lock(live.mutex);
  live.overridden = false;
  live.boxes.clear();
  ++live.generation;
}

std::vector<SSceneBox> EffectiveSceneBoxes(const std::vector<SSceneBox>& fromFile) {
  CLiveScene& live = Live();
  std::lock_guard lock(live.mutex);
  return live.overridden ? live.boxes : fromFile;
}

unsigned LiveSceneGeneration() { return Live().generation.load(); }

}  // namespace veldrin
