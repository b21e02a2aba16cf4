#include "workstation/windows/veldrin_dlg.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QMenu>
#include <QMetaObject>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStyle>
#include <QTimer>

#include <chrono>

#include "depth/plane_files.h"
#include "display/image_window.h"
#include "hostlink/shared_status_block.h"
#include "markers/sheet_finder.h"
#include "platform/message_box.h"
#include "resources/string_table.h"
#include "video/opencv_video_engine.h"
#include "workstation/camera_list.h"
#include "workstation/camera_settings.h"
#include "workstation/windows/about_dlg.h"
#include "workstation/windows/app_icons.h"
#include "workstation/windows/board_dlg.h"
#include "workstation/windows/calibration_list.h"
#include "workstation/windows/camera_configuration_dlg.h"
#include "workstation/windows/preview_tabs.h"
#include "workstation/windows/simple_splash.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

constexpr int kIconRemove = veldrin::IDI_REMOVE;
constexpr int kIconSave = veldrin::IDI_SAVE;

}  // namespace

CVeldrinDlg::CVeldrinDlg(std::string instanceName, QWidget* parent)
    : QDialog(parent), m_strInstanceName(std::move(instanceName)) {
  setObjectName(QStringLiteral("102"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  setSizeGripEnabled(true);
  setWindowIcon(veldrin::LoadAppIcon(veldrin::IDI_MAIN));
  m_pConsumer =
      std::make_unique<CColorFrameConsumer>(m_rectification, static_cast<CColorFrameView&>(*this),
                                            static_cast<CQRDetectorListener*>(this));
  CreateControls();
}

CVeldrinDlg::~CVeldrinDlg() {
  if (m_nCurrentCamera != -1) SaveSettings();
  StopEngines();
  m_pWebcamEngine.reset();  // joins the capture thread
  m_pConsumer->ReleaseStatusBlock();
  m_pPreviewTabs->ReleasePreviews();
  m_pConsumer->StopQRDetector();
}

// ---------------------------------------------------------------------------------------------
// Controls and layout

void CVeldrinDlg::CreateControls() {
  const veldrin::CDialogUnits du(font());
  auto place = [&](QWidget* w, int x, int y, int cx, int cy, int moveX, int sizeX, int sizeY) {
    QRect r = du.Rect(x, y, cx, cy);
    // Check boxes here draw a larger indicator than the templates were laid out for: give them
    // the width their text needs, kept inside the right-hand group boxes.
    if (qobject_cast<QCheckBox*>(w) && w->sizeHint().width() > r.width()) {
      r.setWidth(w->sizeHint().width());
      const int right = du.X(657) - 4;
      if (r.right() > right) r.moveRight(right);
    }
    w->setGeometry(r);
    m_layout.Add(w, r, moveX, sizeX, sizeY);
  };
  auto label = [&](const QString& text, const char* id) {
    auto* l = new QLabel(text, this);
    if (id) l->setObjectName(QLatin1String(id));
    return l;
  };
  auto group = [&](const QString& text) { return new QGroupBox(text, this); };
  auto iconButton = [&](const char* id, int iconId, const QString& tip) {
    auto* b = new QToolButton(this);
    b->setObjectName(QLatin1String(id));
    b->setIcon(veldrin::LoadAppIcon(iconId));
    b->setIconSize(QSize(16, 16));
    b->setAutoRaise(true);
    b->setToolTip(tip);
    return b;
  };

  // Group boxes first so that the controls they frame stack above them.
  place(group(QStringLiteral("Camera")), 479, 7, 178, 33, 75, 25, 0);
  m_calibGroup = group(QStringLiteral("Calibration selection"));
  place(m_calibGroup, 479, 44, 178, 81, 75, 25, 0);
  place(group(QStringLiteral("Provided Media Size")), 479, 130, 177, 37, 75, 25, 0);

  m_cameraCombo = new QComboBox(this);
  m_cameraCombo->setObjectName(QStringLiteral("1010"));
  place(m_cameraCombo, 485, 20, 99, 14, 75, 25, 0);

  auto* tabPane = new QFrame(this);
  tabPane->setObjectName(QStringLiteral("1016-pane"));
  tabPane->setFrameShape(QFrame::StyledPanel);
  place(tabPane, 7, 16, 459, 267, 0, 75, 100);
  auto* tabBar = new QTabBar(this);
  tabBar->setObjectName(QStringLiteral("1016"));
  tabBar->setExpanding(false);
  tabBar->setDrawBase(false);

  m_inputWindow = new CImageWindow(this);
  m_inputWindow->setObjectName(QStringLiteral("1001"));
  m_inputWindow->setGeometry(du.Rect(84, 72, 287, 160));

  m_closeTabButton = iconButton("20460", kIconRemove, QStringLiteral("Close preview"));
  place(m_closeTabButton, 452, 15, 13, 13, 75, 0, 0);

  m_outputWindow = new CImageWindow(this);
  m_outputWindow->setObjectName(QStringLiteral("1002"));
  place(m_outputWindow, 479, 182, 177, 100, 75, 25, 100);

  CCalibrationList::SWidgets calibration;
  calibration.combo = new QComboBox(this);
  calibration.combo->setObjectName(QStringLiteral("1004"));
  place(calibration.combo, 485, 57, 121, 14, 75, 25, 0);

  const char* pointIds[4] = {"1005", "1006", "1013", "1014"};
  for (int i = 0; i < 4; ++i) {
    calibration.pointLabels[i] = label(QString(), pointIds[i]);
    place(calibration.pointLabels[i], 485, 76 + 10 * i, 160, 8, 75, 25, 0);
  }
  m_mediaWidthLabel = label(QString(), "1007");
  place(m_mediaWidthLabel, 485, 142, 164, 8, 75, 25, 0);
  m_mediaHeightLabel = label(QString(), "1015");
  place(m_mediaHeightLabel, 485, 154, 164, 8, 75, 25, 0);

  m_snapshotCheck = new QCheckBox(QStringLiteral("Snapshot mode"), this);
  m_snapshotCheck->setObjectName(QStringLiteral("1011"));
  place(m_snapshotCheck, 591, 22, 60, 10, 100, 0, 0);

  calibration.saveButton = iconButton("20458", kIconSave, QStringLiteral("Save calibration"));
  place(calibration.saveButton, 610, 56, 19, 15, 100, 0, 0);
  calibration.removeButton = iconButton("20459", kIconRemove, QStringLiteral("Remove calibration"));
  place(calibration.removeButton, 630, 56, 19, 15, 100, 0, 0);

  place(label(QStringLiteral("Input"), nullptr), 7, 5, 86, 8, 0, 0, 0);
  place(label(QStringLiteral("Output"), nullptr), 479, 172, 77, 8, 75, 0, 0);

  m_autoCalibCheck = new QCheckBox(QStringLiteral("Auto Calibration"), this);
  m_autoCalibCheck->setObjectName(QStringLiteral("1023"));
  m_autoCalibCheck->hide();
  place(m_autoCalibCheck, 583, 58, 64, 10, 100, 0, 0);

  m_securePointsCheck = new QCheckBox(QStringLiteral("Draw secure points"), this);
  m_securePointsCheck->setObjectName(QStringLiteral("1017"));
  place(m_securePointsCheck, 583, 172, 74, 8, 100, 0, 0);

  m_savePlaneButton = new QPushButton(QStringLiteral("Save Plane"), this);
  m_savePlaneButton->setObjectName(QStringLiteral("1022"));
  m_savePlaneButton->setAutoDefault(false);
  m_savePlaneButton->hide();
  place(m_savePlaneButton, 605, 80, 44, 36, 0, 0, 0);

  // Beside the corner read-outs: put the corners on the sheet, and measure the result.
  auto* findSheet = new QPushButton(QStringLiteral("Find sheet"), this);
  findSheet->setObjectName(QStringLiteral("findSheet"));
  findSheet->setAutoDefault(false);
  findSheet->setToolTip(QStringLiteral("Put the corners on the sheet in the picture (F)"));
  place(findSheet, 594, 75, 58, 13, 100, 0, 0);
  auto* checkAccuracy = new QPushButton(QStringLiteral("Check accuracy"), this);
  checkAccuracy->setObjectName(QStringLiteral("checkAccuracy"));
  checkAccuracy->setAutoDefault(false);
  checkAccuracy->setToolTip(
      QStringLiteral("Measure a printed chessboard on the media in the output picture"));
  place(checkAccuracy, 594, 90, 58, 13, 100, 0, 0);

  // One line under the pictures for what the operator should know without a message box.
  m_statusLine = new QLabel(this);
  m_statusLine->setObjectName(QStringLiteral("statusLine"));
  m_statusLine->setTextFormat(Qt::PlainText);

  const QSize initial = du.Size(665, 290);
  m_layout.SetInitialSize(initial);
  resize(initial);

  m_pPreviewTabs = new CPreviewTabs(this, tabBar, tabPane, m_closeTabButton, m_inputWindow,
                                    static_cast<CKivVideoEngineListener&>(*this));
  m_pCalibrationList = new CCalibrationList(this, calibration, m_rectification, *m_inputWindow);

  connect(m_cameraCombo, qOverload<int>(&QComboBox::activated), this,
          [this](int) { OnCameraComboChanged(); });
  connect(m_pPreviewTabs, &CPreviewTabs::PreviewAdded, this, [this] {
    FillCameraCombo();
    SelectMainCameraInCombo();
    update();
  });
  connect(m_pPreviewTabs, &CPreviewTabs::PreviewClosed, this, [this] {
    FillCameraCombo();
    m_cameraCombo->setFocus();
    SelectMainCameraInCombo();
  });
  connect(m_snapshotCheck, &QCheckBox::clicked, this, [this](bool on) { OnSnapshotMode(on); });
  connect(m_savePlaneButton, &QPushButton::clicked, this, [this] { SavePlane(); });
  connect(m_autoCalibCheck, &QCheckBox::clicked, this, [this](bool on) {
    if (!on) LoadPlane2D(SettingsFolder());
  });
  connect(
      m_inputWindow, &CImageWindow::PointsChanged, m_pCalibrationList,
      [this] { m_pCalibrationList->OnPointsChanged(); }, Qt::DirectConnection);
  connect(m_inputWindow, &CImageWindow::Clicked, m_pCalibrationList,
          [this](QPoint) { m_pCalibrationList->OnInputClicked(); });
  connect(findSheet, &QPushButton::clicked, this, [this] { OnFindSheet(); });
  auto* findKey =
      new QShortcut(QKeySequence(Qt::Key_F), m_inputWindow, nullptr, nullptr, Qt::WidgetShortcut);
  connect(findKey, &QShortcut::activated, this, [this] { OnFindSheet(); });
  connect(checkAccuracy, &QPushButton::clicked, this, [this] {
    CBoardDlg board(m_board, this);
    if (board.exec() != QDialog::Accepted) return;
    m_board = board.Board();
    OnCheckAccuracy(m_board);
  });
  // A corner about to be dragged may snap onto the sheet's corners found in the picture now.
  connect(
      m_inputWindow, &CImageWindow::DragStarted, this,
      [this] {
        std::vector<cv::Point2f> corners;
        if (!veldrin::FindSheet(m_pConsumer->GetLastFrame(), corners)) corners.clear();
        m_inputWindow->SetSnapCorners(std::move(corners));
      },
      Qt::DirectConnection);
  connect(m_outputWindow, &CImageWindow::Clicked, this, [this](QPoint) { m_outputHeldUntil = 0; });
  connect(m_pCalibrationList, &CCalibrationList::CalibrationSaved, this, [this](const QString& n) {
    m_cameraWatch.Saved(m_pCalibrationList->Directory(), n.toStdString(),
                        m_pConsumer->GetLastFrame());
    if (!m_strCameraMessage.isEmpty()) OnCheckCamera(m_pConsumer->GetLastFrame());
  });
  connect(m_pCalibrationList, &CCalibrationList::CalibrationApplied, this,
          [this](const QString& name) {
            if (name.isEmpty()) {
              m_cameraWatch.Clear();
            } else {
              m_cameraWatch.Applied(m_pCalibrationList->Directory(), name.toStdString());
            }
            OnCheckCamera(m_pConsumer->GetLastFrame());
          });
  m_cameraTimer = new QTimer(this);
  m_cameraTimer->setInterval(2000);
  connect(m_cameraTimer, &QTimer::timeout, this, [this] {
    if (m_cameraWatch.IsWatching() || !m_strCameraMessage.isEmpty())
      OnCheckCamera(m_pConsumer->GetLastFrame());
  });
  m_cameraTimer->start();

  auto* accel = new QShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::SHIFT | Qt::Key_R), this);
  connect(accel, &QShortcut::activated, this, [this] { OnCameraConfiguration(); });
}

