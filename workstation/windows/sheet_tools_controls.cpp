#include "workstation/windows/sheet_tools_controls.h"

#include <QPushButton>
#include <QShortcut>
#include <QTimer>

#include <vector>

#include "display/image_window.h"
#include "workstation/color_frame_consumer.h"
#include "workstation/sheet_tools.h"
#include "workstation/windows/board_dlg.h"
#include "workstation/windows/calibration_list.h"

namespace {

constexpr int kCameraCheckMs = 2000;

}  // namespace

CSheetToolsControls::CSheetToolsControls(QWidget* dialog, const SWidgets& widgets,
                                         CSheetTools& tools, CColorFrameConsumer& consumer,
                                         CCalibrationList& calibrations)
    : QObject(dialog),
      m_dialog(dialog),
      m_widgets(widgets),
      m_tools(tools),
      m_consumer(consumer),
      m_calibrations(calibrations),
      m_cameraTimer(new QTimer(this)) {
  connect(m_widgets.findSheetButton, &QPushButton::clicked, this, [this] { OnFindSheet(); });
  auto* findKey = new QShortcut(QKeySequence(Qt::Key_F), m_widgets.inputWindow, nullptr, nullptr,
                                Qt::WidgetShortcut);
  connect(findKey, &QShortcut::activated, this, [this] { OnFindSheet(); });
  connect(m_widgets.checkAccuracyButton, &QPushButton::clicked, this, [this] {
    CBoardDlg dlg(m_tools.Board(), m_dialog);
    if (dlg.exec() != QDialog::Accepted) return;
    const SLensBoard board = dlg.Board();
    m_tools.SetBoard(board);
    // The check counts squares, one more each way than the inner corners asked for.
    OnCheckAccuracy({board.columns + 1, board.rows + 1, board.squareMm});
  });
  // A corner about to be dragged may snap onto the sheet's corners found in the picture now.
  connect(
      m_widgets.inputWindow, &CImageWindow::DragStarted, this,
      [this] {
        m_widgets.inputWindow->SetSnapCorners(CSheetTools::SnapCorners(m_consumer.GetLastFrame()));
      },
      Qt::DirectConnection);
  // Queued when the corners move on another thread (auto calibration).
  connect(m_widgets.inputWindow, &CImageWindow::PointsChanged, this,
          [this] { m_tools.ClearResult(); });
  connect(m_widgets.outputWindow, &CImageWindow::Clicked, this,
          [this](QPoint) { m_tools.ReleaseOutput(); });
  connect(&m_calibrations, &CCalibrationList::CalibrationSaved, this, [this](const QString& n) {
    m_tools.CalibrationSaved(m_calibrations.Directory(), n.toStdString(),
                             m_consumer.GetLastFrame());
  });
  connect(&m_calibrations, &CCalibrationList::CalibrationApplied, this, [this](const QString& n) {
    m_tools.CalibrationApplied(m_calibrations.Directory(), n.toStdString(),
                               m_consumer.GetLastFrame());
  });
  m_cameraTimer->setInterval(kCameraCheckMs);
  connect(m_cameraTimer, &QTimer::timeout, this, [this] {
    if (m_tools.IsCheckDue()) m_tools.CheckCamera(m_consumer.GetLastFrame());
  });
  m_cameraTimer->start();
}

void CSheetToolsControls::OnFindSheet() {
  m_tools.FindSheet(m_consumer.GetLastFrame(), [this](const std::vector<cv::Point2f>& corners) {
    m_calibrations.ApplyCorners(corners);
  });
}

void CSheetToolsControls::OnCheckAccuracy(const SBoardSpec& board) {
  const cv::Mat shown = m_tools.CheckAccuracy(m_consumer.GetLastFrame(), board);
  if (!shown.empty()) m_widgets.outputWindow->SetImage(shown);
}
