#pragma once

// A camera's lens: its camera matrix and distortion for one frame size, and the lookup tables
// that carry an output pixel back to the camera pixel it comes from (lens distortion and a
// perspective map together), for cv::remap.

#include <opencv2/core.hpp>

#include <string>

// Camera matrix and OpenCV's five distortion coefficients (k1, k2, p1, p2, k3), valid for frames
// of `size` from the camera named `strCamera`. `rmsPx` is the calibration's reprojection error.
struct SLensModel {
  std::string camera;
  cv::Size size;
  cv::Matx33d matrix = cv::Matx33d::eye();
  cv::Vec<double, 5> distortion;
  double rmsPx = 0.0;
};

namespace veldrin {

// Bounds of a lens a real camera can have. Focal lengths lie between kMinFocalPerWidth and
// kMaxFocalPerWidth times the frame's width (a view of about 175 down to about half a degree),
// the principal point within a frame's width and height of the frame, the skew at most the
// focal length, k1, k2 and k3 within kMaxRadialCoefficient and p1, p2 within
// kMaxTangentialCoefficient.
constexpr double kMinFocalPerWidth = 0.02;
constexpr double kMaxFocalPerWidth = 100.0;
constexpr double kMaxRadialCoefficient = 1000.0;
constexpr double kMaxTangentialCoefficient = 1.0;

// A frame size, finite numbers within the bounds above and a camera matrix's shape.
bool IsUsableLens(const SLensModel& lens);

// Lens files: one JSON object per camera, "<camera name>.lens" in the host's folder (see
// docs/host-protocol.md).
inline constexpr const char* kLensExtension = ".lens";

// The file name for a camera's lens, or "" when the calibration store would refuse the camera's
// name as a file name (or the name is too long for one).
std::string LensFileName(const std::string& camera);

// The file's exact bytes.
std::string SerializeLens(const SLensModel& lens);

// Replaces the file atomically; false when the lens is not usable or the write fails (the previous
// file is then kept).
[[nodiscard]] bool WriteLensFile(const std::string& path, const SLensModel& lens);

// False with a one-line reason when the file is missing, unreadable, not a lens file or holds a
// lens that cannot be used; `lens` is then left as it was.
[[nodiscard]] bool ReadLensFile(const std::string& path, SLensModel& lens, std::string& error);

// The largest squared normalised radius up to which the radial distortion keeps growing with the
// radius. Beyond it the polynomial folds back, and points far outside the picture would land in
// its middle, so the tables treat them as outside the picture.
double MonotonicRadius2(const SLensModel& lens);

// Where an ideal (distortion-free) pixel of the corrected picture appears in the camera frame.
cv::Point2d DistortPixel(const SLensModel& lens, cv::Point2d ideal);

// Fills `map1` (CV_16SC2) and `map2` (CV_16UC1), `outSize` each, so that cv::remap with them
// gives, at output pixel p, the camera frame at the pixel that `outputToCorrected` maps p to in
// the corrected picture, carried through `lens` when it is given. Pixels that map behind the
// camera or beyond the lens model's valid radius read as outside the frame. The tables are reused
// when they already have the size and type.
void BuildRemapTables(const cv::Matx33d& outputToCorrected, const SLensModel* lens,
                      cv::Size outSize, cv::Mat& map1, cv::Mat& map2);

}  // namespace veldrin
