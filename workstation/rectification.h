#pragma once

#include <array>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

// Four-point rectification: the source corners the operator marks in the camera picture, the
// destination rectangle sized from the host's media size, and the perspective warp between them.
//
// Threads: the main dialog owns one instance. The capture thread calls Rectify and
// UpdateMediaSize once per processed frame; the dialog's thread replaces the corners
// (SetDefaultCorners, SetCorners, RebuildDstCorners) and changes the frame size. m_mutex guards
// every member. Rectify takes the cached homography and output size under the lock and warps
// outside it, so a warp always uses one consistent set of four source and four destination
// corners and never blocks the dialog for the length of a warp.
class CRectification {
 public:
  CRectification() = default;
  CRectification(const CRectification&) = delete;
  CRectification& operator=(const CRectification&) = delete;

  // The camera settings were read: frame size, output size and the maximum output size all
  // become the given frame size.
  void ApplyCameraSettings(int frameWidth, int frameHeight);

  // The camera now delivers frames of another size (a new resolution was configured, or the
  // camera gave another size than the one asked for). The corners are scaled by the ratio of
  // the sizes, so the outline stays on the same spot of the table; the maximum output size
  // becomes the new frame size and, once the media size is known, the output size and the
  // destination corners are rebuilt from it with the media aspect kept. Returns false (and
  // changes nothing) when the size is not positive or is the current one.
  bool FollowFrameSize(int frameWidth, int frameHeight, cv::Size* previous = nullptr);
  cv::Size GetFrameSize() const;
  // True when every corner lies on the frame, edges included.
  bool CornersInsideFrame() const;

  // Replaces the source corners with the rectangle inset by a quarter of the frame size.
  void SetDefaultCorners();

  // Replaces the source corners (P.1 top-left, P.2 top-right, P.3 bottom-right, P.4
  // bottom-left of the output). Any count other than four is refused and the previous corners
  // are kept, so the warp never sees a partial set.
  bool SetCorners(const std::vector<cv::Point2f>& corners);
  std::vector<cv::Point2f> GetCorners() const;
  std::vector<cv::Point2f> GetDstCorners() const;

  // The four texts "P.1 = (x, y)" .. "P.4 = (x, y)", coordinates with one decimal (corners are
  // placed to a tenth of a pixel).
  std::array<std::string, 4> FormatPointReadouts() const;

  // Takes the media size in millimetres from the host. Returns true when it differs from the
  // stored one (the media labels then need rewriting and the output window resizing); the
  // output size and destination corners are recomputed then. A width or height of zero or less
  // is stored (so the labels show what the host reports and the same value is not re-handled
  // every frame) but keeps the previous output size and destination corners, since the
  // size rule would divide by it.
  bool UpdateMediaSize(int mediaWidthMm, int mediaHeightMm);
  // The media size last taken from the host; false while none (or none usable) is known.
  bool GetMediaSizeMm(int& widthMm, int& heightMm) const;
  std::string FormatMediaWidthLabel() const;   // "Media Width: %d mm"
  std::string FormatMediaHeightLabel() const;  // "Media Height: %d mm"

  // Rebuilds the destination corners (0, 0), (w, 0), (w, h), (0, h) from the current output
  // size; done after a stored calibration was loaded.
  void RebuildDstCorners();

  // Output picture size in whole pixels.
  cv::Size GetOutputSize() const;

  // Warps one camera frame into `out`. Returns false and leaves `out` empty when the frame has
  // no pixels, when there are not four source and four destination corners, when the output
  // size is empty, or when the corners are degenerate (no homography maps them).
  bool Rectify(const cv::Mat& frame, cv::Mat& out);

 private:
  void SetDstCornersLocked();
  void ComputeOutputSizeLocked();

  mutable std::mutex m_mutex;
  std::vector<cv::Point2f> m_corners;
  std::vector<cv::Point2f> m_dstCorners;
  float m_outputWidth = 0.0f;
  float m_outputHeight = 0.0f;
  int m_frameWidth = 0;
  int m_frameHeight = 0;
  int m_maxOutputWidth = 0;
  int m_maxOutputHeight = 0;
  int m_mediaWidthMm = 0;
  int m_mediaHeightMm = 0;
  bool m_bMediaSizeKnown = false;  // no media size has been taken from the host yet

  // Homography cache: recomputed only after the corners changed, as the warp runs per frame.
  // The matrix is replaced, never written in place, so a warp may keep using its copy.
  cv::Mat m_transform;
  bool m_bTransformDirty = true;
};
