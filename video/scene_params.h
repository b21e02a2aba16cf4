#pragma once

// The table scene's parameters, as the scene file (VELDRIN_SCENE) and live changes set them, and
// the geometry both of the scene's cameras derive from them: the colour picture (CTableScene)
// and the depth world (video/sim/). Below both, so neither reaches into the other.

#include <opencv2/core/types.hpp>

#include <optional>
#include <string>
#include <vector>

// A filled disc printed at the centre of a box's top face (flat: it adds no height).
struct SSceneMark {
  double diameterMm = 10.0;
  int rgb[3] = {220, 30, 30};
};

// A box standing on the table. Millimetres and degrees; the centre is relative to the point the
// colour camera aims at (x right, y away from the camera), the rotation counter-clockwise seen
// from above.
struct SSceneBox {
  double sizeMm[3] = {100.0, 80.0, 50.0};  // x, y (footprint), z (height)
  double centreMm[2] = {0.0, 0.0};
  double rotationDeg = 0.0;
  std::optional<SSceneMark> mark = std::nullopt;
};
using SCENE_BOXES = std::vector<SSceneBox>;

// The simulated depth camera mounted beside the colour camera.
struct SDepthSimParams {
  int width = 640;
  int height = 480;
  double baselineMm = 15.0;  // depth camera to the right of the colour camera
  bool noise = true;         // noise growing with the square of the distance
  bool holes = true;         // no depth at depth edges and in the left band
};

// Parameters of the built-in printer-table scene. Lengths in millimetres, angles in degrees.
struct STableSceneParams {
  int width = 1280;  // native picture size
  int height = 720;
  double sheetWidthMm = 297.0;
  double sheetHeightMm = 210.0;
  double sheetRotationDeg = 3.0;  // about the table's normal, counter-clockwise seen from above
  double sheetOffsetXMm = 0.0;    // sheet centre from the point the camera aims at
  double sheetOffsetYMm = 0.0;    // positive: farther from the camera
  double tableWidthMm = 900.0;
  double tableDepthMm = 600.0;
  double cameraDistanceMm = 600.0;  // from the aimed point
  double cameraTiltDeg = 15.0;      // 0 looks straight down
  double cameraRollDeg = 2.0;
  double horizontalFovDeg = 60.0;  // at the native size
  // Radial lens distortion, OpenCV's k1 and k2 on the native picture's normalised coordinates;
  // negative bends straight lines outward (barrel).
  double cameraK1 = 0.0;
  double cameraK2 = 0.0;
  // A printed chessboard centred on the sheet instead of the test chart, for lens calibration and
  // the accuracy check: inner corners across and down, square side. No board while boardColumns
  // is 0.
  int boardColumns = 0;
  int boardRows = 0;
  double boardSquareMm = 0.0;
  bool qrCode = false;
  std::string qrText = "VELDRIN";
  double qrSizeMm = 40.0;        // printed size without the quiet zone
  std::optional<SSceneBox> box;  // standing on the table; seen by both cameras
  SCENE_BOXES boxes = {};        // more of them, after `box`
  SDepthSimParams depth;         // the depth camera beside the colour camera
};

// The colour camera of the scene: the table -> camera rotation (rows), the camera centre in table
// millimetres (z up from the table top) and the focal length in pixels at the native size.
struct STableSceneCamera {
  double rotation[3][3] = {};
  double centre[3] = {};
  double focal = 0.0;
};

namespace veldrin {

// Reads the keys present in the JSON file over `params`; false with a one-line reason when the
// file cannot be read, is not JSON, or a value has the wrong type or range.
[[nodiscard]] bool LoadTableSceneParams(const std::string& path, STableSceneParams& params,
                                        std::string& error);

// The parameters of the current process: defaults, overridden by the file VELDRIN_SCENE names.
[[nodiscard]] bool CurrentTableSceneParams(STableSceneParams& params, std::string& error);

STableSceneCamera TableSceneCamera(const STableSceneParams& params);

// Where a table point (millimetres) lies in the colour camera's coordinates (millimetres), and
// where it appears in the colour picture at `size` (the native picture scaled; no distortion).
cv::Vec3d TableToColorCamera(const STableSceneCamera& camera, const cv::Vec3d& point);
cv::Point2f TableToColorPixel(const STableSceneParams& params, const STableSceneCamera& camera,
                              const cv::Vec3d& point, cv::Size size);

// The sheet and the table on the table plane (millimetres): top-left, top-right, bottom-right,
// bottom-left, "top" away from the camera.
std::vector<cv::Point2d> SheetOnTable(const STableSceneParams& params);
std::vector<cv::Point2d> TableOnTable(const STableSceneParams& params);
// The colour camera's focal length in pixels at the native size.
double SceneFocalLength(const STableSceneParams& params);
// The lens's radial effect r * (1 + k1 r^2 + k2 r^4) on a normalised radius, and its inverse.
double SceneRadialImage(const STableSceneParams& params, double radius);
double SceneUndistortRadius(const STableSceneParams& params, double distorted);

// Every box of the scene: the file's "box" (when there is one) followed by its "boxes".
std::vector<SSceneBox> SceneBoxList(const std::optional<SSceneBox>& box,
                                    const std::vector<SSceneBox>& boxes);

// Live scene changes for every scene camera of the process, colour and depth alike, from the
// next frame on. They override the scene file's boxes until ResetLiveScene.
void SetLiveSceneBox(const std::optional<SSceneBox>& box);
void SetLiveSceneBoxes(const std::vector<SSceneBox>& boxes);
void ResetLiveScene();
// The boxes in effect: the live ones when set, else the file's.
std::vector<SSceneBox> EffectiveSceneBoxes(const std::vector<SSceneBox>& fromFile);
// Changes with every live change, so renderers can cache what depends on the box.
unsigned LiveSceneGeneration();

}  // namespace veldrin
