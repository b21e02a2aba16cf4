#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "workstation/lens.h"

// Four-point rectification: the source corners the operator marks in the camera picture, the
// destination rectangle sized from the host's media size, the camera's lens when one is known,
// and the mapping from camera frame to output picture that they make together.
//
// The mapping is fixed once corners, output size, frame size and lens are, so it is built once
// into fixed-point lookup tables and each frame is one pass through them into a reused picture
// (cv::remap's result, made in bands on OpenCV's workers: RemapRows). Without a lens the result
// equals cv::warpPerspective with the same corners up to rounding. With a lens the corners are
// positions in the corrected picture (CorrectLens), and one table carries both the lens
// correction and the perspective.
//
// Threads: the main dialog owns one instance. The capture thread calls Rectify, CorrectLens and
// UpdateMediaSize once per processed frame; the dialog's thread replaces the corners
// (SetDefaultCorners, SetCorners, RebuildDstCorners), the lens and the frame size. m_mutex
// guards the geometry, and every change to it bumps a generation number. The tables belong to
// the capture side under m_tableMutex: Rectify compares the generation it finds with the one its
// tables were built from and rebuilds them, from one consistent copy of the geometry taken under
// m_mutex, at most once per frame. The dialog's thread never waits for a rebuild or a remap.
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
  [[nodiscard]] bool SetCorners(const std::vector<cv::Point2f>& corners);
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

  // Output picture size in whole pixels: never more than 8192 on a side nor 64 MB of pixel data
  // (a larger size from the frame or media size is scaled down, keeping its aspect).
  cv::Size GetOutputSize() const;

  // The camera's lens, or null for none. It applies only to frames of the size it was made for.
  void SetLens(std::shared_ptr<const SLensModel> lens);
  std::shared_ptr<const SLensModel> GetLens() const;
  bool LensAppliesTo(cv::Size frameSize) const;

  // Rectifies one camera frame into `out`. `out` is written in place when it already has the
  // output's size and type and nobody else holds its pixels, so a caller that keeps it allocates
  // nothing per frame. Returns false and leaves `out` empty when the frame has no pixels, when
  // there are not four source and four destination corners, when the output size is empty, or
  // when the corners are degenerate (no homography maps them).
  [[nodiscard]] bool Rectify(const cv::Mat& frame, cv::Mat& out);

  // The frame with the lens distortion removed, into `out` (reused as by Rectify). False, with
  // `out` untouched, when no lens applies to the frame.
  [[nodiscard]] bool CorrectLens(const cv::Mat& frame, cv::Mat& out);

 private:
  // Lookup tables and the geometry generation and frame size they were built for.
  struct SRemapTables {
    std::uint64_t generation = 0;  // 0: never built
    cv::Size frameSize;
    bool usable = false;
    cv::Mat map1, map2;
  };

  void SetDstCornersLocked();
  void ComputeOutputSizeLocked();
  void GeometryChangedLocked() { ++m_generation; }
  // Brings the tables up to date for frames of `frameSize`; false when there is no mapping.
  bool UpdateWarpTables(cv::Size frameSize);
  bool UpdateCorrectionTables(cv::Size frameSize);

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
  bool m_mediaSizeKnown = false;  // no media size has been taken from the host yet

  std::shared_ptr<const SLensModel> m_lens;
  std::uint64_t m_generation = 1;

  std::mutex m_tableMutex;
  SRemapTables m_warp;
  SRemapTables m_correction;
  std::shared_ptr<const SLensModel> m_correctionLens;  // what m_correction was built from
};