void CVeldrinDlg::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  m_layout.Apply(size());
  PlaceStatusLine();
  if (m_pPreviewTabs) m_pPreviewTabs->Layout();
}

void CVeldrinDlg::contextMenuEvent(QContextMenuEvent* event) {
  const std::string& text = veldrin::LoadStringResource(veldrin::IDS_ABOUTBOX);
  if (text.empty()) return;
  QMenu menu(this);
  menu.addAction(Q(text), this, [this] { ShowAboutBox(); });
  menu.exec(event->globalPos());
}

void CVeldrinDlg::ShowAboutBox() {
  CAboutDlg about(this);
  about.exec();
}

// ---------------------------------------------------------------------------------------------
// Start-up and shut-down

int CVeldrinDlg::DoModal() {
  OnInitDialog();
  if (m_bEnded) return m_nEndResult;
  show();
  return exec();
}

void CVeldrinDlg::OnInitDialog() {
  setWindowTitle(windowTitle() + Q(m_strInstanceName));

  auto block = std::make_unique<CSharedStatusBlock>(m_strInstanceName, 0);
  const bool connected = block->IsOpen() != 0;
  m_pConsumer->SetStatusBlock(connected ? std::move(block) : nullptr);
  if (!connected) {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_CONNECTION_FAILED);
    OnCancel();
  }

  m_securePointsCheck->setEnabled(false);
  ReadCameraSettings();

  std::unique_ptr<CSimpleSplash> splash = veldrin::ShowSplash(nullptr, 200);

  m_rcInitialClient = m_layout.InitialSize();
  setMinimumSize(m_rcInitialClient);

  m_inputWindow->SetImageSize(m_frameWidth, m_frameHeight);
  m_outputWindow->SetImageSize(m_frameWidth, m_frameHeight);

  m_pPreviewTabs->CreateTabs();

  m_rectification.SetDefaultCorners();
  m_inputWindow->SetPoints(m_rectification.GetCorners());

  m_pWebcamEngine = std::make_unique<CKivOpenCVVideoEngine>();
  m_pCameraList = std::make_unique<CCameraList>(*m_pWebcamEngine);
  m_pConsumer->SetCameraList(m_pCameraList.get());
  m_pPreviewTabs->SetCameraList(m_pCameraList.get());
  if (m_pCameraList->GetCount() == 0) {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_CAMERA_NOT_FOUND);
    OnCancel();
  }
  FillCameraCombo();
  const int index = ReadPreferredCamera();
  if (SwitchCamera(index)) {
    const QSignalBlocker blocker(m_cameraCombo);
    m_cameraCombo->setCurrentIndex(m_nCurrentCamera);
  } else {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_UNABLE_TO_OPEN_CAMERA);
  }

  m_pCalibrationList->Open(SettingsFolder(),
                           CCameraSettings(SettingsFolder(), m_strInstanceName).ReadCalibIndex());

  splash.reset();
  m_pPreviewTabs->Layout();
  m_pPreviewTabs->UpdateCloseButton();
  if (m_nCurrentCamera == -1) EndDialog(-1);
}

