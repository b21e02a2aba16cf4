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

#include "workstation/windows/about_dlg.h"
#include "workstation/windows/app_icons.h"
#include "hostlink/shared_status_block.h"
#include "workstation/windows/simple_splash.h"
#include "depth/plane_files.h"
#include "display/image_window.h"
#include "platform/message_box.h"
#include "resources/string_table.h"
#include "video/opencv_video_engine.h"
#include "workstation/windows/add_calibration_dlg.h"
#include "workstation/calibration_store.h"
#include "workstation/windows/camera_configuration_dlg.h"
#include "workstation/camera_list.h"
#include "workstation/camera_settings.h"

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
  if (m_pCameraList) {
    for (const INFO_CAM_DATA& r : m_pCameraList->Snapshot()) {
      if (r.nState == CAM_STATE_MAIN) continue;
      delete r.pEngine;
      if (r.pWindow && r.pWindow != m_inputWindow) delete r.pWindow;
      if (r.pEngine || r.pWindow)
        m_pCameraList->SetCameraAt(r.nCamera, -1, 0, nullptr, nullptr, r.nKind);
    }
  }
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

  m_tabPane = new QFrame(this);
  m_tabPane->setObjectName(QStringLiteral("1016-pane"));
  m_tabPane->setFrameShape(QFrame::StyledPanel);
  place(m_tabPane, 7, 16, 459, 267, 0, 75, 100);
  m_tabBar = new QTabBar(this);
  m_tabBar->setObjectName(QStringLiteral("1016"));
  m_tabBar->setExpanding(false);
  m_tabBar->setDrawBase(false);

  m_inputWindow = new CImageWindow(this);
  m_inputWindow->setObjectName(QStringLiteral("1001"));
  m_inputWindow->setGeometry(du.Rect(84, 72, 287, 160));

  m_closeTabButton = iconButton("20460", kIconRemove, QStringLiteral("Close preview"));
  place(m_closeTabButton, 452, 15, 13, 13, 75, 0, 0);

  m_outputWindow = new CImageWindow(this);
  m_outputWindow->setObjectName(QStringLiteral("1002"));
  place(m_outputWindow, 479, 182, 177, 100, 75, 25, 100);

  m_calibCombo = new QComboBox(this);
  m_calibCombo->setObjectName(QStringLiteral("1004"));
  place(m_calibCombo, 485, 57, 121, 14, 75, 25, 0);

  const char* pointIds[4] = {"1005", "1006", "1013", "1014"};
  for (int i = 0; i < 4; ++i) {
    m_pointLabels[i] = label(QString(), pointIds[i]);
    place(m_pointLabels[i], 485, 76 + 10 * i, 160, 8, 75, 25, 0);
  }
  m_mediaWidthLabel = label(QString(), "1007");
  place(m_mediaWidthLabel, 485, 142, 164, 8, 75, 25, 0);
  m_mediaHeightLabel = label(QString(), "1015");
  place(m_mediaHeightLabel, 485, 154, 164, 8, 75, 25, 0);

  m_snapshotCheck = new QCheckBox(QStringLiteral("Snapshot mode"), this);
  m_snapshotCheck->setObjectName(QStringLiteral("1011"));
  place(m_snapshotCheck, 591, 22, 60, 10, 100, 0, 0);

  m_saveButton = iconButton("20458", kIconSave, QStringLiteral("Save calibration"));
  place(m_saveButton, 610, 56, 19, 15, 100, 0, 0);
  m_removeButton = iconButton("20459", kIconRemove, QStringLiteral("Remove calibration"));
  place(m_removeButton, 630, 56, 19, 15, 100, 0, 0);

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

  const QSize initial = du.Size(665, 290);
  m_layout.SetInitialSize(initial);
  resize(initial);

  connect(m_cameraCombo, qOverload<int>(&QComboBox::activated), this,
          [this](int) { OnCameraComboChanged(); });
  connect(m_calibCombo, qOverload<int>(&QComboBox::activated), this,
          [this](int) { OnCalibrationSelected(); });
  connect(m_saveButton, &QToolButton::clicked, this, [this] { OnSaveCalibration(); });
  connect(m_removeButton, &QToolButton::clicked, this, [this] { OnRemoveCalibration(); });
  connect(m_closeTabButton, &QToolButton::clicked, this, [this] { ClosePreviewTab(); });
  connect(m_snapshotCheck, &QCheckBox::clicked, this, [this](bool on) { OnSnapshotMode(on); });
  connect(m_savePlaneButton, &QPushButton::clicked, this, [this] { SavePlane(); });
  connect(m_autoCalibCheck, &QCheckBox::clicked, this, [this](bool on) {
    if (!on) LoadPlane2D(SettingsFolder());
  });
  connect(m_tabBar, &QTabBar::currentChanged, this, [this](int t) { OnTabChanged(t); });
  connect(
      m_inputWindow, &CImageWindow::PointsChanged, this, [this] { OnPointsChanged(); },
      Qt::DirectConnection);
  connect(m_inputWindow, &CImageWindow::Clicked, this, [this](QPoint p) { OnInputClicked(p); });
  auto* accel = new QShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::SHIFT | Qt::Key_R), this);
  connect(accel, &QShortcut::activated, this, [this] { OnCameraConfiguration(); });
}

