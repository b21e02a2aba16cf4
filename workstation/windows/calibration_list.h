#pragma once

#include <QObject>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/types.hpp>

#include "workstation/corner_history.h"

class CCalibrationStore;
class CImageWindow;
class CRectification;
class CStatusModel;
class QComboBox;
class QLabel;
class QToolButton;
class QWidget;

// The calibration selection of the main window: "Default" and the stored calibrations in the
// combo, the save and remove buttons, and the four corner read-outs. Selecting an entry puts its
// corners on the input window and into the rectification (scaled when the calibration records
// another frame size). Saving is always possible, also to keep a copy under another name.
//
// It also keeps the operator's corner edits: every change (a whole drag, ApplyCorners, a
// calibration chosen) is one undo step; the selected entry is marked "<name> *" while the
// corners differ from it; corners that make no usable outline (CheckQuad) get a red outline and
// a one-line warning, and saving them asks first. UI thread only.
class CCalibrationList : public QObject {
  Q_OBJECT

 public:
  struct SWidgets {
    QComboBox* combo = nullptr;
    QToolButton* saveButton = nullptr;
    QToolButton* removeButton = nullptr;
    std::array<QLabel*, 4> pointLabels{};
    QLabel* warningLabel = nullptr;  // optional: the outline warning
  };

  // `dialog` parents the name dialog; the widgets belong to it as well.
  CCalibrationList(QWidget* dialog, const SWidgets& widgets, CRectification& rectification,
                   CImageWindow& inputWindow);
  ~CCalibrationList() override;

  // Problems (a calibration that cannot be applied, corners outside the picture) go here.
  void SetStatusModel(CStatusModel* status) { m_status = status; }

  // Reads the calibrations stored in `folder` and selects the one named `savedName` when it is
  // listed, else `savedIndex` (0 is "Default"), or nothing when the index lies beyond the list.
  void Open(const std::string& folder, int savedIndex, const std::string& savedName = {});

  // The lens correction in use: the active lens file's name, "" without one. A calibration is
  // saved with it, and one that was saved with another says so in the status line.
  void SetLensState(std::function<std::string()> activeLens);
  // The lens correction was saved or removed: the calibration in use says at once whether it
  // was placed with the lens now in use.
  void LensChanged();

  // Index of the selected entry: 0 for "Default", i + 1 for stored calibration i.
  int Index() const { return m_index; }
  // The folder the calibrations are stored in (empty before Open).
  std::string Directory() const;
  // Name of the selected stored calibration; "" for "Default" or no selection.
  std::string Name() const;
  void Show();
  void Hide();

  // True while the corners differ from those of the selected entry (unsaved work).
  bool IsModified() const;

  // Puts corners in place as one undoable step (automatic placement, a loaded plane).
  void ApplyCorners(const std::vector<cv::Point2f>& corners);
  bool Undo();
  bool Redo();
  const CCornerHistory& History() const { return m_history; }

  // The frame size changed and the rectification has scaled the corners by (sx, sy): the input
  // window, the selected entry's corners and the history follow, and nothing counts as edited.
  void FollowScaledCorners(float sx, float sy);

  // Handlers, public so tests can drive them as the widgets do.
  void OnCalibrationSelected();
  void OnSaveCalibration();
  void OnRemoveCalibration();
  // The corners were dragged in the input window.
  void OnPointsChanged();
  // The input window was clicked: with four corners the output rectangle is rebuilt.
  void OnInputClicked();

 signals:
  // The corners were stored under `name`.
  void CalibrationSaved(const QString& name);
  // The stored calibration `name` was applied; an empty name for "Default".
  void CalibrationApplied(const QString& name);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Fill();
  void UpdatePointReadouts();
  // Puts corners on the window and into the rectification without recording a step.
  void Put(const std::vector<cv::Point2f>& corners);
  // Read-outs, the modified mark, the outline warning and the remove button.
  void Refresh();
  std::string EntryName(int index) const;
  void ReportProblem(const std::string& text);
  void ReportNotice(const std::string& text);
  std::string ActiveLens() const { return m_activeLens ? m_activeLens() : std::string(); }
  void ReportLensState(const std::string& name, const std::string& savedLens);

  QWidget* m_dialog;
  SWidgets m_widgets;
  CRectification& m_rectification;
  CImageWindow& m_inputWindow;
  CStatusModel* m_status = nullptr;
  std::unique_ptr<CCalibrationStore> m_store;
  int m_index = 0;

  CCornerHistory m_history;
  std::vector<cv::Point2f> m_reference;  // the selected entry's corners
  bool m_putting = false;                // our own SetPoints is reporting back
  std::optional<std::vector<cv::Point2f>> m_dragStart;
  std::string m_problem;  // the last problem this list reported
  std::string m_notice;   // the last information this list gave
  std::function<std::string()> m_activeLens;
};