void CVeldrinDlg::EndDialog(int result) { done(result); }

// The last request wins, as when a cancelled initialisation later finds no camera either.
void CVeldrinDlg::done(int result) {
  m_bEnded = true;
  m_nEndResult = result;
  QDialog::done(result);
  emit Ended(result);
}

void CVeldrinDlg::reject() { close(); }

void CVeldrinDlg::closeEvent(QCloseEvent* event) {
  StopEngines();
  event->accept();
  done(QDialog::Accepted);
}

// Stops every engine. Their threads never wait for this thread, so stopping is quick and the
// engines' destructors can join them.
void CVeldrinDlg::StopEngines() {
  if (m_pWebcamEngine) m_pWebcamEngine->Stop();
  m_pPreviewTabs->StopPreviews();
}

void CVeldrinDlg::HostGone() {
  QMetaObject::invokeMethod(
      this, [this] { EndDialog(-1); }, Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------------------------
// Settings

std::string CVeldrinDlg::SettingsFolder() const { return m_pConsumer->GetFolder(); }

void CVeldrinDlg::ReadCameraSettings() {
  const CCameraSettings settings(SettingsFolder(), m_strInstanceName);
  m_frameWidth = settings.ReadResX();
  m_frameHeight = settings.ReadResY();
  m_frameDivisor = settings.ReadFrameDivisor();
  m_pConsumer->SetFrameDivisor(m_frameDivisor);
  m_rectification.ApplyCameraSettings(m_frameWidth, m_frameHeight);
  m_pPreviewTabs->SetFrameSize(m_frameWidth, m_frameHeight);
}

void CVeldrinDlg::SaveSettings() {
  CCameraSettings settings(SettingsFolder(), m_strInstanceName);
  INFO_CAM_DATA record;
  if (m_pCameraList && m_pCameraList->GetCameraAt(m_nCurrentCamera, record) && m_pWebcamEngine &&
      m_nCurrentCamera < MAX_VIDEO_DEVICES)
    settings.WriteCamera(m_pWebcamEngine->m_devices[m_nCurrentCamera].strName);
  settings.WriteCalibIndex(m_pCalibrationList->Index());
}

// ---------------------------------------------------------------------------------------------
// Cameras

void CVeldrinDlg::FillCameraCombo() {
  const QSignalBlocker blocker(m_cameraCombo);
  m_cameraCombo->clear();
  if (!m_pCameraList || !m_pWebcamEngine) return;
  const QFontMetrics fm(m_cameraCombo->font());
  int widest = 0;
  for (const INFO_CAM_DATA& r : m_pCameraList->Snapshot()) {
    const std::string& name =
        r.nCamera < MAX_VIDEO_DEVICES ? m_pWebcamEngine->m_devices[r.nCamera].strName : "";
    const QString text =
        QStringLiteral("Cam %1 (%2) (%3)")
            .arg(r.nCamera)
            .arg(Q(name), r.nKind == CAM_KIND_DEPTH ? QStringLiteral("3D") : QString());
    m_cameraCombo->insertItem(r.nCamera, text);
    widest = std::max(widest, fm.horizontalAdvance(text) + fm.averageCharWidth());
  }
  const int dropWidth = widest + 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth) +
                        style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  if (dropWidth > m_cameraCombo->view()->minimumWidth())
    m_cameraCombo->view()->setMinimumWidth(dropWidth);
}

int CVeldrinDlg::ReadPreferredCamera() {
  const std::string preferred = CCameraSettings(SettingsFolder(), m_strInstanceName).ReadCamera();
  // The main engine has just listed the devices and is not capturing yet: it answers for them.
  CKivOpenCVVideoEngine& engine = *m_pWebcamEngine;
  if (!preferred.empty()) {
    const int count = static_cast<int>(engine.GetDeviceCount());
    for (int i = 0; i < count && i < MAX_VIDEO_DEVICES; ++i) {
      if (engine.m_devices[i].strName == preferred && engine.IsDeviceAvailable(i)) return i;
    }
  }
  if (AfxFormatMessageBox(nullptr, MB_YESNO, veldrin::IDS_PREFERRED_CAMERA_UNAVAILABLE) != IDYES)
    return -1;
  const int free = m_pCameraList ? m_pCameraList->FindFirstFree() : -1;
  if (free < 0) return -1;
  return engine.IsDeviceAvailable(free) ? free : -1;
}

int CVeldrinDlg::SwitchCamera(int index) {
  if (index < 0) return 0;
  const int previous = m_nCurrentCamera;
  if (!m_pWebcamEngine) return 0;
  // An index naming no device keeps the current camera: recording it would leave the dialog
  // pointing at nothing, and the settings would later be saved from it.
  if (index >= m_pWebcamEngine->EnumerateDevices()) return 1;
  m_nCurrentCamera = index;

  m_pWebcamEngine->Stop();
  m_pWebcamEngine->Setup(index, m_frameWidth, m_frameHeight, this);
  if (!m_pWebcamEngine->Start()) {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_UNABLE_TO_OPEN_CAMERA);
    m_nCurrentCamera = previous;
    m_pWebcamEngine->Setup(previous, m_frameWidth, m_frameHeight, this);
    if (m_pWebcamEngine->Start()) {
      m_snapshotCheck->setChecked(false);
      m_inputWindow->SetLocked(0);
    }
    return 1;
  }

  m_snapshotCheck->setChecked(false);
  m_inputWindow->SetLocked(0);
  if (previous != -1 && previous != index)
    m_pCameraList->SetCameraAt(previous, -1, CAM_STATE_FREE, nullptr, nullptr,
                               m_pCameraList->GetKind(previous));
  m_pCameraList->SetCameraAt(index, 0, CAM_STATE_MAIN, m_pWebcamEngine.get(), m_inputWindow,
                             m_pCameraList->GetKind(index));

  m_autoCalibCheck->hide();
  m_pCalibrationList->Show();
  m_closeTabButton->show();
  return 1;
}

