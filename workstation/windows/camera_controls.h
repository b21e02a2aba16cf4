#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <string>

class CCameraSwitcher;
class CColorFrameConsumer;
class CImageWindow;
class CPreviewTabs;
class CStatusModel;
class QCheckBox;
class QComboBox;
class QPushButton;
class QWidget;

// The camera controls of the main window: the camera combo (entry i is camera i; a name too long
// for the closed box is shortened in the middle, whole in its tooltip and the open list),
// "Snapshot mode" and the camera configuration command. Switching goes through CCameraSwitcher; the
// owner is told when a camera runs again (`started`: true for a new main camera, false when the
// previous one was started again), so that the windows and the depth side follow.
//
// Threads: UI thread only.
class CCameraControls : public QObject {
 public:
  struct SWidgets {
    QComboBox* combo = nullptr;
    QCheckBox* snapshotCheck = nullptr;
    QPushButton* savePlaneButton = nullptr;
    CImageWindow* inputWindow = nullptr;
  };

  CCameraControls(QWidget* dialog, const SWidgets& widgets, CCameraSwitcher& cameras,
                  CColorFrameConsumer& consumer, CPreviewTabs& tabs, CStatusModel& status,
                  std::function<void(bool switched)> started,
                  std::function<void(const std::string&)> say);

  // As CCameraSwitcher::Switch; 0 only for a refused index.
  int Switch(int index);
  // Lists every camera, greying those that could not be opened.
  void FillCombo();
  // The combo shows the camera in the main tab, or else the current camera.
  void SelectMainCamera();
  void ShowCurrent();
  void OnComboChanged();
  void OnSnapshotMode(bool checked);
  // A camera that gives no frames is shown greyed, not as if its last frame were live.
  void ShowStalled(bool stalled);
  // Resolution and frame divisor: kept in CamDrv.ini, and the camera restarts at the new size.
  void OnConfiguration();

 private:
  QWidget* m_dialog;
  SWidgets m_widgets;
  CCameraSwitcher& m_cameras;
  CColorFrameConsumer& m_consumer;
  CPreviewTabs& m_tabs;
  CStatusModel& m_status;
  void ShowWholeName();

  std::function<void(bool)> m_started;
  std::function<void(const std::string&)> m_say;
};

namespace veldrin {

// The combo's current entry as its closed box shows it: shortened in the middle to the box's text
// field, so both the camera's index and its name's end (a "(3D)" mark, a serial) stay visible.
QString ShownComboText(const QComboBox& combo);

}  // namespace veldrin
