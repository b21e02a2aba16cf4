#pragma once

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "video/sim/scene_box.h"

// Parameters of the built-in printer-table scene. Lengths in millimetres, angles in degrees.
struct TABLE_SCENE_PARAMS {
  int nWidth = 1280;  // native picture size
  int nHeight = 720;
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
  // the accuracy check: inner corners across and down, square side. No board while nBoardColumns
  // is 0.
  int nBoardColumns = 0;
  int nBoardRows = 0;
  double boardSquareMm = 0.0;
  bool bQRCode = false;
  std::string strQRText = "VELDRIN";
  double qrSizeMm = 40.0;        // printed size without the quiet zone
  std::optional<SCENE_BOX> box;  // standing on the table; seen by both cameras
  DEPTH_SIM_PARAMS depth;        // the depth camera beside the colour camera
};

namespace veldrin {

// Reads the keys present in the JSON file over `params`; false with a one-line reason when the
// file cannot be read, is not JSON, or a value has the wrong type or range.
[[nodiscard]] bool LoadTableSceneParams(const std::string& path, TABLE_SCENE_PARAMS& params,
                                        std::string& error);

// The parameters of the current process: defaults, overridden by the file VELDRIN_SCENE names.
[[nodiscard]] bool CurrentTableSceneParams(TABLE_SCENE_PARAMS& params, std::string& error);

// The colour camera of the scene: the table -> camera rotation (rows), the camera centre in table
// millimetres (z up from the table top) and the focal length in pixels at the native size.
struct TABLE_SCENE_CAMERA {
  double rotation[3][3] = {};
  double centre[3] = {};
  double focal = 0.0;
};
TABLE_SCENE_CAMERA TableSceneCamera(const TABLE_SCENE_PARAMS& params);

}  // namespace veldrin

// A printer table seen from above at a slight angle, with a media sheet carrying a test chart, a
// millimetre scale, an arrow pointing to the sheet's top edge and optionally a QR code. The
// picture at any size is the native one scaled; a frame counter is drawn on the table so
// consecutive frames differ, and the same frame number always gives the same picture.
// Not thread-safe (it caches the static part per size).
class CTableScene {
 public:
  explicit CTableScene(const TABLE_SCENE_PARAMS& params);

  cv::Size NativeSize() const { return cv::Size(m_params.nWidth, m_params.nHeight); }
  // The sheet's corners in picture pixels: top-left, top-right, bottom-right, bottom-left of the
  // sheet (top = the edge the arrow points to). With lens distortion, where they appear.
  std::vector<cv::Point2f> SheetCorners(cv::Size size) const;
  // The camera matrix of the picture at `size` (the distortion is cameraK1, cameraK2).
  cv::Matx33d CameraMatrix(cv::Size size) const;
  void Render(cv::Size size, std::uint64_t frameNumber, cv::Mat& picture);
  // Where the frame counter is drawn: outside the sheet, so the sheet is the same every frame.
  cv::Rect CounterArea(cv::Size size) const;

 private:
  cv::Point2f Project(double xMm, double yMm, cv::Size size) const;
  cv::Point2f Distort(cv::Point2f ideal, cv::Size size) const;
  bool HasDistortion() const { return m_params.cameraK1 != 0.0 || m_params.cameraK2 != 0.0; }
  // The picture as a distortion-free camera sees it, shifted by `offset` on a canvas of `canvas`.
  cv::Mat RenderIdeal(cv::Size size, cv::Size canvas, cv::Point2f offset) const;
  void RenderStatic(cv::Size size);
  cv::Mat MakeChart(double pixelsPerMm) const;
  void DrawBoard(cv::Mat& chart) const;

  TABLE_SCENE_PARAMS m_params;
  double m_rotation[3][3] = {};  // table -> camera
  double m_centre[3] = {};       // camera position on the table frame
  cv::Size m_cachedSize;
  cv::Mat m_static;
};
