#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "markers/accuracy_check.h"

#include "markers/qr_detector.h"
#include "video/video_engine.h"
#include "workstation/camera_watch.h"
#include "workstation/color_frame_consumer.h"
#include "workstation/rectification.h"
#include "workstation/status_model.h"
#include "workstation/windows/dialog_layout.h"

class CCalibrationList;
class CCameraList;
class CDepthSession;
class CImageWindow;
class CKivOpenCVVideoEngine;
class CPreviewTabs;
class CStatusLine;
class QMenu;
class QTimer;

// The tool's main window: the live camera picture with its draggable corners on the left (inside
// the camera tabs), the rectified output on the right, and the camera and calibration controls.
// It lays out the controls and wires the parts together: the camera tabs (CPreviewTabs), the
// calibration list (CCalibrationList) and the colour pipeline (CColorFrameConsumer).
//
// Threads: everything here runs on the UI thread except OnVideoFrame/OnDepthFrame (engine capture
// threads) and OnQRCodeDetected (the QR scan thread). Frames go through m_pConsumer, which guards
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
  bool IsEnded() const { return m_bEnded; }
  int EndResult() const { return m_nEndResult; }

  // Read-outs for the application and tests.
  const std::string& InstanceName() const { return m_strInstanceName; }
  int CurrentCamera() const { return m_nCurrentCamera; }
  int CalibIndex() const;
  std::vector<cv::Point2f> Corners() const { return m_rectification.GetCorners(); }
  std::vector<cv::Point2f> DstCorners() const { return m_rectification.GetDstCorners(); }
  CImageWindow* InputWindow() const { return m_inputWindow; }
  CImageWindow* OutputWindow() const { return m_outputWindow; }
  CCameraList* CameraList() const { return m_pCameraList.get(); }
  CPreviewTabs& PreviewTabs() const { return *m_pPreviewTabs; }
  CCalibrationList& CalibrationList() const { return *m_pCalibrationList; }
  // What the status line shows; any part may post a problem to it (ReportProblem).
  CStatusModel& Status() { return m_status; }
  CStatusLine* StatusLine() const { return m_statusLine; }
  QSize FrameSize() const { return QSize(m_frameWidth, m_frameHeight); }
  int FrameDivisor() const { return m_frameDivisor; }
  const CColorFrameConsumer& Consumer() const { return *m_pConsumer; }
  cv::Mat LastFrame() const { return m_pConsumer->GetLastFrame(); }
  QSize LastColorSize() const {
    return QSize(m_pConsumer->LastColorWidth(), m_pConsumer->LastColorHeight());
  }

  // Operations of the window, public so tests can drive them as the handlers do.
  int SwitchCamera(int index);
  void OnCameraConfiguration();
  void OnSnapshotMode(bool checked);
  // "Lens…" of the input picture's context menu: offered for ordinary cameras only, since a
  // depth camera's colour sensor brings its own intrinsics.
  bool LensOffered() const;
  void OnLensDialog();
  // The lens file of the current camera, when there is one for it, becomes the lens correction.
  void LoadLensForCamera();
  // The lens file whose correction applies to the frames now ("" when none does).
  std::string ActiveLensName() const;
  // "Save Plane": the current corners as the table plane (3D and 2D files on a depth camera, a
  // pair: a failed 3D write leaves the 2D file alone); the outcome goes to the status line.
  void SavePlane();
  int LoadPlane2D(const std::string& folder);
  // "Find sheet" (the button, or F in the input picture): the corners go onto the sheet found in
  // the last frame, as one change; without a sheet nothing changes and the status line says so.
  void OnFindSheet();
  // "Check accuracy" with the board already chosen: measures it in the rectified last frame,
  // shows the deviations in the output picture for a while and the figures in the status line.
  void OnCheckAccuracy(const veldrin::SBoardSpec& board);
  // Compares a live frame with the reference of the calibration in use (every few seconds).
  void OnCheckCamera(const cv::Mat& frame);
  QString StatusText() const;
  // The host has gone: open boxes close, no further QR box opens, and the dialog ends with -1.
  void OnHostGone();
  // SIGTERM / SIGINT: open dialogs close as Cancel and the tool ends without a question.
  void OnStopRequested();
  // The depth branch: the RealSense engine and the 3D View (null while the main camera is an
  // ordinary one).
  int StartDepthView();
  void StopDepthView();
  CDepthSession* DepthSession() const { return m_pDepth.get(); }

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

  void CreateControls();
  void SetStatus(const QString& text);
  // A result or confirmation, shown as information until the next or until the corners, the
  // media or the camera change (empty: none).
  void SetResult(const QString& text);
  void LayoutStatusLine();
  // The windows, corners and output follow the size the camera delivers.
  void FollowDeliveredSize();
  void OnFrameSizeChanged(cv::Size previous, cv::Size current);
  void OnCameraStalled(bool stalled);
  std::string CameraEntry(int index) const;
  void OnDepthEngineError(const QString& message);
  void EndDialog(int result);
  void OnCancel() { EndDialog(QDialog::Rejected); }
  void ShowAboutBox();

  // Settings.
  std::string SettingsFolder() const;
  void ReadCameraSettings();
  void SaveSettings();

  // Cameras.
  void FillCameraCombo();
  // -1 when no camera is to be used; `declined` tells that the operator said so.
  int ReadPreferredCamera(bool& declined);
  void OnCameraComboChanged();
  void SelectMainCameraInCombo();
  void StopEngines();

  std::string m_strInstanceName;
  CRectification m_rectification;
  CStatusModel m_status;
  std::string m_strResult;  // the result SetResult shows (UI thread)
  std::unique_ptr<CColorFrameConsumer> m_pConsumer;
  std::unique_ptr<CCameraList> m_pCameraList;
  std::unique_ptr<CKivOpenCVVideoEngine> m_pWebcamEngine;

  int m_nCurrentCamera = -1;
  int m_frameWidth = 640;
  int m_frameHeight = 480;
  int m_frameDivisor = 0;
  bool m_bEnded = false;
  int m_nEndResult = 0;
  bool m_bClosing = false;
  QSize m_rcInitialClient;

  veldrin::CDynamicLayout m_layout;
  QComboBox* m_cameraCombo = nullptr;
  CImageWindow* m_inputWindow = nullptr;
  CImageWindow* m_outputWindow = nullptr;
  QToolButton* m_closeTabButton = nullptr;
  QLabel* m_mediaWidthLabel = nullptr;
  QLabel* m_mediaHeightLabel = nullptr;
  QCheckBox* m_snapshotCheck = nullptr;
  QCheckBox* m_autoCalibCheck = nullptr;
  QCheckBox* m_securePointsCheck = nullptr;
  QPushButton* m_savePlaneButton = nullptr;
  QWidget* m_calibGroup = nullptr;
  CPreviewTabs* m_pPreviewTabs = nullptr;          // owned by this dialog (QObject child)
  CCalibrationList* m_pCalibrationList = nullptr;  // owned by this dialog (QObject child)

  // Sheet finding, accuracy and the bumped-camera watch (UI thread, except the hold deadline,
  // which the capture thread reads in ShowOutput).
  QString m_strCameraMessage;  // the camera-moved warning while it is shown
  CCameraWatch m_cameraWatch;
  QTimer* m_cameraTimer = nullptr;
  veldrin::SBoardSpec m_board{9, 6, 20.0};
  // Until this steady-clock time (ns) the output picture keeps the accuracy deviations.
  std::atomic<std::int64_t> m_outputHeldUntil{0};
  CStatusLine* m_statusLine = nullptr;
  QLabel* m_quadWarning = nullptr;
  QTimer* m_hostTimer = nullptr;
  // Colour threads mark secure points under m_depthMutex; the UI thread takes the session out
  // under it before deleting it.
  std::mutex m_depthMutex;
  std::unique_ptr<CDepthSession> m_pDepth;
};
