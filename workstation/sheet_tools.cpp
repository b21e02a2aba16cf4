#include "workstation/sheet_tools.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "markers/sheet_finder.h"
#include "workstation/rectification.h"
#include "workstation/status_model.h"

namespace {

constexpr auto kOutputHold = std::chrono::seconds(20);

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Fixed(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

CSheetTools::CSheetTools(CRectification& rectification, CStatusModel& status,
                         std::function<CCameraSettings()> settings, std::function<void()> said)
    : m_rectification(rectification),
      m_status(status),
      m_settings(std::move(settings)),
      m_said(std::move(said)) {}

void CSheetTools::SetBoard(const SLensBoard& board) {
  const CCameraSettings settings = m_settings();
  if (!settings.WriteBoard(board) && !settings.GetPath().empty()) {
    Say("The board could not be kept in " + settings.GetPath() + ".");
  }
}

void CSheetTools::Say(const std::string& text) {
  if (text.empty()) {
    m_status.ClearProblem();
  } else {
    m_status.ReportProblem(text);
  }
  if (m_said) m_said();
}

void CSheetTools::SayResult(const std::string& text) {
  m_status.ClearProblem();
  if (!m_result.empty()) m_status.ClearNotice(m_result);
  m_result = text;
  if (!m_result.empty()) m_status.ReportNotice(m_result);
  if (m_said) m_said();
}

void CSheetTools::ClearResult() {
  if (m_result.empty()) return;
  m_status.ClearNotice(m_result);
  m_result.clear();
  if (m_said) m_said();
}

bool CSheetTools::FindSheet(const cv::Mat& frame,
                            const std::function<void(const std::vector<cv::Point2f>&)>& apply) {
  std::vector<cv::Point2f> corners;
  if (!veldrin::FindSheet(frame, corners)) {
    Say("No sheet found in the picture: the corners are unchanged.");
    return false;
  }
  apply(corners);
  SayResult("The corners are on the sheet found in the picture.");
  return true;
}

std::vector<cv::Point2f> CSheetTools::SnapCorners(const cv::Mat& frame) {
  std::vector<cv::Point2f> corners;
  if (!veldrin::FindSheet(frame, corners)) corners.clear();
  return corners;
}

cv::Mat CSheetTools::CheckAccuracy(const cv::Mat& frame, const SBoardSpec& board) {
  int mediaWidth = 0, mediaHeight = 0;
  cv::Mat rectified;
  if (frame.empty()) {
    Say("There is no picture to check yet.");
    return {};
  }
  if (!m_rectification.GetMediaSizeMm(mediaWidth, mediaHeight)) {
    Say("The media size is not known: the accuracy cannot be checked.");
    return {};
  }
  if (!m_rectification.Rectify(frame, rectified)) {
    Say("The corners give no output picture to check.");
    return {};
  }
  const cv::Size out = rectified.size();
  SAccuracyReport report;
  if (!veldrin::CheckAccuracy(rectified, double(mediaWidth) / out.width,
                              double(mediaHeight) / out.height, board, report)) {
    // Named as the operator entered it: by its inner corners.
    Say("No chessboard of " + std::to_string(board.cols - 1) + " x " +
        std::to_string(board.rows - 1) + " inner corners found on the media.");
    return {};
  }
  // The deviations stay in the output picture for a while, or until it is clicked.
  m_outputHeldUntil = NowNs() + std::chrono::nanoseconds(kOutputHold).count();
  SayResult("Accuracy: scale error " + Fixed("%+.2f", report.scaleErrorPercent) + " %, RMS " +
            Fixed("%.2f", report.rmsMm) + " mm, largest " + Fixed("%.2f", report.maxMm) + " mm.");
  return veldrin::DrawDeviations(rectified, report);
}

bool CSheetTools::IsOutputHeld() const { return NowNs() < m_outputHeldUntil.load(); }

void CSheetTools::CalibrationSaved(const std::string& directory, const std::string& name,
                                   const cv::Mat& frame) {
  std::string error;
  if (!m_watch.Saved(directory, name, frame, error) && !error.empty()) Say(error);
  if (!m_cameraMessage.empty()) CheckCamera(frame);
}

void CSheetTools::CalibrationApplied(const std::string& directory, const std::string& name,
                                     const cv::Mat& frame) {
  if (name.empty()) {
    m_watch.Clear();
  } else {
    m_watch.Applied(directory, name);
  }
  CheckCamera(frame);
}

void CSheetTools::CheckCamera(const cv::Mat& frame) {
  const std::string message = m_watch.Check(frame);
  if (message == m_cameraMessage) return;
  if (!message.empty()) {
    Say(message);
  } else if (m_status.Problem() == m_cameraMessage) {
    Say(std::string());
  }
  m_cameraMessage = message;
}