void CVeldrinDlg::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  m_layout.Apply(size());
  LayoutImageWindows();
}

// The tab bar sits on the top edge of the tab pane; every camera picture fills the pane below it.
void CVeldrinDlg::LayoutImageWindows() {
  if (!m_tabBar || !m_tabPane) return;
  const QRect pane = m_tabPane->geometry();
  const int strip = std::max(20, m_tabBar->sizeHint().height());
  m_tabBar->setGeometry(pane.left(), pane.top(),
                        std::min(m_tabBar->sizeHint().width(), pane.width() - 24), strip);
  const QRect pictures = pane.adjusted(1, strip, -1, -1);
  m_inputWindow->setGeometry(pictures);
  m_inputWindow->update();
  if (!m_pCameraList) return;
  for (const INFO_CAM_DATA& r : m_pCameraList->Snapshot()) {
    if (r.nState == CAM_STATE_PREVIEW && r.pWindow) r.pWindow->setGeometry(pictures);
  }
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

  {
    const QSignalBlocker blocker(m_tabBar);
    m_tabBar->addTab(QStringLiteral("Main Camera"));
    m_tabBar->addTab(QStringLiteral("+"));
    m_tabBar->setCurrentIndex(0);
  }

  m_rectification.SetDefaultCorners();
  m_inputWindow->SetPoints(m_rectification.GetCorners());

  m_pWebcamEngine = std::make_unique<CKivOpenCVVideoEngine>();
  m_pCameraList = std::make_unique<CCameraList>(*m_pWebcamEngine);
  m_pConsumer->SetCameraList(m_pCameraList.get());
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

  m_pCalibrationStore = std::make_unique<CCalibrationStore>(SettingsFolder());
  FillCalibrationCombo();
  bool apply = true;
  if (m_pCalibrationStore->GetCount() > 0) {
    m_nCalibIndex = CCameraSettings(SettingsFolder(), m_strInstanceName).ReadCalibIndex();
    if (m_nCalibIndex > m_pCalibrationStore->GetCount()) apply = false;
  } else {
    m_nCalibIndex = 0;
  }
  if (apply) {
    const QSignalBlocker blocker(m_calibCombo);
    m_calibCombo->setCurrentIndex(m_nCalibIndex);
    OnCalibrationSelected();
  }
  m_saveButton->setEnabled(false);

  splash.reset();
  LayoutImageWindows();
  UpdateCloseTabButton();
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
  if (!m_pCameraList) return;
  for (const INFO_CAM_DATA& r : m_pCameraList->Snapshot()) {
    if (r.pEngine && r.nState != CAM_STATE_MAIN) r.pEngine->Stop();
  }
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
}

