#pragma once

#include <QObject>

#include <functional>
#include <string>

class CCameraSettings;
class CCameraSwitcher;
class CColorFrameConsumer;
class CRectification;
class QMenu;
class QWidget;

// The lens correction in the main window: "Lens…" in the menu button's and the input picture's
// menus (the lens dialog, for ordinary cameras only, since a depth camera's colour sensor brings
// its own intrinsics) and the main camera's lens file loaded as the correction. After the dialog
// `changed` lets the calibration in use say at once whether it was made with this lens. The
// board the dialog measured with is kept in `settings` for the next time.
//
// Threads: UI thread only.
class CLensControls : public QObject {
 public:
  CLensControls(QWidget* dialog, CCameraSwitcher& cameras, CColorFrameConsumer& consumer,
                CRectification& rectification, std::function<std::string()> folder,
                std::function<CCameraSettings()> settings,
                std::function<void(const std::string&)> report, std::function<void()> changed);

  bool IsOffered() const;
  void OnLensDialog();
  // Adds "Lens…" to `menu`: in the menu button's (`always`) greyed where it is not offered, in
  // the input picture's only where it is.
  void AddMenuAction(QMenu& menu, bool always);
  // The lens file of the current camera, when there is one for it, becomes the lens correction.
  void LoadForCamera();
  // The lens file whose correction applies to the frames now ("" when none does).
  std::string ActiveName() const;

 private:
  QWidget* m_dialog;
  CCameraSwitcher& m_cameras;
  CColorFrameConsumer& m_consumer;
  CRectification& m_rectification;
  std::function<std::string()> m_folder;
  std::function<CCameraSettings()> m_settings;
  // a lens file that is there but unusable, or a board that could not be kept
  std::function<void(const std::string&)> m_report;
  std::function<void()> m_changed;
};
