#pragma once

#include <QDialog>

#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "workstation/lens_calibration.h"

class QLabel;
class QPushButton;
class QSpinBox;
class QDoubleSpinBox;

// "Lens…": measures the current camera's lens from views of a printed chessboard captured from
// the live picture, shows the corners found in the last view, how much of the picture the views
// cover and the reprojection error, and saves the lens file for the camera in the host's folder,
// or removes it (after asking). It also says whether a lens correction is active for the camera. UI
// thread only; the frames come from `grabFrame`, which returns the camera's last frame as captured
// (empty when there is none yet).
class CLensDlg : public QDialog {
  Q_OBJECT

 public:
  CLensDlg(std::string camera, std::string folder, std::function<cv::Mat()> grabFrame,
           QWidget* parent = nullptr);

  // Handlers, public so tests can drive them as the buttons do.
  void OnCapture();
  void OnSave();
  void OnRemove();

  int ViewCount() const { return static_cast<int>(m_views.size()); }
  // The lens file's path in the folder.
  std::string LensPath() const;

 private:
  SLensBoard Board() const;
  QString ActiveLensText() const;
  void ClearViews();
  void ShowView(const cv::Mat& frame, const std::vector<cv::Point2f>& corners);
  void UpdateResult();

  std::string m_camera;
  std::string m_strFolder;
  std::function<cv::Mat()> m_grabFrame;
  std::vector<std::vector<cv::Point2f>> m_views;
  cv::Size m_frameSize;
  SLensModel m_lens;
  bool m_haveLens = false;

  QSpinBox* m_columns = nullptr;
  QSpinBox* m_rows = nullptr;
  QDoubleSpinBox* m_square = nullptr;
  QLabel* m_picture = nullptr;
  QLabel* m_viewsLabel = nullptr;
  QLabel* m_coverageLabel = nullptr;
  QLabel* m_rmsLabel = nullptr;
  QLabel* m_status = nullptr;
  QLabel* m_activeLabel = nullptr;
  QPushButton* m_saveButton = nullptr;
  QPushButton* m_removeButton = nullptr;
};