void CVeldrinDlg::SaveSettings() {
  CCameraSettings settings(SettingsFolder(), m_strInstanceName);
  INFO_CAM_DATA record;
  if (m_pCameraList && m_pCameraList->GetCameraAt(m_nCurrentCamera, record) && m_pWebcamEngine &&
      m_nCurrentCamera < MAX_VIDEO_DEVICES)
    settings.WriteCamera(m_pWebcamEngine->m_devices[m_nCurrentCamera].strName);
  settings.WriteCalibIndex(m_nCalibIndex);
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
    const QString text = QStringLiteral("Cam %1 (%2) (%3)")
                             .arg(r.nCamera)
                             .arg(Q(name), r.nKind == 1 ? QStringLiteral("3D") : QString());
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
  m_calibCombo->show();
  m_saveButton->show();
  m_removeButton->show();
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
  }
  CCameraSettings settings(SettingsFolder(), m_strInstanceName);
  settings.WriteResX(m_frameWidth);
  settings.WriteResY(m_frameHeight);
  settings.WriteFrameDivisor(m_frameDivisor);

  INFO_CAM_DATA record;
  if (m_pCameraList && m_pCameraList->GetCameraAt(m_nCurrentCamera, record)) {
    if (record.pWindow) record.pWindow->SetImageSize(m_frameWidth, m_frameHeight);
    LayoutImageWindows();
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

// ---------------------------------------------------------------------------------------------
// Preview tabs

void CVeldrinDlg::OnTabChanged(int tab) {
  m_nCurrentTab.store(tab);
  if (tab == m_tabBar->count() - 1) {
    if (!AddPreviewTab()) return;
    FillCameraCombo();
    INFO_CAM_DATA main;
    const QSignalBlocker blocker(m_cameraCombo);
    if (m_pCameraList && m_pCameraList->FindByTab(0, main))
      m_cameraCombo->setCurrentIndex(main.nCamera);
    update();
  }
  ShowTabWindow(tab);
  UpdateCloseTabButton();
}

void CVeldrinDlg::ShowTabWindow(int tab) {
  if (!m_pCameraList) return;
  const std::vector<INFO_CAM_DATA> records = m_pCameraList->Snapshot();
  for (const INFO_CAM_DATA& r : records) {
    if (r.pWindow) r.pWindow->hide();
  }
  for (const INFO_CAM_DATA& r : records) {
    if (r.nTab == tab) {
      if (r.pWindow) r.pWindow->show();
      break;
    }
  }
}

void CVeldrinDlg::UpdateCloseTabButton() {
  m_closeTabButton->setEnabled(m_tabBar->currentIndex() != 0 && m_tabBar->count() != 2);
}

int CVeldrinDlg::AddPreviewTab() {
  auto backToMain = [this] {
    {
      const QSignalBlocker blocker(m_tabBar);
      m_tabBar->setCurrentIndex(0);
    }
    m_nCurrentTab.store(0);
    ShowTabWindow(0);
    UpdateCloseTabButton();
  };
  const int camera = m_pCameraList ? m_pCameraList->FindFirstFree() : -1;
  if (camera < 0) {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_UNABLE_TO_OPEN_CAMERA);
    backToMain();
    return 0;
  }
  auto window = std::make_unique<CImageWindow>(this);
  window->setObjectName(QStringLiteral("preview"));
  window->setGeometry(500, 500, 10, 10);
  window->SetImageSize(m_frameWidth, m_frameHeight);
  auto engine = std::make_unique<CKivOpenCVVideoEngine>();
  engine->Setup(camera, m_frameWidth, m_frameHeight, this);
  if (!engine->Start()) {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_UNABLE_TO_OPEN_CAMERA);
    backToMain();
    return 0;
  }
  const int n = m_tabBar->count();
  m_pCameraList->SetCameraAt(camera, n - 1, CAM_STATE_PREVIEW, engine.release(), window.get(),
                             m_pCameraList->GetKind(camera));
  window.release()->show();
  {
    const QSignalBlocker blocker(m_tabBar);
    m_tabBar->removeTab(n - 1);
    m_tabBar->insertTab(n - 1, QStringLiteral("Preview Cam"));
    m_tabBar->insertTab(n, QStringLiteral("+"));
    m_tabBar->setCurrentIndex(n - 1);
  }
  LayoutImageWindows();
  return 1;
}

void CVeldrinDlg::ClosePreviewTab() {
  const int tab = m_tabBar->currentIndex();
  INFO_CAM_DATA r;
  if (tab == 0 || !m_pCameraList || !m_pCameraList->FindByTab(tab, r)) return;
  if (r.pEngine) {
    r.pEngine->Stop();
    delete r.pEngine;  // joins its capture thread, so the window below is no longer fed
  }
  delete r.pWindow;
  m_pCameraList->SetCameraAt(r.nCamera, -1, CAM_STATE_FREE, nullptr, nullptr,
                             m_pCameraList->GetKind(r.nCamera));
  const int n = m_tabBar->count();
  for (int u = tab + 1; u <= n - 2; ++u) {
    INFO_CAM_DATA moved;
    if (m_pCameraList->FindByTab(u, moved))
      m_pCameraList->SetCameraAt(moved.nCamera, u - 1, moved.nState, moved.pEngine, moved.pWindow,
                                 moved.nKind);
  }
  FillCameraCombo();
  {
    const QSignalBlocker blocker(m_tabBar);
    m_tabBar->removeTab(tab);
    m_cameraCombo->setFocus();
    m_nCurrentTab.store(0);
    ShowTabWindow(0);
    INFO_CAM_DATA main;
    const QSignalBlocker comboBlocker(m_cameraCombo);
    if (m_pCameraList->FindByTab(0, main)) m_cameraCombo->setCurrentIndex(main.nCamera);
    m_tabBar->setCurrentIndex(0);
  }
  UpdateCloseTabButton();
}

// ---------------------------------------------------------------------------------------------
// Frames (capture threads)

void CVeldrinDlg::OnVideoFrame(int cameraIndex, cv::Mat* frame) {
  m_pConsumer->OnVideoFrame(cameraIndex, frame);
}

void CVeldrinDlg::OnDepthFrame(int, cv::Mat*, cv::Mat*, const rs2_vertex*) {}

void CVeldrinDlg::OnQRCodeDetected(std::string text) { AfxMessageBox(text, MB_OK); }

void CVeldrinDlg::ShowInWindow(CImageWindow* window, const cv::Mat& frame) {
  window->SetImage(frame);
}

