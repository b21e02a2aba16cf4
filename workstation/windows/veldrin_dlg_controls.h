#pragma once

#include <QSize>

#include "workstation/windows/calibration_list.h"
#include "workstation/windows/dialog_layout.h"

class CImageWindow;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class QTabBar;
class QToolButton;
class QWidget;

// The main window's controls, made from its template (veldrin_dlg_template.h). The widgets
// belong to the dialog that parents them.
struct SVeldrinDlgControls {
  QComboBox* cameraCombo = nullptr;
  QCheckBox* snapshotCheck = nullptr;
  QToolButton* cameraMenuButton = nullptr;  // its menu is empty until the owner fills it
  QFrame* tabPane = nullptr;
  QTabBar* tabBar = nullptr;
  CImageWindow* inputWindow = nullptr;
  CImageWindow* outputWindow = nullptr;
  QToolButton* closeTabButton = nullptr;
  CCalibrationList::SWidgets calibration;
  QLabel* mediaWidthLabel = nullptr;
  QLabel* mediaHeightLabel = nullptr;
  QCheckBox* autoCalibCheck = nullptr;
  QCheckBox* heightTrueCheck = nullptr;  // exclusive with autoCalibCheck
  QCheckBox* securePointsCheck = nullptr;
  QPushButton* savePlaneButton = nullptr;
  QPushButton* findSheetButton = nullptr;
  QPushButton* checkAccuracyButton = nullptr;
  QSize templateSize;  // the template's area in pixels
};

namespace veldrin {

// Creates every control of the template in `dialog`, places it and anchors it in `layout`, and
// sets the tab order. The units follow the dialog's font, shrunk when the template and a row of
// `reservedHeight` pixels below it would not fit a 1024 x 768 screen.
SVeldrinDlgControls CreateVeldrinDlgControls(QWidget* dialog, CDynamicLayout& layout,
                                             int reservedHeight);

}  // namespace veldrin