// Entry i of the camera combo is camera i.
void CVeldrinDlg::OnCameraComboChanged() {
  const int index = m_cameraCombo->currentIndex();
  if (m_pCameraList && m_pCameraList->GetState(index) == CAM_STATE_FREE) {
    SwitchCamera(index);
  } else {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_UNABLE_TO_OPEN_CAMERA);
  }
  const QSignalBlocker blocker(m_cameraCombo);
  m_cameraCombo->setCurrentIndex(m_nCurrentCamera);
}

void CVeldrinDlg::OnCameraConfiguration() {
  m_savePlaneButton->show();
  static const std::vector<cv::Point> kNone;
  const std::vector<cv::Point>* resolutions = &kNone;
  if (m_pWebcamEngine && m_nCurrentCamera >= 0 && m_nCurrentCamera < MAX_VIDEO_DEVICES)
    resolutions = &m_pWebcamEngine->m_devices[m_nCurrentCamera].resolutions;
  CCameraConfiguraionDlg dlg(resolutions, QSize(m_frameWidth, m_frameHeight), m_frameDivisor, this);
  if (dlg.exec() != QDialog::Accepted) return;

  m_frameDivisor = dlg.m_nFrameDivisor;
  m_pConsumer->SetFrameDivisor(m_frameDivisor);
  if (dlg.m_nResolutionIndex >= 0 &&
      dlg.m_nResolutionIndex < static_cast<int>(resolutions->size())) {
    const cv::Point r = (*resolutions)[dlg.m_nResolutionIndex];
    m_frameWidth = r.x;
    m_frameHeight = r.y;
    m_rectification.ApplyConfiguredFrameSize(m_frameWidth, m_frameHeight);
    m_pPreviewTabs->SetFrameSize(m_frameWidth, m_frameHeight);
  }
  CCameraSettings settings(SettingsFolder(), m_strInstanceName);
  settings.WriteResX(m_frameWidth);
  settings.WriteResY(m_frameHeight);
  settings.WriteFrameDivisor(m_frameDivisor);

  INFO_CAM_DATA record;
  if (m_pCameraList && m_pCameraList->GetCameraAt(m_nCurrentCamera, record)) {
    if (record.pWindow) record.pWindow->SetImageSize(m_frameWidth, m_frameHeight);
    m_pPreviewTabs->Layout();
    update();
    SwitchCamera(m_nCurrentCamera);
  }
}