void CVeldrinDlg::ShowInput(const cv::Mat& frame) { m_inputWindow->SetImage(frame); }

void CVeldrinDlg::ShowOutput(const cv::Mat& picture) { m_outputWindow->SetImage(picture); }

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
// Corners and calibrations

void CVeldrinDlg::UpdatePointReadouts() {
  const auto texts = m_rectification.FormatPointReadouts();
  for (int i = 0; i < 4; ++i) m_pointLabels[i]->setText(Q(texts[i]));
}

void CVeldrinDlg::OnPointsChanged() {
  m_saveButton->setEnabled(true);
  std::vector<cv::Point2f> points;
  m_inputWindow->GetPoints(points);
  m_rectification.SetCorners(points);
  UpdatePointReadouts();
}

// A click on the input picture: with four corners in place the destination rectangle is rebuilt
// and the corners may be saved again.
void CVeldrinDlg::OnInputClicked(QPoint) {
  if (m_rectification.GetCorners().size() == 4) {
    m_rectification.RebuildDstCorners();
    m_saveButton->setEnabled(true);
  }
}

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

void CVeldrinDlg::FillCalibrationCombo() {
  const QSignalBlocker blocker(m_calibCombo);
  m_calibCombo->clear();
  m_calibCombo->insertItem(0, QStringLiteral("Default"));
  for (int i = 0; i < m_pCalibrationStore->GetCount(); ++i)
    m_calibCombo->insertItem(i + 1, Q(m_pCalibrationStore->GetName(i)));
  m_calibCombo->setCurrentIndex(-1);  // a refilled list has no selection until one is made
}

void CVeldrinDlg::OnCalibrationSelected() {
  m_nCalibIndex = m_calibCombo->currentIndex();
  if (m_nCalibIndex < 0) return;
  if (m_nCalibIndex == 0) {
    m_rectification.SetDefaultCorners();
    m_inputWindow->SetPoints(m_rectification.GetCorners());
    UpdatePointReadouts();
    return;
  }
  std::vector<cv::Point2f> points;
  if (!m_pCalibrationStore || m_pCalibrationStore->Load(m_nCalibIndex - 1, points) != 4 ||
      points.size() != 4)
    return;
  m_rectification.SetCorners(points);
  m_inputWindow->SetPoints(points);
  m_rectification.RebuildDstCorners();
  UpdatePointReadouts();
  m_saveButton->setEnabled(false);
}

void CVeldrinDlg::OnSaveCalibration() {
  CAddCalibrationDlg dlg(this);
  if (m_calibCombo->currentIndex() >= 0) dlg.SetName(m_calibCombo->currentText());
  if (dlg.exec() != QDialog::Accepted) return;
  const std::string name = dlg.GetName().toStdString();
  if (!CCalibrationStore::IsValidName(name)) {
    AfxMessageBox("\"" + name +
                      "\" cannot be used as a calibration name. Use a name that is not empty "
                      "and has no \"/\", and is not \".\" or \"..\".",
                  MB_ICONERROR | MB_OK);
    return;
  }
  if (m_pCalibrationStore->Exists(name) &&
      AfxFormatMessageBox(nullptr, MB_YESNO, veldrin::IDS_CONFIRM_OVERWRITE_CALIBRATION) != IDYES)
    return;
  // The corners are not stored: say so, and keep the save button enabled so the operator can
  // try again, rather than showing the list as if the calibration had been saved.
  if (!m_pCalibrationStore->Save(name, m_rectification.GetCorners())) {
    AfxMessageBox("The calibration \"" + name + "\" could not be saved.", MB_ICONERROR | MB_OK);
    return;
  }
  FillCalibrationCombo();
  const QString typed = Q(name);
  for (int i = 0; i < m_calibCombo->count(); ++i) {
    if (m_calibCombo->itemText(i).startsWith(typed, Qt::CaseInsensitive)) {
      const QSignalBlocker blocker(m_calibCombo);
      m_calibCombo->setCurrentIndex(i);
      break;
    }
  }
  UpdatePointReadouts();
  m_saveButton->setEnabled(false);
}

void CVeldrinDlg::OnRemoveCalibration() {
  m_nCalibIndex = m_calibCombo->currentIndex();
  if (m_nCalibIndex <= 0) return;
  if (AfxFormatMessageBox(nullptr, MB_YESNO, veldrin::IDS_CONFIRM_REMOVE_CALIBRATION) != IDYES)
    return;
  if (!m_pCalibrationStore->Remove(m_nCalibIndex - 1)) return;
  FillCalibrationCombo();
  m_nCalibIndex = 0;
  {
    const QSignalBlocker blocker(m_calibCombo);
    m_calibCombo->setCurrentIndex(0);
  }
  OnCalibrationSelected();
}
