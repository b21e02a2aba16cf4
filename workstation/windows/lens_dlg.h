#pragma once

#include <QDialog>

#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "workstation/lens_calibration.h"

class CBoardEntry;
class QLabel;
class QPushButton;

// "Lens…": measures the current camera's lens from views of a printed chessboard captured from
// the live picture, shows the corners found in the last view, a map of where the views' corners
// fell and the reprojection error, and saves the lens file for the camera in the host's folder
// once the views cover enough of the picture (veldrin::IsCoverageEnough), or removes it (after
// asking). It also says whether a lens correction is active for the camera. UI thread only; the
// frames come from `grabFrame`, which returns the camera's last frame as captured (empty when
// there is none yet). The board starts as `board`; Board() is the one given when the dialog ends.
class CLensDlg : public QDialog {
  Q_OBJECT

 public:
  CLensDlg(std::string camera, std::string folder, std::function<cv::Mat()> grabFrame,
           const SLensBoard& board = veldrin::kDefaultLensBoard, QWidget* parent = nullptr);

  // Handlers, public so tests can drive them as the buttons do.
  void OnCapture();
  void OnSave();
  void OnRemove();

  int ViewCount() const { return static_cast<int>(m_views.size()); }
  // The lens file's path in the folder.
  std::string LensPath() const;
  SLensBoard Board() const;

 private:
  QString ActiveLensText() const;
  void ClearViews();
  void ShowView(const cv::Mat& frame, const std::vector<cv::Point2f>& corners);
  void UpdateResult();
  void ShowCoverage();

  std::string m_camera;
  std::string m_strFolder;
  std::function<cv::Mat()> m_grabFrame;
  std::vector<std::vector<cv::Point2f>> m_views;
  cv::Size m_frameSize;
  cv::Mat m_thumbnail;  // the last view, small, under the coverage map
  SCoverageMap m_coverage;
  bool m_coverageEnough = false;
  std::string m_coverageProblem;  // why the coverage is not enough yet
  SLensModel m_lens;
  bool m_haveLens = false;

  CBoardEntry* m_board = nullptr;
  QLabel* m_picture = nullptr;
  QLabel* m_coverageMap = nullptr;
  QLabel* m_viewsLabel = nullptr;
  QLabel* m_coverageLabel = nullptr;
  QLabel* m_rmsLabel = nullptr;
  QLabel* m_status = nullptr;
  QLabel* m_activeLabel = nullptr;
  QPushButton* m_saveButton = nullptr;
  QPushButton* m_removeButton = nullptr;
};
