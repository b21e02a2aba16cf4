#pragma once

#include <QObject>

#include "markers/accuracy_check.h"

class CCalibrationList;
class CColorFrameConsumer;
class CImageWindow;
class CSheetTools;
class QPushButton;
class QTimer;
class QWidget;

// The sheet tools in the main window: "Find sheet" (the button, or F while the input picture has
// the keyboard), the snap corners handed to a drag as it starts, "Check accuracy" with its board
// dialog and the held deviations in the output picture, and the camera check every two seconds
// against the calibration in use. The work is CSheetTools'; this wires it to the widgets.
//
// Threads: UI thread, except the snap corners, which are found in the input window's drag
// handler (on the UI thread too, but called directly, before the drag goes on).
class CSheetToolsControls : public QObject {
 public:
  struct SWidgets {
    QPushButton* findSheetButton = nullptr;
    QPushButton* checkAccuracyButton = nullptr;
    CImageWindow* inputWindow = nullptr;
    CImageWindow* outputWindow = nullptr;
  };

  CSheetToolsControls(QWidget* dialog, const SWidgets& widgets, CSheetTools& tools,
                      CColorFrameConsumer& consumer, CCalibrationList& calibrations);

  // The corners go onto the sheet found in the last frame, as one change; without a sheet
  // nothing changes and the status line says so.
  void OnFindSheet();
  // Measures `board` in the rectified last frame; the deviations stay in the output picture for
  // a while and the figures go to the status line.
  void OnCheckAccuracy(const SBoardSpec& board);

 private:
  QWidget* m_dialog;
  SWidgets m_widgets;
  CSheetTools& m_tools;
  CColorFrameConsumer& m_consumer;
  CCalibrationList& m_calibrations;
  QTimer* m_cameraTimer;
};
