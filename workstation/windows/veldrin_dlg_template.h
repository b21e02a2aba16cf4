#pragma once

// The main window's template: its controls, texts and places in dialog units, as data. The ids
// are the controls' object names, which tests, tools and the demo switches find them by.

#include "workstation/windows/app_icons.h"

enum class EMainControlKind {
  kGroupBox,
  kLabel,
  kWarningLabel,  // red text
  kCheckBox,
  kComboBox,
  kPushButton,
  kIconButton,  // flat 16-pixel icon, the text is its tool tip
  kMenuButton,  // a tool button that opens its menu at once; the owner fills the menu
  kFrame,
  kTabBar,
  kImageWindow,
};

struct SMainControlTemplate {
  const char* id;  // object name; empty for static controls
  EMainControlKind kind;
  const char* text;
  const char* tip;
  int icon;          // IDI_*, or 0
  int x, y, cx, cy;  // dialog units
  int moveX, sizeX, sizeY;
  bool hidden;
};

namespace veldrin {

inline constexpr const char* kMainDialogId = "102";
inline constexpr const char* kInputWindowId = "1001";
inline constexpr const char* kOutputWindowId = "1002";
inline constexpr const char* kCalibrationComboId = "1004";
inline constexpr const char* kPoint1LabelId = "1005";
inline constexpr const char* kPoint2LabelId = "1006";
inline constexpr const char* kPoint3LabelId = "1013";
inline constexpr const char* kPoint4LabelId = "1014";
inline constexpr const char* kMediaWidthLabelId = "1007";
inline constexpr const char* kMediaHeightLabelId = "1015";
inline constexpr const char* kCameraComboId = "1010";
inline constexpr const char* kCameraMenuButtonId = "cameraMenu";
inline constexpr const char* kSnapshotCheckId = "1011";
inline constexpr const char* kCameraTabsId = "1016";
inline constexpr const char* kCameraTabPaneId = "1016-pane";
inline constexpr const char* kSecurePointsCheckId = "1017";
inline constexpr const char* kSavePlaneButtonId = "1022";
inline constexpr const char* kAutoCalibrationCheckId = "1023";
inline constexpr const char* kHeightTrueCheckId = "heightTrue";
inline constexpr const char* kSaveCalibrationButtonId = "20458";
inline constexpr const char* kRemoveCalibrationButtonId = "20459";
inline constexpr const char* kClosePreviewButtonId = "20460";
inline constexpr const char* kFindSheetButtonId = "findSheet";
inline constexpr const char* kCheckAccuracyButtonId = "checkAccuracy";
inline constexpr const char* kQuadWarningLabelId = "quadWarning";
inline constexpr const char* kStatusLineId = "statusLine";

// As the window grows from its initial size, a control moves right by moveX% of the extra width
// and grows by sizeX% of it and by sizeY% of the extra height (CDynamicLayout).
inline constexpr int kPlacedByTabs = -1;  // moveX: the camera tabs place it inside their pane

inline constexpr int kMainDialogWidthDu = 665;
inline constexpr int kMainDialogHeightDu = 290;
// Check boxes wider than their template rectangle stay left of this.
inline constexpr int kMainDialogRightGroupEdgeDu = 657;

// In creation order: group boxes first so that the controls they frame stack above them.
inline constexpr SMainControlTemplate kMainDialogControls[] = {
    {"", EMainControlKind::kGroupBox, "Camera", "", 0, 479, 7, 178, 33, 75, 25, 0, false},
    {"", EMainControlKind::kGroupBox, "Calibration selection", "", 0, 479, 44, 178, 81, 75, 25, 0,
     false},
    {"", EMainControlKind::kGroupBox, "Provided Media Size", "", 0, 479, 130, 177, 37, 75, 25, 0,
     false},
    // Snapshot mode freezes the input picture: it sits above it, so that the camera list has the
    // group's width for whole camera names, beside the menu button.
    {kSnapshotCheckId, EMainControlKind::kCheckBox, "Snapshot mode", "", 0, 396, 4, 70, 10, 75, 0,
     0, false},
    {kCameraComboId, EMainControlKind::kComboBox, "", "", 0, 485, 20, 150, 14, 75, 25, 0, false},
    // The commands that are otherwise only a shortcut or a right-click away.
    {kCameraMenuButtonId, EMainControlKind::kMenuButton, "\u2261",
     "Camera configuration, Lens\u2026, About", 0, 638, 20, 14, 14, 100, 0, 0, false},
    {kCameraTabPaneId, EMainControlKind::kFrame, "", "", 0, 7, 16, 459, 267, 0, 75, 100, false},
    {kCameraTabsId, EMainControlKind::kTabBar, "", "", 0, 0, 0, 0, 0, kPlacedByTabs, 0, 0, false},
    {kInputWindowId, EMainControlKind::kImageWindow, "", "", 0, 84, 72, 287, 160, kPlacedByTabs, 0,
     0, false},
    {kClosePreviewButtonId, EMainControlKind::kIconButton, "", "Close preview", IDI_REMOVE, 452, 15,
     13, 13, 75, 0, 0, false},
    {kOutputWindowId, EMainControlKind::kImageWindow, "", "", 0, 479, 182, 177, 100, 75, 25, 100,
     false},
    {kCalibrationComboId, EMainControlKind::kComboBox, "", "", 0, 485, 57, 121, 14, 75, 25, 0,
     false},
    {kPoint1LabelId, EMainControlKind::kLabel, "", "", 0, 485, 76, 160, 8, 75, 25, 0, false},
    {kPoint2LabelId, EMainControlKind::kLabel, "", "", 0, 485, 85, 160, 8, 75, 25, 0, false},
    {kPoint3LabelId, EMainControlKind::kLabel, "", "", 0, 485, 94, 160, 8, 75, 25, 0, false},
    {kPoint4LabelId, EMainControlKind::kLabel, "", "", 0, 485, 103, 160, 8, 75, 25, 0, false},
    // Under the read-outs, down to the group's edge: what is wrong with the outline, if anything,
    // wrapped onto two lines so that it is never cut at the narrowest window.
    {kQuadWarningLabelId, EMainControlKind::kWarningLabel, "", "", 0, 485, 111, 168, 19, 75, 25, 0,
     false},
    // They end before Save Plane.
    {kMediaWidthLabelId, EMainControlKind::kLabel, "", "", 0, 485, 142, 99, 8, 75, 25, 0, false},
    {kMediaHeightLabelId, EMainControlKind::kLabel, "", "", 0, 485, 154, 99, 8, 75, 25, 0, false},
    {kSaveCalibrationButtonId, EMainControlKind::kIconButton, "", "Save calibration", IDI_SAVE, 610,
     56, 19, 15, 100, 0, 0, false},
    {kRemoveCalibrationButtonId, EMainControlKind::kIconButton, "", "Remove calibration",
     IDI_REMOVE, 630, 56, 19, 15, 100, 0, 0, false},
    {"", EMainControlKind::kLabel, "Input", "", 0, 7, 5, 86, 8, 0, 0, 0, false},
    {"", EMainControlKind::kLabel, "Output", "", 0, 479, 172, 77, 8, 75, 0, 0, false},
    {kAutoCalibrationCheckId, EMainControlKind::kCheckBox, "Auto Calibration", "", 0, 583, 58, 64,
     10, 100, 0, 0, true},
    // On a depth camera the calibration list is hidden: its row is free, left of Auto Calibration.
    {kHeightTrueCheckId, EMainControlKind::kCheckBox, "Height-true picture", "", 0, 485, 58, 90, 10,
     75, 0, 0, true},
    {kSecurePointsCheckId, EMainControlKind::kCheckBox, "Draw secure points", "", 0, 583, 172, 74,
     8, 100, 0, 0, false},
    // Beside the media size, where nothing covers its label.
    {kSavePlaneButtonId, EMainControlKind::kPushButton, "Save Plane", "", 0, 586, 141, 66, 13, 100,
     0, 0, true},
    // Beside the corner read-outs: put the corners on the sheet, and measure the result.
    {kFindSheetButtonId, EMainControlKind::kPushButton, "Find sheet",
     "Put the corners on the sheet in the picture (F)", 0, 586, 75, 66, 13, 100, 0, 0, false},
    {kCheckAccuracyButtonId, EMainControlKind::kPushButton, "Check accuracy",
     "Measure a printed chessboard on the media in the output picture", 0, 586, 90, 66, 13, 100, 0,
     0, false},
};

// Tab moves through the controls as they are seen: the tabs, then the right-hand column from top
// to bottom.
inline constexpr const char* kMainDialogTabOrder[] = {
    kCameraTabsId,
    kClosePreviewButtonId,
    kSnapshotCheckId,
    kCameraComboId,
    kCameraMenuButtonId,
    kCalibrationComboId,
    kSaveCalibrationButtonId,
    kRemoveCalibrationButtonId,
    kFindSheetButtonId,
    kCheckAccuracyButtonId,
    kAutoCalibrationCheckId,
    kHeightTrueCheckId,
    kSavePlaneButtonId,
    kSecurePointsCheckId,
};

}  // namespace veldrin
