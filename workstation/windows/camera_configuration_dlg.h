#pragma once

#include <QComboBox>
#include <QDialog>
#include <QSize>

#include <opencv2/core/types.hpp>

#include <vector>

// The camera-resolution and frame-divisor dialog. The caller reads m_nResolutionIndex (-1 when the
// text was typed and names no listed entry) and m_nFrameDivisor after exec() returns Accepted.
class CCameraConfiguraionDlg : public QDialog {
  Q_OBJECT

 public:
  CCameraConfiguraionDlg(const std::vector<cv::Point>* resolutions, QSize current, int frameDivisor,
                         QWidget* parent = nullptr);

  int m_nResolutionIndex = 0;
  int m_nFrameDivisor = 0;

  void accept() override;

 private:
  void OnInitDialog();
  static int SelectedIndex(const QComboBox* combo);

  const std::vector<cv::Point>* m_pResolutions;
  QSize m_sizeCurrent;
  QComboBox* m_resolutionCombo = nullptr;
  QComboBox* m_divisorCombo = nullptr;
};
