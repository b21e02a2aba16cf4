#pragma once

#include <opencv2/core/mat.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "markers/accuracy_check.h"
#include "workstation/camera_settings.h"
#include "workstation/camera_watch.h"
#include "workstation/lens_calibration.h"

class CRectification;
class CStatusModel;

// The sheet tools of the main window, without the window: Find sheet, the corners a drag may
// snap to, the accuracy check and the bumped-camera watch. A failure or warning goes to the status
// line's problem slot, replacing what was said before, as any report does; a result (the sheet
// found, the accuracy figures) is information, and holds until the next result or ClearResult.
// `said` then tells the status line to show it at once.
//
// Threads: UI thread, except IsOutputHeld, which the capture thread reads (an atomic deadline)
// before it shows an output picture.
class CSheetTools {
 public:
  // `settings` gives the instance's CamDrv.ini, where the board is kept.
  CSheetTools(CRectification& rectification, CStatusModel& status,
              std::function<CCameraSettings()> settings, std::function<void()> said);

  // The corners of the sheet found in `frame` go to `apply`; without one nothing is applied.
  // Either is then said in the status line.
  bool FindSheet(const cv::Mat& frame,
                 const std::function<void(const std::vector<cv::Point2f>&)>& apply);
  // The corners a dragged corner may snap to: the sheet's in `frame`, or none.
  static std::vector<cv::Point2f> SnapCorners(const cv::Mat& frame);

  // Measures `board` in the rectified `frame`. Returns the picture with the deviations drawn,
  // to be shown in the output for a while (IsOutputHeld), with the figures in the status line;
  // empty, and the status line says why, when nothing could be measured.
  cv::Mat CheckAccuracy(const cv::Mat& frame, const SBoardSpec& board);
  bool IsOutputHeld() const;
  // The corners, the media or the camera changed: the last result no longer holds.
  void ClearResult();
  void ReleaseOutput() { m_outputHeldUntil = 0; }
  // The board of the accuracy check by its inner corners: the one kept in CamDrv.ini, which the
  // lens dialog shares. A board that cannot be kept is said in the status line.
  SLensBoard Board() const { return m_settings().ReadBoard(); }
  void SetBoard(const SLensBoard& board);

  // The calibration `name` in `directory` was saved with the camera showing `frame`: its
  // reference is kept and watched. A reference that cannot be written is said with its file.
  void CalibrationSaved(const std::string& directory, const std::string& name,
                        const cv::Mat& frame);
  // The stored calibration `name` is in use ("" for none) and `frame` is the live picture.
  void CalibrationApplied(const std::string& directory, const std::string& name,
                          const cv::Mat& frame);
  // Compares a live frame with the reference of the calibration in use: the camera-moved
  // warning replaces whatever the line said; once the picture is back it goes again, unless
  // something else was said since.
  void CheckCamera(const cv::Mat& frame);
  // Whether the periodic check has anything to look at or to take back.
  bool IsCheckDue() const { return m_watch.IsWatching() || !m_cameraMessage.empty(); }

 private:
  void Say(const std::string& text);
  void SayResult(const std::string& text);

  CRectification& m_rectification;
  CStatusModel& m_status;
  std::function<CCameraSettings()> m_settings;
  std::function<void()> m_said;
  CCameraWatch m_watch;
  std::string m_cameraMessage;  // the camera-moved warning while it is shown
  std::string m_result;         // the result shown as the notice, while it is
  // Until this steady-clock time (ns) the output picture keeps the accuracy deviations.
  std::atomic<std::int64_t> m_outputHeldUntil{0};
};