void CVeldrinDlg::OnSnapshotMode(bool checked) {
  if (checked) {
    m_inputWindow->SetLocked(1);
    if (m_pWebcamEngine) m_pWebcamEngine->Stop();
    const cv::Mat last = m_pConsumer->GetLastFrame();
    if (!last.empty()) m_inputWindow->SetImage(last);
  } else {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (m_pWebcamEngine) m_pWebcamEngine->Start();
    QApplication::restoreOverrideCursor();
    m_inputWindow->SetLocked(0);
  }
}

void CVeldrinDlg::SelectMainCameraInCombo() {
  INFO_CAM_DATA main;
  const QSignalBlocker blocker(m_cameraCombo);
  if (m_pCameraList && m_pCameraList->FindByTab(0, main))
    m_cameraCombo->setCurrentIndex(main.nCamera);
}

// ---------------------------------------------------------------------------------------------
// Frames (capture threads)

int CVeldrinDlg::CurrentTab() const { return m_pPreviewTabs->CurrentTab(); }

void CVeldrinDlg::OnVideoFrame(int cameraIndex, cv::Mat* frame) {
  m_pConsumer->OnVideoFrame(cameraIndex, frame);
}

void CVeldrinDlg::OnDepthFrame(int, cv::Mat*, cv::Mat*, const SVertex*) {}

