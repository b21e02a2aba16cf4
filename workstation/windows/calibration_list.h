#pragma once

#include <QObject>

#include <array>
#include <memory>
#include <string>

class CCalibrationStore;
class CImageWindow;
class CRectification;
class QComboBox;
class QLabel;
class QToolButton;
class QWidget;

// The calibration selection of the main window: "Default" and the stored calibrations in the
// combo, the save and remove buttons, and the four corner read-outs. Selecting an entry puts its
// corners on the input window and into the rectification; dragging a corner enables saving.
// UI thread only.
class CCalibrationList : public QObject {
  Q_OBJECT

 public:
  struct SWidgets {
    QComboBox* combo = nullptr;
    QToolButton* saveButton = nullptr;
    QToolButton* removeButton = nullptr;
    std::array<QLabel*, 4> pointLabels{};
  };

  // `dialog` parents the name dialog; the widgets belong to it as well.
  CCalibrationList(QWidget* dialog, const SWidgets& widgets, CRectification& rectification,
                   CImageWindow& inputWindow);
  ~CCalibrationList() override;

  // Reads the calibrations stored in `folder` and selects `savedIndex` (0 is "Default"), or
  // nothing when the index lies beyond the list.
  void Open(const std::string& folder, int savedIndex);

  // Index of the selected entry: 0 for "Default", i + 1 for stored calibration i.
  int Index() const { return m_nIndex; }
  // The folder the calibrations are stored in (empty before Open).
  std::string Directory() const;
  void Show();

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

 private:
  void Fill();
  void UpdatePointReadouts();

  QWidget* m_pDialog;
  SWidgets m_widgets;
  CRectification& m_rectification;
  CImageWindow& m_inputWindow;
  std::unique_ptr<CCalibrationStore> m_pStore;
  int m_nIndex = 0;
};
