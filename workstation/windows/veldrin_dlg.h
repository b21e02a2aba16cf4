#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include <memory>
#include <string>
#include <vector>

#include "markers/accuracy_check.h"

#include "markers/qr_detector.h"
#include "video/video_engine.h"
#include "workstation/camera_switcher.h"
#include "workstation/color_frame_consumer.h"
#include "workstation/rectification.h"
#include "workstation/sheet_tools.h"
#include "workstation/status_model.h"
#include "workstation/windows/dialog_layout.h"
#include "workstation/windows/veldrin_dlg_controls.h"

class CCalibrationList;
class CCameraControls;
class CCameraList;
class CDepthSession;
class CDepthViewControls;
class CLensControls;
class CImageWindow;
class CPreviewTabs;
class CSheetToolsControls;
class CStatusLine;
class QMenu;
class QTimer;

// The tool's main window: the live camera picture with its draggable corners on the left (inside
// the camera tabs), the rectified output on the right, and the camera and calibration controls.
// Its controls come from a template (veldrin_dlg_template.h); it wires the parts together: the
// camera switcher (CCameraSwitcher, CCameraControls), the camera tabs (CPreviewTabs), the
// calibration list (CCalibrationList), the sheet tools (CSheetTools, CSheetToolsControls), the
// depth side (CDepthViewControls), the lens (CLensControls) and the colour pipeline
// (CColorFrameConsumer).
//
// Threads: everything here runs on the UI thread except OnVideoFrame/OnDepthFrame (engine capture
// threads) and OnQRCodeDetected (the QR scan thread). Frames go through m_consumer, which guards
// its own state; anything touching widgets is posted back to the UI thread with a queued call,
// so the UI thread may stop and join engine threads at any time.
class CVeldrinDlg : public QDialog,
                    private CKivVideoEngineListener,
                    private CQRDetectorListener,
                    private CColorFrameView {
  Q_OBJECT

 public:
  // `instanceName`: the first command-line argument (empty when there is none).
  explicit CVeldrinDlg(std::string instanceName, QWidget* parent = nullptr);
  ~CVeldrinDlg() override;

  // Runs the initialisation and then the modal loop, unless the initialisation already ended
  // the dialog. Returns the dialog's result (-1 when no camera could be used or the host left).
  int DoModal();

  // Initialisation alone, for callers that drive the event loop themselves (tests).
  void OnInitDialog();
  bool IsEnded() const { return m_ended; }
  int EndResult() const { return m_endResult; }

  // Read-outs for the application and tests.
  const std::string& InstanceName() const { return m_strInstanceName; }
  int CurrentCamera() const { return m_cameras->Current(); }
  int CalibIndex() const;
  std::vector<cv::Point2f> Corners() const { return m_rectification.GetCorners(); }
  std::vector<cv::Point2f> DstCorners() const { return m_rectification.GetDstCorners(); }
  CImageWindow* InputWindow() const { return m_controls.inputWindow; }
  CImageWindow* OutputWindow() const { return m_controls.outputWindow; }
  CCameraList* CameraList() const { return m_cameras->List(); }
  CCameraSwitcher& CameraSwitcher() const { return *m_cameras; }
  CSheetTools& SheetTools() const { return *m_sheetTools; }
  CPreviewTabs& PreviewTabs() const { return *m_previewTabs; }
  CCalibrationList& CalibrationList() const { return *m_calibrationList; }
  // What the status line shows; any part may post a problem to it (ReportProblem).
  CStatusModel& Status() { return m_status; }
  CStatusLine* StatusLine() const { return m_statusLine; }
  QSize FrameSize() const { return QSize(m_cameras->FrameWidth(), m_cameras->FrameHeight()); }
  int FrameDivisor() const { return m_cameras->FrameDivisor(); }
  const CColorFrameConsumer& Consumer() const { return *m_consumer; }
  cv::Mat LastFrame() const { return m_consumer->GetLastFrame(); }
  QSize LastColorSize() const {
    return QSize(m_consumer->LastColorWidth(), m_consumer->LastColorHeight());
  }

  // Operations of the window, public so tests can drive them as the handlers do.
  // Makes `index` the main camera and the window follow it (the depth side for a depth camera).
  int SwitchCamera(int index);
  // The camera combo, "Snapshot mode" and the camera configuration command.
  CCameraControls& CameraControls() const { return *m_cameraControls; }
  // "Find sheet", "Check accuracy" and the bumped-camera check.
  CSheetToolsControls& SheetToolsControls() const { return *m_sheetToolsControls; }
  // "Lens…" of the input picture's context menu: offered for ordinary cameras only.
  bool LensOffered() const;
  CLensControls& LensControls() const { return *m_lensControls; }
  void SavePlane();
  int LoadPlane2D(const std::string& folder);
  QString StatusText() const;
  // The host has gone: open boxes close, no further QR box opens, and the dialog ends with -1.
  void OnHostGone();
  // SIGTERM / SIGINT: open dialogs close as Cancel and the tool ends without a question.
  void OnStopRequested();
  // The depth branch: the RealSense engine and the 3D View (null while the main camera is an
  // ordinary one).
  CDepthSession* DepthSession() const;

 signals:
  // Emitted on the UI thread when the dialog ends; carries the result.
  void Ended(int result);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  // The commands of the menu button (`all`) or of the right-click menu (`onInput`: Lens… too).
  void FillCommandMenu(QMenu& menu, bool all, bool onInput = false);
  void reject() override;
  void done(int result) override;

 private:
  // Engine and QR listeners.
  void OnVideoFrame(int cameraIndex, cv::Mat* frame) override;
  void OnDepthFrame(int cameraIndex, cv::Mat* depthImage, cv::Mat* depthMeters,
                    const SVertex* vertices) override;
  void OnQRCodeDetected(std::string text) override;

  // Colour-pipeline view (capture threads).
  int CurrentTab() const override;
  void ShowInWindow(CImageWindow* window, const cv::Mat& frame) override;
  void ShowInput(const cv::Mat& frame) override;
  void ShowOutput(const cv::Mat& picture) override;
  void SetOutputImageSize(int width, int height) override;
  void MediaSizeChanged(int widthMm, int heightMm) override;
  void HostGone() override;
  void FrameSizeChanged(cv::Size previous, cv::Size current) override;
  void MarkSecurePoints(cv::Mat& frame) override;
  bool RectifyHeightTrue(const cv::Mat& frame, cv::Mat& out) override;
  std::shared_ptr<const std::vector<SMediaObject>> HostObjects() override;

  // The capture threads' news, queued by name so that the hand-over goes through Qt alone.
  Q_INVOKABLE void HostGoneQueued() { OnHostGone(); }
  Q_INVOKABLE void MediaSizeQueued();
  Q_INVOKABLE void FrameSizeQueued(QSize previous, QSize current);

  void CreateControls();
  void SetStatus(const QString& text);
  void LayoutStatusLine();
  // The windows, corners and output follow the size the camera delivers.
  void FollowDeliveredSize();
  void OnFrameSizeChanged(cv::Size previous, cv::Size current);
  void OnCameraStarted(bool switched);
  void EndDialog(int result);
  void OnCancel() { EndDialog(QDialog::Rejected); }

  // Settings.
  std::string SettingsFolder() const;
  // This instance's settings, where the printed board of the lens dialog and the accuracy check
  // is kept.
  CCameraSettings BoardSettings() const;
  void ReadCameraSettings();
  void SaveSettings();

  void StopEngines();

  std::string m_strInstanceName;
  CRectification m_rectification;
  CStatusModel m_status;
  std::unique_ptr<CColorFrameConsumer> m_consumer;
  std::unique_ptr<CCameraSwitcher> m_cameras;  // the main engine and the camera list
  std::unique_ptr<CSheetTools> m_sheetTools;

  bool m_ended = false;
  int m_endResult = 0;
  QSize m_rcInitialClient;

  CDynamicLayout m_layout;
  SVeldrinDlgControls m_controls;
  CPreviewTabs* m_previewTabs = nullptr;                // owned by this dialog (QObject child)
  CCalibrationList* m_calibrationList = nullptr;        // owned by this dialog (QObject child)
  CCameraControls* m_cameraControls = nullptr;          // owned by this dialog (QObject child)
  CSheetToolsControls* m_sheetToolsControls = nullptr;  // owned by this dialog (QObject child)
  CDepthViewControls* m_depthControls = nullptr;        // owned by this dialog (QObject child)
  CLensControls* m_lensControls = nullptr;              // owned by this dialog (QObject child)
  CStatusLine* m_statusLine = nullptr;
  QTimer* m_hostTimer = nullptr;
};