void CVeldrinDlg::OnQRCodeDetected(std::string text) { AfxMessageBox(text, MB_OK); }

void CVeldrinDlg::ShowInWindow(CImageWindow* window, const cv::Mat& frame) {
  window->SetImage(frame);
}

void CVeldrinDlg::ShowInput(const cv::Mat& frame) { m_inputWindow->SetImage(frame); }

void CVeldrinDlg::ShowOutput(const cv::Mat& picture) {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  if (std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() < m_outputHeldUntil) {
    return;  // the accuracy deviations are on show
  }
  m_outputWindow->SetImage(picture);
}

// ---------------------------------------------------------------------------------------------
// Sheet, accuracy and the bumped-camera watch

void CVeldrinDlg::PlaceStatusLine() {
  if (!m_statusLine) return;
  // The strip below the pictures; it follows the bottom edge as the window grows.
  const veldrin::CDialogUnits du(font());
  const int h = m_statusLine->sizeHint().height();
  m_statusLine->setGeometry(du.X(7), height() - h - 1, width() - du.X(14), h);
}

void CVeldrinDlg::SetStatus(const QString& text) {
  m_statusLine->setText(text);
  m_statusLine->setToolTip(text);
}

QString CVeldrinDlg::StatusText() const { return m_statusLine->text(); }

void CVeldrinDlg::OnFindSheet() {
  std::vector<cv::Point2f> corners;
  if (!veldrin::FindSheet(m_pConsumer->GetLastFrame(), corners)) {
    SetStatus(QStringLiteral("No sheet found in the picture: the corners are unchanged."));
    return;
  }
  m_inputWindow->SetPoints(corners);
  SetStatus(QStringLiteral("The corners are on the sheet found in the picture."));
}

void CVeldrinDlg::OnCheckAccuracy(const veldrin::SBoardSpec& board) {
  const cv::Mat frame = m_pConsumer->GetLastFrame();
  int mediaWidth = 0, mediaHeight = 0;
  cv::Mat rectified;
  if (frame.empty()) {
    SetStatus(QStringLiteral("There is no picture to check yet."));
    return;
  }
  if (!m_rectification.GetMediaSizeMm(mediaWidth, mediaHeight)) {
    SetStatus(QStringLiteral("The media size is not known: the accuracy cannot be checked."));
    return;
  }
  if (!m_rectification.Rectify(frame, rectified)) {
    SetStatus(QStringLiteral("The corners give no output picture to check."));
    return;
  }
  const cv::Size out = rectified.size();
  veldrin::SAccuracyReport report;
  if (!veldrin::CheckAccuracy(rectified, double(mediaWidth) / out.width,
                              double(mediaHeight) / out.height, board, report)) {
    SetStatus(QStringLiteral("No chessboard of %1 x %2 squares found on the media.")
                  .arg(board.cols)
                  .arg(board.rows));
    return;
  }
  // The deviations stay in the output picture for a while, or until it is clicked.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  m_outputHeldUntil =
      std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch()).count();
  m_outputWindow->SetImage(veldrin::DrawDeviations(rectified, report));
  SetStatus(QStringLiteral("Accuracy: scale error %1 %, RMS %2 mm, largest %3 mm.")
                .arg(QString::asprintf("%+.2f", report.scaleErrorPercent))
                .arg(report.rmsMm, 0, 'f', 2)
                .arg(report.maxMm, 0, 'f', 2));
}

void CVeldrinDlg::OnCheckCamera(const cv::Mat& frame) {
  const QString message = QString::fromStdString(m_cameraWatch.Check(frame));
  if (message == m_strCameraMessage) return;
  // The warning replaces whatever the line said; once the picture is back, it goes again
  // (unless something else was said since).
  if (!message.isEmpty()) {
    SetStatus(message);
  } else if (StatusText() == m_strCameraMessage) {
    SetStatus(QString());
  }
  m_strCameraMessage = message;
}

void CVeldrinDlg::SetOutputImageSize(int width, int height) {
  m_outputWindow->SetImageSize(width, height);
}

void CVeldrinDlg::MediaSizeChanged(int, int) {
  QMetaObject::invokeMethod(
      this,
      [this] {
        m_mediaWidthLabel->setText(Q(m_rectification.FormatMediaWidthLabel()));
        m_mediaHeightLabel->setText(Q(m_rectification.FormatMediaHeightLabel()));
      },
      Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------------------------
// Plane

int CVeldrinDlg::CalibIndex() const { return m_pCalibrationList->Index(); }

// The corners on the empty table, kept for the depth camera's start and for leaving auto
// calibration. Without a depth view only the 2D file is written.
void CVeldrinDlg::SavePlane() {
  const std::vector<cv::Point2f> corners = m_rectification.GetCorners();
  if (corners.size() != 4) return;
  const veldrin::Plane2D plane{corners[0], corners[1], corners[2], corners[3]};
  veldrin::WritePlane2D(veldrin::Plane2DPath(SettingsFolder()), plane);
}

int CVeldrinDlg::LoadPlane2D(const std::string& folder) {
  veldrin::Plane2D plane;
  if (!veldrin::ReadPlane2D(veldrin::Plane2DPath(folder), plane)) return 0;
  const std::vector<cv::Point2f> corners(plane.begin(), plane.end());
  m_rectification.SetCorners(corners);
  m_inputWindow->SetPoints(corners);
  return 1;
}
